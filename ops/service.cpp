#include "ops/service.h"

#include <functional>

#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "ops/operations.h"
#include "platform/closed_rs232.h"
#include "platform/data_files.h"
#include "platform/guarded_rs232.h"
#include "platform/rs232.h"

namespace ops {

// The session's job carries its port and clock between its calls.
struct ServiceSession::State {
  dwl::JobState job;
};

struct ServiceSession::Binding::Scopes {
  explicit Scopes(State& state) : job(state.job) {}
  dwl::JobScope job;
};

ServiceSession::Binding::Binding(ServiceSession& session)
    : scopes_(std::make_unique<Scopes>(*session.state_)) {}

ServiceSession::Binding::~Binding() = default;

ServiceSession::ServiceSession() : state_(std::make_unique<State>()) {}

ServiceSession::~ServiceSession() {
  close();
}

dwl::DownloadResult ServiceSession::switchOn(dwl::SharedContext& record, const Context& context,
                                             const dwl::FlashDescriptionTable* flash,
                                             dwl::ProgressSink* after) {
  close();
  State& s = *state_;
  s.job = dwl::JobState{};
  s.job.flash = flash;
  port_ = record.ComPort;

  // Without a port the boot fails as on a port that cannot be opened.
  platform::ClosedRs232 closed;
  platform::GuardedRs232 guard(
      context.serial ? *context.serial : closed, context.cancel,
      [](double waited) { dwl::reportWaiting(waited); }, context.clock);
  dwl::JobState& job = s.job;
  job.progress = context.progress;
  job.cancel = context.cancel;
  job.line = &guard;
  job.serial = &guard;
  job.port = port_;
  job.clock = context.clock;
  job.bootstrapPath = platform::dataFilePath("dwl87.spm", context.dataFolders);
  dwl::DownloadResult boot;
  {
    dwl::JobScope scope(job);
    boot = dwl::dwl1_0boot(&record);
  }
  // What follows runs on the port itself, and reports its comment lines to after.
  job.progress = after;
  job.cancel = nullptr;
  job.line = nullptr;
  job.serial = context.serial;
  return boot;
}

dwl::ResultCode ServiceSession::switchOff() {
  return run([this] { return dwl::dwl11_7SwitchOffCommand(port_); });
}

void ServiceSession::close() {
  if (port_ == 0) return;
  run([this] { dwl::dwl12_1UartStop(static_cast<std::uint8_t>(port_)); });
  port_ = 0;
}

}  // namespace ops

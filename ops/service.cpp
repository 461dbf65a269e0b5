#include "ops/service.h"

#include <functional>

#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "ops/operations.h"
#include "platform/clock.h"
#include "platform/guarded_rs232.h"
#include "platform/rs232.h"

namespace ops {

struct ServiceSession::State {
  platform::Rs232* serial = nullptr;
  std::function<double()> clock;
  dwl::JobState job;
};

struct ServiceSession::Binding::Scopes {
  Scopes(State& state, int port)
      : clock(state.clock), line(*state.serial, port, ""), job(state.job) {}
  platform::ScopedThreadClock clock;
  platform::ScopedLine line;
  dwl::JobScope job;
};

ServiceSession::Binding::Binding(ServiceSession& session)
    : scopes_(std::make_unique<Scopes>(*session.state_, session.port_)) {}

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
  s.serial = context.serial;
  s.clock = context.clock;
  s.job = dwl::JobState{};
  s.job.flash = flash;
  port_ = record.ComPort;

  platform::GuardedRs232 guard(*context.serial, context.cancel,
                               [](double waited) { dwl::reportWaiting(waited); });
  dwl::JobState& job = s.job;
  job.progress = context.progress;
  job.cancel = context.cancel;
  job.line = &guard;
  dwl::DownloadResult boot;
  {
    platform::ScopedThreadClock clock(s.clock);
    platform::ScopedLine line(guard, port_, "");
    dwl::JobScope scope(job);
    boot = dwl::dwl1_0boot(&record);
  }
  // What follows runs on the port itself, and reports its comment lines to after.
  job.progress = after;
  job.cancel = nullptr;
  job.line = nullptr;
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

// A handset kept in its bootstrap between a switch-on and a switch-off (the downloader's service
// panel). The session owns its job state and its port; it binds them to the calling thread only
// while one of its calls runs and keeps the port open between its calls, so it runs beside jobs on
// other ports and touches no program global.
#pragma once

#include <memory>
#include <utility>

#include "dwl/dwl_context.h"
#include "dwl/dwl_job.h"
#include "dwl/dwl_result.h"

namespace platform {
class Rs232;
}

namespace ops {

struct Context;

class ServiceSession {
 public:
  ServiceSession();
  ~ServiceSession();  // closes the port
  ServiceSession(const ServiceSession&) = delete;
  ServiceSession& operator=(const ServiceSession&) = delete;

  // Closes any port the session held, then opens the record's port and boots the handset into
  // its bootstrap, as a write boots (the record receives the processor and the flash). Every wait
  // on the line is cut into slices that send context.progress a heartbeat and see
  // context.cancel. The port stays open whatever the result, until close(). What the session's
  // later calls report (their comment lines) goes to after, which must outlive the session's use.
  dwl::DownloadResult switchOn(dwl::SharedContext& record, const Context& context,
                               const dwl::FlashDescriptionTable* flash,
                               dwl::ProgressSink* after = nullptr);

  // Runs f with the session's job state and port bound to the calling thread (the commands that
  // follow a switch-on, the geometry of the flash it named). Only while a port is open.
  template <class F>
  auto run(F&& f) {
    Binding bound(*this);
    return std::forward<F>(f)();
  }

  // Switches the handset off; the port stays open. 1 or the command's code.
  dwl::ResultCode switchOff();
  // Closes the port, when one is open.
  void close();
  // The COM number of the open port, 0 when none.
  int port() const { return port_; }

 private:
  struct State;
  class Binding {
   public:
    explicit Binding(ServiceSession& session);
    ~Binding();
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

   private:
    struct Scopes;
    std::unique_ptr<Scopes> scopes_;
  };

  std::unique_ptr<State> state_;
  int port_ = 0;
};

}  // namespace ops

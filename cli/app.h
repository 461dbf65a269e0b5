// The whole program behind main: parse, run one port (or start one process per port), report.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "platform/cancel.h"
#include "platform/rs232.h"

namespace cli {

struct Environment {
  // The serial port implementation every command talks through.
  platform::Rs232* serial = nullptr;
  // Set to stop the running command (Ctrl-C); null when nothing can stop it.
  const platform::CancelToken* cancel = nullptr;
  bool stdoutTerminal = false;
  bool stderrTerminal = false;
  // This program, started once per port when several are given.
  std::string self;
};

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const Environment& env);

}  // namespace cli

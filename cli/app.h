// The whole program behind main: parse, run one port (or start one process per port), report.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "platform/rs232.h"

namespace cli {

struct Environment {
  // The serial port implementation every command talks through.
  platform::Rs232* serial = nullptr;
  // Why a port could not be opened, for the error text.
  std::function<std::string(int)> openError;
  bool stdoutTerminal = false;
  bool stderrTerminal = false;
  // This program, started once per port when several are given.
  std::string self;
};

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const Environment& env);

}  // namespace cli

// The commands, each run against one port through the engines' own sequences.
#pragma once

#include <ostream>

#include "cli/options.h"
#include "cli/outcome.h"
#include "cli/terminal_display.h"

namespace cli {

#include <functional>
#include <string>

// One command on one port.
struct Run {
  const Options& options;
  int comPort;
  TerminalDisplay& display;
  // Where the description of info and the closing summary go.
  std::ostream& out;
  // Why the port could not be opened (the real port knows; a test port may not).
  std::function<std::string(int)> openError;
};

// COM number the engine uses for the port as typed; a device path is mapped onto a free COM
// number through $KELVANE_COMn, so the library opens it like any other port. -1 when none is free.
int bindPort(const std::string& port);

Outcome runInfo(const Run& run);
Outcome runWrite(const Run& run);
Outcome runDump(const Run& run);
Outcome runErase(const Run& run);

// Lists the COM numbers with their devices and the serial devices present.
int runPorts(const Options& options, std::ostream& out);

}  // namespace cli

// The commands, each one job of the operation layer on one port.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "apps/cli/options.h"
#include "apps/cli/outcome.h"
#include "apps/cli/terminal_display.h"
#include "ops/job_log.h"
#include "ops/operations.h"

namespace cli {

// One command on one port.
struct Run {
  const Options& options;
  ops::PortRef port;
  // The port implementation the job talks through (the real port, a trace over it, a test's).
  platform::Rs232& serial;
  TerminalDisplay& display;
  // Where the description of info and the closing summary go.
  std::ostream& out;
  const platform::CancelToken* cancel = nullptr;
  dwl::ProgressSink* progress = nullptr;  // instead of the display's, when set
  ops::JobLog* log = nullptr;             // gets a line per job, when set
  std::function<double()> clock;          // the job's waits' clock; empty: the monotonic one
};

// A file named on the command line, taken relative to -C DIR when it is relative.
std::string inDirectory(const Options& options, const std::string& path);
// flash.txt or dwl87.spm: in the -C folder when one is given, else in the working directory or
// the program's data folders.
std::string dataFile(const Options& options, const std::string& name);

Outcome runInfo(const Run& run);
Outcome runWrite(const Run& run);
Outcome runDump(const Run& run);
Outcome runErase(const Run& run);

// Lists the COM numbers with their devices and the serial devices present.
int runPorts(const Options& options, std::ostream& out);

}  // namespace cli

// The whole program behind main: parse, run one port (or one thread per port), report.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "apps/cli/outcome.h"
#include "platform/cancel.h"
#include "platform/data_files.h"
#include "platform/rs232.h"

namespace cli {

struct Environment {
  // The serial port implementation every command talks through.
  platform::Rs232* serial = nullptr;
  // Searched after the working directory for flash.txt and dwl87.spm (none: the working
  // directory alone).
  platform::DataFolders dataFolders;
  // Set to stop the running command (Ctrl-C); null when nothing can stop it.
  const platform::CancelToken* cancel = nullptr;
  bool stdoutTerminal = false;
  bool stderrTerminal = false;
  // A port object of its own for each port when several are given; the native port when unset.
  std::function<std::unique_ptr<platform::Rs232>()> newSerial;
  // The clock the jobs' waits run on (a test's paced handsets); the monotonic one when unset.
  std::function<double()> clock;
  // When set, receive the outcome the run reports (set answered), however it ends.
  Outcome* result = nullptr;
  bool* answered = nullptr;
};

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const Environment& env);

}  // namespace cli

// kelvane: the command-line front end of the service tools.
#include <iostream>
#include <memory>

#include "apps/cli/app.h"
#include "platform/data_folders.h"
#include "platform/native_rs232.h"
#include "platform/signals.h"
#include "platform/terminal.h"

int main(int argc, char** argv) {
  platform::NativeRs232 serial;
  static platform::CancelToken cancel;
  platform::cancelOnSignals(cancel);
  cli::Environment env;
  env.serial = &serial;
  env.dataFolders = platform::standardDataFolders();
  env.newSerial = [] { return std::make_unique<platform::NativeRs232>(); };
  env.cancel = &cancel;
  env.stdoutTerminal = platform::isTerminal(1);
  env.stderrTerminal = platform::isTerminal(2);
  const int status = cli::runCli(argc, argv, std::cout, std::cerr, env);
  if (const int signal = platform::cancellingSignal()) return platform::exitStatusForSignal(signal);
  return status;
}

// kelvane: the command-line front end of the service tools.
#include <unistd.h>

#include <QCoreApplication>
#include <iostream>

#include "cli/app.h"
#include "platform/qt_rs232.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  // Qt Serial Port wants an application object even when used blocking.
  QCoreApplication app(argc, argv);
  platform::QtRs232 serial;
  static platform::CancelToken cancel;
  platform::cancelOnSignals(cancel);
  cli::Environment env;
  env.serial = &serial;
  env.cancel = &cancel;
  env.stdoutTerminal = ::isatty(1) == 1;
  env.stderrTerminal = ::isatty(2) == 1;
  env.self = "/proc/self/exe";
  const int status = cli::runCli(argc, argv, std::cout, std::cerr, env);
  if (const int signal = platform::cancellingSignal()) return platform::exitStatusForSignal(signal);
  return status;
}

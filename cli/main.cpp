// kelvane: the command-line front end of the service tools.
#include <unistd.h>

#include <QCoreApplication>
#include <iostream>

#include "cli/app.h"
#include "platform/qt_rs232.h"

int main(int argc, char** argv) {
  // Qt Serial Port wants an application object even when used blocking.
  QCoreApplication app(argc, argv);
  platform::QtRs232 serial;
  cli::Environment env;
  env.serial = &serial;
  env.stdoutTerminal = ::isatty(1) == 1;
  env.stderrTerminal = ::isatty(2) == 1;
  env.self = "/proc/self/exe";
  return cli::runCli(argc, argv, std::cout, std::cerr, env);
}

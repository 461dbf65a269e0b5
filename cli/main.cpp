// kelvane: the command-line front end of the service tools.
#include <QCoreApplication>
#include <iostream>

#include "cli/app.h"
#include "platform/data_files.h"
#include "platform/native_rs232.h"
#include "platform/qt_data_folders.h"
#include "platform/signals.h"
#include "platform/terminal.h"

int main(int argc, char** argv) {
  // The application object gives the program its own path.
  QCoreApplication app(argc, argv);
  platform::setDataFolders(platform::standardDataFolders());
  platform::NativeRs232 serial;
  static platform::CancelToken cancel;
  platform::cancelOnSignals(cancel);
  cli::Environment env;
  env.serial = &serial;
  env.cancel = &cancel;
  env.stdoutTerminal = platform::isTerminal(1);
  env.stderrTerminal = platform::isTerminal(2);
  env.self = QCoreApplication::applicationFilePath().toStdString();
  const int status = cli::runCli(argc, argv, std::cout, std::cerr, env);
  if (const int signal = platform::cancellingSignal()) return platform::exitStatusForSignal(signal);
  return status;
}

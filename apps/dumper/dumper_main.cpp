// dumper: reads handset flash into dump.txt and erases flash sectors.
#include <QApplication>

#include "apps/dumper/dumper_panels.h"
#include "apps/guikit/userint.h"
#include "engines/dumper/dumper.h"
#include "platform/cancel.h"
#include "platform/data_folders.h"
#include "platform/native_rs232.h"
#include "platform/qt_program.h"

int main(int argc, char** argv) {
  const platform::ProgramInfo info{
      "dumper", KELVANE_VERSION,
      "Reads GSM handset flash sectors into dump.txt, or erases them, over a serial line."};
  if (const auto status = platform::answerInfoOptions(argc, argv, info)) return *status;
  QApplication app(argc, argv);
  if (const auto status = platform::startWindowedProgram(app, info)) return *status;
  platform::NativeRs232 port;
  dumper::programSettings() = {&port, {}, platform::standardDataFolders()};

  dumper::startDumperPanels();
  platform::endOnSignals(app, "dumper: stopping, the port will be closed", [] {
    dumper::cancelToken().cancel();
    guikit::QuitUserInterface(0);
  });
  guikit::RunUserInterface();

  dumper::stopDumperPanels();
  dumper::programSettings() = {};
  return platform::endStatus(0);
}

// dumper: reads handset flash into dump.txt and erases flash sectors.
#include <QApplication>

#include "dumper/gui/dumper_panels.h"
#include "guikit/userint.h"
#include "platform/qt_rs232.h"
#include "platform/rs232.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  platform::QtRs232 port;
  platform::setRs232(&port);

  dumper::startDumperPanels();
  guikit::RunUserInterface();

  dumper::stopDumperPanels();
  platform::setRs232(nullptr);
  return 0;
}

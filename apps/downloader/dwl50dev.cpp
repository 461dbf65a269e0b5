// kelvane-downloader: writes firmware images into the handset flash.
#include <QApplication>

#include "apps/downloader/dwl51mmi.h"
#include "apps/downloader/dwl53ser.h"
#include "apps/downloader/panels.h"
#include "apps/guikit/userint.h"
#include "engines/downloader/download_context.h"
#include "platform/cancel.h"
#include "platform/data_folders.h"
#include "platform/native_rs232.h"
#include "platform/qt_program.h"

int main(int argc, char** argv) {
  const platform::ProgramInfo info{
      "kelvane-downloader", KELVANE_VERSION,
      "Writes firmware images into the flash of a GSM handset over a serial line."};
  if (const auto status = platform::answerInfoOptions(argc, argv, info)) return *status;
  QApplication app(argc, argv);
  if (const auto status = platform::startWindowedProgram(app, info)) return *status;
  platform::NativeRs232 port;
  downloader::programSettings() = {&port, {}, platform::standardDataFolders()};

  downloader::startDownloaderPanels();
  platform::endOnSignals(app, "kelvane-downloader: stopping, the port will be closed", [] {
    downloader::cancelToken().cancel();
    guikit::QuitUserInterface(0);
  });
  guikit::RunUserInterface();

  // The handset may still sit in its bootstrap after the service panel: release the line.
  downloader::closeServicePort();
  downloader::stopDownloaderPanels();
  downloader::releaseImages(downloader::sg_DownloadContext);
  downloader::programSettings() = {};
  return platform::endStatus(0);
}

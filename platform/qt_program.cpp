#include "platform/qt_program.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <string>

#include "platform/data_files.h"
#include "platform/data_folders.h"
#include "platform/qt_data_folders.h"
#include "platform/signals.h"

namespace platform {

namespace {

const QCommandLineOption kDocuments(
    "work-in-documents",
    "Work in the folder Kelvane of the user's documents (made when missing): config.txt and "
    "dump.txt go there. The desktop menu starts the program so.");

void describe(QCommandLineParser& parser, const ProgramInfo& info) {
  parser.setApplicationDescription(
      QString::fromUtf8(info.description) +
      "\n\nflash.txt and dwl87.spm are read from the working directory, else from the user's "
      "configuration folder (kelvane/), else from the installed data folder (share/kelvane/).");
  parser.addOption(kDocuments);
}

}  // namespace

std::optional<int> answerInfoOptions(int argc, char** argv, const ProgramInfo& info) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  describe(parser, info);
  const QCommandLineOption help({"h", "help"}, "Displays this help.");
  const QCommandLineOption version({"v", "version"}, "Displays the version.");
  parser.addOption(help);
  parser.addOption(version);
  // Options of Qt itself (-platform, -style) are unknown here: the application object takes them.
  parser.parse(arguments);
  if (parser.isSet(help)) {
    // Without the application object Qt does not know the program's name.
    QString text = parser.helpText();
    text.replace("<executable_name>", QString::fromUtf8(info.name));
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::printf("%s %s\n", info.name, info.version);
    return 0;
  }
  return std::nullopt;
}

std::optional<int> startWindowedProgram(QCoreApplication& app, const ProgramInfo& info) {
  QCoreApplication::setApplicationName(QString::fromUtf8(info.name));
  QCoreApplication::setApplicationVersion(QString::fromUtf8(info.version));
  QCommandLineParser parser;
  describe(parser, info);
  parser.addHelpOption();
  parser.addVersionOption();
  parser.process(app);  // an unknown option ends the program here

  if (parser.isSet(kDocuments)) {
    std::string why;
    if (!enterDocumentsFolder(&why)) {
      std::fprintf(stderr, "%s: %s\n", info.name, why.c_str());
      return 1;
    }
  }
  // The windows quote fixed texts; whoever started the program from a terminal learns more.
  const DataFolders folders = standardDataFolders();
  for (const char* file : {"flash.txt", "dwl87.spm"})
    if (locateDataFile(file, folders).empty())
      std::fprintf(stderr, "%s: %s\n", info.name, missingDataFileText(file, folders).c_str());
  return std::nullopt;
}

void endOnSignals(QCoreApplication& app, const char* notice, std::function<void()> stop) {
  static CancelToken signalled;
  cancelOnSignals(signalled, notice);
  // The handler may only set the token; the loop looks at it.
  auto* watch = new QTimer(&app);
  QObject::connect(watch, &QTimer::timeout, watch, [watch, stop = std::move(stop)] {
    if (!signalled.cancelled()) return;
    watch->stop();
    stop();
  });
  watch->start(100);
}

int endStatus(int normal) {
  const int signal = cancellingSignal();
  return signal != 0 ? exitStatusForSignal(signal) : normal;
}

}  // namespace platform

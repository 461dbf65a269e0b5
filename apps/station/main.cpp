// kelvane-station: flashes many handsets at once, one slot per port, from one recipe. The recipe
// is edited in the window and saved on exit; options given here replace the saved values.
#include <QApplication>
#include <QSettings>
#include <cstdio>

#include "apps/station/recipe_settings.h"
#include "apps/station/station_args.h"
#include "apps/station/station_window.h"
#include "dwl/dwl_context.h"
#include "platform/qt_program.h"

namespace {

constexpr const char* kUsage =
    "Usage: kelvane-station [OPTIONS] [PORT...]\n"
    "Flashes many handsets at once, one slot per port (COM number or device), from one recipe.\n"
    "The recipe is edited in the window and saved on exit; these options replace the saved\n"
    "values (naming any image replaces all four image slots) and are saved in turn.\n\n"
    "  --bin1 F, --bin2 F, --ogm1 F, --ogm2 F   the images\n"
    "  --model N            0..3\n"
    "  --speed N            link speed row 0..%d\n"
    "  --product-type N     1..2\n"
    "  --wait-states A,B,C,D  four wait states 0..%d\n"
    "  --pmu | --no-pmu\n"
    "  --verify | --no-verify\n"
    "  --log FILE           the job log (default $XDG_DATA_HOME/kelvane/jobs.jsonl); one that\n"
    "                       cannot be written stops new jobs, and --start then ends the program\n"
    "  --recipe FILE        run a recipe file (kelvane recipe create) in the operator view; its\n"
    "                       images are checked against their checksums before any slot starts\n"
    "  --operator NAME      the operator's name, in every job's record\n"
    "                       (the window asks for it at start, prefilled with this name or the\n"
    "                       last one given; not with --start)\n"
    "  --serial FORMAT      each unit's serial number from the counter beside the job log,\n"
    "                       e.g. 'LINE{n:05}'\n"
    "  --serial ask         each slot asks for its unit's serial number, scanned or typed into\n"
    "                       its field, before each job\n"
    "  --start              start every slot in continuous mode at once (an unattended line)\n"
    "  -h, --help           this text\n"
    "  --version            the program's version\n\n"
    "Ports given here replace the saved list; the list is saved on exit. SIGTERM, Ctrl-C and a\n"
    "hang-up stop every slot, log its job and end the program (143, 130, 129).\n";

void say(const QString& text) {
  std::fprintf(stderr, "kelvane-station: %s\n", text.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before the application object, so they work without a display.
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::printf(kUsage, dwl::kSpeedRows - 1, station::kLastWaitState);
      return 0;
    }
    if (a == "--version") {
      std::printf("kelvane-station %s\n", KELVANE_VERSION);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setOrganizationName("kelvane");
  QApplication::setApplicationName("kelvane-station");
  // First of all, so that a signal at any time ends the program with its notice (SIGTERM from a
  // shutdown, Ctrl-C, a closed terminal): every slot is cancelled between blocks, its job logged,
  // and the settings saved, instead of the program dying half-way through writes.
  station::StationWindow* shown = nullptr;
  platform::endOnSignals(app, "kelvane-station: stopping every slot, the ports will be closed",
                         [&] {
                           if (!shown) return QApplication::exit(0);
                           shown->setQuitting();
                           shown->close();
                         });
  QSettings settings;
  station::StationArguments given;
  given.recipe = station::restoreRecipe(settings);
  given.logPath = ops::JobLog::defaultPath();
  QStringList args = QApplication::arguments();
  args.removeFirst();
  if (const QString problem = station::parseStationArguments(args, given); !problem.isEmpty()) {
    say(problem);
    return 2;
  }
  QStringList ports = given.ports;
  if (ports.isEmpty()) {
    ports = settings.value("ports").toStringList();
    // The window shows them too; whoever started the program from a terminal learns it here.
    for (const QString& problem : station::portProblems(ports))
      say("no slot for the saved port " + problem);
  }
  for (const auto& [key, why] : given.recipe.unreadable) say(QString::fromStdString(why));

  ops::JobLog log;
  // A record that could not be written is said at once, the record with it, so that the handset
  // is recorded somewhere; the window says why no new job starts.
  log.whenLost = [](const std::string& line, const std::string& why) {
    std::fprintf(stderr, "kelvane-station: %s; no new job starts. Not recorded: %s", why.c_str(),
                 line.c_str());
    std::fflush(stderr);
  };
  std::string why;
  const bool logged = log.open(given.logPath, &why);
  if (!logged) say(QString::fromStdString(why) + "; nothing can start");

  station::StationWindow window(given.recipe, &log, station::serialPorts(), ports, &settings);
  shown = &window;
  // The station's choice of serial numbers stays from one run to the next.
  window.setSerialChoice(given.serialFormat.isEmpty() ? settings.value("serial").toString()
                                                      : given.serialFormat);
  // An unattended line has nobody to ask: its records name the operator given, if any.
  const QString lastOperator = settings.value("operator").toString();
  if (given.start) window.setOperator(given.operatorName);
  // A recipe file that cannot be read leaves the saved recipe in the panel: --start must not
  // run that instead.
  const bool recipeOpened = given.recipeFile.isEmpty() || window.openRecipeFile(given.recipeFile);
  if (!recipeOpened)
    say("the recipe file cannot be used:\n  " + window.recipeProblems().join("\n  "));
  // A recipe that cannot run opens the window all the same, its problems shown for the operator
  // to mend.
  if (const QStringList problems = window.recipeProblems(); recipeOpened && !problems.isEmpty())
    say("the recipe cannot run:\n  " + problems.join("\n  "));
  // An unattended line with no log to record its handsets has nothing to do: it ends.
  if (given.start && !logged) {
    say("--start: nothing started");
    return 1;
  }
  window.show();
  if (!given.start)
    window.askOperator(given.operatorName.isEmpty() ? lastOperator : given.operatorName);
  if (given.start && (!recipeOpened || !window.startAll()))
    say("--start: nothing started, the recipe cannot run");
  const int status = app.exec();
  settings.setValue("ports", window.ports());
  settings.setValue("serial", window.serialChoice());
  // A hand-edited value that could not be read stays in the file, for its author to mend.
  if (const station::Recipe r = window.recipe(); r.unreadable.empty())
    station::saveRecipe(settings, r);
  window.engine().cancelAll();
  window.engine().waitAll();
  return platform::endStatus(status);
}

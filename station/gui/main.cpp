// kelvane-station: flashes many handsets at once, one slot per port, from one recipe. The recipe
// is edited in the window and saved on exit; options given here replace the saved values.
#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <cstdio>

#include "dwl/dwl_context.h"
#include "platform/qt_program.h"
#include "station/gui/station_window.h"
#include "station/recipe_settings.h"

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
    "  --log FILE           the job log (default $XDG_DATA_HOME/kelvane/jobs.jsonl)\n"
    "  --start              start every slot in continuous mode at once (an unattended line)\n"
    "  -h, --help           this text\n"
    "  --version            the program's version\n\n"
    "Ports given here replace the saved list; the list is saved on exit. SIGTERM and Ctrl-C stop\n"
    "every slot, log its job and end the program (143, 130).\n";

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
  QSettings settings;
  station::Recipe recipe = station::restoreRecipe(settings);
  std::string logPath = ops::JobLog::defaultPath();
  QStringList ports;
  bool startNow = false, imagesGiven = false;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    const QString a = args[i];
    auto next = [&] { return i + 1 < args.size() ? args[++i] : QString(); };
    // A number first..last, or a usage error: the window could not show any other.
    auto number = [&](int first, int last, int* out) {
      bool ok = false;
      const QString text = next();
      const int v = text.toInt(&ok);
      if (ok && v >= first && v <= last) {
        *out = v;
        return true;
      }
      say(QString("%1 takes %2..%3, not '%4'").arg(a).arg(first).arg(last).arg(text));
      return false;
    };
    const struct {
      const char* name;
      dwl::Slot slot;
    } imageSlots[] = {{"--bin1", dwl::Slot::Bin1},
                      {"--bin2", dwl::Slot::Bin2},
                      {"--ogm1", dwl::Slot::Ogm1},
                      {"--ogm2", dwl::Slot::Ogm2}};
    bool done = false;
    for (const auto& s : imageSlots) {
      if (a != s.name) continue;
      // The saved images stand only when no image is named here.
      if (!imagesGiven) recipe.images.clear();
      imagesGiven = done = true;
      std::erase_if(recipe.images, [&](const station::RecipeImage& r) { return r.slot == s.slot; });
      // Absolute, as the saved recipe must name the same file from any working folder.
      const QString path = next();
      recipe.images.push_back(
          {s.slot, (path.isEmpty() ? path : QFileInfo(path).absoluteFilePath()).toStdString()});
    }
    if (done) continue;
    if (a == "--model") {
      if (!number(0, station::kLastModel, &recipe.model)) return 2;
    } else if (a == "--speed") {
      if (!number(0, dwl::kSpeedRows - 1, &recipe.speed)) return 2;
    } else if (a == "--product-type") {
      if (!number(1, 2, &recipe.productType)) return 2;
    } else if (a == "--wait-states") {
      const QString text = next();
      const QStringList parts = text.split(',');
      bool ok = parts.size() == static_cast<qsizetype>(recipe.waitStates.size());
      for (qsizetype k = 0; ok && k < parts.size(); ++k) {
        const int w = parts[k].toInt(&ok);
        ok = ok && w >= 0 && w <= station::kLastWaitState;
        if (ok) recipe.waitStates[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(w);
      }
      if (!ok) {
        say(QString("--wait-states takes four numbers 0..%1 separated by commas, not '%2'")
                .arg(station::kLastWaitState)
                .arg(text));
        return 2;
      }
    } else if (a == "--pmu" || a == "--no-pmu") {
      recipe.pmu = a == "--pmu";
    } else if (a == "--verify" || a == "--no-verify") {
      recipe.verify = a == "--verify";
    } else if (a == "--start") {
      startNow = true;
    } else if (a == "--log") {
      logPath = next().toStdString();
    } else if (a.startsWith("-")) {
      say("unknown option " + a + " (kelvane-station --help lists them)");
      return 2;
    } else {
      ports << a;
    }
  }

  ops::JobLog log;
  std::string why;
  if (!log.open(logPath, &why))
    QMessageBox::warning(nullptr, "Kelvane station", QString::fromStdString(why));

  if (ports.isEmpty()) ports = settings.value("ports").toStringList();
  station::StationWindow window(recipe, &log, station::serialPorts(), ports, &settings);
  // A recipe that cannot run opens the window all the same, its problems shown for the operator
  // to mend.
  if (const QStringList problems = window.recipeProblems(); !problems.isEmpty())
    say("the recipe cannot run:\n  " + problems.join("\n  "));
  window.show();
  if (startNow && !window.startAll()) say("--start: nothing started, the recipe cannot run");
  // SIGTERM (a shutdown) or Ctrl-C in the terminal: every slot is cancelled between blocks, its
  // job logged, and the settings saved, instead of the program dying half-way through writes.
  platform::endOnSignals(app, "kelvane-station: stopping every slot, the ports will be closed",
                         [&] {
                           window.setQuitting();
                           window.close();
                         });
  const int status = app.exec();
  settings.setValue("ports", window.ports());
  station::saveRecipe(settings, window.recipe());
  window.engine().cancelAll();
  window.engine().waitAll();
  return platform::endStatus(status);
}

// kelvane-station: flashes many handsets at once, one slot per port, from one recipe.
//   kelvane-station [--bin1 F] [--bin2 F] [--ogm1 F] [--ogm2 F] [--model N] [--speed N]
//                   [--verify | --no-verify] [--log FILE] [--start] [PORT...]
// The recipe is edited in the window and saved on exit; options given here replace the saved
// values (any image option replaces all four image slots). --start starts every slot in
// continuous mode at once (an unattended line). Ports given here replace the saved list; the
// list is saved on exit.
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

void say(const QString& text) {
  std::fprintf(stderr, "kelvane-station: %s\n", text.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
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
    } else if (a == "--verify" || a == "--no-verify") {
      recipe.verify = a == "--verify";
    } else if (a == "--start") {
      startNow = true;
    } else if (a == "--log") {
      logPath = next().toStdString();
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

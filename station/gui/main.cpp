// kelvane-station: flashes many handsets at once, one slot per port, from one recipe.
//   kelvane-station [--bin1 F] [--bin2 F] [--ogm1 F] [--ogm2 F] [--model N] [--speed N]
//                   [--no-verify] [--log FILE] [--start] [PORT...]
// --start starts every slot in continuous mode at once (an unattended line).
// Ports given on the command line replace the saved list; the list is saved on exit.
#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <cstdio>

#include "station/gui/station_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName("kelvane");
  QApplication::setApplicationName("kelvane-station");
  station::Recipe recipe;
  std::string logPath = ops::JobLog::defaultPath();
  QStringList ports;
  QString text;
  bool startNow = false;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    const QString a = args[i];
    auto next = [&] { return i + 1 < args.size() ? args[++i] : QString(); };
    const struct {
      const char* name;
      dwl::Slot slot;
    } imageSlots[] = {{"--bin1", dwl::Slot::Bin1},
                      {"--bin2", dwl::Slot::Bin2},
                      {"--ogm1", dwl::Slot::Ogm1},
                      {"--ogm2", dwl::Slot::Ogm2}};
    bool done = false;
    for (const auto& s : imageSlots) {
      if (a == s.name) {
        const QString path = next();
        recipe.images.push_back({s.slot, path.toStdString()});
        text += QString(s.name + 2) + " " + path + ", ";
        done = true;
      }
    }
    if (done) continue;
    if (a == "--model")
      recipe.model = next().toInt();
    else if (a == "--speed")
      recipe.speed = next().toInt();
    else if (a == "--no-verify")
      recipe.verify = false;
    else if (a == "--start")
      startNow = true;
    else if (a == "--log")
      logPath = next().toStdString();
    else
      ports << a;
  }
  text += QString("model %1, speed %2, %3; log %4")
              .arg(recipe.model)
              .arg(recipe.speed)
              .arg(recipe.verify ? "verify" : "no verify")
              .arg(QString::fromStdString(logPath));

  std::vector<std::string> problems;
  const auto loaded = station::loadRecipe(recipe, &problems);
  if (!loaded) {
    QString all;
    for (const std::string& p : problems) all += QString::fromStdString(p) + "\n";
    std::fprintf(stderr, "kelvane-station: %s", all.toLocal8Bit().constData());
    QMessageBox::critical(nullptr, "Kelvane station", "The recipe cannot run:\n" + all);
    return 2;
  }
  ops::JobLog log;
  std::string why;
  if (!log.open(logPath, &why))
    QMessageBox::warning(nullptr, "Kelvane station", QString::fromStdString(why));

  QSettings settings;
  if (ports.isEmpty()) ports = settings.value("ports").toStringList();
  station::StationWindow window(loaded, text, &log, station::serialPorts(), ports);
  window.show();
  if (startNow) window.engine().startAll(true);
  const int status = app.exec();
  settings.setValue("ports", window.ports());
  window.engine().cancelAll();
  window.engine().waitAll();
  return status;
}

#include "apps/station/station_args.h"

#include <QFileInfo>

#include "dwl/dwl_context.h"
#include "station/serial_counter.h"

namespace station {

QStringList portProblems(const QStringList& ports) {
  // The station's own rule: a throwaway station takes the ports one by one.
  Station probe(nullptr, nullptr, {});
  QStringList problems;
  for (const QString& port : ports) {
    std::string why;
    if (probe.addSlot(port.toStdString(), &why) < 0)
      problems << port + ": " + QString::fromStdString(why);
  }
  return problems;
}

QString parseStationArguments(const QStringList& args, StationArguments& into) {
  Recipe& recipe = into.recipe;
  bool imagesGiven = false;
  for (int i = 0; i < args.size(); ++i) {
    const QString a = args[i];
    // The value of an option; an option name in its place is the value forgotten, not a file
    // named "--start" (write ./--start for that).
    QString value;
    auto next = [&]() -> bool {
      if (i + 1 >= args.size() || args[i + 1].startsWith("--")) return false;
      value = args[++i];
      return true;
    };
    auto missing = [&] { return a + " needs a value"; };
    // A number first..last, or a usage error: the window could not show any other.
    auto number = [&](const char* key, int first, int last, int* out) -> QString {
      if (!next()) return missing();
      bool ok = false;
      const int v = value.toInt(&ok);
      if (!ok || v < first || v > last)
        return QString("%1 takes %2..%3, not '%4'").arg(a).arg(first).arg(last).arg(value);
      *out = v;
      recipe.unreadable.erase(key);
      return {};
    };
    const struct {
      const char* name;
      dwl::Slot slot;
    } imageSlots[] = {{"--bin1", dwl::Slot::Bin1},
                      {"--bin2", dwl::Slot::Bin2},
                      {"--ogm1", dwl::Slot::Ogm1},
                      {"--ogm2", dwl::Slot::Ogm2}};
    bool image = false;
    for (const auto& s : imageSlots) {
      if (a != s.name) continue;
      if (!next()) return missing();
      // The saved images stand only when no image is named here.
      if (!imagesGiven) recipe.images.clear();
      imagesGiven = image = true;
      std::erase_if(recipe.images, [&](const RecipeImage& r) { return r.slot == s.slot; });
      // Absolute, as the saved recipe must name the same file from any working folder.
      recipe.images.push_back(
          {s.slot, (value.isEmpty() ? value : QFileInfo(value).absoluteFilePath()).toStdString()});
    }
    if (image) continue;
    QString problem;
    if (a == "--model") {
      problem = number("model", 0, kLastModel, &recipe.model);
    } else if (a == "--speed") {
      problem = number("speed", 0, dwl::kSpeedRows - 1, &recipe.speed);
    } else if (a == "--product-type") {
      problem = number("productType", 1, 2, &recipe.productType);
    } else if (a == "--wait-states") {
      if (!next()) return missing();
      const QStringList parts = value.split(',');
      bool ok = parts.size() == static_cast<qsizetype>(recipe.waitStates.size());
      std::array<std::uint8_t, 4> waits{};
      for (qsizetype k = 0; ok && k < parts.size(); ++k) {
        const int w = parts[k].toInt(&ok);
        ok = ok && w >= 0 && w <= kLastWaitState;
        waits[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(w);
      }
      if (!ok)
        return QString("--wait-states takes four numbers 0..%1 separated by commas, not '%2'")
            .arg(kLastWaitState)
            .arg(value);
      recipe.waitStates = waits;
      recipe.unreadable.erase("waitStates");
    } else if (a == "--pmu" || a == "--no-pmu") {
      recipe.pmu = a == "--pmu";
      recipe.unreadable.erase("pmu");
    } else if (a == "--verify" || a == "--no-verify") {
      recipe.verify = a == "--verify";
      recipe.unreadable.erase("verify");
    } else if (a == "--start") {
      into.start = true;
    } else if (a == "--recipe") {
      if (!next() || value.isEmpty()) return missing();
      into.recipeFile = value;
    } else if (a == "--serial") {
      if (!next() || value.isEmpty()) return missing();
      // "ask": each slot asks for its unit's number, scanned or typed.
      if (std::string why; value != "ask" && !parseSerialFormat(value.toStdString(), nullptr, &why))
        return QString::fromStdString(why);
      into.serialFormat = value;
    } else if (a == "--operator") {
      if (!next() || value.isEmpty()) return missing();
      into.operatorName = value;
    } else if (a == "--log") {
      if (!next() || value.isEmpty()) return missing();
      into.logPath = value.toStdString();
    } else if (a.startsWith("-")) {
      return "unknown option " + a + " (kelvane-station --help lists them)";
    } else {
      into.ports << a;
    }
    if (!problem.isEmpty()) return problem;
  }
  if (const QStringList bad = portProblems(into.ports); !bad.isEmpty())
    return "no slot for " + bad.join("; ");
  return {};
}

}  // namespace station

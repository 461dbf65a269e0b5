#include "station/recipe_settings.h"

#include "downloader/dwl3spm87.h"
#include "dwl/dwl_context.h"

namespace station {

namespace {

QString key(const char* name) {
  return QStringLiteral("recipe/") + QLatin1String(name);
}

// The saved number when it is an integer within first..last, else the fallback.
int savedInt(const QSettings& settings, const char* name, int first, int last, int fallback) {
  bool ok = false;
  const int v = settings.value(key(name)).toInt(&ok);
  return ok && v >= first && v <= last ? v : fallback;
}

}  // namespace

void saveRecipe(QSettings& settings, const Recipe& recipe) {
  for (const dwl::Slot slot : kImageSlots) {
    QString path;
    for (const RecipeImage& image : recipe.images)
      if (image.slot == slot) path = QString::fromStdString(image.path);
    settings.setValue(key(downloader::slotName(slot)), path);
  }
  settings.setValue(key("model"), recipe.model);
  settings.setValue(key("speed"), recipe.speed);
  settings.setValue(key("productType"), recipe.productType);
  QList<QVariant> waits;
  for (const std::uint8_t w : recipe.waitStates) waits << int{w};
  settings.setValue(key("waitStates"), waits);
  settings.setValue(key("pmu"), recipe.pmu);
  settings.setValue(key("verify"), recipe.verify);
}

Recipe restoreRecipe(const QSettings& settings) {
  Recipe recipe;
  for (const dwl::Slot slot : kImageSlots) {
    const QString path = settings.value(key(downloader::slotName(slot))).toString();
    if (!path.isEmpty()) recipe.images.push_back({slot, path.toStdString()});
  }
  recipe.model = savedInt(settings, "model", 0, kLastModel, recipe.model);
  recipe.speed = savedInt(settings, "speed", 0, dwl::kSpeedRows - 1, recipe.speed);
  recipe.productType = savedInt(settings, "productType", 1, 2, recipe.productType);
  const QList<QVariant> waits = settings.value(key("waitStates")).toList();
  if (waits.size() == static_cast<qsizetype>(recipe.waitStates.size())) {
    std::array<std::uint8_t, 4> values{};
    bool good = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
      bool ok = false;
      const int w = waits[static_cast<qsizetype>(i)].toInt(&ok);
      good = good && ok && w >= 0 && w <= kLastWaitState;
      values[i] = static_cast<std::uint8_t>(w);
    }
    if (good) recipe.waitStates = values;
  }
  recipe.pmu = settings.value(key("pmu"), recipe.pmu).toBool();
  recipe.verify = settings.value(key("verify"), recipe.verify).toBool();
  return recipe;
}

}  // namespace station

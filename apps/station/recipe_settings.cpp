#include "apps/station/recipe_settings.h"

#include "dwl/dwl_context.h"
#include "engines/downloader/dwl3spm87.h"

namespace station {

namespace {

QString key(const char* name) {
  return QStringLiteral("recipe/") + QLatin1String(name);
}

// Notes a saved value that cannot be taken, with the key, the value and the file.
void unreadable(const QSettings& settings, Recipe& recipe, const char* name, const QString& value,
                const QString& wanted) {
  recipe.unreadable[name] = QString("the settings file %1 has %2=%3: %4")
                                .arg(settings.fileName(), key(name), value, wanted)
                                .toStdString();
}

// The saved number when it is an integer within first..last; otherwise the field is left alone.
void savedInt(const QSettings& settings, Recipe& recipe, const char* name, int first, int last,
              int* field) {
  if (!settings.contains(key(name))) return;
  const QString text = settings.value(key(name)).toString();
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  if (ok && v >= first && v <= last)
    *field = v;
  else
    unreadable(settings, recipe, name, text, QString("not a number %1..%2").arg(first).arg(last));
}

void savedSwitch(const QSettings& settings, Recipe& recipe, const char* name, bool* field) {
  if (!settings.contains(key(name))) return;
  const QString text = settings.value(key(name)).toString();
  const QString word = text.trimmed().toLower();
  if (word == "true" || word == "yes" || word == "on" || word == "1")
    *field = true;
  else if (word == "false" || word == "no" || word == "off" || word == "0")
    *field = false;
  else
    unreadable(settings, recipe, name, text, "not true or false");
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
  savedInt(settings, recipe, "model", 0, kLastModel, &recipe.model);
  savedInt(settings, recipe, "speed", 0, dwl::kSpeedRows - 1, &recipe.speed);
  savedInt(settings, recipe, "productType", 1, 2, &recipe.productType);
  if (settings.contains(key("waitStates"))) {
    const QStringList waits = settings.value(key("waitStates")).toStringList();
    std::array<std::uint8_t, 4> values{};
    bool good = waits.size() == static_cast<qsizetype>(values.size());
    for (qsizetype i = 0; good && i < waits.size(); ++i) {
      const int w = waits[i].trimmed().toInt(&good);
      good = good && w >= 0 && w <= kLastWaitState;
      values[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(w);
    }
    if (good)
      recipe.waitStates = values;
    else
      unreadable(settings, recipe, "waitStates", waits.join(','),
                 QString("not four numbers 0..%1").arg(kLastWaitState));
  }
  savedSwitch(settings, recipe, "pmu", &recipe.pmu);
  savedSwitch(settings, recipe, "verify", &recipe.verify);
  return recipe;
}

}  // namespace station

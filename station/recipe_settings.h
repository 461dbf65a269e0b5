// The station's recipe in the program's settings, so the line restarts with the recipe it ran.
// Qt Core only: the window and its tests share it.
#pragma once

#include <QSettings>

#include "station/station.h"

namespace station {

// Writes every field the window edits under "recipe/"; an image slot without a file is saved empty.
void saveRecipe(QSettings& settings, const Recipe& recipe);
// The saved recipe. A field never saved, or out of the range the window offers (a hand-edited
// file), keeps the default of Recipe.
Recipe restoreRecipe(const QSettings& settings);

}  // namespace station

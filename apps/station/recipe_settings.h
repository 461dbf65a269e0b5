// The station's recipe in the program's settings, so the line restarts with the recipe it ran.
// Qt Core only: the window and its tests share it.
#pragma once

#include <QSettings>

#include "station/station.h"

namespace station {

// Writes every field the window edits under "recipe/"; an image slot without a file is saved empty.
void saveRecipe(QSettings& settings, const Recipe& recipe);
// The saved recipe. A field never saved keeps the default of Recipe; one whose value cannot be
// taken as written (a hand-edited file: a word for a number, a number out of the window's range)
// keeps it too and is named with its value in the recipe's unreadable values, so that the recipe
// does not run on a default nobody chose. Switches take true/false, yes/no, on/off, 1/0.
Recipe restoreRecipe(const QSettings& settings);

}  // namespace station

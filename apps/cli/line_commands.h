// The production line's commands: recipe create, the headless station and the yield report.
#pragma once

#include <ostream>

#include "apps/cli/app.h"
#include "apps/cli/options.h"

namespace cli {

// Pins the images and settings of the options in a recipe file; 0, or the exit status with the
// reason on err.
int runRecipeCreate(const Options& options, std::ostream& out, std::ostream& err);

// Runs the recipe on every port of the options, one slot each, as the station's window would
// without it: a line per finished job on out (on err with --progress jsonl, whose events hold out),
// a summary when every slot has stopped. env.cancel stops every slot. 0 when every job passed,
// otherwise the exit status of the first failure; 15 for a recipe, log or counter that cannot be
// used.
int runStation(const Options& options, const Environment& env, std::ostream& out,
               std::ostream& err);

// Reads the job logs of the options and prints their report.
int runReport(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace cli

// kelvane-station's command line: the options replace the saved recipe's values, the ports the
// saved list. Qt Core only, so the window's program and the tests share it.
#pragma once

#include <QStringList>
#include <string>

#include "station/station.h"

namespace station {

struct StationArguments {
  Recipe recipe;  // the saved recipe on entry; with the options applied on return
  std::string logPath;
  QStringList ports;  // as given; empty when none were
  bool start = false;
  QString recipeFile = {};    // --recipe: a recipe file to run in the operator view
  QString operatorName = {};  // --operator: in every job's record
  // --serial: unit serial numbers from the counter beside the log, or "ask" (scanned or typed)
  QString serialFormat = {};
};

// Applies the arguments (without the program's name) to into. Empty on success; otherwise the
// usage error to say (an option without its value, a value out of range, an unknown option, a
// port that cannot have a slot or is given twice). Options given here drop the saved values they
// replace, unreadable or not.
QString parseStationArguments(const QStringList& args, StationArguments& into);

// Why each of these ports cannot have a slot (a bad name, a device given twice, by itself or
// through a link), one line each; empty when every port can.
QStringList portProblems(const QStringList& ports);

}  // namespace station

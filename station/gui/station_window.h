// kelvane-station's window: a grid of slots over the station's engine. It reads the slots'
// status on a timer; the jobs never touch a widget.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "station/station.h"

namespace station {

class StationWindow final : public QWidget {
 public:
  // recipeText: one line that says what the recipe writes. ports: the saved list.
  StationWindow(std::shared_ptr<const LoadedRecipe> recipe, const QString& recipeText,
                ops::JobLog* log, LineFactory lines, const QStringList& ports);

  Station& engine() { return *station_; }
  QStringList ports() const;

 private:
  void buildSlots(const QStringList& ports);
  void refresh();

  std::shared_ptr<const LoadedRecipe> recipe_;
  ops::JobLog* log_;
  LineFactory lines_;
  std::unique_ptr<Station> station_;
  QLineEdit* portsEdit_;
  QCheckBox* continuous_;
  QLabel* stopped_;
  QTableWidget* table_;
  QTimer timer_;
};

}  // namespace station

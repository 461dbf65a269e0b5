// kelvane-station's window: the recipe panel over a grid of slots over the station's engine. It
// reads the slots' status on a timer; the jobs never touch a widget.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QTime>
#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "station/station.h"

namespace station {

class StationWindow final : public QWidget {
 public:
  // recipe: shown in the panel and checked at once (its problems are shown, nothing exits).
  // ports: the saved list. settings, when given, receives every recipe that passes a check.
  StationWindow(const Recipe& recipe, ops::JobLog* log, LineFactory lines, const QStringList& ports,
                QSettings* settings = nullptr);

  Station& engine() { return *station_; }
  QStringList ports() const;
  // The recipe as the panel shows it.
  Recipe recipe() const;
  // What the last check found wrong, one problem a line; empty after a good check.
  QStringList recipeProblems() const { return problems_; }
  // As the Start all button: checks the panel's recipe, then starts every slot; false, with the
  // problems shown, when the recipe cannot run (nothing starts).
  bool startAll();
  // Set when the program is asked to end (a signal): the close box then stops the slots without
  // asking.
  void setQuitting() { quitting_ = true; }

  // As the Open recipe... button: shows the recipe file, checks it against its pins and turns to
  // the operator view. False, with the problems shown, when the file is not a recipe.
  bool openRecipeFile(const QString& path);
  // As Save recipe as...: pins the panel's images as they are now and writes the recipe file.
  // False, with the problems shown, when the recipe cannot run or the file cannot be written.
  bool saveRecipeFile(const QString& path);
  // The operator view shows the recipe read-only; the engineer mode edits it.
  void setEngineerMode(bool on);
  // The operator's name, in every job's record from now on.
  void setOperator(const QString& name);
  // Serial numbers for the units from now on ("LINE{n:05}", a format parseSerialFormat takes),
  // from the counter file beside the job log (or the log's database); empty: none.
  void setSerialFormat(const QString& format) { setSerialChoice(format); }
  // The station's choice of serial numbers: "" none, "ask" each slot asks for its unit's number
  // (scanned or typed into the slot's field) before each job, else a counter's format. Taken
  // while no slot runs.
  void setSerialChoice(const QString& choice);
  QString serialChoice() const;
  // The operator's name at start: a small dialog, prefilled, that refuses an empty name. From
  // then on a start without an operator asks again instead of starting (Cancel leaves the window
  // usable for everything else).
  void askOperator(const QString& suggested);
  QString operatorName() const { return QString::fromStdString(operator_); }
  bool engineerMode() const;

 protected:
  // While slots run, the close box asks before it stops them.
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildRecipePanel(const Recipe& recipe);
  void showRecipe(const Recipe& recipe);
  void browse(int slot);
  // Says that the panel no longer shows what the last check saw.
  void edited();
  // Loads the panel's recipe and shows its problems or its summary. Null when it cannot run.
  std::shared_ptr<const LoadedRecipe> check(const QString& refused = {});
  // Checks the recipe before a start. When every slot is stopped, a recipe other than the one in
  // force replaces it (a new station over the same ports). False when nothing may start.
  bool prepareStart();
  bool anyRunning() const;
  void buildSlots(const QStringList& ports);
  // Set ports: new slots start their counts from 0, so counts already made are asked about.
  void setPorts();
  void refresh();
  // The latest jobs of the job log, filterable by slot and result.
  void showJobs();

  // The finished jobs of this session, for the yield panel: the slots' threads add to them.
  struct Ended {
    std::chrono::steady_clock::time_point at;
    bool passed = false;
    int family = 0;
    std::string message;
  };
  std::mutex endedMutex_;
  std::vector<Ended> ended_;
  void showYield();

  // The recipe file last opened or saved: its pins stand for the images of the same slot and
  // path, its checksum while the panel is not edited.
  Recipe file_;
  bool fromFile_ = false;

  std::string operator_, stationName_, serialFormat_;
  bool askSerial_ = false;
  bool operatorRequired_ = false;
  QString operatorSuggested_;  // the name the dialog offers
  QPointer<QDialog> operatorDialog_;
  void applyIdentity();
  // The serial choice of the bar's controls, taken when no slot runs.
  void serialChosen();
  // Gives the slot the number typed or scanned into its field.
  void enterSerial(int slot);

  Recipe inForce_;
  std::shared_ptr<const LoadedRecipe> loaded_;
  ops::JobLog* log_;
  LineFactory lines_;
  QSettings* settings_;
  std::unique_ptr<Station> station_;
  QStringList slotPorts_;  // the ports of station_'s slots
  QStringList problems_;
  QString lastFolder_;  // of the last file chosen with Browse...
  bool quitting_ = false;

  QGroupBox* recipeBox_;
  std::array<QLineEdit*, 4> paths_{};  // by dwl::Slot
  QComboBox* model_;
  QComboBox* speed_;
  QComboBox* productType_;
  std::array<QSpinBox*, 4> waitStates_{};
  QCheckBox* pmu_;
  QCheckBox* verify_;
  QLineEdit* name_;
  QLineEdit* revision_;
  QCheckBox* engineer_;
  std::vector<QWidget*> editors_;  // read-only in the operator view
  QLabel* yield_;
  QLabel* summary_;
  QLabel* problemsLabel_;

  QLineEdit* portsEdit_;
  QCheckBox* continuous_;
  QLabel* portProblems_;  // the ports that got no slot, and why
  QLabel* stopped_;
  QComboBox* serialSource_;
  QLineEdit* serialFormatEdit_;
  QLabel* serialProblem_;
  std::vector<QLineEdit*> serialFields_;  // per slot
  QTableWidget* table_;
  QTimer timer_;
  // Per slot: the passes seen so far and when the last one was seen.
  std::vector<std::pair<int, QTime>> passSeen_;
  QPointer<QWidget> jobs_;
};

}  // namespace station

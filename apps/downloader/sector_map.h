// The sector map of the main panel: one cell per sector of the flash being written, coloured by
// its state, so the technician sees where a download stands and where it failed.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <map>
#include <optional>

class SectorMap : public QWidget {
 public:
  // What a cell shows: a sector of the flash the job does not write (NotAvailable), one the
  // image will cover (Waiting), the one being written, written, in error, and the states a job
  // that ended leaves on the sectors it did not reach.
  enum class State { NotAvailable, Waiting, Writing, Written, Error, Cancelled, NotWritten };
  // "N. A.", "Wait...", "wait...", "Downloaded", "Error", "Cancelled", "Not written".
  static QString text(State state);

  explicit SectorMap(QWidget* parent = nullptr);

  void setSector(std::uint32_t index, std::uint32_t size, std::uint32_t address, State state);
  void clear();
  // At the end of a job no sector is left "in progress": those still waiting take state.
  void endInProgress(State state);
  // The state shown for a sector, none when the sector was never reported.
  std::optional<State> state(std::uint32_t index) const;
  int count() const { return static_cast<int>(cells_.size()); }
  // The legend: how many cells of each colour, adding up to the cells shown.
  QString summary() const;

  // Where cell i (in sector order) is drawn: whole and inside the map at any height.
  QRect cellRect(int i) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Cell {
    std::uint32_t size = 0, address = 0;
    State state = State::NotAvailable;
  };
  int columns(int width) const;
  int pitch() const;
  int cellAt(QPoint pos) const;

  std::map<std::uint32_t, Cell> cells_;
};

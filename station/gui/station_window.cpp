#include "station/gui/station_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace station {

namespace {
enum Column { Port, Flash, StageCol, Progress, Elapsed, Result, Count, Actions, Columns };
}

StationWindow::StationWindow(std::shared_ptr<const LoadedRecipe> recipe, const QString& recipeText,
                             ops::JobLog* log, LineFactory lines, const QStringList& ports)
    : recipe_(std::move(recipe)), log_(log), lines_(std::move(lines)) {
  setWindowTitle("Kelvane station");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Recipe: " + recipeText));

  auto* bar = new QHBoxLayout;
  bar->addWidget(new QLabel("Ports:"));
  portsEdit_ = new QLineEdit(ports.join(' '));
  portsEdit_->setToolTip("COM numbers or devices, separated by spaces");
  bar->addWidget(portsEdit_, 1);
  auto* apply = new QPushButton("Set ports");
  bar->addWidget(apply);
  continuous_ = new QCheckBox("Continuous");
  continuous_->setChecked(true);
  bar->addWidget(continuous_);
  auto* startAll = new QPushButton("Start all");
  auto* stopAll = new QPushButton("Stop all");
  bar->addWidget(startAll);
  bar->addWidget(stopAll);
  layout->addLayout(bar);

  stopped_ = new QLabel;
  stopped_->setObjectName("stopReason");
  stopped_->setStyleSheet("color: #b00000; font-weight: bold");
  stopped_->hide();
  layout->addWidget(stopped_);

  table_ = new QTableWidget(0, Columns);
  table_->setHorizontalHeaderLabels(
      {"Port", "Flash", "Stage", "Progress", "Elapsed", "Result", "Pass / fail", ""});
  table_->verticalHeader()->hide();
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  table_->horizontalHeader()->setSectionResizeMode(Result, QHeaderView::Stretch);
  table_->setWordWrap(false);
  const int widths[] = {120, 150, 160, 120, 70};
  for (int c = 0; c < 5; ++c) table_->setColumnWidth(c, widths[c]);
  table_->setColumnWidth(Count, 80);
  layout->addWidget(table_, 1);

  connect(apply, &QPushButton::clicked, this, [this] {
    for (int i = 0; i < station_->slotCount(); ++i) {
      if (station_->status(i).running) {
        QMessageBox::information(this, "Kelvane station", "Stop every slot first.");
        return;
      }
    }
    buildSlots(this->ports());
  });
  connect(startAll, &QPushButton::clicked, this,
          [this] { station_->startAll(continuous_->isChecked()); });
  connect(stopAll, &QPushButton::clicked, this, [this] { station_->cancelAll(); });
  connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
  buildSlots(ports);
  timer_.start(200);
  resize(1240, 440);
}

QStringList StationWindow::ports() const {
  return portsEdit_->text().split(' ', Qt::SkipEmptyParts);
}

void StationWindow::buildSlots(const QStringList& ports) {
  station_ = std::make_unique<Station>(recipe_, log_, lines_);
  table_->setRowCount(0);
  for (const QString& port : ports) {
    std::string why;
    const int slot = station_->addSlot(port.toStdString(), &why);
    if (slot < 0) continue;
    table_->insertRow(slot);
    for (int c = 0; c < Columns; ++c) table_->setItem(slot, c, new QTableWidgetItem);
    auto* bar = new QProgressBar;
    bar->setRange(0, 1000);
    table_->setCellWidget(slot, Progress, bar);
    auto* buttons = new QWidget;
    auto* row = new QHBoxLayout(buttons);
    row->setContentsMargins(2, 0, 2, 0);
    auto* start = new QPushButton("Start");
    auto* cancel = new QPushButton("Cancel");
    row->addWidget(start);
    row->addWidget(cancel);
    table_->setCellWidget(slot, Actions, buttons);
    connect(start, &QPushButton::clicked, this,
            [this, slot] { station_->start(slot, continuous_->isChecked()); });
    connect(cancel, &QPushButton::clicked, this, [this, slot] { station_->cancel(slot); });
  }
  table_->resizeColumnToContents(Actions);
  refresh();
}

void StationWindow::refresh() {
  for (int i = 0; i < station_->slotCount(); ++i) {
    const SlotStatus s = station_->status(i);
    QString port = QString::fromStdString(s.port);
    if (s.device != s.port) port += " (" + QString::fromStdString(s.device) + ")";
    QString stage = stageText(s.stage);
    if (s.stage == SlotStage::Image || s.stage == SlotStage::Verifying)
      stage += QString(" %1 of %2").arg(s.image).arg(s.images);
    if (!s.running && (s.stage == SlotStage::Idle)) stage = "idle";
    const QString texts[] = {port,
                             QString::fromStdString(s.flash),
                             stage,
                             {},
                             QString::number(s.elapsed, 'f', 1) + " s",
                             QString::fromStdString(s.result),
                             QString("%1 / %2").arg(s.passes).arg(s.failures)};
    for (int c = 0; c < Actions; ++c) {
      if (c == Progress) continue;
      if (table_->item(i, c)->text() == texts[c]) continue;
      table_->item(i, c)->setText(texts[c]);
      if (c == Result) table_->item(i, c)->setToolTip(texts[c]);
    }
    const QColor colour = s.stage == SlotStage::Failed ? QColor(255, 220, 220)
                          : s.stage == SlotStage::Done ? QColor(215, 245, 215)
                                                       : QColor(Qt::white);
    table_->item(i, StageCol)->setBackground(colour);
    auto* bar = static_cast<QProgressBar*>(table_->cellWidget(i, Progress));
    const int value = s.total ? static_cast<int>(1000.0 * s.done / s.total) : 0;
    if (bar->value() != value) bar->setValue(value);
  }
  const QString why = QString::fromStdString(station_->stopReason());
  stopped_->setText("No new jobs: " + why);
  stopped_->setVisible(!why.isEmpty());
}

}  // namespace station

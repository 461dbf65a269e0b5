#include "apps/station/station_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <utility>

#include "apps/station/recipe_settings.h"
#include "dwl/dwl_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "platform/replace_file.h"
#include "station/recipe_file.h"
#include "station/serial_counter.h"

namespace station {

namespace {
// Serial is shown second: appended here, moved in the header's order.
enum Column { Port, Flash, StageCol, Progress, Elapsed, Result, Count, Actions, Serial, Columns };

constexpr char kAskSerial[] = "ask";

// "Bin1" for the label of the slot the CLI calls --bin1.
QString slotLabel(dwl::Slot slot) {
  QString name = downloader::slotName(slot);
  name[0] = name[0].toUpper();
  return name;
}

// The same images, byte for byte: a file rewritten under the same name is a new recipe.
bool sameImages(const LoadedRecipe& a, const LoadedRecipe& b) {
  return std::equal(a.input.images.begin(), a.input.images.end(), b.input.images.begin(),
                    b.input.images.end(), [](const ops::Image& x, const ops::Image& y) {
                      return x.slot == y.slot && x.bytes == y.bytes;
                    });
}

}  // namespace

StationWindow::StationWindow(const Recipe& recipe, ops::JobLog* log, LineFactory lines,
                             const QStringList& ports, QSettings* settings)
    : inForce_(recipe), log_(log), lines_(std::move(lines)), settings_(settings) {
  setWindowTitle("Kelvane station");
  stationName_ = QSysInfo::machineHostName().toStdString();
  auto* layout = new QVBoxLayout(this);
  buildRecipePanel(recipe);
  layout->addWidget(recipeBox_);
  summary_ = new QLabel;
  summary_->setObjectName("recipeSummary");
  summary_->setWordWrap(true);
  layout->addWidget(summary_);
  problemsLabel_ = new QLabel;
  problemsLabel_->setObjectName("recipeProblems");
  problemsLabel_->setStyleSheet("color: #b00000");
  problemsLabel_->setWordWrap(true);
  problemsLabel_->hide();
  layout->addWidget(problemsLabel_);

  auto* bar = new QHBoxLayout;
  bar->addWidget(new QLabel("Ports:"));
  portsEdit_ = new QLineEdit(ports.join(' '));
  portsEdit_->setToolTip("COM numbers or devices, separated by spaces");
  bar->addWidget(portsEdit_, 1);
  auto* apply = new QPushButton("Set ports");
  bar->addWidget(apply);
  continuous_ = new QCheckBox("Continuous");
  continuous_->setObjectName("continuous");
  continuous_->setChecked(true);
  bar->addWidget(continuous_);
  bar->addWidget(new QLabel("Serial numbers:"));
  serialSource_ = new QComboBox;
  serialSource_->setObjectName("serialSource");
  serialSource_->addItem("none");
  serialSource_->addItem("scan or type");
  serialSource_->addItem("counter");
  serialSource_->setToolTip(
      "Each unit's serial number: none; scanned or typed into the slot's field before each "
      "job; or from a counter shared by every station of the job log");
  bar->addWidget(serialSource_);
  serialFormatEdit_ = new QLineEdit;
  serialFormatEdit_->setObjectName("serialFormat");
  serialFormatEdit_->setPlaceholderText("LINE{n:05}");
  serialFormatEdit_->setToolTip("The counter's format: {n} or {n:0W} with any text around it");
  serialFormatEdit_->setMaximumWidth(120);
  serialFormatEdit_->setEnabled(false);
  bar->addWidget(serialFormatEdit_);
  connect(serialSource_, &QComboBox::activated, this, [this] { serialChosen(); });
  connect(serialFormatEdit_, &QLineEdit::editingFinished, this, [this] { serialChosen(); });
  auto* startAll = new QPushButton("Start all");
  auto* stopAll = new QPushButton("Stop all");
  bar->addWidget(startAll);
  bar->addWidget(stopAll);
  auto* jobs = new QPushButton("Latest jobs...");
  jobs->setObjectName("latestJobs");
  jobs->setToolTip("The last jobs of the job log, by slot and result");
  jobs->setEnabled(log_ != nullptr);
  connect(jobs, &QPushButton::clicked, this, [this] { showJobs(); });
  bar->addWidget(jobs);
  layout->addLayout(bar);

  portProblems_ = new QLabel;
  portProblems_->setObjectName("portProblems");
  portProblems_->setStyleSheet("color: #b00000");
  portProblems_->setWordWrap(true);
  portProblems_->hide();
  layout->addWidget(portProblems_);

  stopped_ = new QLabel;
  stopped_->setObjectName("stopReason");
  stopped_->setStyleSheet("color: #b00000; font-weight: bold");
  stopped_->hide();
  layout->addWidget(stopped_);

  serialProblem_ = new QLabel;
  serialProblem_->setObjectName("serialProblem");
  serialProblem_->setStyleSheet("color: #b00000; font-weight: bold");
  serialProblem_->hide();
  layout->addWidget(serialProblem_);

  table_ = new QTableWidget(0, Columns);
  table_->setHorizontalHeaderLabels(
      {"Port", "Flash", "Stage", "Progress", "Elapsed", "Result", "Pass / fail", "", "Serial"});
  table_->verticalHeader()->hide();
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  table_->horizontalHeader()->setSectionResizeMode(Result, QHeaderView::Stretch);
  table_->setWordWrap(false);
  const int widths[] = {120, 150, 160, 120, 70};
  for (int c = 0; c < 5; ++c) table_->setColumnWidth(c, widths[c]);
  table_->setColumnWidth(Count, 80);
  table_->setColumnWidth(Serial, 180);
  table_->horizontalHeader()->moveSection(Serial, Flash);
  table_->setColumnHidden(Serial, true);
  layout->addWidget(table_, 1);
  yield_ = new QLabel;
  yield_->setObjectName("yield");
  yield_->setWordWrap(true);
  yield_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(yield_);
  // A result cell shows the start of its text; the whole in its tooltip and here.
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int column) {
    if (column != Result || table_->item(row, Result)->text().isEmpty()) return;
    auto* box = new QMessageBox(QMessageBox::Information, "Kelvane station",
                                table_->item(row, Port)->text() + ": last result",
                                QMessageBox::Close, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(table_->item(row, Result)->text());
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->open();
  });

  connect(apply, &QPushButton::clicked, this, [this] { setPorts(); });
  connect(startAll, &QPushButton::clicked, this, [this] { this->startAll(); });
  connect(stopAll, &QPushButton::clicked, this, [this] { station_->cancelAll(); });
  connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });

  // The panel's reading of the recipe is the one in force: the fields it does not edit (the
  // flash descriptions, the bootstrap) come from the recipe given.
  inForce_ = this->recipe();
  loaded_ = check();
  buildSlots(ports);
  timer_.start(200);
  resize(1240, 640);
}

void StationWindow::buildRecipePanel(const Recipe& recipe) {
  recipeBox_ = new QGroupBox("Recipe");
  auto* grid = new QGridLayout(recipeBox_);
  for (const dwl::Slot slot : kImageSlots) {
    const int row = static_cast<int>(slot);
    grid->addWidget(new QLabel(slotLabel(slot)), row, 0);
    auto* path = new QLineEdit;
    path->setObjectName(downloader::slotName(slot));
    path->setPlaceholderText("no image");
    paths_[row] = path;
    grid->addWidget(path, row, 1);
    auto* browse = new QPushButton("Browse...");
    connect(browse, &QPushButton::clicked, this, [this, row] { this->browse(row); });
    grid->addWidget(browse, row, 2);
  }
  grid->setColumnStretch(1, 1);
  grid->setColumnMinimumWidth(3, 16);

  model_ = new QComboBox;
  model_->setObjectName("model");
  for (int m = 0; m <= kLastModel; ++m) {
    std::uint32_t address = 0;
    const QString where =
        downloader::ogm1Address(m, &address)
            ? "Ogm1 at 0x" + QString::number(address, 16).toUpper().rightJustified(8, '0')
            : QString("no Ogm1 image");
    model_->addItem(QString("Model %1 (%2)").arg(m).arg(where), m);
  }
  speed_ = new QComboBox;
  speed_->setObjectName("speed");
  // Listed by rate, as the downloader lists them; each item keeps its row of the speed table.
  std::vector<std::pair<long, int>> rows;
  for (int i = 0; i < dwl::kSpeedRows; ++i)
    rows.emplace_back(dwl::kDownloaderProfile.PCSpeedValue[i], i);
  std::stable_sort(rows.begin(), rows.end());
  for (const auto& [baud, i] : rows)
    speed_->addItem(QString("%1 baud (speed %2)").arg(baud).arg(i), i);
  productType_ = new QComboBox;
  productType_->setObjectName("productType");
  for (int t = 1; t <= 2; ++t) productType_->addItem(QString::number(t), t);
  auto* waits = new QHBoxLayout;
  for (std::size_t i = 0; i < waitStates_.size(); ++i) {
    auto* w = new QSpinBox;
    w->setRange(0, kLastWaitState);
    w->setToolTip(QString("Wait states of chip select %1").arg(i));
    waitStates_[i] = w;
    waits->addWidget(w);
  }
  waits->addStretch(1);
  const std::pair<const char*, QWidget*> settings[] = {
      {"Model", model_}, {"Link speed", speed_}, {"Product type", productType_}};
  for (int r = 0; r < 3; ++r) {
    grid->addWidget(new QLabel(settings[r].first), r, 4);
    grid->addWidget(settings[r].second, r, 5);
  }
  grid->addWidget(new QLabel("Wait states"), 3, 4);
  grid->addLayout(waits, 3, 5);

  auto* last = new QHBoxLayout;
  pmu_ = new QCheckBox("PMU");
  pmu_->setToolTip("Send the power-management command after the speed change");
  pmu_->setObjectName("pmu");
  verify_ = new QCheckBox("Verify");
  verify_->setObjectName("verify");
  verify_->setToolTip("Read every image back and compare it");
  auto* check = new QPushButton("Check recipe");
  connect(check, &QPushButton::clicked, this, [this] { this->check(); });
  last->addWidget(pmu_);
  last->addWidget(verify_);
  last->addStretch(1);
  last->addWidget(check);
  grid->addLayout(last, 4, 0, 1, 6);

  auto* file = new QHBoxLayout;
  name_ = new QLineEdit;
  name_->setObjectName("recipeName");
  name_->setPlaceholderText("the file's name");
  revision_ = new QLineEdit;
  revision_->setObjectName("recipeRevision");
  revision_->setPlaceholderText("1");
  revision_->setMaximumWidth(80);
  auto* open = new QPushButton("Open recipe...");
  open->setToolTip("Run a recipe file: its images are checked against their checksums");
  connect(open, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getOpenFileName(this, "Open recipe", lastFolder_,
                                                      "Recipes (*.json);;All files (*)");
    if (!path.isEmpty()) openRecipeFile(path);
  });
  auto* saveAs = new QPushButton("Save recipe as...");
  saveAs->setToolTip("Pin the images as they are now (SHA-256 and size) in a recipe file");
  connect(saveAs, &QPushButton::clicked, this, [this] {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save recipe as", lastFolder_, "Recipes (*.json)");
    if (!path.isEmpty()) saveRecipeFile(path);
  });
  engineer_ = new QCheckBox("Engineer mode");
  engineer_->setObjectName("engineerMode");
  engineer_->setToolTip("Edit the recipe; off, the operator view shows it read-only");
  engineer_->setChecked(true);
  connect(engineer_, &QCheckBox::toggled, this, [this](bool on) { setEngineerMode(on); });
  file->addWidget(new QLabel("Name"));
  file->addWidget(name_, 1);
  file->addWidget(new QLabel("Revision"));
  file->addWidget(revision_);
  file->addWidget(open);
  file->addWidget(saveAs);
  file->addWidget(engineer_);
  grid->addLayout(file, 5, 0, 1, 6);
  for (QWidget* w : std::initializer_list<QWidget*>{model_, speed_, productType_, pmu_, verify_,
                                                    name_, revision_, saveAs})
    editors_.push_back(w);
  for (QWidget* w : paths_) editors_.push_back(w);
  for (QWidget* w : waitStates_) editors_.push_back(w);
  for (QPushButton* b : recipeBox_->findChildren<QPushButton*>())
    if (b->text() == "Browse...") editors_.push_back(b);
  showRecipe(recipe);
  // Any edit makes the last check's verdict stale until the next check.
  for (QLineEdit* path : paths_) connect(path, &QLineEdit::textEdited, this, [this] { edited(); });
  for (QComboBox* box : {model_, speed_, productType_})
    connect(box, &QComboBox::activated, this, [this] { edited(); });
  for (QSpinBox* w : waitStates_) connect(w, &QSpinBox::valueChanged, this, [this] { edited(); });
  for (QCheckBox* c : {pmu_, verify_}) connect(c, &QCheckBox::clicked, this, [this] { edited(); });
  for (QLineEdit* e : {name_, revision_})
    connect(e, &QLineEdit::textEdited, this, [this] { edited(); });
}

void StationWindow::showRecipe(const Recipe& recipe) {
  for (QLineEdit* path : paths_) path->clear();
  for (const RecipeImage& image : recipe.images)
    paths_[static_cast<std::size_t>(image.slot)]->setText(QString::fromStdString(image.path));
  const std::pair<QComboBox*, int> choices[] = {
      {model_, recipe.model}, {speed_, recipe.speed}, {productType_, recipe.productType}};
  for (const auto& [box, value] : choices) box->setCurrentIndex(std::max(0, box->findData(value)));
  for (std::size_t i = 0; i < waitStates_.size(); ++i)
    waitStates_[i]->setValue(recipe.waitStates[i]);
  pmu_->setChecked(recipe.pmu);
  verify_->setChecked(recipe.verify);
  name_->setText(QString::fromStdString(recipe.name));
  revision_->setText(QString::fromStdString(recipe.revision));
}

Recipe StationWindow::recipe() const {
  Recipe r = inForce_;
  r.images.clear();
  for (const dwl::Slot slot : kImageSlots) {
    const QString path = paths_[static_cast<std::size_t>(slot)]->text().trimmed();
    if (!path.isEmpty()) r.images.push_back({slot, path.toStdString()});
  }
  r.model = model_->currentData().toInt();
  r.speed = speed_->currentData().toInt();
  r.productType = productType_->currentData().toInt();
  for (std::size_t i = 0; i < waitStates_.size(); ++i)
    r.waitStates[i] = static_cast<std::uint8_t>(waitStates_[i]->value());
  r.pmu = pmu_->isChecked();
  r.verify = verify_->isChecked();
  r.name = name_->text().trimmed().toStdString();
  r.revision = revision_->text().trimmed().toStdString();
  // The file's pins hold for its images while the panel names them; its checksum only while the
  // panel shows the file as it is.
  r.checksum = fromFile_ ? file_.checksum : std::string();
  for (RecipeImage& image : r.images)
    for (const RecipeImage& pinned : file_.images)
      if (pinned.slot == image.slot && pinned.path == image.path) {
        image.sha256 = pinned.sha256;
        image.size = pinned.size;
      }
  return r;
}

bool StationWindow::openRecipeFile(const QString& path) {
  Recipe r;
  std::vector<std::string> found;
  if (!readRecipeFile(path.toStdString(), &r, &found)) {
    problems_.clear();
    for (const std::string& p : found) problems_ << QString::fromStdString(p);
    problemsLabel_->setText("Not a recipe, nothing changed:\n" + problems_.join('\n'));
    problemsLabel_->show();
    return false;
  }
  // The data files are the program's, not the recipe's.
  r.flashPath = inForce_.flashPath;
  r.bootstrapPath = inForce_.bootstrapPath;
  file_ = r;
  fromFile_ = true;
  lastFolder_ = QFileInfo(path).absolutePath();
  inForce_.unreadable.clear();
  showRecipe(r);
  setEngineerMode(false);
  check();
  return true;
}

bool StationWindow::saveRecipeFile(const QString& path) {
  if (name_->text().trimmed().isEmpty()) name_->setText(QFileInfo(path).completeBaseName());
  if (revision_->text().trimmed().isEmpty()) revision_->setText("1");
  fromFile_ = false;
  file_ = {};
  if (!check()) return false;
  Recipe r = recipe();
  std::vector<std::string> found;
  std::string why;
  const std::string text =
      pinImages(r, &found) ? recipeFileText(r, QFileInfo(path).absolutePath().toStdString()) : "";
  if (found.empty() && !platform::replaceFile(path.toStdString(), text, &why)) found.push_back(why);
  if (!found.empty()) {
    problems_.clear();
    for (const std::string& p : found) problems_ << QString::fromStdString(p);
    problemsLabel_->setText("The recipe was not saved:\n" + problems_.join('\n'));
    problemsLabel_->show();
    return false;
  }
  r.checksum = ops::sha256Hex(text);
  file_ = r;
  fromFile_ = true;
  summary_->setText(summary_->text() + "; saved as " + path);
  return true;
}

void StationWindow::setEngineerMode(bool on) {
  if (engineer_->isChecked() != on) engineer_->setChecked(on);
  for (QWidget* w : editors_) w->setEnabled(on);
  // The serial numbers are the line's choice, as the recipe is.
  serialSource_->setEnabled(on && !anyRunning());
  serialFormatEdit_->setEnabled(serialSource_->isEnabled() && serialSource_->currentIndex() == 2);
}

void StationWindow::setOperator(const QString& name) {
  operator_ = name.toStdString();
  applyIdentity();
  setWindowTitle(name.isEmpty() ? "Kelvane station" : "Kelvane station \u2014 " + name);
}

void StationWindow::setSerialChoice(const QString& choice) {
  const bool ask = choice == kAskSerial;
  serialSource_->setCurrentIndex(choice.isEmpty() ? 0 : ask ? 1 : 2);
  serialFormatEdit_->setText(ask ? QString() : choice);
  serialChosen();
}

QString StationWindow::serialChoice() const {
  return askSerial_ ? QString(kAskSerial) : QString::fromStdString(serialFormat_);
}

void StationWindow::serialChosen() {
  if (anyRunning()) return;
  const int source = serialSource_->currentIndex();
  serialFormatEdit_->setEnabled(source == 2 && serialSource_->isEnabled());
  askSerial_ = source == 1;
  serialFormat_.clear();
  serialProblem_->hide();
  if (source == 2) {
    const std::string format = serialFormatEdit_->text().trimmed().toStdString();
    std::string why;
    if (format.empty()) {
      why = "the counter needs a format, for example LINE{n:05}";
    } else if (parseSerialFormat(format, nullptr, &why)) {
      why.clear();
      serialFormat_ = format;
    }
    if (!log_ && why.empty()) why = "no job log keeps the counter";
    if (!why.empty()) {
      serialProblem_->setText("No serial numbers: " + QString::fromStdString(why));
      serialProblem_->show();
    }
  }
  table_->setColumnHidden(Serial, source == 0);
  for (QLineEdit* field : serialFields_)
    field->setPlaceholderText(askSerial_ ? "scan or type, Return" : QString());
  applyIdentity();
}

void StationWindow::enterSerial(int slot) {
  QLineEdit* field = serialFields_.at(static_cast<std::size_t>(slot));
  std::string why;
  if (!station_->enterSerial(slot, field->text().toStdString(), &why)) {
    serialProblem_->setText(QString::fromStdString(why));
    serialProblem_->show();
    field->selectAll();
    return;
  }
  serialProblem_->hide();
  field->setEnabled(false);
  refresh();
}

void StationWindow::askOperator(const QString& suggested) {
  operatorRequired_ = true;
  // One dialog, shown again on each ask.
  if (!operatorDialog_) {
    auto* dialog = new QDialog(this);
    dialog->setObjectName("operatorDialog");
    dialog->setWindowTitle("Kelvane station \u2014 Operator");
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setMinimumWidth(420);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(new QLabel("Operator's name (in every job's record):"));
    auto* name = new QLineEdit;
    name->setObjectName("operatorName");
    layout->addWidget(name);
    auto* refused = new QLabel("Enter the operator's name: every job's record carries it.");
    refused->setObjectName("operatorRefused");
    refused->setStyleSheet("color: #b00000");
    layout->addWidget(refused);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* ok = new QPushButton("OK");
    ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel");
    // Return is OK whichever button was used last: a name typed and Return.
    cancel->setAutoDefault(false);
    ok->setAutoDefault(false);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, dialog, [this, dialog, name, refused] {
      const QString given = name->text().trimmed();
      if (given.isEmpty()) {
        refused->show();
        name->setFocus();
        return;
      }
      setOperator(given);
      if (settings_) settings_->setValue("operator", given);
      dialog->accept();
    });
    connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    operatorDialog_ = dialog;
  }
  if (!suggested.isEmpty()) operatorSuggested_ = suggested;
  auto* name = operatorDialog_->findChild<QLineEdit*>("operatorName");
  if (!operatorDialog_->isVisible())
    name->setText(operator_.empty() ? operatorSuggested_ : QString::fromStdString(operator_));
  operatorDialog_->findChild<QLabel*>("operatorRefused")->hide();
  name->selectAll();
  operatorDialog_->show();
  operatorDialog_->raise();
  name->setFocus();
}

void StationWindow::applyIdentity() {
  // The slots read these as their jobs end: set only while none runs (the program sets them
  // before any start).
  if (anyRunning()) return;
  station_->operatorName = operator_;
  station_->stationName = stationName_;
  station_->askSerial = askSerial_;
  // From the database or the counter file beside the log, which the station takes itself.
  station_->serialFormat = log_ ? serialFormat_ : std::string();
}

bool StationWindow::engineerMode() const {
  return engineer_->isChecked();
}

void StationWindow::edited() {
  // The panel's values are now the operator's: the saved ones that could not be read no longer
  // stand in the way.
  inForce_.unreadable.clear();
  fromFile_ = false;
  problemsLabel_->hide();
  summary_->setText("Recipe edited: Check recipe or a start checks it.");
  summary_->show();
}

void StationWindow::browse(int slot) {
  QLineEdit* path = paths_[static_cast<std::size_t>(slot)];
  // The folder of this slot's file, else the one a file was last chosen from (kept in the
  // settings), else that of another slot's file; the working folder at last.
  auto folderOf = [](const QLineEdit* field) {
    const QString file = field->text().trimmed();
    return file.isEmpty() ? QString() : QFileInfo(file).absolutePath();
  };
  QString folder = folderOf(path);
  if (folder.isEmpty()) folder = lastFolder_;
  if (folder.isEmpty() && settings_) folder = settings_->value("recipe/browseFolder").toString();
  for (const QLineEdit* other : paths_)
    if (folder.isEmpty()) folder = folderOf(other);
  const QString chosen = QFileDialog::getOpenFileName(
      this, slotLabel(static_cast<dwl::Slot>(slot)) + " image", folder);
  if (chosen.isEmpty()) return;
  path->setText(chosen);
  lastFolder_ = QFileInfo(chosen).absolutePath();
  if (settings_) settings_->setValue("recipe/browseFolder", lastFolder_);
  edited();
}

std::shared_ptr<const LoadedRecipe> StationWindow::check(const QString& refused) {
  const Recipe r = recipe();
  std::vector<std::string> found;
  auto loaded = loadRecipe(r, &found);
  problems_.clear();
  for (const std::string& p : found) problems_ << QString::fromStdString(p);
  if (!loaded) {
    const QString head =
        refused.isEmpty() ? "The recipe cannot run:" : refused + ": the recipe cannot run:";
    problemsLabel_->setText(head + "\n" + problems_.join('\n'));
    problemsLabel_->show();
    summary_->hide();
    return nullptr;
  }
  problemsLabel_->hide();
  QString text = "Recipe: " + QString::fromStdString(recipeSummary(*loaded));
  if (log_) text += "; log " + QString::fromStdString(log_->path());
  summary_->setText(text);
  summary_->show();
  if (settings_) saveRecipe(*settings_, r);
  return loaded;
}

bool StationWindow::prepareStart() {
  // Every record names who ran it: no job starts until the operator has said their name.
  if (operatorRequired_ && operator_.empty()) {
    askOperator({});
    return false;
  }
  auto loaded = check("Nothing started");
  if (!loaded) return false;
  if (anyRunning()) return true;  // the panel was locked: the recipe in force is the panel's
  const Recipe r = recipe();
  if (!loaded_ || !(r == inForce_) || !sameImages(*loaded, *loaded_)) {
    inForce_ = r;
    loaded_ = std::move(loaded);
    buildSlots(slotPorts_);
  }
  return true;
}

bool StationWindow::startAll() {
  if (!prepareStart()) return false;
  station_->startAll(continuous_->isChecked());
  return true;
}

void StationWindow::closeEvent(QCloseEvent* event) {
  int running = 0;
  for (int i = 0; i < station_->slotCount(); ++i) running += station_->status(i).running ? 1 : 0;
  if (running > 0 && !quitting_) {
    const auto answer = QMessageBox::question(
        this, "Kelvane station",
        QString("%1 slot(s) are running. Stop them and quit?\n\nA handset stopped half-way "
                "must be written again.")
            .arg(running),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
      event->ignore();
      return;
    }
  }
  station_->cancelAll();
  if (operatorDialog_) operatorDialog_->reject();
  event->accept();
}

void StationWindow::setPorts() {
  if (anyRunning()) {
    QMessageBox::information(this, "Kelvane station", "Stop every slot first.");
    return;
  }
  int passes = 0, failures = 0;
  for (int i = 0; i < station_->slotCount(); ++i) {
    passes += station_->status(i).passes;
    failures += station_->status(i).failures;
  }
  if (passes + failures == 0) {
    buildSlots(ports());
    return;
  }
  // The counts are the shift's tally: they go only when the technician says so.
  auto* box = new QMessageBox(
      QMessageBox::Question, "Kelvane station \u2014 Set ports",
      QString("New slots start counting from 0: the %1 pass(es) and %2 failure(s) counted so "
              "far are cleared (the job log keeps every job). Set the ports?")
          .arg(passes)
          .arg(failures),
      QMessageBox::Yes | QMessageBox::No, this);
  box->setObjectName("setPortsQuestion");
  box->setDefaultButton(QMessageBox::No);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this, [this, box] {
    if (box->clickedButton() == box->button(QMessageBox::Yes) && !anyRunning()) buildSlots(ports());
  });
  box->open();
}

bool StationWindow::anyRunning() const {
  for (int i = 0; i < station_->slotCount(); ++i)
    if (station_->status(i).running) return true;
  return false;
}

QStringList StationWindow::ports() const {
  return portsEdit_->text().split(' ', Qt::SkipEmptyParts);
}

void StationWindow::buildSlots(const QStringList& ports) {
  station_ = std::make_unique<Station>(loaded_, log_, lines_);
  applyIdentity();
  station_->jobEnded = [this](int, const ops::JobRecord& record, const std::string&) {
    const dwl::JobResult& r = record.result;
    std::lock_guard hold(endedMutex_);
    ended_.push_back({std::chrono::steady_clock::now(), r.result.Family == dwl::RESULT_SUCCESS,
                      r.result.Family, r.message});
  };
  slotPorts_ = ports;
  passSeen_.clear();
  serialFields_.clear();
  table_->setRowCount(0);
  QStringList refused;
  for (const QString& port : ports) {
    std::string why;
    const int slot = station_->addSlot(port.toStdString(), &why);
    if (slot < 0) {
      refused << port + ": " + QString::fromStdString(why);
      continue;
    }
    table_->insertRow(slot);
    passSeen_.emplace_back(0, QTime());
    for (int c = 0; c < Columns; ++c) table_->setItem(slot, c, new QTableWidgetItem);
    auto* bar = new QProgressBar;
    bar->setRange(0, 1000);
    // Centred, the figure stays readable over the fill as it grows.
    bar->setAlignment(Qt::AlignCenter);
    table_->setCellWidget(slot, Progress, bar);
    auto* buttons = new QWidget;
    auto* row = new QHBoxLayout(buttons);
    row->setContentsMargins(2, 0, 2, 0);
    auto* start = new QPushButton("Start");
    auto* cancel = new QPushButton("Cancel");
    row->addWidget(start);
    row->addWidget(cancel);
    table_->setCellWidget(slot, Actions, buttons);
    // A barcode scanner types the number and presses Return.
    auto* field = new QLineEdit;
    field->setObjectName("serial" + QString::number(slot));
    field->setEnabled(false);
    field->setPlaceholderText(askSerial_ ? "scan or type, Return" : QString());
    table_->setCellWidget(slot, Serial, field);
    serialFields_.push_back(field);
    connect(field, &QLineEdit::returnPressed, this, [this, slot] { enterSerial(slot); });
    // A slot index is the same in a station rebuilt over the same ports.
    connect(start, &QPushButton::clicked, this, [this, slot] {
      if (prepareStart()) station_->start(slot, continuous_->isChecked());
    });
    connect(cancel, &QPushButton::clicked, this, [this, slot] { station_->cancel(slot); });
  }
  table_->resizeColumnToContents(Actions);
  portProblems_->setText("No slot for " + refused.join("; "));
  portProblems_->setVisible(!refused.isEmpty());
  refresh();
}

void StationWindow::refresh() {
  bool running = false;
  for (int i = 0; i < station_->slotCount(); ++i) {
    const SlotStatus s = station_->status(i);
    running = running || s.running;
    QString port = QString::fromStdString(s.port);
    if (s.device != s.port) port += " (" + QString::fromStdString(s.device) + ")";
    QString stage = stageText(s.stage);
    if (s.stage == SlotStage::Image || s.stage == SlotStage::Verifying)
      stage += QString(" %1 of %2").arg(s.image).arg(s.images);
    if (!s.running && (s.stage == SlotStage::Idle)) stage = "idle";
    auto& [passesSeen, passedAt] = passSeen_.at(static_cast<std::size_t>(i));
    if (s.passes != passesSeen) passedAt = QTime::currentTime();
    passesSeen = s.passes;
    // The last job's result stays while the next one runs: a pass says so, with the time it
    // was seen.
    QString result = QString::fromStdString(s.result);
    if (result.isEmpty() && s.passes > 0) result = "Passed at " + passedAt.toString("HH:mm:ss");
    const QString texts[] = {port,
                             QString::fromStdString(s.flash),
                             stage,
                             {},
                             QString::number(s.elapsed, 'f', 1) + " s",
                             result,
                             QString("%1 / %2").arg(s.passes).arg(s.failures)};
    for (int c = 0; c < Actions; ++c) {
      if (c == Progress) continue;
      if (table_->item(i, c)->text() == texts[c]) continue;
      table_->item(i, c)->setText(texts[c]);
      if (c == Result)
        table_->item(i, c)->setToolTip(
            texts[c].isEmpty() ? QString() : texts[c] + "\n(double-click for the whole text)");
    }
    const QColor colour = s.stage == SlotStage::Failed ? QColor(255, 220, 220)
                          : s.stage == SlotStage::Done ? QColor(215, 245, 215)
                                                       : QColor(Qt::white);
    table_->item(i, StageCol)->setBackground(colour);
    auto* bar = static_cast<QProgressBar*>(table_->cellWidget(i, Progress));
    const int value = s.total ? static_cast<int>(1000.0 * s.done / s.total) : 0;
    if (bar->value() != value) bar->setValue(value);
    // The field takes a number while its slot waits for one, and shows the unit's otherwise.
    QLineEdit* field = serialFields_.at(static_cast<std::size_t>(i));
    const bool asks = s.running && s.stage == SlotStage::Serial;
    if (asks != field->isEnabled()) {
      field->setEnabled(asks);
      field->clear();
      // The unit just done stays in view while the field waits for the next one.
      field->setPlaceholderText(!askSerial_ ? QString()
                                : s.serial.empty()
                                    ? QString("scan or type, Return")
                                    : "last " + QString::fromStdString(s.serial) + "; scan next");
      // The scanner types into the focused field: a waiting one, unless the operator is typing.
      auto* focused = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      if (asks && (!focused || !focused->isEnabled())) field->setFocus();
    }
    const QString unit = s.serialPending ? QString("pending") : QString::fromStdString(s.serial);
    if (!asks && field->text() != unit) field->setText(unit);
  }
  showYield();
  // The slots hold the recipe they were started with: it changes only while all are stopped.
  recipeBox_->setEnabled(!running);
  serialSource_->setEnabled(!running && engineer_->isChecked());
  serialFormatEdit_->setEnabled(serialSource_->isEnabled() && serialSource_->currentIndex() == 2);
  const QString why = QString::fromStdString(station_->stopReason());
  stopped_->setText("No new jobs: " + why);
  stopped_->setVisible(!why.isEmpty());
}

void StationWindow::showYield() {
  int passed = 0, failed = 0, lastHour = 0;
  std::map<std::pair<int, std::string>, int> causes;
  {
    std::lock_guard hold(endedMutex_);
    const auto now = std::chrono::steady_clock::now();
    for (const Ended& e : ended_) {
      ++(e.passed ? passed : failed);
      if (!e.passed) ++causes[{e.family, e.message}];
      lastHour += now - e.at <= std::chrono::hours(1);
    }
  }
  QString text = QString("Yield: %1 passed, %2 failed").arg(passed).arg(failed);
  if (passed + failed > 0)
    text += QString(" (%1 %)").arg(100.0 * passed / (passed + failed), 0, 'f', 1);
  text += QString("; %1 units in the last hour").arg(lastHour);
  for (const auto& [cause, n] : causes)
    text += QString("\n%1 \u00d7 %2 (family %3)")
                .arg(n)
                .arg(QString::fromStdString(cause.second))
                .arg(cause.first);
  if (yield_->text() != text) yield_->setText(text);
}

namespace {

struct LoggedJob {
  QString when, port, result, cause, seconds;
  QString kind;  // "Passed", "Failed", "Cancelled"
};

// The last jobs of a JSON Lines job log, newest first: its tail is read, not the whole file.
std::vector<LoggedJob> latestJobs(const QString& path, int count) {
  std::vector<LoggedJob> jobs;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return jobs;
  constexpr qint64 kTail = 512 * 1024;
  if (file.size() > kTail) {
    file.seek(file.size() - kTail);
    file.readLine();  // the rest of a cut line
  }
  const QList<QByteArray> lines = file.readAll().split('\n');
  for (auto it = lines.rbegin(); it != lines.rend() && static_cast<int>(jobs.size()) < count;
       ++it) {
    const QJsonObject o = QJsonDocument::fromJson(*it).object();
    if (o.isEmpty()) continue;
    const QJsonObject r = o.value("result").toObject();
    LoggedJob j;
    j.when = QDateTime::fromString(o.value("end").toString(), Qt::ISODateWithMs)
                 .toLocalTime()
                 .toString("yyyy-MM-dd HH:mm:ss");
    j.port = o.value("port").toString();
    const QString device = o.value("device").toString();
    if (!device.isEmpty() && device != j.port) j.port += " (" + device + ")";
    const int family = r.value("family").toInt();
    j.kind = r.value("success").toBool()       ? "Passed"
             : family == dwl::RESULT_CANCELLED ? "Cancelled"
                                               : "Failed";
    j.result = j.kind == "Passed" ? "Passed" : r.value("message").toString();
    j.cause = r.value("detail").toString();
    j.seconds = QString::number(o.value("seconds").toDouble(), 'f', 1);
    jobs.push_back(std::move(j));
  }
  return jobs;
}

}  // namespace

void StationWindow::showJobs() {
  if (!log_) return;
  if (jobs_) {
    jobs_->raise();
    jobs_->activateWindow();
    if (auto* reload = jobs_->findChild<QPushButton*>("reload")) reload->click();
    return;
  }
  auto* dialog = new QDialog(this);
  dialog->setObjectName("latestJobsView");
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle("Kelvane station \u2014 Latest jobs");
  auto* layout = new QVBoxLayout(dialog);
  auto* filters = new QHBoxLayout;
  filters->addWidget(new QLabel("Slot"));
  auto* slotFilter = new QComboBox;
  slotFilter->setObjectName("slotFilter");
  slotFilter->addItem("All slots", QString());
  for (const QString& port : slotPorts_) slotFilter->addItem(port, port);
  filters->addWidget(slotFilter);
  filters->addWidget(new QLabel("Result"));
  auto* resultFilter = new QComboBox;
  resultFilter->setObjectName("resultFilter");
  for (const char* kind : {"All results", "Passed", "Failed", "Cancelled"})
    resultFilter->addItem(kind, QString(kind).startsWith("All") ? QString() : QString(kind));
  filters->addWidget(resultFilter);
  filters->addStretch(1);
  auto* reload = new QPushButton("Reload");
  reload->setObjectName("reload");
  filters->addWidget(reload);
  layout->addLayout(filters);
  auto* table = new QTableWidget(0, 5);
  table->setObjectName("jobs");
  table->setHorizontalHeaderLabels({"Ended", "Port", "Result", "Seconds", "Cause"});
  table->verticalHeader()->hide();
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->horizontalHeader()->setSectionResizeMode(4, QHeaderView::Stretch);
  layout->addWidget(table, 1);
  auto* source = new QLabel(QString::fromStdString(log_->path()));
  source->setObjectName("jobsSource");
  source->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(source);

  auto fill = [this, table, slotFilter, resultFilter, source] {
    const QString slot = slotFilter->currentData().toString();
    const QString kind = resultFilter->currentData().toString();
    constexpr int kShown = 200;
    const std::vector<LoggedJob> all = latestJobs(QString::fromStdString(log_->path()), 2000);
    table->setRowCount(0);
    for (const LoggedJob& j : all) {
      if (table->rowCount() >= kShown) break;
      if (!kind.isEmpty() && j.kind != kind) continue;
      // A slot's jobs by its port name as the log writes it ("COM4", a device path).
      if (!slot.isEmpty() && !(j.port == slot || j.port.startsWith(slot + " ("))) continue;
      const int row = table->rowCount();
      table->insertRow(row);
      const QString cells[] = {j.when, j.port, j.result, j.seconds, j.cause};
      for (int c = 0; c < 5; ++c) {
        auto* item = new QTableWidgetItem(cells[c]);
        item->setToolTip(cells[c]);
        table->setItem(row, c, item);
      }
      if (j.kind != "Passed")
        table->item(row, 2)->setBackground(j.kind == "Failed" ? QColor(255, 220, 220)
                                                              : QColor(235, 235, 235));
    }
    table->resizeColumnsToContents();
    source->setText(QString("%1 of the latest jobs in %2")
                        .arg(table->rowCount())
                        .arg(QString::fromStdString(log_->path())));
  };
  connect(slotFilter, &QComboBox::currentIndexChanged, dialog, fill);
  connect(resultFilter, &QComboBox::currentIndexChanged, dialog, fill);
  connect(reload, &QPushButton::clicked, dialog, fill);
  fill();
  dialog->resize(900, 420);
  jobs_ = dialog;
  dialog->show();
}

}  // namespace station

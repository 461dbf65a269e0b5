// The station's window over its engine: Start all fills each slot's row from the job, a faulty
// handset's row names the cause, a log that cannot be written is said above the grid, and the
// recipe edited in the window is checked before any slot starts.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// Before Qt, whose emit macro the handset's headers would meet.
#include "support/emulated_handset.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "apps/station/station_window.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

const std::string kSamples = KELVANE_SOURCE_DIR "/samples/";

// Unpaced: the grid needs the jobs to end, not to take the line's time.
struct Handset : testsupport::EmulatedHandset {
  explicit Handset(const std::string& fault) : EmulatedHandset({fault}, {}) {}
};

QPushButton* button(QWidget& window, const QString& text) {
  for (QPushButton* b : window.findChildren<QPushButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

// Pumps events (the grid reads the slots on its timer) until the window shows what the test
// waits for: at most 20 s, however loaded the machine.
bool gridShows(const std::function<bool()>& state) {
  QElapsedTimer waited;
  waited.start();
  while (!state()) {
    if (waited.elapsed() > 20000) return false;
    QThread::msleep(10);
    QApplication::processEvents();
  }
  return true;
}

station::LineFactory lineTo(Handset& h) {
  return [&h](const ops::PortRef&) {
    return station::Line{std::shared_ptr<platform::Rs232>(h.link.get(), [](platform::Rs232*) {}),
                         [&h] { return h.link->seconds(); }};
  };
}

TEST(StationWindow, StartAllFillsEachRowAndAFailedLogIsSaid) {
  testsupport::TempDir dir;
  testsupport::copySamples();
  std::ofstream("a.bin", std::ios::binary) << std::string(30000, 'x');
  station::Recipe recipe;
  recipe.images = {{dwl::Slot::Bin1, "a.bin"}};
  std::vector<std::string> problems;
  const auto loaded = station::loadRecipe(recipe, &problems);
  ASSERT_TRUE(loaded);

  for (const bool logFails : {false, true}) {
    std::vector<std::unique_ptr<Handset>> handsets;
    handsets.push_back(std::make_unique<Handset>(""));
    handsets.push_back(std::make_unique<Handset>("sector-checksum:1"));
    ops::JobLog log;
    ASSERT_TRUE(log.open(logFails ? "/dev/full" : "jobs.jsonl", nullptr));
    station::StationWindow window(
        recipe, &log,
        [&](const ops::PortRef& port) {
          Handset& h = *handsets.at(static_cast<std::size_t>(port.number - 1));
          return station::Line{
              std::shared_ptr<platform::Rs232>(h.link.get(), [](platform::Rs232*) {}),
              [&h] { return h.link->seconds(); }};
        },
        {"COM1", "COM2"});
    window.findChild<QCheckBox*>("continuous")->setChecked(false);
    button(window, "Start all")->click();
    window.engine().waitAll();
    auto* table = window.findChild<QTableWidget*>();
    ASSERT_EQ(table->rowCount(), 2);
    auto* const stopped = window.findChild<QLabel*>("stopReason");
    // Both rows have their counts, or a log that failed its notice, once the grid refreshed.
    const auto counted = [&](int row) {
      const QString counts = table->item(row, 6)->text();
      return !counts.isEmpty() && counts != "0 / 0";
    };
    EXPECT_TRUE(gridShows(
        [&] { return logFails ? stopped->isVisibleTo(&window) : counted(0) && counted(1); }));
    if (logFails) {
      EXPECT_TRUE(stopped->isVisibleTo(&window));
      EXPECT_TRUE(stopped->text().contains("No space")) << stopped->text().toStdString();
      // A slot whose job the log could not take says so; one that never started says why.
      int ran = 0;
      for (int slot = 0; slot < 2; ++slot) {
        const station::SlotStatus st = window.engine().status(slot);
        const QString result = table->item(slot, 5)->text();
        EXPECT_EQ(result.toStdString(), st.result);
        if (st.passes + st.failures == 0) continue;
        ++ran;
        EXPECT_TRUE(result.contains("; not recorded: cannot write the job log /dev/full"))
            << result.toStdString();
      }
      EXPECT_GE(ran, 1);
      continue;
    }
    EXPECT_FALSE(stopped->isVisibleTo(&window));
    EXPECT_EQ(table->item(0, 2)->text(), "done");
    EXPECT_EQ(table->item(0, 1)->text(), "AMD AM29PDL128G");
    EXPECT_EQ(table->item(0, 6)->text(), "1 / 0");
    EXPECT_EQ(table->item(1, 2)->text(), "failed");
    EXPECT_TRUE(table->item(1, 5)->text().contains("sector 1 at 0x02002000"))
        << table->item(1, 5)->text().toStdString();
    EXPECT_EQ(table->item(1, 6)->text(), "0 / 1");
  }
}

TEST(StationWindow, TheEditedRecipeIsCheckedBeforeAnySlotStarts) {
  testsupport::TempDir dir;
  testsupport::copySamples();
  const std::string image(30000, 'k');
  std::ofstream("a.bin", std::ios::binary) << image;
  Handset handset("");
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  station::StationWindow window(station::Recipe{}, &log, lineTo(handset), {"COM1"});
  auto* const problems = window.findChild<QLabel*>("recipeProblems");
  auto* const bin1 = window.findChild<QLineEdit*>("bin1");
  auto* const continuous = window.findChild<QCheckBox*>("continuous");
  ASSERT_TRUE(problems && bin1);
  // A recipe without an image opens the window with the problem shown.
  EXPECT_TRUE(problems->isVisibleTo(&window));
  EXPECT_TRUE(problems->text().contains("no image")) << problems->text().toStdString();

  bin1->setText("missing.bin");
  button(window, "Start all")->click();
  EXPECT_FALSE(window.engine().status(0).running);
  EXPECT_TRUE(problems->isVisibleTo(&window));
  EXPECT_TRUE(problems->text().startsWith("Nothing started")) << problems->text().toStdString();
  EXPECT_TRUE(problems->text().contains("missing.bin")) << problems->text().toStdString();

  bin1->setText("a.bin");
  window.findChild<QCheckBox*>("verify")->setChecked(true);
  continuous->setChecked(false);
  button(window, "Start all")->click();
  window.engine().waitAll();
  EXPECT_FALSE(problems->isVisibleTo(&window));
  const QString summary = window.findChild<QLabel*>("recipeSummary")->text();
  EXPECT_TRUE(summary.contains("bin1 a.bin (30000 bytes)") && summary.contains(", verify"))
      << summary.toStdString();
  const station::SlotStatus s = window.engine().status(0);
  EXPECT_EQ(s.stage, station::SlotStage::Done) << s.result;
  EXPECT_EQ(s.passes, 1);
  const auto written = handset.flash->read(0, image.size());
  EXPECT_TRUE(std::equal(written.begin(), written.end(), image.begin()));

  // While a slot runs the recipe cannot change under it.
  auto* const panel = window.findChild<QGroupBox*>();
  continuous->setChecked(true);
  button(window, "Start all")->click();
  EXPECT_TRUE(gridShows([&] { return !panel->isEnabled(); }));
  // The close box asks first while a slot runs, and No leaves it running; asked to end by a
  // signal, the window stops the slots without asking.
  QTimer::singleShot(100, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
      box->button(QMessageBox::No)->click();
  });
  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.engine().status(0).running);
  window.setQuitting();
  EXPECT_TRUE(window.close());
  window.engine().waitAll();
  EXPECT_TRUE(gridShows([&] { return panel->isEnabled(); }));
}

struct StationFixture {
  StationFixture() {
    testsupport::copySamples();
    std::ofstream("a.bin", std::ios::binary) << std::string(30000, 'z');
    recipe.images = {{dwl::Slot::Bin1, "a.bin"}};
    EXPECT_TRUE(log.open("jobs.jsonl", nullptr));
  }
  testsupport::TempDir dir;
  station::Recipe recipe;
  ops::JobLog log;
};

TEST(StationWindow, APassShowsInTheResultColumnAndSetPortsAsksBeforeClearingTheCounts) {
  StationFixture f;
  Handset handset("");
  station::StationWindow window(f.recipe, &f.log, lineTo(handset), {"COM1"});
  window.findChild<QCheckBox*>("continuous")->setChecked(false);
  button(window, "Start all")->click();
  window.engine().waitAll();
  auto* table = window.findChild<QTableWidget*>();
  ASSERT_TRUE(gridShows([&] { return table->item(0, 5)->text().startsWith("Passed "); }))
      << table->item(0, 5)->text().toStdString();
  EXPECT_EQ(table->item(0, 6)->text(), "1 / 0");

  // No keeps the slots and their counts; Yes sets the ports anew.
  for (const bool yes : {false, true}) {
    button(window, "Set ports")->click();
    QMessageBox* box = nullptr;
    ASSERT_TRUE(gridShows([&] {
      box = window.findChild<QMessageBox*>("setPortsQuestion");
      return box && box->isVisible();
    }));
    EXPECT_TRUE(box->text().contains("1 pass(es) and 0 failure(s)")) << box->text().toStdString();
    box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    ASSERT_TRUE(gridShows([&] { return !window.findChild<QMessageBox*>("setPortsQuestion"); }));
    EXPECT_EQ(window.engine().status(0).passes, yes ? 0 : 1);
  }
}

// Save recipe as... pins the images; a recipe file opens in the operator view (read-only until
// the engineer mode), is refused when an image changed, and its jobs show in the yield panel and
// carry the operator and the unit's serial number.
TEST(StationWindow, ARecipeFileRunsInTheOperatorViewWithItsYield) {
  StationFixture f;
  Handset handset("");
  station::StationWindow window(f.recipe, &f.log, lineTo(handset), {"COM1"});
  window.findChild<QLineEdit*>("recipeName")->setText("LINE-A");
  ASSERT_TRUE(window.saveRecipeFile("line-a.json"))
      << window.recipeProblems().join('\n').toStdString();
  EXPECT_TRUE(window.engineerMode());

  auto* const model = window.findChild<QComboBox*>("model");
  std::ofstream("a.bin", std::ios::binary) << std::string(30000, 'y');  // a new build
  ASSERT_TRUE(window.openRecipeFile("line-a.json"));
  EXPECT_FALSE(window.engineerMode());
  EXPECT_FALSE(model->isEnabled());
  const QString refused = window.recipeProblems().join('\n');
  EXPECT_TRUE(refused.contains("a.bin changed since the recipe was made")) << refused.toStdString();
  window.findChild<QCheckBox*>("continuous")->setChecked(false);
  EXPECT_FALSE(window.startAll());

  std::ofstream("a.bin", std::ios::binary) << std::string(30000, 'z');
  ASSERT_TRUE(window.openRecipeFile("line-a.json"));
  EXPECT_TRUE(window.recipeProblems().isEmpty())
      << window.recipeProblems().join('\n').toStdString();
  window.setOperator("ann");
  window.setSerialFormat("U{n:03}");
  ASSERT_TRUE(window.startAll());
  window.engine().waitAll();
  auto* const yield = window.findChild<QLabel*>("yield");
  EXPECT_TRUE(gridShows([&] { return yield->text().startsWith("Yield: 1 passed, 0 failed"); }))
      << yield->text().toStdString();
  std::ifstream in("jobs.jsonl");
  std::string line;
  std::getline(in, line);
  std::ifstream recipeFile("line-a.json", std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(recipeFile), {}};
  const auto record = nlohmann::json::parse(line);
  EXPECT_EQ(record["recipe"]["name"], "LINE-A");
  EXPECT_EQ(record["recipe"]["sha256"], ops::sha256Hex(bytes));
  EXPECT_EQ(record["serial"], "U001");
  EXPECT_EQ(record["operator"], "ann");

  window.setEngineerMode(true);
  EXPECT_TRUE(model->isEnabled());
}

// The window asks for the operator's name (an empty one refused, no start without one), and a
// slot that asks for serial numbers starts its job once one is scanned into its field: an empty
// one is refused with the reason, the number goes into the record and stays in view.
TEST(StationWindow, TheOperatorIsAskedAndEachUnitsSerialScannedIntoItsSlot) {
  StationFixture f;
  Handset handset("");
  station::StationWindow window(f.recipe, &f.log, lineTo(handset), {"COM1"});
  window.findChild<QCheckBox*>("continuous")->setChecked(false);
  window.setSerialChoice("ask");
  EXPECT_EQ(window.serialChoice(), "ask");
  window.askOperator("");
  auto* dialog = window.findChild<QDialog*>("operatorDialog");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->findChild<QLineEdit*>("operatorName")->text(), "");
  button(*dialog, "OK")->click();
  EXPECT_TRUE(dialog->findChild<QLabel*>("operatorRefused")->isVisibleTo(dialog));
  EXPECT_TRUE(dialog->isVisible());
  button(*dialog, "Cancel")->click();
  EXPECT_FALSE(window.startAll());  // asks again instead
  dialog = window.findChild<QDialog*>("operatorDialog");
  ASSERT_NE(dialog, nullptr);
  dialog->findChild<QLineEdit*>("operatorName")->setText(" bob ");
  button(*dialog, "OK")->click();
  EXPECT_EQ(window.operatorName(), "bob");

  ASSERT_TRUE(window.startAll());
  auto* field = window.findChild<QLineEdit*>("serial0");
  auto* problem = window.findChild<QLabel*>("serialProblem");
  ASSERT_TRUE(field && problem);
  ASSERT_TRUE(gridShows([&] { return field->isEnabled(); }));
  EXPECT_EQ(window.findChild<QTableWidget*>()->item(0, 2)->text(), "waiting for a serial");
  field->setText("  ");
  field->returnPressed();
  EXPECT_TRUE(problem->isVisibleTo(&window));
  EXPECT_EQ(problem->text(), "COM1: the serial number is empty; scan or type the unit's number");
  EXPECT_EQ(window.engine().status(0).stage, station::SlotStage::Serial);
  field->setText("SN-0042");
  field->returnPressed();
  EXPECT_FALSE(problem->isVisibleTo(&window));
  window.engine().waitAll();
  EXPECT_TRUE(gridShows([&] { return field->text() == "SN-0042" && !field->isEnabled(); }))
      << field->text().toStdString();
  std::ifstream in("jobs.jsonl");
  std::string line;
  std::getline(in, line);
  const auto record = nlohmann::json::parse(line);
  EXPECT_EQ(record["serial"], "SN-0042");
  EXPECT_EQ(record["operator"], "bob");
  EXPECT_TRUE(record["result"]["success"].get<bool>());
}

TEST(StationWindow, StopAllKeepsAFailedSlotsCauseAndTheLatestJobsFilter) {
  StationFixture f;
  // A boot that fails every time: the slot waits before it tries again.
  Handset handset("wrong:start-report=0x55");
  station::StationWindow window(f.recipe, &f.log, lineTo(handset), {"COM1"});
  window.engine().retryPause = 60;
  window.findChild<QCheckBox*>("continuous")->setChecked(true);
  button(window, "Start all")->click();
  ASSERT_TRUE(gridShows([&] { return window.engine().status(0).failures == 1; }));
  const std::string cause = window.engine().status(0).result;
  ASSERT_FALSE(cause.empty());
  button(window, "Stop all")->click();
  window.engine().waitAll();
  EXPECT_EQ(window.engine().status(0).stage, station::SlotStage::Failed);
  EXPECT_EQ(window.engine().status(0).result, cause);

  // The job log's latest jobs, by result.
  button(window, "Latest jobs...")->click();
  auto* view = window.findChild<QDialog*>("latestJobsView");
  ASSERT_NE(view, nullptr);
  auto* jobs = view->findChild<QTableWidget*>("jobs");
  auto* results = view->findChild<QComboBox*>("resultFilter");
  auto* slotFilter = view->findChild<QComboBox*>("slotFilter");
  ASSERT_EQ(jobs->rowCount(), 1);
  EXPECT_EQ(jobs->item(0, 1)->text().toStdString().rfind("COM1", 0), 0u);
  EXPECT_EQ(
      jobs->item(0, 2)->text().toStdString() + " (" + jobs->item(0, 4)->text().toStdString() + ")",
      cause);
  const std::pair<const char*, int> rows[] = {{"Failed", 1}, {"Passed", 0}, {"Cancelled", 0}};
  for (const auto& [kind, count] : rows) {
    results->setCurrentIndex(results->findData(QString(kind)));
    EXPECT_EQ(jobs->rowCount(), count) << kind;
  }
  results->setCurrentIndex(0);
  slotFilter->setCurrentIndex(slotFilter->findData(QString("COM2")));
  EXPECT_EQ(slotFilter->currentIndex(), -1) << "no slot COM2";
  slotFilter->setCurrentIndex(slotFilter->findData(QString("COM1")));
  EXPECT_EQ(jobs->rowCount(), 1);
}

struct Ended {
  int status = -1;
  std::string err;
};

// Runs kelvane-station offscreen with its settings and data in the current folder, sends signal
// once its standard error holds after (none when 0), and collects standard error. A program still
// running after 30 s is killed: the test then fails on its status.
Ended runStation(const std::vector<std::string>& args, const std::string& after = {},
                 int signal = 0) {
  int errPipe[2];
  if (::pipe(errPipe) != 0) return {};
  std::vector<std::string> all = {KELVANE_BINARY_DIR "/apps/station/kelvane-station"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (const std::string& a : all) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string here = std::filesystem::current_path().string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(errPipe[1], 2);
    ::close(errPipe[0]), ::close(errPipe[1]);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", here.c_str(), 1);
    ::setenv("XDG_DATA_HOME", here.c_str(), 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(errPipe[1]);
  Ended e;
  pollfd p{errPipe[0], POLLIN, 0};
  bool signalled = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end && ::poll(&p, 1, 100) >= 0) {
    if (!(p.revents & (POLLIN | POLLHUP))) continue;
    char buf[4096];
    const ssize_t n = ::read(errPipe[0], buf, sizeof buf);
    if (n <= 0) break;
    e.err.append(buf, static_cast<std::size_t>(n));
    if (signal && !signalled && e.err.find(after) != std::string::npos) {
      ::kill(pid, signal);
      signalled = true;
    }
  }
  ::close(errPipe[0]);
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  e.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return e;
}

// A job log that cannot be opened: said on standard error at once, nothing starts, and the
// program ends, by itself for an unattended line, on a signal (a hang-up too) with its notice.
TEST(StationProgram, ALogThatCannotBeOpenedIsSaidAndNothingStarts) {
  testsupport::TempDir dir;
  std::filesystem::create_directory("logs");
  ASSERT_EQ(testsupport::makeFifo("jobs.fifo"), 0);
  const struct {
    std::vector<std::string> args;
    int signal;
    int status;
    std::string says;
  } cases[] = {
      {{"--log", "jobs.fifo", "--start", "COM1"},
       0,
       1,
       "cannot open the job log jobs.fifo: not a regular file; nothing can start"},
      {{"--log", "logs", "--start", "COM1"}, 0, 1, "cannot open the job log logs"},
      {{"--log", "/proc/kelvane/jobs.jsonl", "--start", "COM1"}, 0, 1, "cannot open the job log"},
      {{"--log", "logs", "COM1"}, SIGTERM, 143, "kelvane-station: stopping every slot"},
      {{"--log", "jobs.fifo", "COM1"}, SIGHUP, 129, "kelvane-station: stopping every slot"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + " " + std::to_string(c.signal));
    const Ended e = runStation(c.args, "nothing can start", c.signal);
    EXPECT_EQ(e.status, c.status) << e.err;
    EXPECT_NE(e.err.find(c.says), std::string::npos) << e.err;
  }
}

}  // namespace

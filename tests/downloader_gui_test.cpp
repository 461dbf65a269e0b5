// The downloader's panels driven through their callbacks and controls, offscreen.
#include <gtest/gtest.h>

// Before any Qt header: the emulator has a member named like Qt's emit macro.
#include "emulator/emulator_rs232.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/downloader/dwl51mmi.h"
#include "apps/downloader/dwl53ser.h"
#include "apps/downloader/mmi.h"
#include "apps/downloader/panels.h"
#include "apps/downloader/sector_map.h"
#include "apps/guikit/display.h"
#include "apps/guikit/job_status.h"
#include "apps/guikit/userint.h"
#include "apps/guikit/utility.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl52display.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/downloader/dwl51loader.h"
#include "platform/cancel.h"
#include "platform/port_map.h"
#include "platform/scripted_rs232.h"
#include "support/config_home.h"
#include "support/emulated_handset.h"
#include "support/flash_geometry.h"
#include "support/gui_helpers.h"
#include "support/recording_display.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

using namespace downloader;
using guikit::ATTR_DIMMED;
using guikit::EVENT_COMMIT;
using testsupport::TempDir;

constexpr int kGroups[4][4] = {
    {PANEL_LOAD_BIN1, PANEL_PATH_BIN1, PANEL_SIZE_BIN1, PANEL_SUM_BIN1},
    {PANEL_LOAD_BIN2, PANEL_PATH_BIN2, PANEL_SIZE_BIN2, PANEL_SUM_BIN2},
    {PANEL_LOAD_OGM1, PANEL_PATH_OGM1, PANEL_SIZE_OGM1, PANEL_SUM_OGM1},
    {PANEL_LOAD_OGM2, PANEL_PATH_OGM2, PANEL_SIZE_OGM2, PANEL_SUM_OGM2},
};
constexpr int kInputs[] = {PANEL_MODE,    PANEL_MODEL,   PANEL_PORT,
                           PANEL_SPEED,   PANEL_PROJECT, PANEL_DOWNLOAD_CONF,
                           PANEL_SIMLOCK, PANEL_START,   PANEL_QUIT};
constexpr int kNeverDimmed[] = {PANEL_CPU,  PANEL_FLASH,   PANEL_PROGRESS, PANEL_PERCENT,
                                PANEL_TIME, PANEL_COMMENT, PANEL_SECTORS};

class DownloaderGui : public ::testing::Test {
 protected:
  void SetUp() override {
    resetImageSlots(sg_DownloadContext);
    sg_DownloadContext = DownloadContext{};
    downloader::vg_FlashDescritpion = dwl::FlashDescriptionTable{};
    prepareDirectory();
    // The COM numbers' devices as this test saves them, never the user's.
    configHome.emplace(dir.path());
    downloader::programSettings().serial = &port;
    ui.install();
    startDownloaderPanels();
  }
  void TearDown() override {
    stopDownloaderPanels();
    configHome.reset();
    ui.uninstall();
    downloader::programSettings() = {};
    resetImageSlots(sg_DownloadContext);
    sg_DownloadContext = DownloadContext{};
  }

  virtual void prepareDirectory() {
    TempDir::write("flash.txt", testsupport::kOneFlashDescription);
  }

  static int dimmed(int ctrl, int panel = v_Panel) {
    int v = -1;
    guikit::GetCtrlAttribute(panel, ctrl, ATTR_DIMMED, &v);
    return v;
  }
  static bool groupDimmed(int g) {
    for (int c : kGroups[g])
      if (!dimmed(c)) return false;
    return true;
  }
  static bool groupEnabled(int g) {
    for (int c : kGroups[g])
      if (dimmed(c)) return false;
    return true;
  }
  static bool hasMenuBar() {
    QWidget* panel = guikit::panelWidget(v_Panel);
    return guikit::menuBarWidget(v_MenuBarHandle) != nullptr && panel->layout()->menuBar();
  }
  static void pressStart() { dwl51_50MMIStart(v_Panel, PANEL_START, EVENT_COMMIT, nullptr, 0, 0); }
  static std::string lastComment() {
    auto* list = qobject_cast<QListWidget*>(guikit::controlWidget(v_Panel, PANEL_COMMENT));
    return list->count() ? list->item(list->count() - 1)->text().toStdString() : "";
  }

  TempDir dir;
  std::optional<testsupport::ScopedConfigHome> configHome;
  platform::ScriptedRs232 port;
  testsupport::GuiRecorder ui;
};

TEST_F(DownloaderGui, EveryCallbackNamedInTheFormsIsBound) {
  openServicePanel();
  for (int id : {TURNON, TIMEOUT, SUCCESS}) guikit::LoadPanel(0, kMmi, id);
  for (int id : {1, 3, 5, 6, 7, 8}) guikit::LoadPanel(0, guikit::kUtility, id);
  EXPECT_TRUE(guikit::unboundCallbacks().empty())
      << "first unbound: " << guikit::unboundCallbacks().front();
}

TEST_F(DownloaderGui, LockDimsEveryInputAndRemovesTheMenuBar) {
  openServicePanel();
  guikit::dwl52_5LockDuringDownload();
  for (int g = 0; g < 4; ++g) EXPECT_TRUE(groupDimmed(g)) << "group " << g;
  for (int c : kInputs) EXPECT_EQ(dimmed(c), 1) << "control " << c;
  for (int c : kNeverDimmed) EXPECT_EQ(dimmed(c), 0) << "control " << c;
  EXPECT_FALSE(hasMenuBar());
  // A second boot from the service panel cannot start in the middle of a download.
  EXPECT_EQ(dimmed(SERVICE_SWITCH_ON, v_ServicePanel), 1);
}

struct UnlockCase {
  int mode;
  bool bins, ogms;
};

class UnlockByMode : public DownloaderGui, public ::testing::WithParamInterface<UnlockCase> {};

TEST_P(UnlockByMode, EnablesTheSlotGroupsOfTheMode) {
  sg_DownloadContext.Mode = GetParam().mode;
  // A model that dimmed the second slots does not survive the unlock.
  sg_DownloadContext.Model = 2;
  guikit::dwl52_5LockDuringDownload();
  const int oldBar = v_MenuBarHandle;
  guikit::dwl52_6UnlockAfterDownload();
  EXPECT_TRUE(hasMenuBar());
  EXPECT_NE(v_MenuBarHandle, oldBar);
  for (int c : kInputs) EXPECT_EQ(dimmed(c), 0) << "control " << c;
  for (int g : {0, 1}) EXPECT_EQ(groupEnabled(g), GetParam().bins) << "group " << g;
  for (int g : {0, 1}) EXPECT_EQ(groupDimmed(g), !GetParam().bins) << "group " << g;
  for (int g : {2, 3}) EXPECT_EQ(groupEnabled(g), GetParam().ogms) << "group " << g;
  for (int g : {2, 3}) EXPECT_EQ(groupDimmed(g), !GetParam().ogms) << "group " << g;
}

INSTANTIATE_TEST_SUITE_P(Modes, UnlockByMode,
                         ::testing::Values(UnlockCase{0, true, true}, UnlockCase{1, true, false},
                                           UnlockCase{2, false, true}));

TEST_F(DownloaderGui, UnlockWithoutLockReplacesTheMenuBar) {
  const int oldBar = v_MenuBarHandle;
  guikit::dwl52_6UnlockAfterDownload();
  EXPECT_NE(v_MenuBarHandle, oldBar);
  EXPECT_EQ(guikit::menuBarWidget(oldBar), nullptr);
  // One bar on the panel, not two stacked.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(guikit::panelWidget(v_Panel)->findChildren<QMenuBar*>().size(), 1);
}

TEST_F(DownloaderGui, ModelThenModeEnablesAllButModeThenModelDimsTheSecondSlots) {
  testsupport::choose(v_Panel, PANEL_MODEL, 2);
  testsupport::choose(v_Panel, PANEL_MODE, 0);
  for (int g = 0; g < 4; ++g) EXPECT_TRUE(groupEnabled(g)) << "group " << g;

  testsupport::choose(v_Panel, PANEL_MODEL, 2);
  EXPECT_TRUE(groupEnabled(0));
  EXPECT_TRUE(groupDimmed(1));
  EXPECT_TRUE(groupEnabled(2));
  EXPECT_TRUE(groupDimmed(3));
  EXPECT_EQ(sg_DownloadContext.Model, 2);
  EXPECT_EQ(sg_DownloadContext.Mode, 0);

  testsupport::choose(v_Panel, PANEL_MODEL, 0);
  for (int g = 0; g < 4; ++g) EXPECT_TRUE(groupEnabled(g)) << "group " << g;
}

TEST_F(DownloaderGui, ModeSelectionSetsGroupsAndEnablesTheModelSelector) {
  EXPECT_EQ(dimmed(PANEL_MODEL), 1);
  EXPECT_EQ(dimmed(PANEL_DOWNLOAD_CONF), 1);
  testsupport::choose(v_Panel, PANEL_MODE, 2);
  EXPECT_EQ(sg_DownloadContext.Mode, 2);
  EXPECT_TRUE(groupDimmed(0));
  EXPECT_TRUE(groupDimmed(1));
  EXPECT_TRUE(groupEnabled(2));
  EXPECT_TRUE(groupEnabled(3));
  EXPECT_EQ(dimmed(PANEL_MODEL), 0);
  EXPECT_EQ(dimmed(PANEL_DOWNLOAD_CONF), 0);
}

TEST_F(DownloaderGui, ProjectAndDownloadSelectorsWriteTheirFixedValues) {
  sg_DownloadContext.ProductType = 1;
  sg_DownloadContext.DownloadType = 3;
  guikit::SetCtrlAttribute(v_Panel, PANEL_LOAD_BIN1, ATTR_DIMMED, 1);
  testsupport::choose(v_Panel, PANEL_PROJECT, 0);
  EXPECT_EQ(sg_DownloadContext.ProductType, 2);
  EXPECT_EQ(dimmed(PANEL_DOWNLOAD_CONF), 0);
  testsupport::choose(v_Panel, PANEL_DOWNLOAD_CONF, 0);
  EXPECT_EQ(sg_DownloadContext.DownloadType, 0);
  EXPECT_EQ(dimmed(PANEL_LOAD_BIN1), 0);
}

TEST_F(DownloaderGui, PortAndSpeedSelectorsWriteTheRecord) {
  testsupport::choose(v_Panel, PANEL_PORT, 2);
  testsupport::choose(v_Panel, PANEL_SPEED, 7);
  EXPECT_EQ(sg_DownloadContext.ComPort, 2);
  EXPECT_EQ(sg_DownloadContext.Speed, 7);
  // Each port shows the device it stands for.
  EXPECT_NE(guikit::GetCtrlString(v_Panel, PANEL_PORT).find(platform::deviceForPort(2)),
            std::string::npos);
  // The speeds are listed by rate, each still selecting its row of the table.
  auto* speeds = qobject_cast<QComboBox*>(guikit::controlWidget(v_Panel, PANEL_SPEED));
  ASSERT_EQ(speeds->count(), dwl::kSpeedRows);
  const dwl::ProgramProfile& profile = dwl::profileOf(sg_DownloadContext);
  for (int i = 1; i < speeds->count(); ++i)
    EXPECT_LE(profile.PCSpeedValue[speeds->itemData(i - 1).toInt()],
              profile.PCSpeedValue[speeds->itemData(i).toInt()]);
  EXPECT_EQ(speeds->currentText().toStdString(), std::to_string(profile.PCSpeedValue[7]) + " baud");
}

struct ErrorWindowCase {
  int family, code, utilityPanel;
  const char* message;
};

class ErrorWindows : public DownloaderGui, public ::testing::WithParamInterface<ErrorWindowCase> {};

TEST_P(ErrorWindows, ButtonClosesTheWindowResetsAndUnlocksByMode) {
  sg_DownloadContext.Mode = 2;
  guikit::dwl52_5LockDuringDownload();
  showCpuType(0xBE);
  panelEvents().progress(40);

  guikit::dwl52_10DisplayResult(GetParam().family, GetParam().code);
  const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, GetParam().utilityPanel);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(guikit::GetCtrlString(open[0], guikit::UTILITY_MESSAGE), GetParam().message);
  EXPECT_FALSE(hasMenuBar());

  testsupport::click(open[0], guikit::UTILITY_BUTTON);
  EXPECT_FALSE(guikit::isPanelLoaded(open[0]));
  EXPECT_TRUE(hasMenuBar());
  EXPECT_TRUE(groupDimmed(0));
  EXPECT_TRUE(groupEnabled(2));
  for (int c : kInputs) EXPECT_EQ(dimmed(c), 0) << "control " << c;
  int v = -1;
  guikit::GetCtrlVal(v_Panel, PANEL_PROGRESS, &v);
  EXPECT_EQ(v, 0);
  guikit::GetCtrlVal(v_Panel, PANEL_CPU, &v);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_CPU), "BOOT FROM A PCF5087");
}

// A result window is a modal window of the main panel, and Esc or its close box do what its
// button does.
TEST_F(DownloaderGui, EscAndTheCloseBoxCloseAResultWindowAsItsButton) {
  const struct {
    const char* how;
    std::function<void(QWidget*)> close;
  } ways[] = {
      {"Esc",
       [](QWidget* w) {
         QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
         QCoreApplication::sendEvent(w, &esc);
       }},
      {"close box", [](QWidget* w) { w->close(); }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    guikit::dwl52_5LockDuringDownload();
    guikit::dwl52_10DisplayResult(9, 0);
    const std::vector<int> open =
        guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_GENERIC_ERR);
    ASSERT_EQ(open.size(), 1u);
    QWidget* w = guikit::panelWidget(open[0]);
    EXPECT_EQ(w->parentWidget(), guikit::panelWidget(v_Panel));
    EXPECT_EQ(w->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(w->windowTitle().toStdString(), "Kelvane Downloader \u2014 Download failed");
    way.close(w);
    EXPECT_FALSE(guikit::isPanelLoaded(open[0]));
    EXPECT_TRUE(hasMenuBar()) << "closed as its button would: the panel is unlocked";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

// The whole job's line: the stage, the share done, the time since the job's start (the second
// the job stamps, as the elapsed "x min y sec" counts it), the time left once bytes have moved,
// and how it ends.
TEST_F(DownloaderGui, JobStatusLineFollowsTheJobsEvents) {
  double t = 99.2;
  guikit::JobStatus status(v_Panel, PANEL_STATUS, PANEL_OVERALL, [&] { return t; });
  const auto line = [&] { return guikit::GetCtrlString(v_Panel, PANEL_STATUS); };
  t = 100.6;
  status.jobStarted({4'000'000, 0});
  status.stageStarted({dwl::Stage::Boot, 0, 0, "", 0});
  t = 103.2;
  status.heartbeat(3);
  EXPECT_EQ(line(),
            "Waiting for the handset \u00b7 0.0 % of the job (0.00 of 4.00 MB) \u00b7 0:03 elapsed "
            "\u00b7 time left: estimating");
  status.totalsKnown({4'000'000, 10});
  status.stageStarted({dwl::Stage::Image, 2, 4, "bin2 b.bin", 1'000'000});
  status.bytesDone({0, 1'000'000, 1'000'000, 4'000'000});
  t = 112.9;
  status.bytesDone({1'000'000, 1'000'000, 2'000'000, 4'000'000});
  // A million bytes in 9.7 s: two million more take 19.4 s.
  EXPECT_EQ(line(),
            "Image 2 of 4 (bin2 b.bin) \u00b7 50.0 % of the job (2.00 of 4.00 MB) "
            "\u00b7 0:12 elapsed \u00b7 about 0:20 left");
  int permille = 0;
  guikit::GetCtrlVal(v_Panel, PANEL_OVERALL, &permille);
  EXPECT_EQ(permille, 500);
  dwl::JobResult done;
  status.jobFinished(done);
  EXPECT_EQ(line(), "Done \u00b7 100.0 % of the job (4.00 of 4.00 MB) \u00b7 0:12 elapsed");
  // The elapsed time of the panel, from the job's stamp of the same start.
  EXPECT_EQ(elapsedText(100, 112), "0 min 12 sec");
}

// The indicators light with the identified handset's texts; the reset puts them off and both
// progress controls at 0, and they keep the last texts.
TEST_F(DownloaderGui, ProcessorAndFlashIndicatorsAndTheirReset) {
  testsupport::BoundJob job;  // as during a job, whose flash descriptions name the flash
  testsupport::setFlash({{4, 0x2000}}, 0x01, 0x7E, "AM29PDL128G");
  const auto lit = [](int ctrl) {
    int v = -1;
    guikit::GetCtrlVal(v_Panel, ctrl, &v);
    return v;
  };
  showCpuType(0x9D);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_CPU), "Unknown boot");
  showCpuType(0xBE);
  showFlashType(0x01, 0x7E);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_FLASH), " Flash AM29PDL128G");
  showFlashType(0x01, 0x55);
  EXPECT_EQ(lit(PANEL_CPU), 1);
  EXPECT_EQ(lit(PANEL_FLASH), 1);
  panelEvents().progress(40);
  initControls();
  EXPECT_EQ(lit(PANEL_CPU), 0);
  EXPECT_EQ(lit(PANEL_FLASH), 0);
  EXPECT_EQ(lit(PANEL_PROGRESS), 0);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_CPU), "BOOT FROM A PCF5087");
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_FLASH),
            " Flash unknown (manufacturer 0x01, device 0x55)");
}

// The legend counts every cell once, by its colour; the map asks for all its rows.
TEST_F(DownloaderGui, SectorMapLegendAddsUpAndKeepsEveryRow) {
  SectorMap map;
  map.resize(200, 40);
  using State = SectorMap::State;
  const State states[] = {State::Written, State::Written, State::Waiting,
                          State::Writing, State::Error,   State::NotAvailable};
  for (std::uint32_t i = 0; i < 300; ++i) map.setSector(i, 0x2000, i * 0x2000, states[i % 6]);
  EXPECT_EQ(map.summary().toStdString(),
            "Sectors: 100 written, 100 in progress, 50 in error, 50 not reached (300)");
  EXPECT_GE(map.minimumSizeHint().height(), map.heightForWidth(200));
  EXPECT_GT(map.heightForWidth(200), map.heightForWidth(400)) << "a narrower map has more rows";
  // Squeezed below what it asked for (a window on a short screen), the last row is still whole.
  for (const QSize size : {QSize(600, 200), QSize(600, 60), QSize(200, 120)}) {
    map.resize(size);
    const QRect last = map.cellRect(299);
    EXPECT_LE(last.bottom(), size.height() - 1) << size.width() << "x" << size.height();
    EXPECT_LE(last.right(), size.width() - 1) << size.width() << "x" << size.height();
    EXPECT_GT(last.height(), 1);
  }
}

TEST_F(DownloaderGui, SectorMapOnTheMainPanelGetsEveryRow) {
  QWidget* panel = guikit::panelWidget(v_Panel);
  auto* map = dynamic_cast<SectorMap*>(guikit::controlWidget(v_Panel, PANEL_SECTORS));
  for (std::uint32_t i = 0; i < 284; ++i)
    map->setSector(i, 0x2000, i * 0x2000, SectorMap::State::NotAvailable);
  // The layout is redone in steps, one level of widgets per pass, as the job's pumping does.
  for (int pass = 0; pass < 5; ++pass) QCoreApplication::processEvents();
  EXPECT_GE(map->height(), map->heightForWidth(map->width())) << "rows cut off";
  panel->resize(panel->width() - 150, panel->height());
  QCoreApplication::processEvents();
  EXPECT_GE(map->height(), map->heightForWidth(map->width())) << "rows cut off when narrower";
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ErrorWindows,
    ::testing::Values(
        ErrorWindowCase{1, 0, guikit::UTILITY_GENERIC_ERR, "Error during the download"},
        ErrorWindowCase{12, 0xCC, guikit::UTILITY_GENERIC_ERR, "Problem : Bad checksum"},
        ErrorWindowCase{2, 15, guikit::UTILITY_FLASH_FILE_ERR,
                        "FLASH DESCRIPTION : The flash id is not known (Not description in the "
                        "file flash.txt)"},
        ErrorWindowCase{3, 4, guikit::UTILITY_CONF_FILE_ERR,
                        "There is a problem in configuration file "},
        ErrorWindowCase{5, 0, guikit::UTILITY_LIB_PC_ERR,
                        "LIB_PC : Default error number _ 0x       0"},
        ErrorWindowCase{6, 0x000A039D, guikit::UTILITY_BOOT_ERR,
                        "BOOT : Problem during the boot sequence"},
        ErrorWindowCase{8, 21, guikit::UTILITY_COMMAND_ERR, "COMMAND : Command error "}));

TEST_F(DownloaderGui, EachOfTwoOpenWindowsClosesByItsOwnButton) {
  guikit::dwl52_10DisplayResult(5, 3);
  guikit::dwl52_10DisplayResult(5, 2);
  const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_LIB_PC_ERR);
  ASSERT_EQ(open.size(), 2u);
  testsupport::click(open[0], guikit::UTILITY_BUTTON);
  EXPECT_FALSE(guikit::isPanelLoaded(open[0]));
  EXPECT_TRUE(guikit::isPanelLoaded(open[1]));
  testsupport::click(open[1], guikit::UTILITY_BUTTON);
  EXPECT_FALSE(guikit::isPanelLoaded(open[1]));
}

struct StartCase {
  const char* name;
  int mode;
  bool bin1, bin2, ogm1;
  const char* popup;  // empty: no pop-up
  bool boots;
};

void PrintTo(const StartCase& c, std::ostream* os) {
  *os << c.name;
}

class StartChecks : public DownloaderGui, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartChecks, RefusesWithoutTheImagesOfTheMode) {
  TempDir::write("dwl87.spm", std::vector<std::uint8_t>(16, 0x11));
  const StartCase& c = GetParam();
  sg_DownloadContext.Mode = c.mode;
  if (c.bin1) std::strcpy(sg_DownloadContext.Bin1Path, "a.bin");
  if (c.bin2) std::strcpy(sg_DownloadContext.Bin2Path, "b.bin");
  if (c.ogm1) std::strcpy(sg_DownloadContext.Ogm1Path, "a.ogm");
  port.silence(100);
  pressStart();
  if (*c.popup) {
    ASSERT_EQ(ui.popups.size(), 1u);
    EXPECT_EQ(ui.popups[0].first, "DOWNLOAD");
    EXPECT_EQ(ui.popups[0].second, c.popup);
    EXPECT_TRUE(port.events().empty()) << "no boot";
    EXPECT_EQ(dimmed(PANEL_START), 0) << "not locked";
  } else {
    EXPECT_TRUE(ui.popups.empty());
  }
  EXPECT_EQ(!port.events().empty(), c.boots) << "the boot opens the port";
  EXPECT_EQ(guikit::loadedPanels(kMmi, TIMEOUT).size(), c.boots ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartChecks,
    ::testing::Values(StartCase{"Mode1NothingLoaded", 1, false, false, false,
                                "Please load a bin file before start", false},
                      StartCase{"Mode1OnlyBin2", 1, false, true, false, "", true},
                      StartCase{"Mode0BinButNoOgm", 0, true, false, false,
                                "Please load a ogm file before start", false},
                      StartCase{"Mode0NoBin", 0, false, false, true,
                                "Please load a bin file before start", false},
                      StartCase{"Mode2OgmMissing", 2, true, true, false,
                                "Please load a ogm file before start", false},
                      StartCase{"Mode2Ogm1", 2, false, false, true, "", true},
                      StartCase{"Mode3DoesNothing", 3, false, false, false, "", false}),
    [](const ::testing::TestParamInfo<StartCase>& row) { return row.param.name; });

TEST_F(DownloaderGui, SilentHandsetEndsInTheTimeOutWindowAndItsButtonUnlocks) {
  TempDir::write("dwl87.spm", std::vector<std::uint8_t>(16, 0x11));
  std::strcpy(sg_DownloadContext.Bin1Path, "a.bin");
  guikit::SetCtrlVal(v_Panel, PANEL_TIME, "1 min 2 sec");
  port.silence(100);
  pressStart();
  const std::vector<int> open = guikit::loadedPanels(kMmi, TIMEOUT);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_TRUE(guikit::loadedPanels(kMmi, TURNON).empty()) << "the prompt is gone";
  EXPECT_EQ(dimmed(PANEL_START), 1) << "locked until the window is closed";
  EXPECT_FALSE(port.isOpen()) << "Start closes the port";
  testsupport::click(open[0], TIMEOUT_OK);
  EXPECT_EQ(dimmed(PANEL_START), 0);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_TIME), "1 min 2 sec");
}

TEST_F(DownloaderGui, SuccessButtonBlanksTheElapsedTime) {
  guikit::dwl52_5LockDuringDownload();
  guikit::SetCtrlVal(v_Panel, PANEL_TIME, "2 min 5 sec");
  guikit::SetCtrlVal(v_Panel, PANEL_STATUS, "Done \u00b7 100.0 % of the job");
  guikit::SetCtrlVal(v_Panel, PANEL_OVERALL, 1000);
  guikit::dwl52_10DisplayResult(0, 0);
  const std::vector<int> open = guikit::loadedPanels(kMmi, SUCCESS);
  ASSERT_EQ(open.size(), 1u);
  testsupport::click(open[0], SUCCESS_OK);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_TIME), " ");
  // Our whole-job line resets with the indicators.
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_STATUS), " ");
  int overall = -1;
  guikit::GetCtrlVal(v_Panel, PANEL_OVERALL, &overall);
  EXPECT_EQ(overall, 0);
  EXPECT_EQ(dimmed(PANEL_START), 0);
}

TEST_F(DownloaderGui, TheTwentyWaitStateItemsSetTheirByteAndLogIt) {
  for (int c = 0; c < 4; ++c) {
    for (int w = 0; w < 5; ++w) {
      const std::string name = "dwl51_1" + std::to_string(c + 1) + std::to_string(w) + "MMIMenuCS" +
                               std::to_string(c) + "_" + std::to_string(w) + "WaitState";
      QAction* item = testsupport::menuItem(v_MenuBarHandle, name);
      ASSERT_NE(item, nullptr) << name;
      item->trigger();
      EXPECT_EQ(sg_DownloadContext.WaitState[c], w) << name;
      EXPECT_EQ(lastComment(), std::string(" ") + std::to_string(w) +
                                   " wait state on the chip select " + std::to_string(c) + " ");
      // The menu marks the chosen count, and only it, for that chip select.
      for (int other = 0; other < 5; ++other) {
        const std::string n = "dwl51_1" + std::to_string(c + 1) + std::to_string(other) +
                              "MMIMenuCS" + std::to_string(c) + "_" + std::to_string(other) +
                              "WaitState";
        EXPECT_EQ(testsupport::menuItem(v_MenuBarHandle, n)->isChecked(), other == w) << n;
      }
    }
  }
  // The last item chosen for each chip select wins.
  EXPECT_EQ(std::vector<int>(sg_DownloadContext.WaitState, sg_DownloadContext.WaitState + 4),
            std::vector<int>({4, 4, 4, 4}));
}

TEST_F(DownloaderGui, CommentListShowsItsLastLine) {
  for (int i = 0; i < 60; ++i) guikit::logComment("line " + std::to_string(i));
  auto* list = qobject_cast<QListWidget*>(guikit::controlWidget(v_Panel, PANEL_COMMENT));
  EXPECT_EQ(list->currentRow(), list->count() - 1);
  EXPECT_EQ(lastComment(), " line 59 ");
}

TEST_F(DownloaderGui, AboutAndConfigurationMenus) {
  testsupport::menuItem(v_MenuBarHandle, "About_display")->trigger();
  ASSERT_EQ(ui.popups.size(), 1u);
  EXPECT_EQ(ui.popups[0].first, "Help");
  // The box's own lines, then the version.
  EXPECT_EQ(ui.popups[0].second,
            "Kelvane Downloader\nPCF50874-5, AMD128M, Intel128M, Sharp128M\n"
            "Version " KELVANE_VERSION);

  testsupport::menuItem(v_MenuBarHandle, "dwl51_100MMIMenuRestore")->trigger();
  const std::vector<int> open =
      guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_CONF_FILE_ERR);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(guikit::GetCtrlString(open[0], guikit::UTILITY_MESSAGE),
            "There is no configuration file ");

  testsupport::menuItem(v_MenuBarHandle, "dwl51_101MMIMenuSave")->trigger();
  // The log says where the settings went.
  EXPECT_EQ(lastComment(), " Configuration saved in " +
                               (std::filesystem::current_path() / "config.txt").string() + " ");
  const std::vector<std::uint8_t> saved = TempDir::read("config.txt");
  EXPECT_NE(std::string(saved.begin(), saved.end()).find("\r\nCOM : 4\r\n"), std::string::npos);
  // Saved before any CLA file was chosen: the empty path is loaded and fails as a missing file.
  testsupport::menuItem(v_MenuBarHandle, "dwl51_100MMIMenuRestore")->trigger();
  const std::vector<int> load = guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_LIB_PC_ERR);
  ASSERT_EQ(load.size(), 1u);
  EXPECT_EQ(guikit::GetCtrlString(load[0], guikit::UTILITY_MESSAGE), "LIB_PC : File not found");
  EXPECT_EQ(guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_CONF_FILE_ERR).size(), 1u);
}

TEST_F(DownloaderGui, RestoreShowsThePortAndReadiesTheDownloadSelector) {
  TempDir::write("a.bin", std::vector<std::uint8_t>{1, 2, 3});
  TempDir::write("config.txt",
                 "CLA File : a.bin\r\nCOM : 3\r\nPMU : 0\r\nProduct Type : 2\r\n"
                 "Download Type : 0\r\n");
  testsupport::menuItem(v_MenuBarHandle, "dwl51_100MMIMenuRestore")->trigger();
  int shown = 0;
  guikit::GetCtrlVal(v_Panel, PANEL_PORT, &shown);
  EXPECT_EQ(shown, 3);
  EXPECT_EQ(dimmed(PANEL_DOWNLOAD_CONF), 0);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_PATH_BIN1), "a.bin");
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_SIZE_BIN1), "3");
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_SUM_BIN1), "6");
  // The log says the file loaded and what came back of the five settings.
  const auto* log = qobject_cast<QListWidget*>(guikit::controlWidget(v_Panel, PANEL_COMMENT));
  ASSERT_GE(log->count(), 3);
  EXPECT_EQ(log->item(log->count() - 3)->text().toStdString(),
            " Bin1 file loaded: a.bin, 3 bytes ");
  EXPECT_EQ(lastComment(),
            " Restored: CLA file a.bin, COM3, PMU 0, product type 2, download type 0 (file mode, "
            "speed, ogm images: not saved) ");
}

TEST_F(DownloaderGui, RestoreInOgmModeEnablesOnlyTheBin1LoadButtonOfItsGroup) {
  TempDir::write("a.bin", std::vector<std::uint8_t>{1});
  TempDir::write("config.txt",
                 "CLA File : a.bin\r\nCOM : 1\r\nPMU : 0\r\nProduct Type : 2\r\n"
                 "Download Type : 0\r\n");
  testsupport::choose(v_Panel, PANEL_MODE, 2);
  testsupport::menuItem(v_MenuBarHandle, "dwl51_100MMIMenuRestore")->trigger();
  EXPECT_EQ(dimmed(PANEL_LOAD_BIN1), 0);
  EXPECT_EQ(dimmed(PANEL_PATH_BIN1), 1);
  EXPECT_EQ(dimmed(PANEL_SUM_BIN1), 1);
  EXPECT_TRUE(groupDimmed(1));
}

TEST_F(DownloaderGui, LoadButtonChoosesAFileAndFillsItsSlot) {
  TempDir::write("x.ogm", std::vector<std::uint8_t>{0xFF, 0x01, 0x02});
  ui.fileToChoose = (dir.path() / "x.ogm").string();
  testsupport::choose(v_Panel, PANEL_MODE, 0);
  testsupport::click(v_Panel, PANEL_LOAD_OGM1);
  ASSERT_EQ(ui.fileDialogs.size(), 1u);
  EXPECT_EQ(ui.fileDialogs[0], "select ogm file|*.ogm");
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_PATH_OGM1), ui.fileToChoose);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_SIZE_OGM1), "3");
  EXPECT_EQ(sg_DownloadContext.Ogm1Length, 4u);
  EXPECT_EQ(dimmed(PANEL_LOAD_OGM1), 0) << "unlocked after the load";
  EXPECT_EQ(lastComment(), " Ogm1 file loaded: " + ui.fileToChoose + ", 3 bytes ");
  // A dialog cancelled loads nothing and says nothing.
  auto* log = qobject_cast<QListWidget*>(guikit::controlWidget(v_Panel, PANEL_COMMENT));
  const int lines = log->count();
  ui.fileToChoose.clear();
  testsupport::click(v_Panel, PANEL_LOAD_OGM1);
  EXPECT_EQ(log->count(), lines);
}

// A load shows itself: its line, the panel locked while the file is read, then the slot's
// displays or the PC library window; the configuration restore loads its CLA file the same way.
TEST_F(DownloaderGui, LoadsShowTheirLineTheLockAndTheSlotOrTheWindow) {
  guikit::Display& panels = guikit::display();
  testsupport::RecordingDisplay rec;
  guikit::setDisplay(&rec);
  TempDir::write("image.bin", std::vector<std::uint8_t>{1, 2, 3, 4, 5});
  const struct {
    const char* name;
    dwl::Slot slot;
    std::string path;
    dwl::ResultCode code;
    std::vector<std::string> calls, comments;
    const char* window;  // the PC library window's message, or none
  } cases[] = {
      {"odd ogm, sum with its spare byte",
       dwl::Slot::Ogm1,
       "image.bin",
       1,
       {"lock", "path 2 image.bin", "size 2 5", "sum 2 270", "unlock"},
       {" Ogm1 file loading, please wait...  "},
       nullptr},
      {"bin",
       dwl::Slot::Bin1,
       "image.bin",
       1,
       {"lock", "path 0 image.bin", "size 0 5", "sum 0 15", "unlock"},
       {" Bin1 file loading, please wait...  "},
       nullptr},
      {"missing file",
       dwl::Slot::Bin2,
       "missing.bin",
       3,
       {"lock", "unlock"},
       {" Bin2 file loading, please wait...  "},
       "LIB_PC : File not found"},
      {"path too long for the field",
       dwl::Slot::Ogm2,
       std::string(300, 'x'),
       3,
       {},
       {},
       "LIB_PC : File not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rec = testsupport::RecordingDisplay{};
    EXPECT_EQ(showImageLoad(sg_DownloadContext, c.slot, c.path), c.code);
    EXPECT_EQ(rec.calls, c.calls);
    EXPECT_EQ(rec.comments, c.comments);
    ASSERT_EQ(rec.windows.size(), c.window ? 1u : 0u);
    if (c.window) {
      EXPECT_EQ(rec.windows[0].window, dwl::Window::LibPcErr);
      EXPECT_EQ(rec.windows[0].message, c.window);
    }
  }
  TempDir::write("config.txt",
                 "CLA File : gone.bin\r\nCOM : 3\r\nPMU : 0\r\nProduct Type : 2\r\n"
                 "Download Type : 0\r\n");
  rec = testsupport::RecordingDisplay{};
  testsupport::menuItem(v_MenuBarHandle, "dwl51_100MMIMenuRestore")->trigger();
  guikit::setDisplay(&panels);
  ASSERT_FALSE(rec.comments.empty());
  EXPECT_EQ(rec.comments.front(), " Bin1 file loading, please wait...  ");
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"lock", "unlock"}));
  ASSERT_EQ(rec.windows.size(), 1u);
  EXPECT_EQ(rec.windows[0].message, "LIB_PC : File not found");
}

// Each Load button opens its slot's dialog and loads only a file chosen, existing or new; a
// cancelled dialog leaves the slot's image, path and flag as they were.
TEST_F(DownloaderGui, LoadButtonsOpenTheirDialogAndLoadOnlyAChosenFile) {
  DownloadContext& c0 = sg_DownloadContext;
  const struct {
    int button;
    const char* dialog;
    const std::uint32_t& length;
    const char* path;
    const std::uint8_t& loaded;
  } cases[] = {
      {PANEL_LOAD_BIN1, "select bin file|*.bin", c0.Bin1Length, c0.Bin1Path, c0.Bin1Loaded},
      {PANEL_LOAD_BIN2, "select bin file|*.bin", c0.Bin2Length, c0.Bin2Path, c0.Bin2Loaded},
      {PANEL_LOAD_OGM1, "select ogm file|*.ogm", c0.Ogm1Length, c0.Ogm1Path, c0.Ogm1Loaded},
      {PANEL_LOAD_OGM2, "select ogm file|*.ogm", c0.Ogm2Length, c0.Ogm2Path, c0.Ogm2Loaded},
  };
  // Even lengths, so that the ogm slots store them unchanged.
  TempDir::write("one.img", std::vector<std::uint8_t>{1, 1});
  TempDir::write("two.img", std::vector<std::uint8_t>{2, 2, 2, 2});
  testsupport::choose(v_Panel, PANEL_MODE, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dialog);
    ui.fileDialogs.clear();
    ui.fileToChoose = "one.img";
    testsupport::click(v_Panel, c.button);
    EXPECT_EQ(c.length, 2u);
    ui.fileToChoose.clear();
    testsupport::click(v_Panel, c.button);
    EXPECT_EQ(c.length, 2u);
    EXPECT_STREQ(c.path, "one.img");
    EXPECT_EQ(c.loaded, 1);
    ui.fileToChoose = "two.img";
    ui.chosenKind = 2;
    testsupport::click(v_Panel, c.button);
    ui.chosenKind = 1;
    EXPECT_EQ(c.length, 4u);
    EXPECT_EQ(ui.fileDialogs, std::vector<std::string>(3, c.dialog));
  }
}

TEST_F(DownloaderGui, ServicePanelListsTheKnownFlashes) {
  testsupport::menuItem(v_MenuBarHandle, "dwl51_150MMIMenuService")->trigger();
  ASSERT_GT(v_ServicePanel, 0);
  auto* list = qobject_cast<QListWidget*>(guikit::controlWidget(v_ServicePanel, SERVICE_KNOWN));
  ASSERT_EQ(list->count(), 2);  // a heading and the one description of flash.txt
  const dwl::FlashDescription& f = downloader::vg_FlashDescritpion.Flash[0];
  EXPECT_EQ(list->item(1)->text().toStdString(),
            knownFlashLine(f.ManufacturerName, f.DeviceName, f.ManufacturerId, f.DeviceId,
                           f.NbBanks, static_cast<int>(f.NbSectors)));
  EXPECT_EQ(knownFlashLine("AMD", "AM29DL128", 0x01, 0x7e, 2, 270),
            "            AMD |     AM29DL128 |            0x 1 |      0x7e |       2 |     270 ");

  // The close box forgets the panel.
  guikit::panelWidget(v_ServicePanel)->close();
  EXPECT_EQ(v_ServicePanel, -1);
  EXPECT_EQ(mv_NbSectorsDisplayService, 0);
}

TEST_F(DownloaderGui, SwitchOnDoesNothingForProductTypeZero) {
  openServicePanel();
  sg_DownloadContext.ProductType = 0;
  testsupport::click(v_ServicePanel, SERVICE_SWITCH_ON);
  EXPECT_TRUE(port.events().empty());
  EXPECT_TRUE(guikit::loadedPanels(kMmi, TURNON).empty());
}

TEST_F(DownloaderGui, QuitEndsTheLoopAndFreesTheImages) {
  TempDir::write("a.bin", std::vector<std::uint8_t>{1, 2, 3});
  ASSERT_EQ(showImageLoad(sg_DownloadContext, dwl::Slot::Bin1, "a.bin"), dwl::kOk);
  testsupport::click(v_Panel, PANEL_QUIT);
  EXPECT_TRUE(guikit::quitRequested());
  EXPECT_EQ(sg_DownloadContext.Bin1Data, nullptr);
}

TEST_F(DownloaderGui, CloseBoxQuitsOnlyWhenIdle) {
  guikit::dwl52_5LockDuringDownload();
  guikit::panelWidget(v_Panel)->close();
  EXPECT_FALSE(guikit::quitRequested());
  guikit::dwl52_6UnlockAfterDownload();
  guikit::panelWidget(v_Panel)->close();
  EXPECT_TRUE(guikit::quitRequested());
}

// Whole operations through the panels against the emulated handset.
class DownloaderEndToEnd : public DownloaderGui {
 protected:
  void prepareDirectory() override {
    testsupport::copySamples(dir.path());
    std::string error;
    ASSERT_TRUE(emulator::loadFlashDescription("flash.txt", std::nullopt, description, &error))
        << error;
    downloader::programSettings().clock = [this] { return ++clock; };
  }
  void TearDown() override { DownloaderGui::TearDown(); }
  void connect(const emulator::Faults& faults = {}) {
    handset = std::make_unique<testsupport::EmulatedHandset>(description, faults);
    downloader::programSettings().serial = handset->link.get();
  }
  // The technician picks the file in the slot's dialog.
  std::vector<std::uint8_t> load(int loadButton, const std::string& name, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + size);
    TempDir::write(name, bytes);
    ui.fileToChoose = (dir.path() / name).string();
    testsupport::click(v_Panel, loadButton);
    return bytes;
  }
  std::vector<std::string> comments() const {
    auto* list = qobject_cast<QListWidget*>(guikit::controlWidget(v_Panel, PANEL_COMMENT));
    std::vector<std::string> out;
    for (int i = 0; i < list->count(); ++i) out.push_back(list->item(i)->text().toStdString());
    return out;
  }
  std::string windowText(int utilityPanel) const {
    const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, utilityPanel);
    return open.size() == 1 ? guikit::GetCtrlString(open[0], guikit::UTILITY_MESSAGE) : "";
  }
  SectorMap* sectorMap() const {
    return dynamic_cast<SectorMap*>(guikit::controlWidget(v_Panel, PANEL_SECTORS));
  }

  dwl::FlashDescription description;
  std::unique_ptr<testsupport::EmulatedHandset> handset;
  std::time_t clock = 1000;
};

TEST_F(DownloaderEndToEnd, CompleteDownloadThroughThePanel) {
  testsupport::choose(v_Panel, PANEL_MODE, 0);
  const std::vector<std::uint8_t> bin = load(PANEL_LOAD_BIN1, "cla.bin", 0x10000 + 0x2000 + 100);
  const std::vector<std::uint8_t> ogm = load(PANEL_LOAD_OGM2, "two.ogm", 5000);
  connect();
  testsupport::click(v_Panel, PANEL_START);

  const std::vector<int> open = guikit::loadedPanels(kMmi, SUCCESS);
  ASSERT_EQ(open.size(), 1u) << windowText(guikit::UTILITY_GENERIC_ERR);
  EXPECT_EQ(handset->flash->read(0, bin.size()), bin);
  EXPECT_EQ(handset->flash->read(0xC70000, ogm.size()), ogm);
  EXPECT_TRUE(handset->core->violations().empty()) << handset->core->violations().front();

  int percent = -1;
  guikit::GetCtrlVal(v_Panel, PANEL_PROGRESS, &percent);
  EXPECT_EQ(percent, 100);
  guikit::GetCtrlVal(v_Panel, PANEL_PERCENT, &percent);
  EXPECT_EQ(percent, 100);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_CPU), "BOOT FROM A PCF5087");
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_FLASH), " Flash AM29PDL128G");
  EXPECT_NE(guikit::GetCtrlString(v_Panel, PANEL_TIME).find(" min "), std::string::npos);

  // The progress lines, in the order the download wrote them.
  const std::vector<std::string> expected = {" Bin1 file loading, please wait...  ",
                                             " Ogm2 file loading, please wait...  ",
                                             " Check the compatibility ",
                                             " Download the Bin1 File ",
                                             " Download ogm2 sector by sector ",
                                             " The End "};
  const std::vector<std::string> seen = comments();
  auto at = seen.begin();
  for (const std::string& line : expected) {
    at = std::find(at, seen.end(), line);
    ASSERT_NE(at, seen.end()) << "missing or out of order: " << line;
  }

  // Every sector written shows so on the map.
  ASSERT_NE(sectorMap(), nullptr);
  EXPECT_EQ(sectorMap()->state(0), SectorMap::State::Written);
  EXPECT_EQ(sectorMap()->state(8), SectorMap::State::Written);
  EXPECT_EQ(sectorMap()->state(1), SectorMap::State::Written);

  EXPECT_EQ(dimmed(PANEL_START), 1) << "locked until the window is closed";
  testsupport::click(open[0], SUCCESS_OK);
  EXPECT_EQ(dimmed(PANEL_START), 0);
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_TIME), " ");
  guikit::GetCtrlVal(v_Panel, PANEL_PROGRESS, &percent);
  EXPECT_EQ(percent, 0);
}

TEST_F(DownloaderEndToEnd, FailingBootEndsInTheBootWindow) {
  load(PANEL_LOAD_BIN1, "cla.bin", 1000);
  emulator::Faults wrongStart;
  wrongStart.wrong = {{emulator::Reply::StartReport, 0x55}};
  connect(wrongStart);
  // What an earlier job identified is not shown as this handset's.
  showCpuType(0xBE);
  testsupport::click(v_Panel, PANEL_START);
  EXPECT_EQ(windowText(guikit::UTILITY_BOOT_ERR),
            "BOOT : Problem with program in external RAM : StackPointer not set");
  // Under the fixed text, what went wrong.
  const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_BOOT_ERR);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_FALSE(guikit::GetPanelDetail(open[0]).empty());
  int on = -1;
  guikit::GetCtrlVal(v_Panel, PANEL_CPU, &on);
  EXPECT_EQ(on, 0) << "no processor shown after a failed boot";
  EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_CPU), "Processor");
  EXPECT_FALSE(handset->link->isOpen());
}

TEST_F(DownloaderEndToEnd, RefusedSectorEndsInTheGenericWindowAndShowsOnTheMap) {
  load(PANEL_LOAD_BIN1, "cla.bin", 5 * 0x2000);
  emulator::Faults refused;
  refused.sector = {{emulator::Faults::Sector::Error, 3, 0, 0x42}};
  connect(refused);
  testsupport::click(v_Panel, PANEL_START);
  EXPECT_EQ(windowText(guikit::UTILITY_GENERIC_ERR), "Problem : Error during the sector donwload");
  EXPECT_EQ(sectorMap()->state(3), SectorMap::State::Error);
  EXPECT_EQ(sectorMap()->state(2), SectorMap::State::Written);
  EXPECT_FALSE(handset->link->isOpen());
}

TEST_F(DownloaderEndToEnd, ServicePanelSwitchesOnAndOffAndReleasesThePort) {
  connect();
  testsupport::menuItem(v_MenuBarHandle, "dwl51_150MMIMenuService")->trigger();
  testsupport::click(v_ServicePanel, SERVICE_SWITCH_ON);

  EXPECT_TRUE(guikit::loadedPanels(kMmi, TIMEOUT).empty());
  EXPECT_TRUE(guikit::loadedPanels(kMmi, TURNON).empty());
  EXPECT_EQ(handset->core->state(), emulator::HandsetCore::State::Bootstrap);
  EXPECT_TRUE(handset->link->isOpen());
  EXPECT_EQ(handset->link->baud(), 460800) << "left at the working speed";
  EXPECT_EQ(guikit::GetCtrlString(v_ServicePanel, SERVICE_TITLE), " Flash AMD AM29PDL128G");
  auto* sectors =
      qobject_cast<QListWidget*>(guikit::controlWidget(v_ServicePanel, SERVICE_SECTORS));
  ASSERT_EQ(sectors->count(), 284);
  EXPECT_NE(sectors->item(8)->text().indexOf("offset 0x010000"), -1);
  EXPECT_NE(sectors->item(8)->text().indexOf("N. A."), -1);
  EXPECT_EQ(mv_NbSectorsDisplayService, 284);

  testsupport::click(v_ServicePanel, SERVICE_SWITCH_OFF);
  EXPECT_EQ(handset->core->state(), emulator::HandsetCore::State::Off);
  EXPECT_TRUE(handset->link->isOpen()) << "the port stays open while the panel is";

  guikit::panelWidget(v_ServicePanel)->close();
  EXPECT_FALSE(handset->link->isOpen());
  EXPECT_EQ(servicePortOpen(), 0);
}

TEST_F(DownloaderEndToEnd, StartClosesThePortTheServicePanelLeftOpen) {
  const std::vector<std::uint8_t> bin = load(PANEL_LOAD_BIN1, "cla.bin", 3000);
  connect();
  openServicePanel();
  testsupport::click(v_ServicePanel, SERVICE_SWITCH_ON);
  ASSERT_EQ(servicePortOpen(), sg_DownloadContext.ComPort);
  testsupport::click(v_Panel, PANEL_START);
  EXPECT_EQ(guikit::loadedPanels(kMmi, SUCCESS).size(), 1u);
  EXPECT_EQ(servicePortOpen(), 0);
  EXPECT_EQ(handset->flash->read(0, bin.size()), bin);
}

// Presses the button of a window left open from before, half-way through a download.
class PressStaleButtonHalfWay : public PanelEvents {
 public:
  void progress(int percent) override {
    PanelEvents::progress(percent);
    if (pressed || percent < 50) return;
    pressed = true;
    testsupport::click(stale, guikit::UTILITY_BUTTON);
    guikit::GetCtrlAttribute(v_Panel, PANEL_START, ATTR_DIMMED, &startDimmed);
  }
  int stale = -1;
  bool pressed = false;
  int startDimmed = -1;
};

TEST_F(DownloaderEndToEnd, WindowLeftOpenDoesNotUnlockTheDownload) {
  load(PANEL_LOAD_BIN1, "cla.bin", 0x10000 * 3);
  testsupport::menuItem(v_MenuBarHandle, "dwl51_100MMIMenuRestore")->trigger();
  const std::vector<int> stale =
      guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_CONF_FILE_ERR);
  ASSERT_EQ(stale.size(), 1u);
  connect();
  PressStaleButtonHalfWay press;
  press.stale = stale[0];
  setPanelEvents(&press);
  testsupport::click(v_Panel, PANEL_START);
  ASSERT_TRUE(press.pressed);
  EXPECT_FALSE(guikit::isPanelLoaded(stale[0]));
  EXPECT_EQ(press.startDimmed, 1) << "Start stays dimmed until the download ends";
  EXPECT_EQ(guikit::loadedPanels(kMmi, SUCCESS).size(), 1u);
}

// Every panel in the states a technician sees, each with its texts whole; the pictures go to
// docs/ through scripts/screenshots.sh.
TEST_F(DownloaderEndToEnd, EveryPanelShowsWholeInEachState) {
  using testsupport::snapshot;
  EXPECT_EQ(snapshot(v_Panel, "downloader-main-idle"), "");

  testsupport::choose(v_Panel, PANEL_MODE, 0);
  load(PANEL_LOAD_BIN1, "FW_V7_CLA.bin", 0x10000 * 6 + 0x2000 * 8);
  load(PANEL_LOAD_OGM1, "LANG_EN.ogm", 0x30000);
  connect();
  testsupport::SnapshotHalfWay<PanelEvents> halfWay(v_Panel, "downloader-main-download");
  setPanelEvents(&halfWay);
  testsupport::click(v_Panel, PANEL_START);
  EXPECT_EQ(halfWay.taken, "taken");
  for (int h : guikit::loadedPanels(kMmi, SUCCESS))
    EXPECT_EQ(snapshot(h, "downloader-success"), "");

  guikit::dwl52_10DisplayResult(6, 4);
  for (int h : guikit::loadedPanels(kMmi, TIMEOUT))
    EXPECT_EQ(snapshot(h, "downloader-timeout"), "");
  EXPECT_EQ(snapshot(guikit::LoadPanel(0, kMmi, TURNON), "downloader-switch-on"), "");

  openServicePanel();
  testsupport::click(v_ServicePanel, SERVICE_SWITCH_ON);
  EXPECT_EQ(snapshot(v_ServicePanel, "downloader-service"), "");

  const struct {
    int family, code, panel;
    const char* name;
  } errors[] = {
      {6, 7, guikit::UTILITY_BOOT_ERR, "error-boot"},
      {8, 19, guikit::UTILITY_COMMAND_ERR, "error-command"},
      {3, 13, guikit::UTILITY_CONF_FILE_ERR, "error-configuration"},
      {2, 11, guikit::UTILITY_FLASH_FILE_ERR, "error-flash-description"},
      {9, 0, guikit::UTILITY_GENERIC_ERR, "error-generic"},
      {5, static_cast<int>(0x80000002u), guikit::UTILITY_LIB_PC_ERR, "error-pc-library"},
  };
  for (const auto& e : errors) {
    guikit::dwl52_10DisplayResult(e.family, e.code);
    for (int h : guikit::loadedPanels(guikit::kUtility, e.panel))
      EXPECT_EQ(snapshot(h, e.name), "") << e.name;
  }
}

}  // namespace

namespace {

TEST_F(DownloaderGui, AnOgm1ImageOnModel3IsRefusedBeforeTheHandsetIsAskedFor) {
  TempDir::write("a.bin", std::vector<std::uint8_t>(100, 0x11));
  TempDir::write("a.ogm", std::vector<std::uint8_t>(100, 0x22));
  ASSERT_EQ(showImageLoad(sg_DownloadContext, dwl::Slot::Bin1, "a.bin"), dwl::kOk);
  ASSERT_EQ(showImageLoad(sg_DownloadContext, dwl::Slot::Ogm1, "a.ogm"), dwl::kOk);
  sg_DownloadContext.Mode = 0;
  sg_DownloadContext.Model = 3;
  pressStart();
  ASSERT_EQ(ui.popups.size(), 1u);
  EXPECT_EQ(ui.popups[0].second, "model 3 has no place for an Ogm1 image");
  EXPECT_TRUE(port.events().empty()) << "no boot";
  EXPECT_TRUE(guikit::loadedPanels(kMmi, TURNON).empty()) << "no switch-on prompt";
}

}  // namespace

namespace {

TEST_F(DownloaderGui, TabOrderFollowsThePanelTopToBottom) {
  testsupport::expectTabOrderTopDown(guikit::panelWidget(v_Panel));
}

}  // namespace

namespace {

// The open "Cancel the download?" question, if any.
QMessageBox* openQuestion() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
  return nullptr;
}

// Presses the close box a tenth into the download and leaves the question open while the
// download goes on; answers No once the bar has moved on by half (or, should the question hold
// the job, after a bounded number of event rounds, so the test ends and fails).
class CloseBoxQuestion : public PanelEvents {
 public:
  void progress(int percent) override {
    PanelEvents::progress(percent);
    if (askedAt < 0 && percent >= 10) {
      askedAt = percent;
      guikit::panelWidget(v_Panel)->close();
      box = openQuestion();
    } else if (box && answeredAt < 0 && percent >= askedAt + 50) {
      answeredAt = percent;
      box->button(QMessageBox::No)->click();
    }
  }
  int askedAt = -1;
  int answeredAt = -1;
  QPointer<QMessageBox> box;
};

}  // namespace

TEST_F(DownloaderEndToEnd, TheCloseBoxQuestionDoesNotHoldTheDownloadAndNoLetsItFinish) {
  const std::vector<std::uint8_t> bin = load(PANEL_LOAD_BIN1, "cla.bin", 0x10000 * 12);
  connect();
  guikit::setConfirmHandler({});  // the real question, as the technician sees it
  CloseBoxQuestion question;
  setPanelEvents(&question);
  // Should the question hold the job in a loop of its own, No is pressed from inside that loop.
  int rounds = 0;
  QTimer failsafe;
  QObject::connect(&failsafe, &QTimer::timeout, [&] {
    if (QMessageBox* open = openQuestion(); open && ++rounds > 100)
      open->button(QMessageBox::No)->click();
  });
  failsafe.start(10);
  testsupport::click(v_Panel, PANEL_START);

  ASSERT_GE(question.askedAt, 10);
  EXPECT_GE(question.answeredAt, question.askedAt + 50) << "the download stood still";
  ASSERT_EQ(guikit::loadedPanels(kMmi, SUCCESS).size(), 1u)
      << windowText(guikit::UTILITY_GENERIC_ERR);
  EXPECT_EQ(handset->flash->read(0, bin.size()), bin);
  EXPECT_EQ(openQuestion(), nullptr);
}

TEST_F(DownloaderEndToEnd, AQuestionLeftOpenIsWithdrawnWhenTheDownloadEnds) {
  load(PANEL_LOAD_BIN1, "cla.bin", 0x10000 * 4);
  connect();
  guikit::setConfirmHandler({});
  CloseBoxQuestion question;
  question.answeredAt = 1000;  // never answered
  setPanelEvents(&question);
  testsupport::click(v_Panel, PANEL_START);
  ASSERT_GE(question.askedAt, 10);
  EXPECT_EQ(guikit::loadedPanels(kMmi, SUCCESS).size(), 1u);
  EXPECT_EQ(openQuestion(), nullptr) << "a question about a finished download stays open";
}

namespace {

// What the technician does in the port's Device... dialog once it opens: types a path (or leaves
// the field), then presses a button ("ok", "default", "cancel").
struct DeviceDialogInput {
  std::string typed;
  std::string press;
  std::string environmentNote;  // what the dialog said of the environment variable
};

void answerDeviceDialog(DeviceDialogInput* input) {
  QTimer::singleShot(0, [input] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(dialog->objectName(), "portChooser");
    if (auto* note = dialog->findChild<QLabel*>("environment"))
      input->environmentNote = note->text().toStdString();
    if (!input->typed.empty())
      dialog->findChild<QComboBox*>("devices")->setEditText(QString::fromStdString(input->typed));
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    if (input->press == "ok") buttons->button(QDialogButtonBox::Ok)->click();
    if (input->press == "cancel") buttons->button(QDialogButtonBox::Cancel)->click();
    if (input->press == "default") dialog->findChild<QPushButton*>("default")->click();
  });
}

}  // namespace

TEST_F(DownloaderGui, DeviceButtonMapsTheSelectedComNumberForEveryProgram) {
  testsupport::choose(v_Panel, PANEL_PORT, 4);
  auto* button = guikit::panelWidget(v_Panel)->findChild<QAbstractButton*>("portDevice");
  ASSERT_NE(button, nullptr);
  struct Step {
    const char* environment;  // KELVANE_COM4 during the step, or null
    DeviceDialogInput input;
    std::string opened;  // what COM4 opens afterwards
    std::string saved;   // what the user's file holds for COM4 afterwards
  };
  const Step steps[] = {
      {nullptr, {"/dev/pts/77", "ok", ""}, "/dev/pts/77", "/dev/pts/77"},
      {nullptr, {"/dev/ttyUSB9", "cancel", ""}, "/dev/pts/77", "/dev/pts/77"},
      {"/dev/from-env", {"/dev/ttyACM3", "ok", ""}, "/dev/from-env", "/dev/ttyACM3"},
      {nullptr, {"", "default", ""}, "/dev/ttyS3", ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.input.typed + " " + step.input.press);
    if (step.environment) ::setenv("KELVANE_COM4", step.environment, 1);
    DeviceDialogInput input = step.input;
    answerDeviceDialog(&input);
    button->click();
    EXPECT_EQ(platform::deviceForPort(4), step.opened);
    const std::map<int, std::string> saved = platform::savedPortMap();
    EXPECT_EQ(saved.count(4) ? saved.at(4) : "", step.saved);
    // The selector says what COM4 opens now; the record keeps the number.
    EXPECT_EQ(guikit::GetCtrlString(v_Panel, PANEL_PORT), "COM4   " + step.opened);
    EXPECT_EQ(sg_DownloadContext.ComPort, 4);
    EXPECT_EQ(!input.environmentNote.empty(), step.environment != nullptr);
    ::unsetenv("KELVANE_COM4");
  }
  // Dimmed with the selector while a job runs.
  guikit::dwl52_5LockDuringDownload();
  EXPECT_FALSE(button->isEnabled());
  guikit::dwl52_6UnlockAfterDownload();
  EXPECT_TRUE(button->isEnabled());
}

namespace {

// Presses Cancel a third into the download.
class CancelAThirdIn : public PanelEvents {
 public:
  void progress(int percent) override {
    PanelEvents::progress(percent);
    if (percent >= 30) cancelToken().cancel();
  }
};

}  // namespace

TEST_F(DownloaderEndToEnd, ACancelReadsTheSameInTheWindowTheLogAndTheSectorMap) {
  load(PANEL_LOAD_BIN1, "cla.bin", 0x10000 * 8);
  connect();
  CancelAThirdIn cancel;
  setPanelEvents(&cancel);
  testsupport::click(v_Panel, PANEL_START);
  const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_GENERIC_ERR);
  ASSERT_EQ(open.size(), 1u);
  QWidget* window = guikit::panelWidget(open[0]);
  EXPECT_EQ(window->windowTitle().toStdString(), "Kelvane Downloader \u2014 Download cancelled");
  EXPECT_EQ(window->findChild<QLabel*>("icon")->text().toStdString(), "<b>Download cancelled</b>");
  EXPECT_EQ(lastComment(), " Download cancelled by the user ");
  const std::string map = sectorMap()->summary().toStdString();
  EXPECT_NE(map.find(" 0 in progress"), std::string::npos) << map;
}

TEST_F(DownloaderGui, TheCauseLiesInsideTheErrorWindowWrappedBelowItsMessage) {
  guikit::display().openWindow(dwl::Window::LibPcErr, "LIB_PC : Default error number _ 0xfffffffa");
  const int window = lastResultWindow();
  QWidget* w = guikit::panelWidget(window);
  ASSERT_NE(w, nullptr);
  w->show();
  QApplication::processEvents();
  guikit::SetPanelDetail(window,
                         "port COM4 (/dev/kelvane-no-such-port): /dev/kelvane-no-such-port: No "
                         "such file or directory (no such device: is the cable plugged in?)");
  QApplication::processEvents();
  auto* message = qobject_cast<QLabel*>(guikit::controlWidget(window, guikit::UTILITY_MESSAGE));
  auto* cause = w->findChild<QLabel*>("detail");
  ASSERT_TRUE(message && cause);
  EXPECT_GE(cause->geometry().top(), message->geometry().bottom()) << "drawn over the message";
  EXPECT_LE(cause->geometry().right(), w->width()) << "runs past the window";
  EXPECT_GE(cause->height(), cause->heightForWidth(cause->width())) << "cut";
  const QWidget* button = guikit::controlWidget(window, guikit::UTILITY_BUTTON);
  EXPECT_GE(button->geometry().top(), cause->geometry().bottom());
}

// The prompt's seconds only go down over one boot, even when a wait reports from its start again.
TEST(SwitchOnCountdown, NeverCountsUp) {
  guikit::SwitchOnCountdown countdown(5);
  const std::pair<double, const char*> steps[] = {
      {0, "5 s left"}, {1.2, "4 s left"}, {0.1, "4 s left"}, {2.5, "3 s left"}, {6, "0 s left"}};
  for (const auto& [waited, left] : steps) {
    const std::string text = countdown.text(waited);
    EXPECT_NE(text.find(left), std::string::npos) << waited << ": " << text;
  }
}

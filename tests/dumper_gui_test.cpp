// The dumper's panels driven through their controls and callbacks, offscreen.
#include <gtest/gtest.h>

// Before any Qt header: the emulator has a member named like Qt's emit macro.
#include "emulator/emulator_rs232.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/dumper/dumper_app.h"
#include "apps/dumper/dumper_panels.h"
#include "apps/guikit/display.h"
#include "apps/guikit/userint.h"
#include "apps/guikit/utility.h"
#include "dwl/dwl52display.h"
#include "engines/dumper/dumper.h"
#include "engines/dumper/dumper_context.h"
#include "platform/cancel.h"
#include "platform/port_map.h"
#include "platform/scripted_rs232.h"
#include "support/config_home.h"
#include "support/gui_helpers.h"
#include "support/temp_dir.h"

namespace {

using namespace dumper;
using guikit::ATTR_DIMMED;
using testsupport::TempDir;

// The main panel's handle bears the program's name, as its namespace does.
int mainPanel() {
  return dumper::dumper;
}

constexpr int kLockedByDump[] = {4, 5, 11, 10, 12, 17, 13, 7, 6, 9};
constexpr int kAllMain[] = {4, 5, 11, 10, 12, 17, 13, 7, 6, 2, 3, 18, 14, 8, 9};
constexpr int kEraseCommands[] = {2, 3, 4, 12};
constexpr int kEraseRange[] = {8, 7, 13};

class DumperGui : public ::testing::Test {
 protected:
  void SetUp() override {
    resetDumperState();
    configHome.emplace(dir.path());
    dumper::programSettings().serial = &port;
    ui.install();
    startDumperPanels();
  }
  void TearDown() override {
    stopDumperPanels();
    configHome.reset();
    ui.uninstall();
    dumper::programSettings() = {};
    resetDumperState();
  }

  static int dimmed(int panel, int ctrl) {
    int v = -1;
    guikit::GetCtrlAttribute(panel, ctrl, ATTR_DIMMED, &v);
    return v;
  }
  static int value(int panel, int ctrl) {
    int v = -1;
    guikit::GetCtrlVal(panel, ctrl, &v);
    return v;
  }
  static bool hasMenuBar() { return guikit::menuBarWidget(v_MenuBarHandle) != nullptr; }
  void openErase() { testsupport::menuItem(v_MenuBarHandle, "erase_flash")->trigger(); }
  bool toldInvalidValue(std::size_t times) const {
    if (ui.popups.size() != times) return false;
    for (const auto& p : ui.popups)
      if (p.first != "ERROR" || p.second != "Invalid value") return false;
    return true;
  }

  TempDir dir;
  std::optional<testsupport::ScopedConfigHome> configHome;
  platform::ScriptedRs232 port;
  testsupport::GuiRecorder ui;
};

TEST_F(DumperGui, ControlsStartAtTheRecordsValues) {
  EXPECT_EQ(value(mainPanel(), kMainFirstSector), 0);
  EXPECT_EQ(value(mainPanel(), kMainLastSector), 283);
  EXPECT_EQ(value(mainPanel(), kMainPort), 4);
  EXPECT_EQ(value(mainPanel(), kMainSpeed), 2);
  EXPECT_EQ(sg_DownloadContext.Speed, 2);
  EXPECT_EQ(sg_DownloadContext.ProductType, 2);
  // Row 3 of the dumper's own speed table.
  testsupport::choose(mainPanel(), kMainSpeed, 3);
  EXPECT_EQ(guikit::GetCtrlString(mainPanel(), kMainSpeed), "203125 baud");
  EXPECT_EQ(sg_DownloadContext.Speed, 3);
  testsupport::choose(mainPanel(), kMainPort, 1);
  EXPECT_EQ(sg_DownloadContext.ComPort, 1);
}

TEST_F(DumperGui, TabOrderFollowsThePanelTopToBottom) {
  testsupport::expectTabOrderTopDown(guikit::panelWidget(mainPanel()));
}

TEST_F(DumperGui, EveryCallbackNamedInTheFormsIsBound) {
  openErase();
  for (int id : {TURNON, ERASE_SUCCESS, TIMEOUT, DUMP_SUCCESS})
    guikit::LoadPanel(0, kDumperUir, id);
  for (int id : {1, 3, 5, 6, 7, 8}) guikit::LoadPanel(0, guikit::kUtility, id);
  EXPECT_TRUE(guikit::unboundCallbacks().empty())
      << "first unbound: " << guikit::unboundCallbacks().front();
}

struct RangeCase {
  const char* name;
  bool erasePanel;
  int control;  // typed last
  int first, last;
  bool inverted;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << c.name;
}

class RangeChecks : public DumperGui, public ::testing::WithParamInterface<RangeCase> {};

// The program used to end after "Invalid value"; it now keeps running and its operation refuses
// to start while the range stays inverted.
TEST_P(RangeChecks, AnInvertedRangeIsToldKeepsTheProgramAndRefusesItsOperation) {
  const RangeCase& c = GetParam();
  int panel = mainPanel(), firstCtrl = kMainFirstSector, lastCtrl = kMainLastSector;
  if (c.erasePanel) {
    openErase();
    testsupport::choose(v_PanelErase, kEraseSelectionRing, kEraseSectorRange);
    panel = v_PanelErase, firstCtrl = kEraseFirst, lastCtrl = kEraseLast;
  }
  // The other end first (valid against the start values), then the end under test.
  const bool firstLast = c.control == firstCtrl;
  testsupport::enter(panel, firstLast ? lastCtrl : firstCtrl, firstLast ? c.last : c.first);
  ASSERT_FALSE(guikit::quitRequested());
  testsupport::enter(panel, c.control, firstLast ? c.first : c.last);
  EXPECT_EQ(toldInvalidValue(1), c.inverted);
  // Under the fixed text: the field, the value typed and the rule it breaks.
  if (c.inverted) {
    const std::string cause = ui.popupDetails.at(0);
    const std::string typed = std::to_string(firstLast ? c.first : c.last);
    EXPECT_NE(cause.find(std::string(firstLast ? "First" : "Last") + " sector of the " +
                         (c.erasePanel ? "erase: " : "dump: ") + typed + " typed"),
              std::string::npos)
        << cause;
    EXPECT_NE(cause.find(firstLast ? "the first may not be above the last"
                                   : "the last may not be below the first"),
              std::string::npos)
        << cause;
  }
  EXPECT_FALSE(guikit::quitRequested());
  // The button of the operation: refused with the same box while inverted, otherwise it locks.
  testsupport::click(panel, c.erasePanel ? kEraseGo : kMainStart);
  EXPECT_EQ(toldInvalidValue(2), c.inverted);
  EXPECT_EQ(dimmed(panel, c.erasePanel ? kEraseGo : kMainStart), c.inverted ? 0 : 1);
  EXPECT_FALSE(guikit::quitRequested());
  if (c.erasePanel) {
    EXPECT_EQ(sg_DownloadContext.EraseFirstSector, c.first);
    EXPECT_EQ(sg_DownloadContext.EraseLastSector, c.last);
    EXPECT_EQ(prior_value_start, c.first);
    EXPECT_EQ(prior_value_end, c.last);
  } else {
    // The value stays stored even when the check fails.
    EXPECT_EQ(sg_DownloadContext.DumpFirstSector, c.first);
    EXPECT_EQ(sg_DownloadContext.DumpLastSector, c.last);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RangeChecks,
    ::testing::Values(RangeCase{"DumpFirstAboveLast", false, kMainFirstSector, 200, 100, true},
                      RangeCase{"DumpLastBelowFirst", false, kMainLastSector, 10, 5, true},
                      RangeCase{"DumpOneSector", false, kMainFirstSector, 130, 130, false},
                      RangeCase{"DumpOrdered", false, kMainLastSector, 130, 140, false},
                      RangeCase{"EraseFirstAboveLast", true, kEraseFirst, 50, 40, true},
                      RangeCase{"EraseLastBelowFirst", true, kEraseLast, 7, 6, true},
                      RangeCase{"EraseOneSector", true, kEraseLast, 8, 8, false}),
    [](const ::testing::TestParamInfo<RangeCase>& row) { return row.param.name; });

struct OutsideCase {
  const char* name;
  bool erasePanel;
  bool firstField;
  int typed;
  const char* cause;
};

void PrintTo(const OutsideCase& c, std::ostream* os) {
  *os << c.name;
}

class SectorsOutsideTheMap : public DumperGui, public ::testing::WithParamInterface<OutsideCase> {};

// A number beyond the map is refused in the open with its cause; the field and the record keep
// the value in force, so it never reaches a dump or an erase.
TEST_P(SectorsOutsideTheMap, AreRefusedWithTheirCauseAndNeverReachTheRecord) {
  const OutsideCase& c = GetParam();
  int panel = mainPanel();
  int control = c.firstField ? kMainFirstSector : kMainLastSector;
  if (c.erasePanel) {
    openErase();
    testsupport::choose(v_PanelErase, kEraseSelectionRing, kEraseSectorRange);
    panel = v_PanelErase;
    control = c.firstField ? kEraseFirst : kEraseLast;
  }
  const int before = value(panel, control);
  testsupport::enter(panel, control, c.typed);
  ASSERT_TRUE(toldInvalidValue(1));
  EXPECT_EQ(ui.popupDetails.at(0), c.cause);
  EXPECT_EQ(value(panel, control), before);
  const DumperContext& r = sg_DownloadContext;
  const std::int32_t held = c.erasePanel ? (c.firstField ? r.EraseFirstSector : r.EraseLastSector)
                                         : (c.firstField ? r.DumpFirstSector : r.DumpLastSector);
  EXPECT_EQ(held, before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SectorsOutsideTheMap,
    ::testing::Values(
        OutsideCase{"DumpLast999", false, false, 999,
                    "Last sector of the dump: 999 typed; the sectors are numbered 0 to 283"},
        OutsideCase{"DumpFirst284", false, true, 284,
                    "First sector of the dump: 284 typed; the sectors are numbered 0 to 283"},
        OutsideCase{"EraseLast1000", true, false, 1000,
                    "Last sector of the erase: 1000 typed; the sectors are numbered 0 to 283"}),
    [](const ::testing::TestParamInfo<OutsideCase>& row) { return row.param.name; });

TEST_F(DumperGui, ErasePanelDimsTheWholeMainPanelAndKeepsTheRange) {
  openErase();
  ASSERT_GT(v_PanelErase, 0);
  for (int c : kAllMain) EXPECT_EQ(dimmed(mainPanel(), c), 1) << "main control " << c;
  EXPECT_FALSE(hasMenuBar());
  EXPECT_EQ(sg_DownloadContext.EraseSelection, kEraseWholeFlash);
  EXPECT_EQ(sg_DownloadContext.EraseFirstSector, 0);
  EXPECT_EQ(sg_DownloadContext.EraseLastSector, 283);
  for (int c : kEraseRange) EXPECT_EQ(dimmed(v_PanelErase, c), 1) << "erase control " << c;

  testsupport::click(v_PanelErase, kEraseExit);
  EXPECT_EQ(v_PanelErase, -1);
  for (int c : kAllMain) EXPECT_EQ(dimmed(mainPanel(), c), 0) << "main control " << c;
  EXPECT_TRUE(hasMenuBar());
}

TEST_F(DumperGui, EraseSelectionSwitchesBetweenWholeFlashAndTheTypedRange) {
  openErase();
  testsupport::choose(v_PanelErase, kEraseSelectionRing, kEraseSectorRange);
  for (int c : kEraseRange) EXPECT_EQ(dimmed(v_PanelErase, c), 0) << "erase control " << c;
  EXPECT_EQ(sg_DownloadContext.EraseFirstSector, 0);
  EXPECT_EQ(sg_DownloadContext.EraseLastSector, 283);
  testsupport::enter(v_PanelErase, kEraseFirst, 10);
  testsupport::enter(v_PanelErase, kEraseLast, 20);

  testsupport::choose(v_PanelErase, kEraseSelectionRing, kEraseWholeFlash);
  EXPECT_EQ(sg_DownloadContext.EraseFirstSector, 0);
  EXPECT_EQ(sg_DownloadContext.EraseLastSector, 267);
  for (int c : kEraseRange) EXPECT_EQ(dimmed(v_PanelErase, c), 1) << "erase control " << c;

  testsupport::choose(v_PanelErase, kEraseSelectionRing, kEraseSectorRange);
  EXPECT_EQ(sg_DownloadContext.EraseFirstSector, 10);
  EXPECT_EQ(sg_DownloadContext.EraseLastSector, 20);

  // Reopened, the panel shows the last typed range.
  testsupport::click(v_PanelErase, kEraseExit);
  openErase();
  EXPECT_EQ(value(v_PanelErase, kEraseFirst), 10);
  EXPECT_EQ(value(v_PanelErase, kEraseLast), 20);
  EXPECT_EQ(value(v_PanelErase, kEraseSelectionRing), kEraseWholeFlash);
}

TEST_F(DumperGui, DumpLockDimsItsTenControlsAndUnlockBringsThemBack) {
  sg_DownloadContext.OperationMode = kModeDump;
  LockDuringDumping();
  for (int c : kLockedByDump) EXPECT_EQ(dimmed(mainPanel(), c), 1) << "main control " << c;
  for (int c : {2, 3, 8, 14, 18}) EXPECT_EQ(dimmed(mainPanel(), c), 0) << "main control " << c;
  EXPECT_FALSE(hasMenuBar());
  UnlockAfterDump();
  for (int c : kLockedByDump) EXPECT_EQ(dimmed(mainPanel(), c), 0) << "main control " << c;
  EXPECT_TRUE(hasMenuBar());
}

TEST_F(DumperGui, SilentHandsetDuringADumpEndsInTheTimeOutPanelWhichUnlocks) {
  TempDir::write("dwl87.spm", std::vector<std::uint8_t>(16, 0x11));
  port.silence(100);
  testsupport::click(mainPanel(), kMainStart);
  const std::vector<int> open = guikit::loadedPanels(kDumperUir, TIMEOUT);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_TRUE(guikit::loadedPanels(kDumperUir, TURNON).empty());
  EXPECT_EQ(dimmed(mainPanel(), kMainStart), 1);
  testsupport::click(open[0], kClosingOk);
  EXPECT_EQ(dimmed(mainPanel(), kMainStart), 0);
  EXPECT_TRUE(hasMenuBar());
}

TEST_F(DumperGui, SilentHandsetDuringAnEraseUnlocksTheErasePanelOnly) {
  TempDir::write("dwl87.spm", std::vector<std::uint8_t>(16, 0x11));
  openErase();
  port.silence(100);
  testsupport::click(v_PanelErase, kEraseGo);
  const std::vector<int> open = guikit::loadedPanels(kDumperUir, TIMEOUT);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(dimmed(v_PanelErase, kEraseGo), 1);
  testsupport::click(open[0], kClosingOk);
  for (int c : kEraseCommands) EXPECT_EQ(dimmed(v_PanelErase, c), 0) << "erase control " << c;
  EXPECT_EQ(dimmed(mainPanel(), kMainStart), 1) << "the main panel waits for the erase panel";
  EXPECT_FALSE(hasMenuBar());
}

TEST_F(DumperGui, ErrorWindowOfAFailedDumpClosesAndUnlocks) {
  // No bootstrap file in the working directory.
  testsupport::click(mainPanel(), kMainStart);
  const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_LIB_PC_ERR);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(guikit::GetCtrlString(open[0], guikit::UTILITY_MESSAGE), "LIB_PC : File not found");
  EXPECT_EQ(dimmed(mainPanel(), kMainStart), 1);
  testsupport::click(open[0], guikit::UTILITY_BUTTON);
  EXPECT_FALSE(guikit::isPanelLoaded(open[0]));
  EXPECT_EQ(dimmed(mainPanel(), kMainStart), 0);
  EXPECT_TRUE(hasMenuBar());
}

struct ClosingCase {
  int mode, panelId;
};

class ClosingPanels : public DumperGui, public ::testing::WithParamInterface<ClosingCase> {};

TEST_P(ClosingPanels, SuccessOpensThePanelOfTheOperationAndItsOkUnlocks) {
  if (GetParam().mode == kModeErase) openErase();
  sg_DownloadContext.OperationMode = GetParam().mode;
  guikit::display().lock();
  panelEvents().progress(100);
  panelEvents().dumpOffset(0x7F0000);
  panelEvents().eraseProgress(0x10000, 8);
  guikit::dwl52_10DisplayResult(0, 0);
  const std::vector<int> open = guikit::loadedPanels(kDumperUir, GetParam().panelId);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_TRUE(guikit::loadedPanels(
                  kDumperUir, GetParam().panelId == DUMP_SUCCESS ? ERASE_SUCCESS : DUMP_SUCCESS)
                  .empty());
  if (GetParam().mode == kModeDump)
    EXPECT_EQ(guikit::GetCtrlString(mainPanel(), kMainOffset), "0x7F0000");
  else
    EXPECT_EQ(guikit::GetCtrlString(v_PanelErase, kEraseOffset), "0x010000");

  testsupport::click(open[0], kClosingOk);
  EXPECT_FALSE(guikit::isPanelLoaded(open[0]));
  if (GetParam().mode == kModeDump) {
    EXPECT_EQ(value(mainPanel(), kMainProgressA), 0);
    EXPECT_EQ(value(mainPanel(), kMainOffset), 0);
    EXPECT_EQ(dimmed(mainPanel(), kMainStart), 0);
  } else {
    EXPECT_EQ(value(v_PanelErase, kEraseSector), 0);
    EXPECT_EQ(dimmed(v_PanelErase, kEraseGo), 0);
    EXPECT_GT(v_PanelErase, 0) << "the erase panel stays open";
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ClosingPanels,
                         ::testing::Values(ClosingCase{kModeDump, DUMP_SUCCESS},
                                           ClosingCase{kModeErase, ERASE_SUCCESS}));

TEST(DumperTexts, EraseQuestionAndDumpSavedNameTheRangeByFlashOffsets) {
  EXPECT_EQ(eraseQuestion(0, 267), "Erase sectors 0 to 267 (0x000000..0xF6FFFF)?");
  EXPECT_EQ(eraseQuestion(276, 283), "Erase sectors 276 to 283 (0xFF0000..0xFFFFFF)?");
  EXPECT_EQ(dumpSavedText("/w/dump.txt", 8192, 0, 0),
            "Saved in /w/dump.txt\n8192 bytes; this dump: sectors 0 to 0 (0x000000..0x001FFF)");
}

TEST_F(DumperGui, AboutBox) {
  testsupport::menuItem(v_MenuBarHandle, "about_display")->trigger();
  ASSERT_EQ(ui.popups.size(), 1u);
  EXPECT_EQ(ui.popups[0].first, "Help");
  EXPECT_EQ(ui.popups[0].second.rfind("Kelvane Dumper 3.2\nAMD 128M \n", 0), 0u);
  EXPECT_GT(ui.popups[0].second.size(), std::string("Kelvane Dumper 3.2\nAMD 128M \n").size());
}

// Dumps and erases through the panels against the emulated handset.
class DumperEndToEnd : public DumperGui {
 protected:
  void SetUp() override {
    DumperGui::SetUp();
    std::filesystem::copy_file(std::filesystem::path(KELVANE_SOURCE_DIR) / "samples/dwl87.spm",
                               dir.path() / "dwl87.spm");
    std::string error;
    ASSERT_TRUE(emulator::loadFlashDescription(KELVANE_SOURCE_DIR "/samples/flash.txt",
                                               std::nullopt, description, &error))
        << error;
    dumper::programSettings().clock = [this] { return ++clock; };
    connect({});
  }
  void TearDown() override { DumperGui::TearDown(); }
  void connect(const emulator::Faults& faults) {
    flash = std::make_unique<emulator::NorFlash>(description);
    for (std::uint32_t i = 0; i < 0x40000; ++i)
      flash->force(i, static_cast<std::uint8_t>(i * 13 + (i >> 8)));
    emulator::HandsetConfig config;
    config.faults = faults;
    core = std::make_unique<emulator::HandsetCore>(*flash, config);
    link = std::make_unique<emulator::EmulatorRs232>(*core);
    dumper::programSettings().serial = link.get();
  }

  dwl::FlashDescription description;
  std::unique_ptr<emulator::NorFlash> flash;
  std::unique_ptr<emulator::HandsetCore> core;
  std::unique_ptr<emulator::EmulatorRs232> link;
  std::time_t clock = 1000;
};

TEST_F(DumperEndToEnd, DumpOfARangeThroughThePanel) {
  testsupport::enter(mainPanel(), kMainLastSector, 9);
  testsupport::enter(mainPanel(), kMainFirstSector, 7);
  testsupport::click(mainPanel(), kMainStart);
  const std::vector<int> open = guikit::loadedPanels(kDumperUir, DUMP_SUCCESS);
  ASSERT_EQ(open.size(), 1u);
  // Sector 7 (8 KB) and sectors 8, 9 (64 KB each).
  EXPECT_EQ(TempDir::read("dump.txt"), flash->read(0xE000, 0x2000 + 2 * 0x10000));
  EXPECT_EQ(value(mainPanel(), kMainProgressA), 100);
  EXPECT_EQ(value(mainPanel(), kMainProgressB), 100);
  EXPECT_EQ(guikit::GetCtrlString(mainPanel(), kMainOffset), "0x02E000");
  EXPECT_FALSE(link->isOpen());
  testsupport::click(open[0], kClosingOk);
  EXPECT_EQ(value(mainPanel(), kMainProgressA), 0);
  EXPECT_EQ(dimmed(mainPanel(), kMainStart), 0);
}

TEST_F(DumperEndToEnd, EraseWithABadOutcomeShowsItsBoxAndEndsSuccessfully) {
  emulator::Faults bad;
  bad.eraseOutcome = {{1, 0x00}};
  connect(bad);
  openErase();
  testsupport::choose(v_PanelErase, kEraseSelectionRing, kEraseSectorRange);
  testsupport::enter(v_PanelErase, kEraseLast, 2);
  testsupport::click(v_PanelErase, kEraseGo);
  ASSERT_EQ(ui.popups.size(), 1u);
  EXPECT_EQ(ui.popups[0], std::make_pair(std::string("ERROR"), std::string("flash clear error")));
  EXPECT_TRUE(guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_COMMAND_ERR).empty());
  const std::vector<int> open = guikit::loadedPanels(kDumperUir, ERASE_SUCCESS);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(flash->read(0, 0x2000), std::vector<std::uint8_t>(0x2000, 0xFF));
  EXPECT_EQ(flash->read(0x4000, 0x2000), std::vector<std::uint8_t>(0x2000, 0xFF));
  EXPECT_EQ(value(v_PanelErase, kEraseSector), 2);
  testsupport::click(open[0], kClosingOk);
  EXPECT_EQ(dimmed(v_PanelErase, kEraseGo), 0);
}

// Every panel in the states a technician sees, each with its texts whole; the pictures go to
// docs/ through scripts/screenshots.sh.
TEST_F(DumperEndToEnd, EveryPanelShowsWholeInEachState) {
  using testsupport::snapshot;
  EXPECT_EQ(snapshot(mainPanel(), "dumper-main-idle"), "");

  testsupport::enter(mainPanel(), kMainLastSector, 20);
  testsupport::SnapshotHalfWay<PanelControls> halfWay(dumper::dumper, "dumper-main-dump");
  setPanelEvents(&halfWay);
  testsupport::click(mainPanel(), kMainStart);
  EXPECT_EQ(halfWay.taken, "taken");
  for (int h : guikit::loadedPanels(kDumperUir, DUMP_SUCCESS)) {
    EXPECT_EQ(snapshot(h, "dumper-dump-success"), "");
    testsupport::click(h, kClosingOk);
  }

  openErase();
  testsupport::choose(v_PanelErase, kEraseSelectionRing, kEraseSectorRange);
  testsupport::enter(v_PanelErase, kEraseFirst, 130);
  testsupport::enter(v_PanelErase, kEraseLast, 140);
  testsupport::click(v_PanelErase, kEraseGo);
  const std::vector<int> erased = guikit::loadedPanels(kDumperUir, ERASE_SUCCESS);
  ASSERT_EQ(erased.size(), 1u);
  // The erase panel as the erase left it, without the window in front of it.
  guikit::panelWidget(erased[0])->hide();
  EXPECT_EQ(snapshot(v_PanelErase, "dumper-erase"), "");
  guikit::DisplayPanel(erased[0]);
  EXPECT_EQ(snapshot(erased[0], "dumper-erase-success"), "");

  guikit::dwl52_10DisplayResult(6, 4);
  for (int h : guikit::loadedPanels(kDumperUir, TIMEOUT))
    EXPECT_EQ(snapshot(h, "dumper-timeout"), "");
  EXPECT_EQ(snapshot(guikit::LoadPanel(0, kDumperUir, TURNON), "dumper-switch-on"), "");
}

}  // namespace

namespace {

// Presses Cancel once the dump has passed the first sectors.
class CancelAfterBlocks : public PanelControls {
 public:
  void dumpOffset(std::uint32_t offset) override {
    PanelControls::dumpOffset(offset);
    if (offset >= 0x20000) cancelToken().cancel();
  }
};

TEST_F(DumperEndToEnd, ACancelledDumpIsHeadedAsOneAndSaysWhatItLeftInTheFile) {
  testsupport::enter(mainPanel(), kMainLastSector, 20);
  CancelAfterBlocks cancel;
  setPanelEvents(&cancel);
  testsupport::click(mainPanel(), kMainStart);
  const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_GENERIC_ERR);
  ASSERT_EQ(open.size(), 1u);
  QWidget* window = guikit::panelWidget(open[0]);
  EXPECT_EQ(window->windowTitle().toStdString(), "Kelvane Dumper \u2014 Dump cancelled");
  EXPECT_EQ(window->findChild<QLabel*>("icon")->text().toStdString(), "<b>Dump cancelled</b>");
  const std::size_t kept = TempDir::read("dump.txt").size();
  EXPECT_GT(kept, 0u);
  EXPECT_EQ(guikit::GetPanelDetail(open[0]),
            keptBytesText(kept, (dir.path() / "dump.txt").lexically_normal().string()));
}

}  // namespace

namespace {

// The close box half-way through a dump: the question stays open while blocks go on arriving,
// and No is pressed once the dump has moved on.
class CloseBoxDuringTheDump : public PanelControls {
 public:
  void dumpOffset(std::uint32_t offset) override {
    PanelControls::dumpOffset(offset);
    if (askedAt == 0 && offset >= 0x10000) {
      askedAt = offset;
      guikit::panelWidget(mainPanel())->close();
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
    } else if (box && answeredAt == 0 && offset >= askedAt + 0x20000) {
      answeredAt = offset;
      box->button(QMessageBox::No)->click();
    }
  }
  std::uint32_t askedAt = 0, answeredAt = 0;
  QPointer<QMessageBox> box;
};

TEST_F(DumperEndToEnd, TheCloseBoxQuestionDoesNotHoldTheDumpAndNoLetsItFinish) {
  testsupport::enter(mainPanel(), kMainLastSector, 10);
  guikit::setConfirmHandler({});  // the real question
  CloseBoxDuringTheDump question;
  setPanelEvents(&question);
  // Should the question hold the dump in a loop of its own, No is pressed from inside it.
  int rounds = 0;
  QTimer failsafe;
  QObject::connect(&failsafe, &QTimer::timeout, [&] {
    if (question.box && question.box->isVisible() && ++rounds > 100)
      question.box->button(QMessageBox::No)->click();
  });
  failsafe.start(10);
  testsupport::click(mainPanel(), kMainStart);
  ASSERT_NE(question.askedAt, 0u);
  EXPECT_GE(question.answeredAt, question.askedAt + 0x20000) << "the dump stood still";
  ASSERT_EQ(guikit::loadedPanels(kDumperUir, DUMP_SUCCESS).size(), 1u);
  EXPECT_EQ(TempDir::read("dump.txt"), flash->read(0, 0x40000));
}

}  // namespace

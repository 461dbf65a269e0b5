// The technician's flows in a real X server with a window manager (scripts/with-wm.sh starts
// both; CTest runs this program through it): both programs' panels against the handset emulator
// on a pseudo-terminal, through the real serial port. Timings are the wall clock's.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QImage>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "apps/downloader/dwl51mmi.h"
#include "apps/downloader/dwl53ser.h"
#include "apps/downloader/mmi.h"
#include "apps/downloader/panels.h"
#include "apps/dumper/dumper_app.h"
#include "apps/dumper/dumper_panels.h"
#include "apps/guikit/userint.h"
#include "apps/guikit/utility.h"
#include "dwl/dwl10fla.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl51loader.h"
#include "engines/dumper/dumper_context.h"
#include "platform/native_rs232.h"
#include "platform/port_map.h"
#include "platform/rs232.h"
#include "support/config_home.h"
#include "support/gui_helpers.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

using testsupport::TempDir;

// The handset on a pseudo-terminal, mapped to COM4 for the programs.
class EmulatedHandset {
 public:
  explicit EmulatedHandset(const QStringList& options) {
    process_.setProgram(QStringLiteral(KELVANE_BINARY_DIR "/emulator/handset-emulator"));
    process_.setArguments(options);
    process_.start();
    if (process_.waitForStarted(5000) && process_.waitForReadyRead(5000))
      device_ = process_.readLine().trimmed().toStdString();
    ::setenv("KELVANE_COM4", device_.c_str(), 1);
  }
  ~EmulatedHandset() {
    process_.terminate();
    if (!process_.waitForFinished(3000)) process_.kill();
    ::unsetenv("KELVANE_COM4");
  }
  const std::string& device() const { return device_; }

 private:
  QProcess process_;
  std::string device_;
};

// Runs f every 50 ms while the job pumps events, until it returns true.
class WhileRunning {
 public:
  explicit WhileRunning(std::function<bool()> f) : f_(std::move(f)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (f_()) timer_.stop();
    });
    timer_.start(50);
  }

 private:
  std::function<bool()> f_;
  QTimer timer_;
};

bool isDisplayed(int panel) {
  QWidget* w = guikit::panelWidget(panel);
  return w && w->isVisible();
}

// What the X server holds for a window (not what the widget would paint now).
QImage screenImage(QWidget* w) {
  return QGuiApplication::primaryScreen()->grabWindow(w->winId()).toImage();
}

// How many colours an image has: a window never painted is one flat colour.
int colours(const QImage& image) {
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); y += 2)
    for (int x = 0; x < image.width(); x += 2) colours.insert(image.pixel(x, y));
  return static_cast<int>(colours.size());
}

class WmFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb")
      GTEST_SKIP() << "needs an X server with a window manager (scripts/with-wm.sh)";
    testsupport::copySamples(dir.path());
    downloader::programSettings().serial = &port;
    dumper::programSettings().serial = &port;
    ui.install();
  }
  void TearDown() override {
    ui.uninstall();
    downloader::programSettings() = {};
    dumper::programSettings() = {};
  }
  std::string windowText(int utilityPanel) const {
    const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, utilityPanel);
    return open.size() == 1 ? guikit::GetCtrlString(open[0], guikit::UTILITY_MESSAGE) : "";
  }
  std::string windowDetail(int utilityPanel) const {
    const std::vector<int> open = guikit::loadedPanels(guikit::kUtility, utilityPanel);
    return open.size() == 1 ? guikit::GetPanelDetail(open[0]) : "";
  }

  TempDir dir;
  platform::NativeRs232 port;
  testsupport::GuiRecorder ui;
};

class DownloaderFlow : public WmFlow {
 protected:
  void SetUp() override {
    WmFlow::SetUp();
    if (IsSkipped()) return;
    downloader::resetImageSlots(downloader::sg_DownloadContext);
    downloader::sg_DownloadContext = downloader::DownloadContext{};
    downloader::vg_FlashDescritpion = dwl::FlashDescriptionTable{};
  }
  void TearDown() override {
    downloader::stopDownloaderPanels();
    downloader::resetImageSlots(downloader::sg_DownloadContext);
    WmFlow::TearDown();
  }
  // Opens the panels (after the handset, so the port list shows its device) with one image.
  void open(std::size_t imageSize) {
    downloader::startDownloaderPanels();
    std::vector<std::uint8_t> bytes(imageSize);
    for (std::size_t i = 0; i < imageSize; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13);
    TempDir::write("cla.bin", bytes);
    ui.fileToChoose = (dir.path() / "cla.bin").string();
    testsupport::click(downloader::v_Panel, downloader::PANEL_LOAD_BIN1);
    ASSERT_EQ(downloader::sg_DownloadContext.Bin1Loaded, 1);
  }
};

TEST_F(DownloaderFlow, PromptIsPaintedCountsDownAndItsCancelEndsTheBootWithinASecond) {
  // The handset is switched on only after 4 s: the prompt waits.
  EmulatedHandset handset({"--switch-on-delay-ms", "4000"});
  ASSERT_FALSE(handset.device().empty());
  open(1000);
  // The prompt as the X server holds it, painted, at two of its seconds: the job pumps events
  // while it waits. A loaded machine maps and paints late, so each second is grabbed until it
  // shows paint; the wait (4 s) leaves several seconds to find two.
  std::vector<std::pair<std::string, QImage>> painted;
  QElapsedTimer sinceCancel;
  WhileRunning watch([&] {
    const int prompt = downloader::v_PanelTurnOn;
    if (!isDisplayed(prompt)) return false;
    const std::string text = guikit::GetCtrlString(prompt, downloader::TURNON_TEXT);
    if (text.find(" s left") == std::string::npos) return false;
    if (!painted.empty() && painted.back().first == text) return false;
    QImage image = screenImage(guikit::panelWidget(prompt));
    if (colours(image) <= 2) return false;
    painted.emplace_back(text, std::move(image));
    if (painted.size() < 2) return false;
    EXPECT_EQ(testsupport::snapshot(prompt, "downloader-switch-on-countdown"), "");
    sinceCancel.start();
    testsupport::click(prompt, downloader::TURNON_CANCEL);
    return true;
  });
  testsupport::click(downloader::v_Panel, downloader::PANEL_START);
  ASSERT_EQ(painted.size(), 2u) << "the prompt was not painted at two of its seconds";
  ASSERT_TRUE(sinceCancel.isValid());
  EXPECT_LT(sinceCancel.elapsed(), 1000);
  EXPECT_NE(painted[0].second, painted[1].second) << "the prompt was not repainted as time went";
  EXPECT_EQ(windowText(guikit::UTILITY_GENERIC_ERR), "Cancelled by the user");
}

TEST_F(DownloaderFlow, CancelDuringTheTransferEndsTheDownloadWithinASecond) {
  EmulatedHandset handset({"--pace"});
  ASSERT_FALSE(handset.device().empty());
  open(0x60000);
  std::string status;
  QElapsedTimer sinceCancel;
  WhileRunning watch([&] {
    int permille = 0;
    guikit::GetCtrlVal(downloader::v_Panel, downloader::PANEL_OVERALL, &permille);
    if (permille < 20) return false;
    status = guikit::GetCtrlString(downloader::v_Panel, downloader::PANEL_STATUS);
    sinceCancel.start();
    testsupport::click(downloader::v_Panel, downloader::PANEL_CANCEL);
    return true;
  });
  testsupport::click(downloader::v_Panel, downloader::PANEL_START);
  ASSERT_TRUE(sinceCancel.isValid()) << "the whole job's bar never moved";
  EXPECT_LT(sinceCancel.elapsed(), 1000);
  EXPECT_EQ(status.rfind("Image 1 of 1", 0), 0u) << status;
  EXPECT_NE(status.find(" elapsed"), std::string::npos) << status;
  EXPECT_EQ(windowText(guikit::UTILITY_GENERIC_ERR), "Cancelled by the user");
}

TEST_F(DownloaderFlow, APortThatWillNotOpenNamesItsDevice) {
  ::setenv("KELVANE_COM4", "/dev/kelvane-no-such-port", 1);
  open(1000);
  testsupport::click(downloader::v_Panel, downloader::PANEL_START);
  ::unsetenv("KELVANE_COM4");
  EXPECT_EQ(windowText(guikit::UTILITY_LIB_PC_ERR).rfind("LIB_PC : ", 0), 0u);
  EXPECT_NE(windowDetail(guikit::UTILITY_LIB_PC_ERR).find("/dev/kelvane-no-such-port"),
            std::string::npos)
      << windowDetail(guikit::UTILITY_LIB_PC_ERR);
  for (int h : guikit::loadedPanels(guikit::kUtility, guikit::UTILITY_LIB_PC_ERR))
    EXPECT_EQ(testsupport::snapshot(h, "error-port-detail"), "");
}

// No environment variable: the technician types the handset's pseudo-terminal as the device of
// COM4 in the window, and the download goes through it.
TEST_F(DownloaderFlow, ADeviceTypedForCom4InTheWindowIsTheOneOpened) {
  EmulatedHandset handset({});
  ASSERT_FALSE(handset.device().empty());
  ::unsetenv("KELVANE_COM4");
  testsupport::ScopedConfigHome configHome(dir.path());
  open(30000);
  ASSERT_EQ(downloader::sg_DownloadContext.ComPort, 4);
  auto* device =
      guikit::panelWidget(downloader::v_Panel)->findChild<QAbstractButton*>("portDevice");
  ASSERT_NE(device, nullptr);
  bool typed = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = QApplication::activeModalWidget();
    if (!dialog || dialog->objectName() != "portChooser") return;
    dialog->findChild<QComboBox*>("devices")->setEditText(QString::fromStdString(handset.device()));
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    typed = true;
  });
  device->click();
  ASSERT_TRUE(typed) << "the dialog did not open";
  EXPECT_EQ(guikit::GetCtrlString(downloader::v_Panel, downloader::PANEL_PORT),
            "COM4   " + handset.device());
  testsupport::click(downloader::v_Panel, downloader::PANEL_START);
  EXPECT_EQ(guikit::loadedPanels(downloader::kMmi, downloader::SUCCESS).size(), 1u)
      << windowText(guikit::UTILITY_LIB_PC_ERR) << windowDetail(guikit::UTILITY_LIB_PC_ERR);
}

TEST_F(DownloaderFlow, ServiceSwitchOnCountsDownAndLogsWhatItDid) {
  EmulatedHandset handset({"--switch-on-delay-ms", "2000"});
  ASSERT_FALSE(handset.device().empty());
  downloader::startDownloaderPanels();
  downloader::openServicePanel();
  std::string countdown;
  WhileRunning watch([&] {
    if (!isDisplayed(downloader::v_PanelTurnOn)) return false;
    countdown = guikit::GetCtrlString(downloader::v_PanelTurnOn, downloader::TURNON_TEXT);
    return countdown.find("4 s left") != std::string::npos;
  });
  testsupport::click(downloader::v_ServicePanel, downloader::SERVICE_SWITCH_ON);
  EXPECT_NE(countdown.find("4 s left"), std::string::npos) << "no countdown: " << countdown;
  testsupport::click(downloader::v_ServicePanel, downloader::SERVICE_SWITCH_OFF);
  auto* log = qobject_cast<QListWidget*>(
      guikit::controlWidget(downloader::v_Panel, downloader::PANEL_COMMENT));
  std::vector<std::string> lines;
  for (int i = 0; i < log->count(); ++i) lines.push_back(log->item(i)->text().toStdString());
  const std::vector<std::string> expected = {
      " Service: switch the handset on ", " Service: handset booted, BOOT FROM A PCF5087 ",
      " Service: switched on, Flash AMD AM29PDL128G, running the bootstrap ",
      " Service: handset switched off "};
  EXPECT_EQ(lines, expected);
  downloader::closeServicePort();
}

class DumperFlow : public WmFlow {
 protected:
  void SetUp() override {
    WmFlow::SetUp();
    if (IsSkipped()) return;
    dumper::resetDumperState();
  }
  void TearDown() override {
    dumper::stopDumperPanels();
    dumper::resetDumperState();
    WmFlow::TearDown();
  }
};

TEST_F(DumperFlow, CancelEndsAWholeFlashDumpWithinASecond) {
  EmulatedHandset handset({"--pace"});
  ASSERT_FALSE(handset.device().empty());
  dumper::startDumperPanels();
  std::string status;
  QElapsedTimer sinceCancel;
  WhileRunning watch([&] {
    int offset = 0;
    guikit::GetCtrlVal(dumper::dumper, dumper::kMainOffset, &offset);
    if (offset < 0x4000) return false;
    status = guikit::GetCtrlString(dumper::dumper, dumper::kMainStatus);
    sinceCancel.start();
    testsupport::click(dumper::dumper, dumper::kMainCancel);
    return true;
  });
  testsupport::click(dumper::dumper, dumper::kMainStart);
  ASSERT_TRUE(sinceCancel.isValid()) << "no block was dumped";
  EXPECT_LT(sinceCancel.elapsed(), 1000);
  // The whole job's line moved from the first blocks on, in bytes.
  EXPECT_EQ(status.find(" 0.0 %"), std::string::npos) << status;
  EXPECT_NE(status.find("MB)"), std::string::npos) << status;
  EXPECT_EQ(windowText(guikit::UTILITY_GENERIC_ERR), "Cancelled by the user");
}

TEST_F(DumperFlow, AnInvertedRangeKeepsTheProgramAndTheEraseAsksFirst) {
  EmulatedHandset handset({});
  ASSERT_FALSE(handset.device().empty());
  dumper::startDumperPanels();
  testsupport::enter(dumper::dumper, dumper::kMainLastSector, 100);
  testsupport::enter(dumper::dumper, dumper::kMainFirstSector, 200);
  ASSERT_EQ(ui.popups.size(), 1u);
  EXPECT_EQ(ui.popups[0].second, "Invalid value");
  EXPECT_FALSE(guikit::quitRequested());
  EXPECT_TRUE(isDisplayed(dumper::dumper));

  testsupport::menuItem(dumper::v_MenuBarHandle, "erase_flash")->trigger();
  testsupport::choose(dumper::v_PanelErase, dumper::kEraseSelectionRing, 1);
  testsupport::enter(dumper::v_PanelErase, dumper::kEraseLast, 8);
  testsupport::enter(dumper::v_PanelErase, dumper::kEraseFirst, 7);
  ui.answer = 0;
  testsupport::click(dumper::v_PanelErase, dumper::kEraseGo);
  ASSERT_EQ(ui.questions.size(), 1u);
  EXPECT_EQ(ui.questions[0], "Erase sectors 7 to 8 (0x00E000..0x01FFFF)?");
  EXPECT_EQ(testsupport::snapshot(dumper::v_PanelErase, "dumper-erase-range"), "");
  EXPECT_TRUE(guikit::loadedPanels(dumper::kDumperUir, dumper::ERASE_SUCCESS).empty());

  ui.answer = 1;
  testsupport::click(dumper::v_PanelErase, dumper::kEraseGo);
  EXPECT_EQ(ui.questions.size(), 2u);
  EXPECT_EQ(guikit::loadedPanels(dumper::kDumperUir, dumper::ERASE_SUCCESS).size(), 1u)
      << windowText(guikit::UTILITY_COMMAND_ERR) << windowDetail(guikit::UTILITY_COMMAND_ERR);
}

}  // namespace

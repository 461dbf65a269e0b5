#include "apps/downloader/dwl53ser.h"

#include <cstdio>

#include "apps/downloader/dwl51mmi.h"
#include "apps/downloader/mmi.h"
#include "apps/downloader/panels.h"
#include "apps/guikit/display.h"
#include "apps/guikit/job_status.h"
#include "apps/guikit/userint.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "dwl/dwl_job.h"
#include "ops/operations.h"
#include "ops/service.h"
#include "platform/cancel.h"
#include "platform/rs232.h"

namespace downloader {

using namespace guikit;

int v_ServicePanel = -1;
int mv_NbSectorsDisplayService = 0;

namespace {

DownloadContext g_serviceCopy;

// How long the boot waits for the handset's first byte (the port's time-out at the boot).
constexpr double kBootWait = 5;

// The prompt's seconds left while the boot waits; the windows repaint at each beat.
class PromptCountdown final : public dwl::ProgressSink {
 public:
  void heartbeat(double waited) override {
    SetCtrlVal(v_PanelTurnOn, TURNON_TEXT, countdown_.text(waited));
    ProcessSystemEvents();
  }

 private:
  guikit::SwitchOnCountdown countdown_{kBootWait};
};

// The handset a switch-on left in its bootstrap, and its port.
ops::ServiceSession g_session;

// The switch-on's part after the boot, with the session's port and job bound.
int afterSwitchOn(DownloadContext& c, const dwl::DownloadResult& boot);
std::uint32_t g_nextOffset = 0;

}  // namespace

std::string knownFlashLine(const char* maker, const char* device, unsigned makerId,
                           unsigned deviceId, int banks, int sectors) {
  char line[200];
  std::snprintf(line, sizeof line,
                "%15s | %13s |            0x%2x |      0x%2x |      %2d |     %3d ", maker, device,
                makerId, deviceId, banks, sectors);
  return line;
}

void dwl53_0DisplayFlashKnown() {
  if (v_ServicePanel < 0) return;
  ClearListCtrl(v_ServicePanel, SERVICE_KNOWN);
  // Column headings as wide as the columns of the lines below.
  char heading[200];
  std::snprintf(heading, sizeof heading, "%15s | %13s |%16s |%10s |%8s |%8s", "Manufacturer",
                "Device", "Manufacturer id", "Device id", "Banks", "Sectors");
  InsertListItem(v_ServicePanel, SERVICE_KNOWN, -1, heading, 0);
  const dwl::FlashDescriptionTable& t = vg_FlashDescritpion;
  for (int i = 0; i < t.NbFlash && i < dwl::kMaxFlash; ++i) {
    const dwl::FlashDescription& f = t.Flash[i];
    InsertListItem(v_ServicePanel, SERVICE_KNOWN, -1,
                   knownFlashLine(f.ManufacturerName, f.DeviceName, f.ManufacturerId, f.DeviceId,
                                  f.NbBanks, static_cast<int>(f.NbSectors)),
                   i);
  }
}

void dwl53_1DisplaySectorService(std::uint32_t index, std::uint32_t size, std::uint32_t,
                                 const std::string& state, const DownloadContext&, int& counter) {
  if (v_ServicePanel < 0) return;
  if (counter == 0) g_nextOffset = 0;
  char line[120];
  std::snprintf(line, sizeof line, "Sector %3u   offset 0x%06X   size 0x%06X   %s", index,
                g_nextOffset, size, state.c_str());
  g_nextOffset += size;
  InsertListItem(v_ServicePanel, SERVICE_SECTORS, -1, line, static_cast<int>(index));
  ++counter;
}

void openServicePanel() {
  if (v_ServicePanel < 0 || !isPanelLoaded(v_ServicePanel)) {
    v_ServicePanel = LoadPanel(0, kMmi, SERVICE);
    SetPanelTitle(v_ServicePanel, "Service panel");
    mv_NbSectorsDisplayService = 0;
    dwl53_0DisplayFlashKnown();
  }
  DisplayPanel(v_ServicePanel);
}

void dimServicePanel(bool dim) {
  if (v_ServicePanel < 0) return;
  SetCtrlAttribute(v_ServicePanel, SERVICE_SWITCH_ON, ATTR_DIMMED, dim ? 1 : 0);
  SetCtrlAttribute(v_ServicePanel, SERVICE_SWITCH_OFF, ATTR_DIMMED, dim ? 1 : 0);
}

void closeServicePort() {
  g_session.close();
}

int servicePortOpen() {
  return g_session.port();
}

int dwl53_10SwitchOnMobile(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  DownloadContext& c = sg_DownloadContext;
  if (c.ProductType == 0) return 0;
  // A second switch-on may use another port: the first one's port is closed before.
  closeServicePort();

  guikit::logComment("Service: switch the handset on");
  v_PanelTurnOn = showSwitchOnPrompt();
  SetCtrlVal(v_PanelTurnOn, TURNON_TEXT, guikit::switchOnText(0, kBootWait));
  // The boot waits as a download's does: the prompt counts down and its Cancel is seen. The
  // flash is named from the program's descriptions.
  PromptCountdown countdown;
  dwl::ProgressTee events({&countdown, &panelEvents()});
  cancelToken().reset();
  const dwl::DownloadResult boot =
      g_session.switchOn(c, ops::programContext(programSettings(), events, cancelToken()),
                         &vg_FlashDescritpion, &panelEvents());
  g_serviceCopy = c;
  DiscardPanel(v_PanelTurnOn);
  return g_session.run([&] { return afterSwitchOn(c, boot); });
}

namespace {

int afterSwitchOn(DownloadContext& c, const dwl::DownloadResult& boot) {
  ClearListCtrl(v_ServicePanel, SERVICE_SECTORS);
  SetCtrlVal(v_ServicePanel, SERVICE_TITLE, " ");
  mv_NbSectorsDisplayService = 0;
  if (boot.Family == dwl::RESULT_CANCELLED) {
    guikit::logComment("Service: switch-on cancelled");
    return 0;
  }
  if (boot.Family != dwl::RESULT_SUCCESS) {
    guikit::logComment("Service: the handset did not switch on");
    setFailureTitle("Switch-on failed");
    guikit::dwl52_10DisplayResult(boot.Family, boot.Code);
    setFailureTitle("Download failed");
    return 0;
  }
  guikit::logComment("Service: handset booted, " + dwl::cpuTypeText(c.CpuType));
  std::uint32_t count = 0;
  dwl::ResultCode rc = dwl::dwl10_1GetNumberOfSector(c.FlashManufacturer, c.FlashDevice, &count);
  if (rc != dwl::kOk) {
    guikit::dwl52_10DisplayResult(dwl::RESULT_FLASH_FILE, rc);
    return 0;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t size = 0;
    rc = dwl::dwl10_0GetSectorSize(c.FlashManufacturer, c.FlashDevice, i, &size);
    if (rc != dwl::kOk) {
      guikit::dwl52_10DisplayResult(dwl::RESULT_FLASH_FILE, rc);
      return 0;
    }
    dwl53_1DisplaySectorService(i, size, 0, "N. A.", g_serviceCopy, mv_NbSectorsDisplayService);
  }
  rc = dwl::dwl11_0SetSpeedAndPMU(c);
  if (rc != dwl::kOk) {
    guikit::dwl52_10DisplayResult(dwl::RESULT_COMMAND, rc);
    return 0;
  }
  dwl53_0DisplayFlashKnown();
  char maker[dwl::kNameSize + 1] = {};
  char device[dwl::kNameSize + 1] = {};
  dwl::dwl10_6GetManufacturerAndFlashName(c.FlashManufacturer, c.FlashDevice, maker, device);
  char title[100];
  std::snprintf(title, sizeof title, " Flash %s %s", maker, device);
  SetCtrlVal(v_ServicePanel, SERVICE_TITLE, title);
  guikit::logComment(std::string("Service: switched on,") + title + ", running the bootstrap");
  return 0;
}

}  // namespace

int dwl53_11SwitchOffMobile(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  const dwl::ResultCode rc = g_session.port()
                                 ? g_session.switchOff()
                                 : dwl::dwl11_7SwitchOffCommand(sg_DownloadContext.ComPort);
  // Nothing opens a window for it, but the technician learns whether the handset went off.
  guikit::logComment(rc == dwl::kOk ? "Service: handset switched off"
                                    : "Service: the handset did not confirm the switch-off");
  return 0;
}

int dwl53_16ServicePanelQuit(int panel, int event, void*, int, int) {
  if (event != EVENT_CLOSE) return 0;
  mv_NbSectorsDisplayService = 0;
  DiscardPanel(v_ServicePanel >= 0 ? v_ServicePanel : panel);
  v_ServicePanel = -1;
  closeServicePort();
  return 0;
}

}  // namespace downloader

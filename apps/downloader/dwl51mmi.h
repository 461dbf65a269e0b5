// Callbacks of the downloader's main panel, its menu bar and its success and time-out windows.
// Control callbacks act on one event (buttons on commit, selectors on value change) and return 0;
// menu callbacks act on every call.
#pragma once

#include <string>

#include "dwl/dwl_job.h"
#include "dwl/dwl_window.h"
#include "engines/downloader/dwl51loader.h"
#include "ops/operations.h"

namespace platform {
class CancelToken;
}

namespace downloader {

// True while Start runs a download. A window left open from before (a configuration error)
// closes then without unlocking the panel: the download pumps events, and an unlock in its
// middle would let a second Start in.
bool downloadRunning();
// The request to stop the running download; reset when Start begins one.
platform::CancelToken& cancelToken();
// The port and clock the program's jobs run on, installed at start (tests install theirs).
ops::ProgramSettings& programSettings();

// The window of a job's result, with the failure's cause under its fixed text; a cancel opens the
// generic window with the cancel's text. failureTitle names the failure windows.
void showJobResult(const dwl::JobResult& job, const std::string& failureTitle);

// Loads slot's file (the record's path field) and shows it: the slot's "loading" line, the panel
// locked while the file is read, then the slot's displays or the PC library window.
LoadOutcome showSlotLoad(DownloadContext& c, dwl::Slot slot);
// Puts path into the slot's path field, then showSlotLoad; a path the field cannot hold opens the
// PC library window at once. 1 or the PC library code.
dwl::ResultCode showImageLoad(DownloadContext& c, dwl::Slot slot, const std::string& path);

// The Cancel buttons of the main panel and the switch-on prompt.
int cancel_job(int panel, int control, int event, void* data, int data1, int data2);

// Start, Quit and the Load buttons.
int dwl51_50MMIStart(int panel, int control, int event, void* data, int data1, int data2);
int dwl51_51MMIQuit(int panel, int control, int event, void* data, int data1, int data2);
int loadButton(int panel, int control, int event, void* data, int data1, int data2);

// Selectors.
int dwl_SelectMode(int panel, int control, int event, void* data, int data1, int data2);
int dwl51_58MMISelectModel(int panel, int control, int event, void* data, int data1, int data2);
int dwl51_56MMISelectPort(int panel, int control, int event, void* data, int data1, int data2);
int dwl51_62MMISelectSpeed(int panel, int control, int event, void* data, int data1, int data2);
int dwl51_59MMISelectProjectType(int panel, int control, int event, void* data, int data1,
                                 int data2);
int dwl51_60MMIDownloadConfiguration(int panel, int control, int event, void* data, int data1,
                                     int data2);
int dwl51_57MMISelectSimLock(int panel, int control, int event, void* data, int data1, int data2);
// The main panel's own callback (its close box).
int dwl51_61MMIInterfacePanelFunction(int panel, int event, void* data, int data1, int data2);

// Success and time-out windows.
int dwl51_80MMIDownloadSuccessOk(int panel, int control, int event, void* data, int data1,
                                 int data2);
int dwl51_81MMIButtonTimeOut(int panel, int control, int event, void* data, int data1, int data2);

// Menu items.
void dwl51_100MMIMenuRestore(int menuBar, int item, void* data, int panel);
void dwl51_101MMIMenuSave(int menuBar, int item, void* data, int panel);
void dwl51_102MMIMenuQuit(int menuBar, int item, void* data, int panel);
void dwl51_150MMIMenuService(int menuBar, int item, void* data, int panel);
void About_display(int menuBar, int item, void* data, int panel);
void dwl_Quit(int menuBar, int item, void* data, int panel);

// The wait-state item of chip select c (0..3) and count w (0..4); the twenty named items of the
// menu bar call it.
void waitStateItem(int chipSelect, int count);

}  // namespace downloader

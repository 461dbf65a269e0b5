// Panel resources of the downloader (resource file "mmi", forms in mmi/): panel numbers and the
// numbers of their controls, as written in the "ctrl" property of each form.
#pragma once

namespace downloader {

inline constexpr const char* kMmi = "mmi";

// Panels and the menu bar.
inline constexpr int TURNON = 1;   // prompt shown while the handset is booted
inline constexpr int PANEL = 2;    // main panel
inline constexpr int SERVICE = 3;  // service panel
inline constexpr int TIMEOUT = 4;  // boot time-out window
inline constexpr int SUCCESS = 5;  // download successful window
inline constexpr int MENUBAR = 1;

// Main panel: selectors. The model selector and the download-configuration selector are dimmed
// when the panel first appears: a mode selection enables both, a project-type selection and a
// configuration restore enable the download-configuration selector.
inline constexpr int PANEL_MODE = 2;
inline constexpr int PANEL_MODEL = 3;
inline constexpr int PANEL_PORT = 4;
inline constexpr int PANEL_SPEED = 5;
inline constexpr int PANEL_PROJECT = 6;
inline constexpr int PANEL_DOWNLOAD_CONF = 7;
inline constexpr int PANEL_SIMLOCK = 8;

// Main panel: the four image slots (Load button, path box, size display, byte-sum display).
inline constexpr int PANEL_LOAD_BIN1 = 10;
inline constexpr int PANEL_PATH_BIN1 = 11;
inline constexpr int PANEL_SIZE_BIN1 = 12;
inline constexpr int PANEL_SUM_BIN1 = 13;
inline constexpr int PANEL_LOAD_BIN2 = 14;
inline constexpr int PANEL_PATH_BIN2 = 15;
inline constexpr int PANEL_SIZE_BIN2 = 16;
inline constexpr int PANEL_SUM_BIN2 = 17;
inline constexpr int PANEL_LOAD_OGM1 = 18;
inline constexpr int PANEL_PATH_OGM1 = 19;
inline constexpr int PANEL_SIZE_OGM1 = 20;
inline constexpr int PANEL_SUM_OGM1 = 21;
inline constexpr int PANEL_LOAD_OGM2 = 22;
inline constexpr int PANEL_PATH_OGM2 = 23;
inline constexpr int PANEL_SIZE_OGM2 = 24;
inline constexpr int PANEL_SUM_OGM2 = 25;

// Main panel: command buttons.
inline constexpr int PANEL_START = 30;
inline constexpr int PANEL_QUIT = 31;
inline constexpr int PANEL_CANCEL = 32;  // stops the running download; usable only then

// Main panel: what the running operation shows (never dimmed).
inline constexpr int PANEL_CPU = 40;       // processor indicator
inline constexpr int PANEL_FLASH = 41;     // flash indicator
inline constexpr int PANEL_PROGRESS = 42;  // progress bar
inline constexpr int PANEL_PERCENT = 43;   // the same percentage as a number
inline constexpr int PANEL_TIME = 44;      // elapsed time
inline constexpr int PANEL_COMMENT = 45;   // comment list
inline constexpr int PANEL_SECTORS = 46;   // sector map
inline constexpr int PANEL_STATUS = 47;    // the whole job: stage, share done, elapsed, left
inline constexpr int PANEL_OVERALL = 48;   // the whole job's bar, per mille

// Switch-on prompt: its text (seconds left) and its Cancel button.
inline constexpr int TURNON_TEXT = 2;
inline constexpr int TURNON_CANCEL = 3;

// Service panel.
inline constexpr int SERVICE_SWITCH_ON = 2;
inline constexpr int SERVICE_SWITCH_OFF = 3;
inline constexpr int SERVICE_KNOWN = 4;    // one line per flash description
inline constexpr int SERVICE_TITLE = 5;    // the identified flash
inline constexpr int SERVICE_SECTORS = 6;  // its sectors

// Success and time-out windows: their button.
inline constexpr int SUCCESS_OK = 2;
inline constexpr int TIMEOUT_OK = 2;

// Menu items (the "ctrl" property of the actions).
inline constexpr int MENUBAR_RESTORE = 2;
inline constexpr int MENUBAR_SAVE = 3;
inline constexpr int MENUBAR_EXIT = 4;
inline constexpr int MENUBAR_SERVICE = 5;
inline constexpr int MENUBAR_ABOUT = 6;
inline constexpr int MENUBAR_QUIT = 7;
// Wait-state items: MENUBAR_WAITSTATE + 10 * chip select + count.
inline constexpr int MENUBAR_WAITSTATE = 100;

}  // namespace downloader

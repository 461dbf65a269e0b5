// A small panel library on Qt Widgets in the shape the programs were written for: panels and menu
// bars loaded by resource file and number (each a Qt Designer form), integer handles, controls
// found by their number (the "ctrl" property in the form), callbacks bound by the name written in
// the form ("callback" property) and looked up in the program's callback table.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

class QWidget;
class QMenuBar;

namespace guikit {

// Events handed to control and panel callbacks.
inline constexpr int EVENT_COMMIT = 1;       // a button was pressed
inline constexpr int EVENT_VAL_CHANGED = 2;  // a value control was changed by the user
inline constexpr int EVENT_CLOSE = 3;        // the close box of a panel was pressed

// Control attribute: dimmed (1) or usable (0).
inline constexpr int ATTR_DIMMED = 500;

using CtrlCallback = int (*)(int panel, int control, int event, void* callbackData, int eventData1,
                             int eventData2);
using PanelCallback = int (*)(int panel, int event, void* callbackData, int eventData1,
                              int eventData2);
using MenuCallback = void (*)(int menuBar, int menuItem, void* callbackData, int panel);

// The program's callbacks by name.
struct CallbackTable {
  std::map<std::string, CtrlCallback> controls;
  std::map<std::string, PanelCallback> panels;
  std::map<std::string, MenuCallback> menus;
};
// Installs the table later loads bind against (the table must outlive the panels).
void setCallbackTable(const CallbackTable* table);
// Names written in loaded forms that the table does not hold (a typo in a form shows here).
const std::vector<std::string>& unboundCallbacks();

// Resources: a form builder per (resource file, number).
void registerPanel(const std::string& file, int id, std::function<QWidget*()> build);
void registerMenuBar(const std::string& file, int id, std::function<QMenuBar*()> build);

// Panels. Handles are positive; a resource that does not exist gives -1.
int LoadPanel(int parent, const std::string& file, int id);
int DisplayPanel(int panel);
int DiscardPanel(int panel);
// Menu bars sit on top of their panel; discarding one removes it from the panel.
int LoadMenuBar(int panel, const std::string& file, int id);
int DiscardMenuBar(int menuBar);

// Control values. Set operations never fire callbacks: only the user's actions do.
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, const std::string& text);
int GetCtrlVal(int panel, int control, int* value);
std::string GetCtrlString(int panel, int control);
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int GetCtrlAttribute(int panel, int control, int attribute, int* value);
// Lists: insert an item (index -1 appends), make an item the current one and show it.
int InsertListItem(int panel, int control, int index, const std::string& text, int value);
int SetCtrlIndex(int panel, int control, int index);
int GetNumListItems(int panel, int control, int* count);
int ClearListCtrl(int panel, int control);

// Modal boxes. Tests install handlers so nothing blocks; without one a real dialog opens.
void MessagePopup(const std::string& title, const std::string& text);
// The same box with a cause under the fixed text (what was typed, what is allowed).
void MessagePopup(const std::string& title, const std::string& text, const std::string& detail);
// Tests: receives each box's cause (empty when it has none), after the popup handler.
void setPopupDetailHandler(std::function<void(const std::string& detail)> handler);
// 1 when a file was chosen (its path in *path), 0 when cancelled.
int FileSelectPopup(const std::string& defaultDirectory, const std::string& pattern,
                    const std::string& title, std::string* path);
void setPopupHandler(std::function<void(const std::string&, const std::string&)> handler);
void setFileSelectHandler(std::function<int(const std::string& dir, const std::string& pattern,
                                            const std::string& title, std::string* path)>
                              handler);

// A yes/no question: 1 when the user answered yes.
int ConfirmPopup(const std::string& title, const std::string& text);
void setConfirmHandler(
    std::function<int(const std::string& title, const std::string& text)> handler);
// A yes/no question that does not hold the caller: it opens and the call returns at once, so a
// job that asks from inside its event pump runs on while the technician thinks. answered runs
// with true on Yes once the user answers (at once, through the confirm handler, when one is
// installed). Returns the question's handle (0 when answered at once).
int AskPopup(const std::string& title, const std::string& text,
             std::function<void(bool yes)> answered);
// True while the question is open.
bool QuestionOpen(int question);
// Closes every open question unanswered: the job it was about has ended.
void WithdrawQuestions();

// The program's name, which every window title starts with ("Kelvane Downloader — Help").
void setProgramName(const std::string& name);
const std::string& programName();
// The main window. Every other panel is displayed as a modal window of it, centred on it; Esc and
// its close box press its escape button (the button with the "escape" property, or its only
// button) unless the panel has a callback of its own for the close box.
void setMainPanel(int panel);
// "<program> — <what>" as the window title of a panel.
void SetPanelTitle(int panel, const std::string& what);
// The bold heading of an error window ("Download error"), for a window that says something else
// (a cancel, the dumper's own operation).
void SetPanelHeading(int panel, const std::string& heading);
// A second line under a window's fixed text: why it opened (the device, the system's reason, the
// file, the sector). Empty removes it.
void SetPanelDetail(int panel, const std::string& detail);
std::string GetPanelDetail(int panel);

// The user-interface loop.
int RunUserInterface();
void QuitUserInterface(int code);
void ProcessSystemEvents();
// True once a callback asked the loop to end (tests check it; the loop itself has ended).
bool quitRequested();
void resetQuitRequested();

// For tests and screenshots: the widgets behind handles, and where a panel came from.
QWidget* panelWidget(int panel);
QWidget* controlWidget(int panel, int control);
QMenuBar* menuBarWidget(int menuBar);
bool isPanelLoaded(int panel);
// Handles of the loaded panels of one resource, oldest first.
std::vector<int> loadedPanels(const std::string& file, int id);
// Discards every panel and menu bar (tests start from a clean slate).
void discardAll();

}  // namespace guikit

// Helpers for the panel tests: recorded pop-ups and file dialogs, user actions on controls, and
// a check that no text of a panel is cut off.
#pragma once

#include <algorithm>

#include <QApplication>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QWidget>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "apps/guikit/userint.h"

namespace testsupport {

// A flash.txt with one description: four sectors (2 of 8 KB, 2 of 64 KB).
inline const std::string kOneFlashDescription =
    "# test flash\r\nNEW_FLASH\r\nMANUFACTURER_NAME : AMD\r\nDEVICE_NAME : AM29DL128\r\n"
    "PHILIPS_PRODUCT : PCF5087\r\nMANUFACTURER_ID : 1\r\nDEVICE_ID : 126\r\nNB_BANKS : 2\r\n"
    "NB_SECTORS : 4\r\nSTART_SECTOR_DESCRITPION\r\n0-1*8192*0\r\n2-3*65536*1\r\n"
    "END_SECTOR_DESCRIPTION\r\nEND_FLASH\r\n";

// Records the modal boxes instead of showing them.
struct GuiRecorder {
  std::vector<std::pair<std::string, std::string>> popups;
  std::vector<std::string> popupDetails;  // the cause under each box's text, "" for none
  std::vector<std::string> fileDialogs;   // "title|pattern"
  std::string fileToChoose;               // empty: the dialog is cancelled
  int chosenKind = 1;                     // what a dialog that chose answers: 1 existing, 2 new
  std::vector<std::string> questions;     // yes/no questions asked, their texts
  int answer = 1;                         // the answer to every question

  void install() {
    guikit::resetQuitRequested();
    guikit::setPopupHandler(
        [this](const std::string& t, const std::string& m) { popups.emplace_back(t, m); });
    guikit::setPopupDetailHandler([this](const std::string& d) { popupDetails.push_back(d); });
    guikit::setFileSelectHandler([this](const std::string&, const std::string& pattern,
                                        const std::string& title, std::string* path) {
      fileDialogs.push_back(title + "|" + pattern);
      if (fileToChoose.empty()) return 0;
      *path = fileToChoose;
      return chosenKind;
    });
    guikit::setConfirmHandler([this](const std::string&, const std::string& text) {
      questions.push_back(text);
      return answer;
    });
  }
  void uninstall() {
    guikit::setPopupHandler({});
    guikit::setPopupDetailHandler({});
    guikit::setFileSelectHandler({});
    guikit::setConfirmHandler({});
    guikit::resetQuitRequested();
  }
};

// The user picks the item of a ring that carries value (or stands at that position).
inline void choose(int panel, int control, int value) {
  auto* box = qobject_cast<QComboBox*>(guikit::controlWidget(panel, control));
  if (!box) return;
  guikit::SetCtrlVal(panel, control, value);
  box->activated(box->currentIndex());  // as a user's choice signals it
}

// The user types a value into a numeric control and confirms it.
inline void enter(int panel, int control, int value) {
  auto* spin = qobject_cast<QSpinBox*>(guikit::controlWidget(panel, control));
  if (spin) spin->setValue(value);
}

// The user presses a button (nothing happens when it is dimmed).
inline void click(int panel, int control) {
  if (auto* b = qobject_cast<QAbstractButton*>(guikit::controlWidget(panel, control))) b->click();
}

// The menu item bound to a callback name.
inline QAction* menuItem(int menuBar, const std::string& callback) {
  QMenuBar* bar = guikit::menuBarWidget(menuBar);
  if (!bar) return nullptr;
  for (QAction* a : bar->findChildren<QAction*>())
    if (a->property("callback").toString().toStdString() == callback) return a;
  return nullptr;
}

// Names of the labels, buttons and text boxes of a panel that are narrower than their text
// needs once the panel has been laid out at its own size; empty when every text shows whole.
inline std::string clippedTexts(int panel) {
  QWidget* w = guikit::panelWidget(panel);
  if (!w) return "no panel";
  w->adjustSize();
  w->show();
  QCoreApplication::processEvents();
  std::string out;
  for (QWidget* c : w->findChildren<QWidget*>()) {
    if (!c->isVisible()) continue;
    int need = 0;
    if (auto* l = qobject_cast<QLabel*>(c)) {
      if (l->wordWrap()) continue;
      need = l->sizeHint().width();
    } else if (auto* b = qobject_cast<QPushButton*>(c)) {
      need = b->sizeHint().width();
    } else if (auto* e = qobject_cast<QLineEdit*>(c)) {
      need = e->fontMetrics().horizontalAdvance(e->text()) + 8;
    } else {
      continue;
    }
    if (c->width() < need)
      out += c->objectName().toStdString() + " (" + std::to_string(c->width()) + " < " +
             std::to_string(need) + ") ";
  }
  return out;
}

// Lays a panel out, checks that its texts show whole, and saves its picture as <name>.png in
// the directory named by KELVANE_SCREENSHOTS when that is set. Returns what clippedTexts found,
// or why the picture could not be taken.
inline std::string snapshot(int panel, const std::string& name) {
  std::string clipped = clippedTexts(panel);
  QWidget* w = guikit::panelWidget(panel);
  if (!w) return "no panel";
  QPixmap picture = w->grab();
  // Under a window manager, the window as the screen shows it, with its frame and title.
  if (QGuiApplication::platformName() == "xcb" && w->isVisible()) {
    w->raise();
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const QRect frame = w->frameGeometry();
    picture = w->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  }
  if (picture.isNull() || picture.width() < 50 || picture.height() < 30) return "empty picture";
  if (const char* dir = std::getenv("KELVANE_SCREENSHOTS")) {
    const QString file = QString::fromLocal8Bit(dir) + "/" + QString::fromStdString(name) + ".png";
    if (!picture.save(file, "PNG")) return "cannot save " + file.toStdString();
  }
  return clipped;
}

// A program's display that takes one picture of a panel once the job is half-way; taken is
// "taken" when the picture was whole.
template <class Display>
class SnapshotHalfWay : public Display {
 public:
  SnapshotHalfWay(int panel, std::string name) : panel_(panel), name_(std::move(name)) {}
  void progress(int percent) override {
    Display::progress(percent);
    if (taken.empty() && percent >= 50) taken = snapshot(panel_, name_) + "taken";
  }
  std::string taken;

 private:
  int panel_;
  std::string name_;
};

// Tab walks a panel's inputs from the top down (left to right within a row), and never stops on
// a field that only shows something.
inline void expectTabOrderTopDown(QWidget* root) {
  ASSERT_NE(root, nullptr);
  root->show();
  QApplication::processEvents();
  std::vector<QWidget*> chain;
  QWidget* w = root;
  for (int i = 0; i < 200; ++i) {
    w = w->nextInFocusChain();
    if (w == root) break;
    if (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(root) || w->window() != root)
      continue;
    if (std::find(chain.begin(), chain.end(), w) != chain.end()) break;
    chain.push_back(w);
  }
  ASSERT_GT(chain.size(), 3u);
  for (std::size_t i = 1; i < chain.size(); ++i) {
    const QPoint a = chain[i - 1]->mapTo(root, QPoint(0, 0));
    const QPoint b = chain[i]->mapTo(root, QPoint(0, 0));
    // A later stop is lower, or on the same row (within half a line) and further right.
    const bool sameRow = std::abs(a.y() - b.y()) < 12;
    EXPECT_TRUE(b.y() > a.y() || (sameRow && b.x() >= a.x()))
        << chain[i - 1]->objectName().toStdString() << " (" << a.x() << "," << a.y() << ") then "
        << chain[i]->objectName().toStdString() << " (" << b.x() << "," << b.y() << ")";
    const auto* edit = qobject_cast<QLineEdit*>(chain[i]);
    EXPECT_TRUE(edit == nullptr || !edit->isReadOnly()) << chain[i]->objectName().toStdString();
  }
}

}  // namespace testsupport

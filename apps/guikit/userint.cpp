#include "apps/guikit/userint.h"

#include "apps/guikit/forms.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLCDNumber>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpacerItem>
#include <QSpinBox>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace guikit {

namespace {

struct Resource {
  std::string file;
  int id;
  bool operator<(const Resource& o) const { return file != o.file ? file < o.file : id < o.id; }
};

struct LoadedPanel {
  QPointer<QWidget> widget;
  Resource from;
};

struct LoadedMenuBar {
  QPointer<QMenuBar> widget;
  int panel;
};

const CallbackTable* g_table = nullptr;
std::vector<std::string> g_unbound;
std::map<Resource, std::function<QWidget*()>> g_panelBuilders;
std::map<Resource, std::function<QMenuBar*()>> g_menuBuilders;
std::map<int, LoadedPanel> g_panels;
std::map<int, LoadedMenuBar> g_menuBars;
int g_nextHandle = 1;
bool g_quit = false;
std::function<void(const std::string&, const std::string&)> g_popup;
std::function<void(const std::string&)> g_popupDetail;
std::function<int(const std::string&, const std::string&, const std::string&, std::string*)>
    g_fileSelect;
std::function<int(const std::string&, const std::string&)> g_confirm;
std::string g_programName = "Kelvane";
int g_mainPanel = -1;

QString q(const std::string& s) {
  return QString::fromStdString(s);
}

int ctrlOf(const QObject* o) {
  return o->property("ctrl").toInt();
}

std::string callbackOf(const QObject* o) {
  return o->property("callback").toString().toStdString();
}

// The button Esc and the close box press on a panel without a close callback: the one marked
// "escape", or its only button.
QAbstractButton* escapeButton(QWidget* root) {
  QList<QAbstractButton*> buttons = root->findChildren<QAbstractButton*>();
  for (QAbstractButton* b : buttons)
    if (b->property("escape").toBool()) return b;
  return buttons.size() == 1 ? buttons.front() : nullptr;
}

// The close box (and Esc, on every window but the main one) goes to the panel's callback; a
// panel without one presses its escape button, so a result window closes as its button would.
class CloseFilter : public QObject {
 public:
  CloseFilter(int handle, PanelCallback cb, QObject* parent)
      : QObject(parent), handle_(handle), cb_(cb) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    const bool escape = event->type() == QEvent::KeyPress &&
                        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
                        handle_ != g_mainPanel;
    if (event->type() == QEvent::Close || escape) {
      event->ignore();
      if (cb_) {
        cb_(handle_, EVENT_CLOSE, nullptr, 0, 0);
      } else if (auto* w = qobject_cast<QWidget*>(watched)) {
        QAbstractButton* b = escapeButton(w);
        if (b && b->isEnabled()) b->click();
      }
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  int handle_;
  PanelCallback cb_;
};

// The window a pop-up belongs to: the modal window in front, else the main window.
QWidget* popupParent() {
  if (QWidget* m = QApplication::activeModalWidget()) return m;
  auto it = g_panels.find(g_mainPanel);
  return it == g_panels.end() ? QApplication::activeWindow() : it->second.widget.data();
}

// A message box wide enough for the window manager to show its whole title.
void widenForTitle(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!grid) return;
  const int width = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 160;
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                grid->rowCount(), 0, 1, grid->columnCount());
}

// "ERROR", "Help" and "DOWNLOAD" say little in a task bar: the title names the program and what
// the box is.
QString popupTitle(const std::string& title) {
  std::string what = title;
  if (title == "ERROR") what = "Error";
  if (title == "Help") what = "About";
  if (title == "DOWNLOAD") what = "Download";
  return q(g_programName + " \u2014 " + what);
}

CtrlCallback findControlCallback(const std::string& name) {
  if (name.empty()) return nullptr;
  if (g_table) {
    auto it = g_table->controls.find(name);
    if (it != g_table->controls.end()) return it->second;
  }
  g_unbound.push_back(name);
  return nullptr;
}

void bindControls(int handle, QWidget* root) {
  QList<QWidget*> widgets = root->findChildren<QWidget*>();
  for (QWidget* w : widgets) {
    // Tab goes from input to input: the read-only displays are skipped.
    if (auto* e = qobject_cast<QLineEdit*>(w); e && e->isReadOnly()) e->setFocusPolicy(Qt::NoFocus);
    const CtrlCallback cb = findControlCallback(callbackOf(w));
    if (!cb) continue;
    const int ctrl = ctrlOf(w);
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      QObject::connect(b, &QAbstractButton::clicked, b,
                       [=] { cb(handle, ctrl, EVENT_COMMIT, nullptr, 0, 0); });
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
      // Any choice the user makes, the shown one included, as a ring control reports it.
      QObject::connect(c, &QComboBox::activated, c,
                       [=] { cb(handle, ctrl, EVENT_VAL_CHANGED, nullptr, 0, 0); });
    } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
      QObject::connect(s, &QSpinBox::valueChanged, s,
                       [=] { cb(handle, ctrl, EVENT_VAL_CHANGED, nullptr, 0, 0); });
    } else if (auto* l = qobject_cast<QListWidget*>(w)) {
      QObject::connect(l, &QListWidget::currentRowChanged, l,
                       [=] { cb(handle, ctrl, EVENT_VAL_CHANGED, nullptr, 0, 0); });
    }
  }
}

QWidget* findControl(int panel, int control) {
  auto it = g_panels.find(panel);
  if (it == g_panels.end() || !it->second.widget) return nullptr;
  QWidget* root = it->second.widget;
  for (QWidget* w : root->findChildren<QWidget*>())
    if (ctrlOf(w) == control) return w;
  return nullptr;
}

// Numeric displays with the "hex" property show flash offsets as a technician reads them.
QString numberText(const QWidget* w, int value) {
  if (w->property("hex").toBool())
    return QStringLiteral("0x%1")
        .arg(static_cast<unsigned>(value), 6, 16, QLatin1Char('0'))
        .toUpper()
        .replace("0X", "0x");
  return QString::number(value);
}

// Indicators are labels with an "on" property that their style sheet colours.
void setIndicator(QLabel* l, bool on) {
  l->setProperty("on", on);
  l->style()->unpolish(l);
  l->style()->polish(l);
}

}  // namespace

void setCallbackTable(const CallbackTable* table) {
  g_table = table;
}
const std::vector<std::string>& unboundCallbacks() {
  return g_unbound;
}

void registerPanel(const std::string& file, int id, std::function<QWidget*()> build) {
  g_panelBuilders[{file, id}] = std::move(build);
}

void registerMenuBar(const std::string& file, int id, std::function<QMenuBar*()> build) {
  g_menuBuilders[{file, id}] = std::move(build);
}

int LoadPanel(int parent, const std::string& file, int id) {
  auto it = g_panelBuilders.find({file, id});
  if (it == g_panelBuilders.end()) return -1;
  QWidget* w = it->second();
  const int handle = g_nextHandle++;
  if (parent > 0 && panelWidget(parent)) w->setParent(panelWidget(parent));
  g_panels[handle] = {w, {file, id}};
  bindControls(handle, w);
  PanelCallback pcb = nullptr;
  const std::string name = callbackOf(w);
  if (!name.empty()) {
    if (g_table && g_table->panels.count(name))
      pcb = g_table->panels.at(name);
    else
      g_unbound.push_back(name);
  }
  w->installEventFilter(new CloseFilter(handle, pcb, w));
  return handle;
}

int DisplayPanel(int panel) {
  QWidget* w = panelWidget(panel);
  if (!w) return -1;
  QWidget* owner = panelWidget(g_mainPanel);
  if (owner && w != owner && w->isWindow() && !w->isVisible()) {
    // A window of the main window: modal, in front of it, centred on it.
    if (w->parentWidget() != owner) w->setParent(owner, Qt::Dialog);
    w->setWindowModality(Qt::ApplicationModal);
    // Wide enough for the window manager to show the whole title.
    w->setMinimumWidth(
        std::max(w->minimumWidth(), w->fontMetrics().horizontalAdvance(w->windowTitle()) + 160));
    w->adjustSize();
    w->move(owner->frameGeometry().center() - QPoint(w->width() / 2, w->height() / 2));
  }
  if (w == owner || !owner) {
    // Never taller than the screen it opens on (small laptop screens, scaled desktops).
    if (QScreen* screen = w->screen()) {
      const QRect room = screen->availableGeometry();
      w->adjustSize();
      if (w->height() > room.height() - 40) w->resize(w->width(), room.height() - 40);
    }
  }
  w->show();
  w->raise();
  w->activateWindow();
  return 0;
}

int DiscardPanel(int panel) {
  auto it = g_panels.find(panel);
  if (it == g_panels.end()) return -1;
  QPointer<QWidget> w = it->second.widget;
  g_panels.erase(it);
  for (auto m = g_menuBars.begin(); m != g_menuBars.end();)
    m = m->second.panel == panel ? g_menuBars.erase(m) : std::next(m);
  // A panel is often discarded from its own button's callback: delete it once that has returned.
  if (w) {
    w->hide();
    w->deleteLater();
  }
  return 0;
}

int LoadMenuBar(int panel, const std::string& file, int id) {
  QWidget* owner = panelWidget(panel);
  auto it = g_menuBuilders.find({file, id});
  if (!owner || it == g_menuBuilders.end()) return -1;
  // A panel has one menu bar: a new one replaces the one it has.
  for (auto m = g_menuBars.begin(); m != g_menuBars.end();) {
    const int old = m->first;
    ++m;
    if (g_menuBars[old].panel == panel) DiscardMenuBar(old);
  }
  QMenuBar* bar = it->second();
  const int handle = g_nextHandle++;
  g_menuBars[handle] = {bar, panel};
  for (QAction* a : bar->findChildren<QAction*>()) {
    const std::string name = callbackOf(a);
    if (name.empty()) continue;
    MenuCallback cb = nullptr;
    if (g_table) {
      auto found = g_table->menus.find(name);
      if (found != g_table->menus.end()) cb = found->second;
    }
    if (!cb) {
      g_unbound.push_back(name);
      continue;
    }
    const int item = ctrlOf(a);
    QObject::connect(a, &QAction::triggered, a, [=] { cb(handle, item, nullptr, panel); });
  }
  if (owner->layout()) {
    bar->setParent(owner);
    owner->layout()->setMenuBar(bar);
  } else {
    bar->setParent(owner);
    bar->move(0, 0);
  }
  bar->show();
  return handle;
}

int DiscardMenuBar(int menuBar) {
  auto it = g_menuBars.find(menuBar);
  if (it == g_menuBars.end()) return -1;
  QPointer<QMenuBar> bar = it->second.widget;
  const int panel = it->second.panel;
  g_menuBars.erase(it);
  if (bar) {
    QWidget* owner = panelWidget(panel);
    if (owner && owner->layout() && owner->layout()->menuBar() == bar)
      owner->layout()->setMenuBar(nullptr);
    bar->hide();
    // A menu item's own callback may discard the bar (a restore locks the panel).
    bar->deleteLater();
  }
  return 0;
}

int SetCtrlVal(int panel, int control, int value) {
  QWidget* w = findControl(panel, control);
  if (!w) return -1;
  const QSignalBlocker block(w);
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    // Rings whose items carry values select by value; plain lists by position.
    bool valued = false;
    for (int i = 0; i < c->count() && !valued; ++i) valued = c->itemData(i).isValid();
    c->setCurrentIndex(valued ? c->findData(value) : value);
  } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
    s->setValue(value);
  } else if (auto* p = qobject_cast<QProgressBar*>(w)) {
    p->setValue(value);
  } else if (auto* d = qobject_cast<QLCDNumber*>(w)) {
    d->display(value);
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    b->setChecked(value != 0);
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    if (l->property("indicator").toBool())
      setIndicator(l, value != 0);
    else
      l->setText(numberText(w, value));
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(numberText(w, value));
  } else {
    return -1;
  }
  return 0;
}

int SetCtrlVal(int panel, int control, const std::string& text) {
  QWidget* w = findControl(panel, control);
  if (!w) return -1;
  const QSignalBlocker block(w);
  if (auto* l = qobject_cast<QLabel*>(w))
    l->setText(q(text));
  else if (auto* e = qobject_cast<QLineEdit*>(w))
    e->setText(q(text));
  else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
    p->setPlainText(q(text));
  else if (auto* t = qobject_cast<QTextEdit*>(w))
    t->setPlainText(q(text));
  else if (auto* b = qobject_cast<QAbstractButton*>(w))
    b->setText(q(text));
  else
    return -1;
  return 0;
}

int GetCtrlVal(int panel, int control, int* value) {
  QWidget* w = findControl(panel, control);
  if (!w || !value) return -1;
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    const QVariant data = c->currentData();
    *value = data.isValid() ? data.toInt() : c->currentIndex();
  } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
    *value = s->value();
  } else if (auto* p = qobject_cast<QProgressBar*>(w)) {
    *value = p->value();
  } else if (auto* d = qobject_cast<QLCDNumber*>(w)) {
    *value = d->intValue();
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    *value = b->isChecked() ? 1 : 0;
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    *value = l->property("indicator").toBool() ? l->property("on").toBool()
                                               : static_cast<int>(l->text().toLongLong(nullptr, 0));
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    *value = static_cast<int>(e->text().toLongLong(nullptr, 0));
  } else if (auto* list = qobject_cast<QListWidget*>(w)) {
    *value = list->currentRow();
  } else {
    return -1;
  }
  return 0;
}

std::string GetCtrlString(int panel, int control) {
  QWidget* w = findControl(panel, control);
  if (!w) return {};
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
  if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText().toStdString();
  if (auto* t = qobject_cast<QTextEdit*>(w)) return t->toPlainText().toStdString();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText().toStdString();
  return {};
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
  QWidget* w = findControl(panel, control);
  if (!w || attribute != ATTR_DIMMED) return -1;
  w->setEnabled(value == 0);
  return 0;
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
  QWidget* w = findControl(panel, control);
  if (!w || !value || attribute != ATTR_DIMMED) return -1;
  *value = w->isEnabled() ? 0 : 1;
  return 0;
}

int InsertListItem(int panel, int control, int index, const std::string& text, int value) {
  auto* list = qobject_cast<QListWidget*>(findControl(panel, control));
  if (!list) return -1;
  auto* item = new QListWidgetItem(q(text));
  item->setData(Qt::UserRole, value);
  list->insertItem(index < 0 ? list->count() : index, item);
  return 0;
}

int SetCtrlIndex(int panel, int control, int index) {
  auto* list = qobject_cast<QListWidget*>(findControl(panel, control));
  if (!list || index < 0 || index >= list->count()) return -1;
  const QSignalBlocker block(list);
  list->setCurrentRow(index);
  list->scrollToItem(list->item(index));
  // Once the list has its size of this moment (a window that grows as a job starts), again.
  QTimer::singleShot(0, list, [list, index] {
    if (index < list->count()) list->scrollToItem(list->item(index));
  });
  return 0;
}

int GetNumListItems(int panel, int control, int* count) {
  auto* list = qobject_cast<QListWidget*>(findControl(panel, control));
  if (!list || !count) return -1;
  *count = list->count();
  return 0;
}

int ClearListCtrl(int panel, int control) {
  auto* list = qobject_cast<QListWidget*>(findControl(panel, control));
  if (!list) return -1;
  list->clear();
  return 0;
}

void MessagePopup(const std::string& title, const std::string& text) {
  MessagePopup(title, text, std::string());
}

void MessagePopup(const std::string& title, const std::string& text, const std::string& detail) {
  if (g_popup) {
    g_popup(title, text);
    if (g_popupDetail) g_popupDetail(detail);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, popupTitle(title), q(text), QMessageBox::Ok, popupParent());
  if (!detail.empty()) box.setInformativeText(q(detail));
  box.setEscapeButton(QMessageBox::Ok);
  widenForTitle(box);
  box.exec();
}

int ConfirmPopup(const std::string& title, const std::string& text) {
  if (g_confirm) return g_confirm(title, text);
  QMessageBox box(QMessageBox::Question, q(g_programName + " \u2014 " + title), q(text),
                  QMessageBox::Yes | QMessageBox::No, popupParent());
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  widenForTitle(box);
  return box.exec() == QMessageBox::Yes ? 1 : 0;
}

namespace {
std::map<int, QPointer<QMessageBox>> g_questions;
int g_nextQuestion = 1;
}  // namespace

int AskPopup(const std::string& title, const std::string& text,
             std::function<void(bool)> answered) {
  if (g_confirm) {
    const bool yes = g_confirm(title, text) == 1;
    if (answered) answered(yes);
    return 0;
  }
  auto* box = new QMessageBox(QMessageBox::Question, q(g_programName + " \u2014 " + title), q(text),
                              QMessageBox::Yes | QMessageBox::No, popupParent());
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setDefaultButton(QMessageBox::No);
  box->setEscapeButton(QMessageBox::No);
  widenForTitle(*box);
  const int handle = g_nextQuestion++;
  g_questions[handle] = box;
  QObject::connect(box, &QMessageBox::finished, box, [box, handle, answered] {
    g_questions.erase(handle);
    const bool yes = box->clickedButton() == box->button(QMessageBox::Yes);
    if (answered) answered(yes);
  });
  // Window-modal, without a loop of its own: the caller (and the job around it) goes on.
  box->open();
  return handle;
}

bool QuestionOpen(int question) {
  auto it = g_questions.find(question);
  return it != g_questions.end() && it->second && it->second->isVisible();
}

void WithdrawQuestions() {
  auto open = std::move(g_questions);
  g_questions.clear();
  for (auto& [handle, box] : open) {
    if (!box) continue;
    QObject::disconnect(box, &QMessageBox::finished, nullptr, nullptr);
    box->close();
  }
}

void setConfirmHandler(std::function<int(const std::string&, const std::string&)> handler) {
  g_confirm = std::move(handler);
}

void setProgramName(const std::string& name) {
  g_programName = name;
}
const std::string& programName() {
  return g_programName;
}
void setMainPanel(int panel) {
  g_mainPanel = panel;
}

void SetPanelTitle(int panel, const std::string& what) {
  if (QWidget* w = panelWidget(panel)) w->setWindowTitle(q(g_programName + " \u2014 " + what));
}

void SetPanelHeading(int panel, const std::string& heading) {
  QWidget* w = panelWidget(panel);
  if (auto* label = w ? w->findChild<QLabel*>(QStringLiteral("icon")) : nullptr)
    label->setText("<b>" + q(heading).toHtmlEscaped() + "</b>");
}

void SetPanelDetail(int panel, const std::string& detail) {
  QWidget* w = panelWidget(panel);
  if (!w) return;
  auto* label = w->findChild<QLabel*>(QStringLiteral("detail"));
  if (!label) {
    auto* box = qobject_cast<QBoxLayout*>(w->layout());
    if (!box) return;
    label = new QLabel(w);
    label->setObjectName(QStringLiteral("detail"));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Under the fixed text, above the button row.
    int at = box->count();
    for (int i = 0; i < box->count(); ++i)
      if (box->itemAt(i)->layout() || qobject_cast<QAbstractButton*>(box->itemAt(i)->widget()))
        at = std::min(at, i);
    box->insertWidget(at, label);
  }
  label->setText(q(detail));
  label->setVisible(!detail.empty());
  // The window grows to hold the cause, wrapped, below the message (never over it), and stays
  // where it was centred.
  if (w->layout()) w->layout()->activate();
  const QPoint centre = w->geometry().center();
  w->adjustSize();
  if (w->isVisible() && w->isWindow()) w->move(centre - QPoint(w->width() / 2, w->height() / 2));
}

std::string GetPanelDetail(int panel) {
  QWidget* w = panelWidget(panel);
  auto* label = w ? w->findChild<QLabel*>(QStringLiteral("detail")) : nullptr;
  return label ? label->text().toStdString() : std::string();
}

int FileSelectPopup(const std::string& defaultDirectory, const std::string& pattern,
                    const std::string& title, std::string* path) {
  if (g_fileSelect) return g_fileSelect(defaultDirectory, pattern, title, path);
  QFileDialog dialog(popupParent(), q(g_programName + " \u2014 " + title), q(defaultDirectory),
                     q(pattern));
  // Only a file that is there can be loaded; the name box starts empty.
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Load"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return 0;
  *path = dialog.selectedFiles().front().toStdString();
  return 1;
}

void setPopupHandler(std::function<void(const std::string&, const std::string&)> handler) {
  g_popup = std::move(handler);
}

void setPopupDetailHandler(std::function<void(const std::string&)> handler) {
  g_popupDetail = std::move(handler);
}

void setFileSelectHandler(
    std::function<int(const std::string&, const std::string&, const std::string&, std::string*)>
        handler) {
  g_fileSelect = std::move(handler);
}

int RunUserInterface() {
  if (g_quit) return 0;
  return QApplication::exec();
}

void QuitUserInterface(int code) {
  g_quit = true;
  QCoreApplication::exit(code);
}

void ProcessSystemEvents() {
  QCoreApplication::processEvents();
}
bool quitRequested() {
  return g_quit;
}
void resetQuitRequested() {
  g_quit = false;
}

QWidget* panelWidget(int panel) {
  auto it = g_panels.find(panel);
  return it == g_panels.end() ? nullptr : it->second.widget.data();
}

QWidget* controlWidget(int panel, int control) {
  return findControl(panel, control);
}

QMenuBar* menuBarWidget(int menuBar) {
  auto it = g_menuBars.find(menuBar);
  return it == g_menuBars.end() ? nullptr : it->second.widget.data();
}

bool isPanelLoaded(int panel) {
  return panelWidget(panel) != nullptr;
}

std::vector<int> loadedPanels(const std::string& file, int id) {
  std::vector<int> out;
  for (const auto& [handle, p] : g_panels)
    if (p.widget && p.from.file == file && p.from.id == id) out.push_back(handle);
  return out;
}

void discardAll() {
  g_mainPanel = -1;
  WithdrawQuestions();
  while (!g_menuBars.empty()) DiscardMenuBar(g_menuBars.begin()->first);
  while (!g_panels.empty()) DiscardPanel(g_panels.begin()->first);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int intValue(int panel, int control) {
  int v = 0;
  GetCtrlVal(panel, control, &v);
  return v;
}

}  // namespace guikit

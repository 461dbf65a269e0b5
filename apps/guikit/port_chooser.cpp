#include "apps/guikit/port_chooser.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "apps/guikit/userint.h"
#include "platform/port_map.h"
#include "platform/rs232.h"
#include "platform/serial_devices.h"

namespace guikit {

namespace {

constexpr int kPorts = 16;

QString q(const std::string& s) {
  return QString::fromStdString(s);
}

// Keeps the button as usable as the ring: the lock during a job dims the ring only.
class FollowEnabled : public QObject {
 public:
  FollowEnabled(QWidget* button, QObject* parent) : QObject(parent), button_(button) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::EnabledChange)
      button_->setEnabled(static_cast<QWidget*>(watched)->isEnabled());
    return QObject::eventFilter(watched, event);
  }

 private:
  QWidget* button_;
};

void refreshRing(QComboBox* ring) {
  for (int i = 0; i < ring->count(); ++i)
    ring->setItemText(i, q(portItemText(ring->itemData(i).toInt())));
}

}  // namespace

std::string portItemText(int port) {
  return "COM" + std::to_string(port) + "   " + platform::deviceForPort(port);
}

void fillPortRing(int panel, int control, int port) {
  auto* ring = qobject_cast<QComboBox*>(controlWidget(panel, control));
  if (!ring) return;
  for (int n = 1; n <= kPorts; ++n) ring->addItem(q(portItemText(n)), n);
  SetCtrlVal(panel, control, port);
}

namespace {

// The grid, at any depth under layout, that holds widget.
QGridLayout* gridHolding(QLayout* layout, QWidget* widget) {
  if (!layout) return nullptr;
  if (auto* grid = qobject_cast<QGridLayout*>(layout); grid && grid->indexOf(widget) >= 0)
    return grid;
  for (int i = 0; i < layout->count(); ++i)
    if (QGridLayout* found = gridHolding(layout->itemAt(i)->layout(), widget)) return found;
  return nullptr;
}

}  // namespace

void addPortChooser(int panel, int control) {
  auto* ring = qobject_cast<QComboBox*>(controlWidget(panel, control));
  QGridLayout* grid = ring ? gridHolding(ring->parentWidget()->layout(), ring) : nullptr;
  if (!grid) return;
  const int at = grid->indexOf(ring);
  int row = 0, column = 0, rows = 1, columns = 1;
  grid->getItemPosition(at, &row, &column, &rows, &columns);
  // Where Tab reached the ring before it moves into its cell.
  QWidget* before = ring->previousInFocusChain();
  while (before && before != ring && !(before->focusPolicy() & Qt::TabFocus))
    before = before->previousInFocusChain();
  delete grid->takeAt(at);
  auto* cell = new QWidget;
  auto* line = new QHBoxLayout(cell);
  line->setContentsMargins(0, 0, 0, 0);
  line->addWidget(ring, 1);
  auto* button = new QToolButton;
  button->setObjectName("portDevice");
  button->setText("Device...");
  button->setToolTip("Choose the device this COM number opens (a USB adapter, any path)");
  line->addWidget(button);
  grid->addWidget(cell, row, column, rows, columns);
  // Tab reaches the ring where it did, then its button, then goes on as before.
  if (before && before != ring) QWidget::setTabOrder(before, ring);
  QWidget::setTabOrder(ring, button);
  ring->installEventFilter(new FollowEnabled(button, ring));
  QObject::connect(button, &QToolButton::clicked, ring, [ring] {
    const int port = ring->currentData().toInt();
    std::string why;
    if (choosePortDevice(ring->window(), port, &why)) {
      refreshRing(ring);
    } else if (!why.empty()) {
      MessagePopup("ERROR", "COM" + std::to_string(port) + " not saved: " + why);
    }
  });
}

bool choosePortDevice(QWidget* parent, int port, std::string* why) {
  QDialog dialog(parent);
  dialog.setObjectName("portChooser");
  const QString com = QStringLiteral("COM%1").arg(port);
  dialog.setWindowTitle(q(programName()) + " \u2014 Device of " + com);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel(com + " opens this device (every Kelvane program uses it):"));

  auto* devices = new QComboBox;
  devices->setObjectName("devices");
  devices->setEditable(true);
  devices->setInsertPolicy(QComboBox::NoInsert);
  devices->setMinimumContentsLength(40);
  for (const platform::SerialDevice& d : platform::serialDevices()) {
    const QString text = d.description.empty() ? q(d.device) : q(d.device + "   " + d.description);
    devices->addItem(text, q(d.device));
  }
  const std::string current = platform::deviceForPort(port);
  const int found = devices->findData(q(current));
  if (found >= 0)
    devices->setCurrentIndex(found);
  else
    devices->setEditText(q(current));
  layout->addWidget(devices);
  auto* hint = new QLabel(devices->count() ? "Pick a device found, or type a path "
                                             "(a pseudo-terminal: /dev/pts/3)."
                                           : "No serial device found: type a path "
                                             "(a pseudo-terminal: /dev/pts/3).");
  layout->addWidget(hint);
  if (platform::portSource(port) == platform::PortSource::Environment) {
    auto* env = new QLabel("KELVANE_" + com + " is set: it decides while it stays set.");
    env->setObjectName("environment");
    env->setStyleSheet("color: #b00000");
    layout->addWidget(env);
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
#ifdef _WIN32
  const QString plain = com;
#else
  const QString plain = QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
  QPushButton* reset = buttons->addButton("Default (" + plain + ")", QDialogButtonBox::ResetRole);
  reset->setObjectName("default");
  layout->addWidget(buttons);
  bool forget = false;
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  QObject::connect(reset, &QPushButton::clicked, &dialog, [&] {
    forget = true;
    dialog.accept();
  });
  // Modal, waited for here rather than in a loop of its own, which a quit asked for earlier (or
  // a signal now) would end at once.
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.open();
  while (dialog.isVisible() && !quitRequested())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  if (dialog.result() != QDialog::Accepted) return false;

  // The item's device when one was picked, else the path as typed.
  std::string device;
  if (!forget) {
    const int index = devices->findText(devices->currentText());
    device = (index >= 0 ? devices->itemData(index).toString() : devices->currentText())
                 .trimmed()
                 .toStdString();
  }
  return platform::savePortDevice(port, device, why);
}

}  // namespace guikit

#include "platform/qt_serial_devices.h"

#include <QSerialPortInfo>
#include <algorithm>

namespace platform {

std::vector<SerialDevice> systemSerialDevices() {
  std::vector<SerialDevice> list;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    SerialDevice d;
    d.path = info.systemLocation().toStdString();
    QString what = info.description();
    if (!info.manufacturer().isEmpty() && !what.contains(info.manufacturer()))
      what += (what.isEmpty() ? "" : " (") + info.manufacturer() + (what.isEmpty() ? "" : ")");
    d.description = what.trimmed().toStdString();
    const QString name = info.portName();
    d.usb = info.hasVendorIdentifier() || name.startsWith("ttyUSB") || name.startsWith("ttyACM");
    list.push_back(std::move(d));
  }
  std::stable_sort(list.begin(), list.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return a.usb != b.usb ? a.usb : a.path < b.path;
  });
  return list;
}

}  // namespace platform

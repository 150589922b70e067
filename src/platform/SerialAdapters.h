#pragma once
// The USB serial adapters of this machine as sysfs, /dev/serial/by-path and the udev database
// describe them.

#include "SystemRoots.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <vector>

namespace corvane {

struct SerialAdapter {
    QString device;    // its node, e.g. /dev/ttyUSB0
    QString name;      // the kernel's name, e.g. ttyUSB0; empty for a node sysfs does not know
    QString devNumber; // "major:minor", e.g. "188:0"; empty when unknown
    QString slot;      // the USB port it is plugged into, e.g. "usb-0:1.3"; empty when none
    QString byPath;    // the /dev/serial/by-path link that gives the slot
    // From the USB device's descriptor; empty when it has none (or for a non-USB node).
    QString manufacturer;
    QString product;
    QString serialNumber;
    QString vendorId; // four hex digits, e.g. "0403"
    QString productId;
    QString driver;       // the kernel driver of the port, e.g. "ftdi_sio"
    QString sysfsDevice;  // the port's device folder in sysfs; empty for a node sysfs does not know
    QString latencyTimer; // the driver's latency_timer file (FTDI), empty when it has none
    [[nodiscard]] bool usb() const { return !vendorId.isEmpty(); }
};

// Every tty that sits on a USB device, sorted by device path (ttyUSB2 before ttyUSB10).
[[nodiscard]] std::vector<SerialAdapter> findUsbSerialAdapters(const SystemRoots& roots);

// What sysfs and by-path know of the node at `devicePath` (a port named by the user): the same
// description when it is a tty of sysfs, otherwise only the path and its device number.
[[nodiscard]] SerialAdapter describeSerialNode(const SystemRoots& roots, const QString& devicePath);

// The slot in a /dev/serial/by-path link name: "pci-0000:00:14.0-usb-0:1.3:1.0-port0" gives
// "usb-0:1.3" (bus 0, hub port 1, port 3; the configuration and interface dropped). Empty
// when the name holds no USB path.
[[nodiscard]] QString slotFromByPath(const QString& linkName);

// A device's entry in the udev database: its tags and properties. `found` is false when udev
// has no entry for it (no udev running, or the device appeared before udev saw it).
struct UdevRecord {
    bool found = false;
    QStringList tags;
    QMap<QString, QString> properties;
};

[[nodiscard]] UdevRecord readUdevRecord(const QString& udevData, const QString& devNumber);

} // namespace corvane

#pragma once
// Serial ports of the machine, and the filter that keeps the USB adapters of one maker.

#include <QString>

#include <vector>

namespace corvane {

struct PortEntry {
    QString devicePath;   // e.g. /dev/ttyUSB0
    QString manufacturer; // as the USB descriptor gives it; may be empty
    friend bool operator==(const PortEntry&, const PortEntry&) = default;
};

// The adapters a scan tries by itself: those whose manufacturer text contains this.
inline const QString kAdapterMaker = QStringLiteral("FTDI");

// Keeps the entries whose manufacturer text contains `manufacturerPart` (case-sensitive),
// sorted by device path with digit runs compared by value (ttyUSB2 before ttyUSB10).
[[nodiscard]] std::vector<PortEntry> filterPorts(std::vector<PortEntry> ports,
                                                 const QString& manufacturerPart);

// Path order used by filterPorts.
[[nodiscard]] bool devicePathLess(const QString& a, const QString& b);

// Every serial port the system reports (udev/sysfs), in no particular order.
[[nodiscard]] std::vector<PortEntry> availablePorts();

} // namespace corvane

#include "PortList.h"

#include <QSerialPortInfo>

#include <algorithm>

namespace corvane {

bool devicePathLess(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i;
            qsizetype je = j;
            while (ie < a.size() && a[ie].isDigit()) {
                ++ie;
            }
            while (je < b.size() && b[je].isDigit()) {
                ++je;
            }
            // Compare the runs by value without converting: strip leading zeros, then
            // a longer run is larger, equal lengths compare as text.
            qsizetype is = i;
            qsizetype js = j;
            while (is + 1 < ie && a[is] == u'0') {
                ++is;
            }
            while (js + 1 < je && b[js] == u'0') {
                ++js;
            }
            const auto ra = QStringView(a).mid(is, ie - is);
            const auto rb = QStringView(b).mid(js, je - js);
            if (ra.size() != rb.size()) {
                return ra.size() < rb.size();
            }
            if (const int c = ra.compare(rb); c != 0) {
                return c < 0;
            }
            if ((ie - i) != (je - j)) {
                return (ie - i) < (je - j);
            }
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return (a.size() - i) < (b.size() - j);
}

std::vector<PortEntry> filterPorts(std::vector<PortEntry> ports, const QString& manufacturerPart) {
    std::erase_if(ports, [&](const PortEntry& p) {
        return !p.manufacturer.contains(manufacturerPart, Qt::CaseSensitive);
    });
    std::stable_sort(ports.begin(), ports.end(), [](const PortEntry& x, const PortEntry& y) {
        return devicePathLess(x.devicePath, y.devicePath);
    });
    return ports;
}

std::vector<PortEntry> availablePorts() {
    std::vector<PortEntry> result;
    const auto infos = QSerialPortInfo::availablePorts();
    result.reserve(static_cast<std::size_t>(infos.size()));
    for (const QSerialPortInfo& info : infos) {
        result.push_back({info.systemLocation(), info.manufacturer()});
    }
    return result;
}

} // namespace corvane

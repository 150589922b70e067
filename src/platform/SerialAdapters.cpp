#include "SerialAdapters.h"

#include "PortList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace corvane {

namespace {

QString readAttribute(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// The nearest folder at or above `from` (but below `top`) that describes a USB device: the
// one with the descriptor's idVendor.
QString usbDeviceFolder(QString from, const QString& top) {
    while (!from.isEmpty() && from.startsWith(top) && from != top) {
        if (QFileInfo::exists(from + QStringLiteral("/idVendor"))) {
            return from;
        }
        const qsizetype slash = from.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            break;
        }
        from.truncate(slash);
    }
    return {};
}

void findSlot(const SystemRoots& roots, SerialAdapter& adapter) {
    const QString node = QFileInfo(adapter.device).canonicalFilePath();
    if (node.isEmpty()) {
        return;
    }
    QDir byPath(roots.dev + QStringLiteral("/serial/by-path"));
    const QStringList links =
        byPath.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& link : links) {
        if (QFileInfo(byPath.filePath(link)).canonicalFilePath() != node) {
            continue;
        }
        const QString slot = slotFromByPath(link);
        if (!slot.isEmpty()) {
            adapter.slot = slot;
            adapter.byPath = link;
            return;
        }
    }
}

// The description of tty `name`, whose device folder in sysfs is `port`.
SerialAdapter describeTty(const SystemRoots& roots, const QString& name, const QString& port,
                          const QString& usb) {
    SerialAdapter a;
    a.name = name;
    a.device = roots.dev + QLatin1Char('/') + name;
    a.devNumber =
        readAttribute(roots.sys + QStringLiteral("/class/tty/") + name + QStringLiteral("/dev"));
    a.sysfsDevice = port;
    if (!usb.isEmpty()) {
        a.manufacturer = readAttribute(usb + QStringLiteral("/manufacturer"));
        a.product = readAttribute(usb + QStringLiteral("/product"));
        a.serialNumber = readAttribute(usb + QStringLiteral("/serial"));
        a.vendorId = readAttribute(usb + QStringLiteral("/idVendor"));
        a.productId = readAttribute(usb + QStringLiteral("/idProduct"));
    }
    const QString driver = QFileInfo(port + QStringLiteral("/driver")).canonicalFilePath();
    if (!driver.isEmpty()) {
        a.driver = QFileInfo(driver).fileName();
    }
    if (QFileInfo::exists(port + QStringLiteral("/latency_timer"))) {
        a.latencyTimer = port + QStringLiteral("/latency_timer");
    }
    return a;
}

// The device folder of tty `name` and the USB device above it; empty strings when the tty has
// no device or sits on no USB device.
std::pair<QString, QString> ttyFolders(const SystemRoots& roots, const QString& name) {
    const QString port =
        QFileInfo(roots.sys + QStringLiteral("/class/tty/") + name + QStringLiteral("/device"))
            .canonicalFilePath();
    if (port.isEmpty()) {
        return {};
    }
    const QString top = QFileInfo(roots.sys).canonicalFilePath();
    return {port, usbDeviceFolder(port, top)};
}

} // namespace

QString slotFromByPath(const QString& linkName) {
    // usb-<bus>:<port path>:<configuration>.<interface>; newer udev also makes usbv2- links.
    static const QRegularExpression usbPath(
        QStringLiteral("(?:^|-)usb(?:v\\d+)?-(\\d+):([\\d.]+):\\d+\\.\\d+"));
    const auto m = usbPath.match(linkName);
    if (!m.hasMatch()) {
        return {};
    }
    return QStringLiteral("usb-%1:%2").arg(m.captured(1), m.captured(2));
}

std::vector<SerialAdapter> findUsbSerialAdapters(const SystemRoots& roots) {
    std::vector<SerialAdapter> found;
    const QDir classTty(roots.sys + QStringLiteral("/class/tty"));
    for (const QString& name : classTty.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const auto [port, usb] = ttyFolders(roots, name);
        if (usb.isEmpty()) {
            continue;
        }
        SerialAdapter adapter = describeTty(roots, name, port, usb);
        findSlot(roots, adapter);
        found.push_back(std::move(adapter));
    }
    std::sort(found.begin(), found.end(), [](const SerialAdapter& a, const SerialAdapter& b) {
        return devicePathLess(a.device, b.device);
    });
    return found;
}

SerialAdapter describeSerialNode(const SystemRoots& roots, const QString& devicePath) {
    SerialAdapter adapter;
    const QString node = QFileInfo(devicePath).canonicalFilePath();
    struct stat st {};
    if (!node.isEmpty() && ::stat(QFile::encodeName(node).constData(), &st) == 0 &&
        S_ISCHR(st.st_mode)) {
        adapter.devNumber = QStringLiteral("%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    }
    // The kernel's name: through the device number where sysfs lists it, else the node's name.
    QString name;
    if (!adapter.devNumber.isEmpty()) {
        const QString byNumber =
            QFileInfo(roots.sys + QStringLiteral("/dev/char/") + adapter.devNumber)
                .canonicalFilePath();
        if (!byNumber.isEmpty()) {
            name = QFileInfo(byNumber).fileName();
        }
    }
    if (name.isEmpty() && !node.isEmpty()) {
        name = QFileInfo(node).fileName();
    }
    if (!name.isEmpty() && QFileInfo::exists(roots.sys + QStringLiteral("/class/tty/") + name)) {
        const auto [port, usb] = ttyFolders(roots, name);
        adapter = describeTty(roots, name, port, usb);
    }
    adapter.device = devicePath;
    findSlot(roots, adapter);
    return adapter;
}

UdevRecord readUdevRecord(const QString& udevData, const QString& devNumber) {
    UdevRecord record;
    if (devNumber.isEmpty()) {
        return record;
    }
    QFile file(udevData + QStringLiteral("/c") + devNumber);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return record;
    }
    record.found = true;
    // "E:KEY=VALUE" properties, "G:tag" tags (and "Q:tag", the tags of the current event).
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1String("E:"))) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (eq > 2) {
                record.properties.insert(line.mid(2, eq - 2), line.mid(eq + 1));
            }
        } else if (line.startsWith(QLatin1String("G:")) || line.startsWith(QLatin1String("Q:"))) {
            const QString tag = line.mid(2);
            if (!tag.isEmpty() && !record.tags.contains(tag)) {
                record.tags << tag;
            }
        }
    }
    return record;
}

} // namespace corvane

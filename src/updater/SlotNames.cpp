#include "SlotNames.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

QString slotNameFromByPath(const QString& linkName) {
    // udev writes "usb-" and, on newer systems, also "usbv2-" for the same path.
    qsizetype at = -1;
    qsizetype skip = 0;
    for (const QString& marker : {QStringLiteral("-usbv2-"), QStringLiteral("-usb-")}) {
        const qsizetype found = linkName.lastIndexOf(marker);
        if (found > at) {
            at = found;
            skip = marker.size();
        }
    }
    if (at < 0) {
        return linkName;
    }
    QString name = QStringLiteral("usb-") + linkName.mid(at + skip);
    if (name.endsWith(QStringLiteral("-port0"))) {
        name.chop(6);
    }
    if (name.endsWith(QStringLiteral(":1.0"))) {
        name.chop(4);
    }
    return name;
}

QStringList slotNames(const QStringList& ports, const QString& byPathFolder) {
    // Device (as the link resolves) -> link name; "usb-" links before "usbv2-" ones.
    QHash<QString, QString> links;
    const QDir dir(byPathFolder);
    for (const QFileInfo& link : dir.entryInfoList(QDir::Files | QDir::System, QDir::Name)) {
        const QString device = link.canonicalFilePath();
        if (!device.isEmpty() && !links.contains(device)) {
            links.insert(device, link.fileName());
        }
    }
    QStringList full;
    QStringList names;
    for (const QString& port : ports) {
        const QString device = QFileInfo(port).canonicalFilePath();
        const QString link = device.isEmpty() ? QString() : links.value(device);
        full << (link.isEmpty() ? port : link);
        names << (link.isEmpty() ? port : slotNameFromByPath(link));
    }
    QStringList unique;
    for (qsizetype i = 0; i < names.size(); ++i) {
        unique << (names.count(names[i]) > 1 ? full[i] : names[i]);
    }
    return unique;
}

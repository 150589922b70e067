#pragma once
// A station's slots are named by the USB physical path of their port, as udev links it in
// /dev/serial/by-path, so that a fixture's sockets keep their names when adapters are
// replugged or enumerate in another order.

#include <QString>
#include <QStringList>

// The slot name a by-path link gives: the USB path from "usb-" on, without the usual
// interface and port suffix (":1.0", "-port0"), e.g. "pci-0000:00:14.0-usb-0:1.3:1.0-port0"
// -> "usb-0:1.3"; a multi-port adapter's other interfaces keep theirs ("usb-0:1.3:1.2"). A
// link without a USB part keeps its whole name.
[[nodiscard]] QString slotNameFromByPath(const QString& linkName);

// The slot name of each port: the name of a by-path link in folder that leads to it, or the
// port's own path when none does. Names are unique: ports whose short names collide get
// their links' whole names.
[[nodiscard]] QStringList slotNames(const QStringList& ports, const QString& byPathFolder);

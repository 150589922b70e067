#pragma once
// A machine's /proc, /sys, /dev, udev and /etc trees laid out in a temporary folder, shaped as
// on a Debian desktop with two USB serial adapters, for the facts the doctor gathers.

#include "platform/SystemRoots.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace corvane::test {

class FakeMachine {
public:
    FakeMachine()
        : m_root(m_dir.path()) {}

    [[nodiscard]] bool isValid() const { return m_dir.isValid(); }
    [[nodiscard]] QString path(const QString& rel) const { return m_root + rel; }
    [[nodiscard]] SystemRoots roots() const { return SystemRoots::under(m_root); }

    void file(const QString& rel, const QByteArray& content) const {
        QDir().mkpath(QFileInfo(path(rel)).path());
        QFile f(path(rel));
        if (f.open(QIODevice::WriteOnly)) {
            f.write(content);
        }
    }
    void link(const QString& rel, const QString& target) const {
        QDir().mkpath(QFileInfo(path(rel)).path());
        (void)::symlink(QFile::encodeName(target).constData(),
                        QFile::encodeName(path(rel)).constData());
    }
    void folder(const QString& rel) const { QDir().mkpath(path(rel)); }

    // ttyUSB0: an FTDI adapter in USB port 1.3, told to ModemManager to ignore, with a lock
    // held by pid 300. ttyACM0: another maker's adapter in port 2, held open by pid 200.
    // ttyS0: a platform UART, tty0: a console; neither is a USB adapter.
    void layDesktop() const {
        const QString usb = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1");
        const QString ftdi = usb + QStringLiteral("/1-1/1-1.3");
        file(ftdi + QStringLiteral("/idVendor"), "0403\n");
        file(ftdi + QStringLiteral("/idProduct"), "6001\n");
        file(ftdi + QStringLiteral("/manufacturer"), "FTDI\n");
        file(ftdi + QStringLiteral("/product"), "FT232R USB UART\n");
        file(ftdi + QStringLiteral("/serial"), "A10K1234\n");
        const QString port = ftdi + QStringLiteral("/1-1.3:1.0/ttyUSB0");
        file(port + QStringLiteral("/latency_timer"), "16\n");
        folder(QStringLiteral("/sys/bus/usb-serial/drivers/ftdi_sio"));
        link(port + QStringLiteral("/driver"),
             path(QStringLiteral("/sys/bus/usb-serial/drivers/ftdi_sio")));
        file(port + QStringLiteral("/tty/ttyUSB0/dev"), "188:0\n");
        link(port + QStringLiteral("/tty/ttyUSB0/device"), QStringLiteral("../../../ttyUSB0"));
        link(QStringLiteral("/sys/class/tty/ttyUSB0"),
             QStringLiteral("../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.3/1-1.3:1.0/"
                            "ttyUSB0/tty/ttyUSB0"));

        const QString acm = usb + QStringLiteral("/1-2");
        file(acm + QStringLiteral("/idVendor"), "2341\n");
        file(acm + QStringLiteral("/idProduct"), "0043\n");
        file(acm + QStringLiteral("/manufacturer"), "Arduino (www.arduino.cc)\n");
        folder(QStringLiteral("/sys/bus/usb/drivers/cdc_acm"));
        link(acm + QStringLiteral("/1-2:1.0/driver"),
             path(QStringLiteral("/sys/bus/usb/drivers/cdc_acm")));
        file(acm + QStringLiteral("/1-2:1.0/tty/ttyACM0/dev"), "166:0\n");
        link(acm + QStringLiteral("/1-2:1.0/tty/ttyACM0/device"), QStringLiteral("../.."));
        link(QStringLiteral("/sys/class/tty/ttyACM0"),
             QStringLiteral("../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/ttyACM0"));

        file(QStringLiteral("/sys/devices/platform/serial8250/tty/ttyS0/dev"), "4:64\n");
        link(QStringLiteral("/sys/devices/platform/serial8250/tty/ttyS0/device"),
             QStringLiteral("../.."));
        link(QStringLiteral("/sys/class/tty/ttyS0"),
             QStringLiteral("../../devices/platform/serial8250/tty/ttyS0"));
        file(QStringLiteral("/sys/devices/virtual/tty/tty0/dev"), "4:0\n");
        link(QStringLiteral("/sys/class/tty/tty0"),
             QStringLiteral("../../devices/virtual/tty/tty0"));

        for (const char* node : {"ttyUSB0", "ttyACM0", "ttyS0", "tty0"}) {
            file(QStringLiteral("/dev/") + QLatin1String(node), {});
        }
        link(QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usbv2-0:1.3:1.0-port0"),
             QStringLiteral("../../ttyUSB0"));
        link(QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0"),
             QStringLiteral("../../ttyUSB0"));
        link(QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0"),
             QStringLiteral("../../ttyACM0"));

        file(QStringLiteral("/run/udev/data/c188:0"),
             "I:1234\nE:ID_VENDOR=FTDI\nE:ID_MM_DEVICE_IGNORE=1\nG:uaccess\nQ:uaccess\n");
        file(QStringLiteral("/run/udev/data/c166:0"), "E:ID_MM_CANDIDATE=1\nG:systemd\n");

        file(QStringLiteral("/proc/100/comm"), "ModemManager\n");
        file(QStringLiteral("/proc/200/comm"), "minicom\n");
        link(QStringLiteral("/proc/200/fd/0"), QStringLiteral("/dev/null"));
        link(QStringLiteral("/proc/200/fd/3"), path(QStringLiteral("/dev/ttyACM0")));
        link(QStringLiteral("/proc/200/fd/4"), QStringLiteral("socket:[4242]"));
        file(QStringLiteral("/proc/300/comm"), "corvane-updater\n");
        folder(QStringLiteral("/proc/300/fd"));
        struct stat st {};
        (void)::stat(QFile::encodeName(path(QStringLiteral("/dev/ttyUSB0"))).constData(), &st);
        file(QStringLiteral("/proc/locks"),
             QStringLiteral("1: POSIX  ADVISORY  WRITE 999 00:2a:1 0 EOF\n"
                            "2: FLOCK  ADVISORY  WRITE 300 %1:%2:%3 0 EOF\n")
                 .arg(major(st.st_dev), 2, 16, QLatin1Char('0'))
                 .arg(minor(st.st_dev), 2, 16, QLatin1Char('0'))
                 .arg(st.st_ino)
                 .toLatin1());
        file(QStringLiteral("/proc/self/comm"), "not a pid\n");

        // The nodes belong to this process's group, which the group file calls dialout.
        file(QStringLiteral("/etc/group"),
             QStringLiteral("dialout:x:%1:jo,ann\nplugdev:x:46:jo\n").arg(::getegid()).toLatin1());
        file(QStringLiteral("/usr/bin/brltty"), "#!/bin/sh\n");
    }

private:
    QTemporaryDir m_dir;
    QString m_root;
};

} // namespace corvane::test

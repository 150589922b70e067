#pragma once
// Where the facts of this machine are read. The program reads the real trees; tests point each
// of them at a folder of their own.

#include <QString>
#include <QStringList>

namespace corvane {

struct SystemRoots {
    QString proc = QStringLiteral("/proc");
    QString sys = QStringLiteral("/sys");
    QString dev = QStringLiteral("/dev"); // device nodes, and serial/by-path below it
    QString udevData = QStringLiteral("/run/udev/data");
    // Rule folders in udev's order of precedence: a file in an earlier one hides a file of
    // the same name in a later one.
    QStringList udevRules = {
        QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
        QStringLiteral("/usr/lib/udev/rules.d"), QStringLiteral("/lib/udev/rules.d")};
    QString groupFile = QStringLiteral("/etc/group");
    QStringList programDirs = {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin"),
                               QStringLiteral("/bin"), QStringLiteral("/sbin")};

    // Every tree below `root`, laid out as on a real machine (root/proc, root/sys, ...).
    [[nodiscard]] static SystemRoots under(const QString& root) {
        SystemRoots r;
        auto below = [&root](const QString& path) { return root + path; };
        r.proc = below(r.proc);
        r.sys = below(r.sys);
        r.dev = below(r.dev);
        r.udevData = below(r.udevData);
        for (QString& dir : r.udevRules) {
            dir = below(dir);
        }
        r.groupFile = below(r.groupFile);
        for (QString& dir : r.programDirs) {
            dir = below(dir);
        }
        return r;
    }
};

} // namespace corvane

#include "Doctor.h"

#include "firmware/FirmwareCheck.h"
#include "platform/PortList.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>

using namespace corvane;

namespace {

constexpr char kFtdiVendor[] = "0403"; // USB vendor id of FTDI

QString pidList(const std::vector<ProcessRef>& processes) {
    QStringList parts;
    for (const ProcessRef& p : processes) {
        parts << QStringLiteral("pid %1 (%2)")
                     .arg(p.pid)
                     .arg(p.name.isEmpty() ? QStringLiteral("?") : p.name);
    }
    return parts.join(QStringLiteral(", "));
}

struct Context {
    const MachineFacts& facts;
    std::vector<DoctorFinding>& out;
    void add(const QString& check, const AdapterFacts* port, DoctorLevel level,
             const QString& detail, const QString& fix = {}) {
        out.push_back({check, port ? port->adapter.device : QString(),
                       port ? port->adapter.slot : QString(), level, detail, fix});
    }
};

QString makerText(const SerialAdapter& a) {
    if (!a.usb()) {
        return QStringLiteral("not a USB adapter that sysfs knows");
    }
    QStringList words;
    if (!a.manufacturer.isEmpty()) {
        words << a.manufacturer;
    }
    if (!a.product.isEmpty()) {
        words << a.product;
    }
    QString ids = QStringLiteral("%1:%2").arg(a.vendorId, a.productId);
    if (!a.driver.isEmpty()) {
        ids += QStringLiteral(", driver ") + a.driver;
    }
    if (!a.serialNumber.isEmpty()) {
        ids += QStringLiteral(", serial ") + a.serialNumber;
    }
    return (words.isEmpty() ? QStringLiteral("no maker given") : words.join(u' ')) +
           QStringLiteral(" (") + ids + u')';
}

void checkAdapter(Context& c, const AdapterFacts& port) {
    const SerialAdapter& a = port.adapter;
    if (!port.access.exists) {
        c.add(QStringLiteral("adapter"), &port, DoctorLevel::Problem,
              QStringLiteral("no such device"),
              QStringLiteral("Check the path and that the adapter is plugged in."));
        return;
    }
    const QString where = a.slot.isEmpty() ? QStringLiteral("no USB slot in /dev/serial/by-path")
                                           : QStringLiteral("slot ") + a.slot;
    const QString detail = QStringLiteral("%1; %2").arg(where, makerText(a));
    if (!port.named && !a.manufacturer.contains(corvane::kAdapterMaker)) {
        c.add(QStringLiteral("adapter"), &port, DoctorLevel::Advice,
              detail + QStringLiteral("; the updater tries only adapters made by FTDI by itself"),
              QStringLiteral("Name it to use it: --port ") + a.device);
    } else {
        c.add(QStringLiteral("adapter"), &port, DoctorLevel::Ok, detail);
    }
}

QString permissionFix(const Context& c, const AdapterFacts& port) {
    const UserFacts& user = c.facts.user;
    const QString group = port.access.group;
    const QString join =
        QStringLiteral("sudo usermod -aG %1 %2, then log out and in again").arg(group, user.name);
    if (port.access.groupListsUser && !user.sessionGroups.contains(group)) {
        return QStringLiteral("Log out and in again: the membership of %1 applies to new logins "
                              "(or start a shell that has it: newgrp %1).")
            .arg(group);
    }
    // The package's rule covers FTDI adapters only.
    if (port.adapter.vendorId != QLatin1String(kFtdiVendor)) {
        return join + u'.';
    }
    if (!c.facts.udevRule.isEmpty() && c.facts.udevRuleGrantsAccess) {
        if (!port.udev.tags.contains(QLatin1String("uaccess"))) {
            return QStringLiteral("The udev rule %1 is installed, but the adapter was plugged in "
                                  "before it: unplug the adapter and plug it in again. Or join "
                                  "the group: %2.")
                .arg(c.facts.udevRule, join);
        }
        return QStringLiteral("The udev rule gives access only to the user logged in at this "
                              "machine's screen; for another login join the group: %1.")
            .arg(join);
    }
    return QStringLiteral("%1. Or install the corvane-updater package: its udev rule %2 gives "
                          "the logged-in user access to FTDI adapters (then replug the adapter).")
        .arg(join, QLatin1String(kUdevRuleName));
}

void deniedAccess(Context& c, const AdapterFacts& port) {
    const bool listed = port.access.groupListsUser;
    c.add(QStringLiteral("access"), &port, DoctorLevel::Problem,
          QStringLiteral("permission denied: the device belongs to group %1 (mode %2) and this "
                         "user (%3) %4")
              .arg(port.access.group)
              .arg(port.access.mode, 4, 8, QLatin1Char('0'))
              .arg(c.facts.user.name, listed ? QStringLiteral("joined it after logging in")
                                             : QStringLiteral("is not in it")),
          permissionFix(c, port));
}

void checkAccess(Context& c, const AdapterFacts& port) {
    if (!port.access.exists) {
        return;
    }
    const QString check = QStringLiteral("access");
    const UserFacts& user = c.facts.user;
    if (!port.probed) {
        // Held by another process: not opened, so only its permissions tell.
        if (port.access.permitted) {
            c.add(check, &port, DoctorLevel::Ok,
                  QStringLiteral("its permissions let this user open it (not opened while "
                                 "another process holds it)"));
        } else {
            deniedAccess(c, port);
        }
        return;
    }
    const OpenResult& r = port.probe.result;
    switch (r.error) {
    case OpenError::None:
        c.add(check, &port, DoctorLevel::Ok,
              user.root ? QStringLiteral("opens (as root)")
                        : QStringLiteral("this user (%1) can open it").arg(user.name));
        return;
    case OpenError::PermissionDenied:
        deniedAccess(c, port);
        return;
    case OpenError::Busy:
        c.add(check, &port, DoctorLevel::Problem,
              QStringLiteral("in use by a process this user cannot see (another user's)"),
              QStringLiteral("Close the program that uses it; sudo corvane-updater --doctor "
                             "names it."));
        return;
    case OpenError::StaleExclusive:
        c.add(check, &port, DoctorLevel::Problem,
              QStringLiteral("left marked for exclusive use by a program that was stopped"),
              QStringLiteral("Unplug the adapter and plug it in again."));
        return;
    case OpenError::NoSuchDevice:
    case OpenError::NotCharDevice:
    case OpenError::NotSerialPort:
    case OpenError::Other:
        c.add(check, &port, DoctorLevel::Problem, r.message,
              QStringLiteral("Name the unit's USB serial adapter, e.g. --port /dev/ttyUSB0."));
        return;
    }
}

void checkInUse(Context& c, const AdapterFacts& port) {
    if (!port.access.exists) {
        return;
    }
    std::vector<ProcessRef> holders = port.holders;
    for (const ProcessRef& p : port.lockHolders) {
        if (std::find(holders.begin(), holders.end(), p) == holders.end()) {
            holders.push_back(p);
        }
    }
    const QString check = QStringLiteral("in-use");
    if (holders.empty()) {
        c.add(check, &port, DoctorLevel::Ok,
              c.facts.user.root ? QStringLiteral("no other process has it open")
                                : QStringLiteral("none of this user's processes has it open, "
                                                 "nor holds its lock"));
        return;
    }
    const ProcessRef& first = holders.front();
    QString fix;
    if (first.name == QLatin1String("ModemManager")) {
        fix = QStringLiteral("ModemManager has it: stop it while programming (sudo systemctl "
                             "stop ModemManager), or install the package's udev rule %1 and "
                             "replug the adapter.")
                  .arg(QLatin1String(kUdevRuleName));
    } else if (first.name == QLatin1String("brltty")) {
        fix = QStringLiteral("brltty has claimed it: unless a braille display is used, sudo "
                             "apt-get remove brltty, then replug the adapter.");
    } else {
        fix = QStringLiteral("Close %1 or let it finish (to end it: kill %2), then run again.")
                  .arg(first.name.isEmpty() ? QStringLiteral("that program") : first.name)
                  .arg(first.pid);
    }
    c.add(check, &port, DoctorLevel::Problem, QStringLiteral("held by ") + pidList(holders), fix);
}

void checkLowLatency(Context& c, const AdapterFacts& port) {
    if (!port.probed || !port.probe.result.ok()) {
        return;
    }
    const QString check = QStringLiteral("low-latency");
    switch (port.probe.lowLatency) {
    case LowLatency::Granted:
        c.add(check, &port, DoctorLevel::Ok,
              QStringLiteral("the adapter grants its low-latency mode"));
        return;
    case LowLatency::PseudoTerminal:
        c.add(check, &port, DoctorLevel::Ok,
              QStringLiteral("a pseudo-terminal: no latency timer holds replies back"));
        return;
    case LowLatency::NotOffered:
    case LowLatency::Unknown:
        c.add(check, &port, DoctorLevel::Advice,
              QStringLiteral("the driver has no low-latency mode: replies may wait for its "
                             "batching"));
        return;
    case LowLatency::NotGranted: {
        const QString timer = port.latencyTimerMs >= 0
                                  ? QStringLiteral(" (%1 ms)").arg(port.latencyTimerMs)
                                  : QString();
        c.add(check, &port, DoctorLevel::Advice,
              QStringLiteral("not granted: every reply waits for the adapter's latency timer%1")
                  .arg(timer),
              port.adapter.latencyTimer.isEmpty()
                  ? QString()
                  : QStringLiteral("echo 1 | sudo tee %1 (holds until the adapter is replugged)")
                        .arg(port.adapter.latencyTimer));
        return;
    }
    }
}

QString modemManagerFix(const MachineFacts& facts) {
    if (!facts.udevRule.isEmpty() && facts.udevRuleIgnoresModemManager) {
        return QStringLiteral("The udev rule %1 tells ModemManager to leave FTDI adapters alone, "
                              "but this adapter was plugged in before it: unplug it and plug it "
                              "in again.")
            .arg(facts.udevRule);
    }
    return QStringLiteral("Install the corvane-updater package (its udev rule %1 tells "
                          "ModemManager to leave FTDI adapters alone) and replug the adapter, or "
                          "stop ModemManager while programming: sudo systemctl stop ModemManager.")
        .arg(QLatin1String(kUdevRuleName));
}

void checkModemManager(Context& c) {
    const MachineFacts& f = c.facts;
    const QString check = QStringLiteral("modemmanager");
    if (f.modemManager.empty()) {
        c.add(check, nullptr, DoctorLevel::Ok, QStringLiteral("ModemManager is not running"));
        return;
    }
    const QString runs = QStringLiteral("ModemManager runs (%1)").arg(pidList(f.modemManager));
    if (!f.udevRule.isEmpty() && f.udevRuleIgnoresModemManager) {
        c.add(check, nullptr, DoctorLevel::Ok,
              runs + QStringLiteral("; the udev rule %1 tells it to leave FTDI adapters alone")
                         .arg(f.udevRule));
    } else {
        c.add(check, nullptr, DoctorLevel::Problem,
              runs + QStringLiteral(" and nothing tells it to leave the adapters alone: it probes "
                                    "every new serial adapter with AT commands"),
              modemManagerFix(f));
    }
    for (const AdapterFacts& port : f.adapters) {
        if (!port.access.exists || !port.adapter.usb()) {
            continue;
        }
        if (!port.udev.found) {
            c.add(check, &port, DoctorLevel::Advice,
                  QStringLiteral("udev has no record of it: cannot tell whether ModemManager "
                                 "leaves it alone"),
                  QStringLiteral("Unplug the adapter and plug it in again."));
        } else if (port.udev.properties.value(QStringLiteral("ID_MM_DEVICE_IGNORE")) ==
                   QLatin1String("1")) {
            c.add(check, &port, DoctorLevel::Ok, QStringLiteral("ModemManager leaves it alone"));
        } else {
            c.add(check, &port, DoctorLevel::Problem,
                  QStringLiteral("ModemManager may open it and send AT commands to the unit"),
                  modemManagerFix(f));
        }
    }
}

void checkMachine(Context& c, const QStringList& firmwareDifferences) {
    const MachineFacts& f = c.facts;
    if (f.brltty.isEmpty()) {
        c.add(QStringLiteral("brltty"), nullptr, DoctorLevel::Ok,
              QStringLiteral("brltty is not installed"));
    } else {
        c.add(QStringLiteral("brltty"), nullptr, DoctorLevel::Advice,
              QStringLiteral("brltty is installed (%1%2); it claims some USB serial adapters "
                             "for braille displays")
                  .arg(f.brltty, f.brlttyRunning.empty()
                                     ? QString()
                                     : QStringLiteral(", ") + pidList(f.brlttyRunning)),
              QStringLiteral("Unless a braille display is used: sudo apt-get remove brltty."));
    }

    const QString rule = QStringLiteral("udev-rule");
    if (f.udevRule.isEmpty()) {
        c.add(rule, nullptr, DoctorLevel::Advice,
              QStringLiteral("%1 is not installed: the adapters need the dialout group, and "
                             "ModemManager is not told to leave them alone")
                  .arg(QLatin1String(kUdevRuleName)),
              QStringLiteral("Install the corvane-updater package, which adds it."));
    } else if (!f.udevRuleGrantsAccess || !f.udevRuleIgnoresModemManager) {
        c.add(rule, nullptr, DoctorLevel::Advice,
              QStringLiteral("%1 does not %2")
                  .arg(f.udevRule, !f.udevRuleGrantsAccess
                                       ? QStringLiteral("give the logged-in user access")
                                       : QStringLiteral("tell ModemManager to ignore the "
                                                        "adapters")),
              QStringLiteral("Reinstall the corvane-updater package (or remove a changed copy "
                             "in /etc/udev/rules.d)."));
    } else {
        c.add(rule, nullptr, DoctorLevel::Ok, QStringLiteral("%1 is installed").arg(f.udevRule));
    }

    if (firmwareDifferences.isEmpty()) {
        c.add(QStringLiteral("carried-firmware"), nullptr, DoctorLevel::Ok,
              QStringLiteral("the carried firmware matches the digests recorded at build time"));
    } else {
        c.add(QStringLiteral("carried-firmware"), nullptr, DoctorLevel::Problem,
              damagedProgramMessage(firmwareDifferences),
              QStringLiteral("Reinstall corvane-updater."));
    }
}

QString levelName(DoctorLevel level) {
    switch (level) {
    case DoctorLevel::Ok:
        return QStringLiteral("ok");
    case DoctorLevel::Advice:
        return QStringLiteral("advice");
    case DoctorLevel::Problem:
        return QStringLiteral("problem");
    }
    return {};
}

QByteArray json(const QString& text) {
    // A one-element array is the shortest way to Qt's string escaping.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray jsonOrNull(const QString& text) {
    return text.isEmpty() ? QByteArray("null") : json(text);
}

} // namespace

std::vector<DoctorFinding> doctorFindings(const MachineFacts& facts,
                                          const QStringList& firmwareDifferences) {
    std::vector<DoctorFinding> findings;
    Context c{facts, findings};
    if (facts.adapters.empty()) {
        QString fix = QStringLiteral("Plug in the unit's USB serial adapter and run the check "
                                     "again, or name the port: --port PATH.");
        if (!facts.brltty.isEmpty()) {
            fix += QStringLiteral(" brltty is installed and may have claimed the adapter: "
                                  "unless a braille display is used, sudo apt-get remove brltty, "
                                  "then replug it.");
        }
        c.add(QStringLiteral("adapters"), nullptr, DoctorLevel::Problem,
              QStringLiteral("no USB serial adapter found"), fix);
    }
    for (const AdapterFacts& port : facts.adapters) {
        checkAdapter(c, port);
        checkInUse(c, port);
        checkAccess(c, port);
        checkLowLatency(c, port);
    }
    checkModemManager(c);
    checkMachine(c, firmwareDifferences);
    return findings;
}

int doctorExitCode(const std::vector<DoctorFinding>& findings) {
    const bool blocked = std::any_of(findings.begin(), findings.end(), [](const DoctorFinding& f) {
        return f.level == DoctorLevel::Problem;
    });
    return blocked ? kDoctorProblemExitCode : 0;
}

QStringList doctorText(const std::vector<DoctorFinding>& findings) {
    QStringList lines;
    qsizetype problems = 0;
    for (const DoctorFinding& f : findings) {
        QString body = f.device.isEmpty() ? f.detail : f.device + QStringLiteral(": ") + f.detail;
        if (!f.fix.isEmpty()) {
            body += QStringLiteral(". Fix: ") + f.fix;
        }
        const QString level =
            f.level == DoctorLevel::Problem ? QStringLiteral("PROBLEM") : levelName(f.level);
        lines << QStringLiteral("%1 %2 %3").arg(level, -7).arg(f.check, -16).arg(body);
        problems += f.level == DoctorLevel::Problem ? 1 : 0;
    }
    lines << (problems == 0 ? QStringLiteral("Result: nothing stands in the way.")
                            : QStringLiteral("Result: %1 %2 in the way (exit code %3).")
                                  .arg(problems)
                                  .arg(problems == 1 ? QStringLiteral("problem stands")
                                                     : QStringLiteral("problems stand"))
                                  .arg(kDoctorProblemExitCode));
    return lines;
}

QList<QByteArray> doctorJson(const std::vector<DoctorFinding>& findings, const QString& version) {
    QList<QByteArray> lines;
    lines << R"({"type":"doctor","schema":1,"version":)" + json(version) + '}';
    qsizetype problems = 0;
    for (const DoctorFinding& f : findings) {
        lines << R"({"type":"finding","check":)" + json(f.check) + R"(,"device":)" +
                     jsonOrNull(f.device) + R"(,"slot":)" + jsonOrNull(f.slot) + R"(,"ok":)" +
                     (f.level == DoctorLevel::Problem ? "false" : "true") + R"(,"level":)" +
                     json(levelName(f.level)) + R"(,"detail":)" + json(f.detail) + R"(,"fix":)" +
                     json(f.fix) + '}';
        problems += f.level == DoctorLevel::Problem ? 1 : 0;
    }
    lines << R"({"type":"result","ok":)" + QByteArray(problems == 0 ? "true" : "false") +
                 R"(,"problems":)" + QByteArray::number(problems) + R"(,"exit_code":)" +
                 QByteArray::number(doctorExitCode(findings)) + '}';
    return lines;
}

int runDoctor(const QStringList& ports, bool asJson, const QString& version,
              const std::function<void(const QByteArray& line)>& sink) {
    std::function<void(const QByteArray&)> out = sink;
    if (!out) {
        out = [](const QByteArray& line) {
            std::printf("%s\n", line.constData());
            std::fflush(stdout);
        };
    }
    const SystemRoots roots;
    const MachineFacts facts = gatherMachineFacts(roots, ports, QLatin1String(kUdevRuleName),
                                                  currentUser(roots), probeSerialPort);
    const auto findings = doctorFindings(facts, verifyCarriedFirmware());
    if (asJson) {
        for (const QByteArray& line : doctorJson(findings, version)) {
            out(line);
        }
    } else {
        for (const QString& line : doctorText(findings)) {
            out(line.toLocal8Bit());
        }
    }
    return doctorExitCode(findings);
}

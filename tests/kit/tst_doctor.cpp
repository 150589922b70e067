// The doctor's findings from a machine's facts, and their text and JSON Lines forms.

#include "Doctor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <functional>

using namespace corvane;

Q_DECLARE_METATYPE(corvane::MachineFacts)

namespace {

const QString kTty = QStringLiteral("/dev/ttyUSB0");

// A machine where nothing stands in the way: one FTDI adapter that opens and grants its low
// latency, the package's udev rule installed, no ModemManager, no brltty.
AdapterFacts goodPort() {
    AdapterFacts a;
    a.adapter.device = kTty;
    a.adapter.name = QStringLiteral("ttyUSB0");
    a.adapter.devNumber = QStringLiteral("188:0");
    a.adapter.slot = QStringLiteral("usb-0:1.3");
    a.adapter.manufacturer = QStringLiteral("FTDI");
    a.adapter.product = QStringLiteral("FT232R USB UART");
    a.adapter.vendorId = QStringLiteral("0403");
    a.adapter.productId = QStringLiteral("6001");
    a.adapter.driver = QStringLiteral("ftdi_sio");
    a.adapter.latencyTimer = QStringLiteral("/sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
    a.access = {true, QStringLiteral("dialout"), 0660, true, true};
    a.probed = true;
    a.probe = {OpenResult{}, LowLatency::Granted};
    a.udev.found = true;
    a.udev.tags = {QStringLiteral("uaccess")};
    a.udev.properties.insert(QStringLiteral("ID_MM_DEVICE_IGNORE"), QStringLiteral("1"));
    a.latencyTimerMs = 1;
    return a;
}

MachineFacts goodMachine(std::vector<AdapterFacts> ports = {goodPort()}) {
    MachineFacts m;
    m.user = {QStringLiteral("jo"), false, {QStringLiteral("jo"), QStringLiteral("dialout")}};
    m.adapters = std::move(ports);
    m.udevRule = QStringLiteral("/usr/lib/udev/rules.d/70-corvane-updater.rules");
    m.udevRuleGrantsAccess = true;
    m.udevRuleIgnoresModemManager = true;
    return m;
}

MachineFacts with(std::function<void(MachineFacts&)> change, MachineFacts m = goodMachine()) {
    change(m);
    return m;
}

AdapterFacts& port(MachineFacts& m) {
    return m.adapters.front();
}

void denied(MachineFacts& m) {
    port(m).probe = {OpenResult{OpenError::PermissionDenied, QStringLiteral("Permission denied")},
                     LowLatency::Unknown};
    m.user.sessionGroups = {QStringLiteral("jo")};
    port(m).access.groupListsUser = false;
    port(m).access.permitted = false;
}

// Another process has the port open (or only its lock): the check does not open it.
std::function<void(MachineFacts&)> heldBy(ProcessRef holder, bool lockOnly = false) {
    return [holder, lockOnly](MachineFacts& m) {
        port(m).probed = false;
        (lockOnly ? port(m).lockHolders : port(m).holders) = {holder};
    };
}

QString level(DoctorLevel l) {
    switch (l) {
    case DoctorLevel::Ok:
        return QStringLiteral("ok");
    case DoctorLevel::Advice:
        return QStringLiteral("advice");
    case DoctorLevel::Problem:
        return QStringLiteral("problem");
    }
    return {};
}

// "check device level" per finding, "-" for the machine as a whole.
QStringList summary(const std::vector<DoctorFinding>& findings) {
    QStringList out;
    for (const DoctorFinding& f : findings) {
        out << QStringLiteral("%1 %2 %3")
                   .arg(f.check, f.device.isEmpty() ? QStringLiteral("-") : f.device,
                        level(f.level));
    }
    return out;
}

const QString kMachineOk = QStringLiteral("modemmanager - ok|brltty - ok|udev-rule - ok|"
                                          "carried-firmware - ok");

QStringList rows(const QString& portPart, const QString& machinePart = kMachineOk) {
    return (portPart + u'|' + machinePart).split(u'|', Qt::SkipEmptyParts);
}

} // namespace

class TestDoctor : public QObject {
    Q_OBJECT
private slots:
    void findings_data();
    void findings();
    void damagedProgram();
    void text();
    void json();
};

void TestDoctor::findings_data() {
    QTest::addColumn<MachineFacts>("facts");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("fixOf");    // "check" whose fix is looked at
    QTest::addColumn<QString>("fixHolds"); // text that fix contains; "=text": the whole fix
    const QString p = QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 ok|low-latency %1 ok");

    QTest::newRow("nothing in the way")
        << goodMachine() << rows(p.arg(kTty)) << QString() << QString();
    QTest::newRow("no adapter") << goodMachine({}) << rows(QStringLiteral("adapters - problem"))
                                << "adapters"
                                << "--port PATH";
    QTest::newRow("no adapter, brltty installed")
        << with([](MachineFacts& m) { m.brltty = QStringLiteral("/usr/bin/brltty"); },
                goodMachine({}))
        << rows(QStringLiteral("adapters - problem"),
                QStringLiteral("modemmanager - ok|brltty - advice|udev-rule - ok|"
                               "carried-firmware - ok"))
        << "adapters"
        << "apt-get remove brltty";
    QTest::newRow("not in the group")
        << with(denied)
        << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 problem").arg(kTty))
        << "access"
        << "usermod -aG dialout jo";
    QTest::newRow("joined the group after logging in") << with([](MachineFacts& m) {
        denied(m);
        port(m).access.groupListsUser = true;
    }) << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 problem").arg(kTty))
                                                       << "access"
                                                       << "Log out and in again";
    QTest::newRow("rule installed after the adapter was plugged in")
        << with([](MachineFacts& m) {
               denied(m);
               port(m).udev.tags.clear();
           })
        << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 problem").arg(kTty))
        << "access"
        << "unplug the adapter and plug it in again";
    QTest::newRow("rule not installed")
        << with([](MachineFacts& m) {
               denied(m);
               m.udevRule.clear();
               m.udevRuleGrantsAccess = m.udevRuleIgnoresModemManager = false;
           })
        << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 problem").arg(kTty),
                QStringLiteral("modemmanager - ok|brltty - ok|udev-rule - advice|"
                               "carried-firmware - ok"))
        << "access"
        << "install the corvane-updater package";
    QTest::newRow("another maker's adapter, not in the group")
        << with([](MachineFacts& m) {
               denied(m);
               port(m).named = true;
               port(m).adapter.vendorId = QStringLiteral("2341");
               port(m).adapter.manufacturer = QStringLiteral("Arduino");
           })
        << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 problem").arg(kTty))
        << "access"
        << "=sudo usermod -aG dialout jo, then log out and in again.";
    const QString held = QStringLiteral("adapter %1 ok|in-use %1 problem|access %1 ok").arg(kTty);
    QTest::newRow("held by minicom")
        << with(heldBy({4242, QStringLiteral("minicom")})) << rows(held) << "in-use"
        << "kill 4242";
    QTest::newRow("held by minicom, not open to this user") << with([](MachineFacts& m) {
        denied(m);
        heldBy({4242, QStringLiteral("minicom")})(m);
    }) << rows(QStringLiteral("adapter %1 ok|in-use %1 problem|access %1 problem").arg(kTty))
                                                            << "access"
                                                            << "usermod -aG dialout jo";
    QTest::newRow("locked by another updater")
        << with(heldBy({77, QStringLiteral("corvane-updater")}, true)) << rows(held) << "in-use"
        << "Close corvane-updater";
    QTest::newRow("held by ModemManager")
        << with(heldBy({90, QStringLiteral("ModemManager")})) << rows(held) << "in-use"
        << "systemctl stop ModemManager";
    QTest::newRow("exclusive open by another user") << with([](MachineFacts& m) {
        port(m).probe.result = {OpenError::Busy, QStringLiteral("busy")};
    }) << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 problem").arg(kTty))
                                                    << "access"
                                                    << "sudo corvane-updater --doctor";
    QTest::newRow("stale exclusive mark") << with([](MachineFacts& m) {
        port(m).probe.result = {OpenError::StaleExclusive, QStringLiteral("stale")};
    }) << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 problem").arg(kTty))
                                          << "access"
                                          << "Unplug the adapter";
    QTest::newRow("named port that does not exist") << with([](MachineFacts& m) {
        port(m).named = true;
        port(m).probed = false;
        port(m).access = {};
    }) << rows(QStringLiteral("adapter %1 problem").arg(kTty))
                                                    << "adapter"
                                                    << "plugged in";
    QTest::newRow("low latency not granted")
        << with([](MachineFacts& m) {
               port(m).probe.lowLatency = LowLatency::NotGranted;
               port(m).latencyTimerMs = 16;
           })
        << rows(QStringLiteral("adapter %1 ok|in-use %1 ok|access %1 ok|low-latency %1 advice")
                    .arg(kTty))
        << "low-latency"
        << "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
    QTest::newRow("another maker's adapter, not named")
        << with([](MachineFacts& m) { port(m).adapter.manufacturer = QStringLiteral("Arduino"); })
        << rows(QStringLiteral("adapter %1 advice|in-use %1 ok|access %1 ok|low-latency %1 ok")
                    .arg(kTty))
        << "adapter"
        << "--port /dev/ttyUSB0";
    QTest::newRow("ModemManager runs, rule installed, adapter ignored")
        << with([](MachineFacts& m) {
               m.modemManager = {{100, QStringLiteral("ModemManager")}};
           })
        << rows(p.arg(kTty), QStringLiteral("modemmanager - ok|modemmanager %1 ok|brltty - ok|"
                                            "udev-rule - ok|carried-firmware - ok")
                                 .arg(kTty))
        << QString() << QString();
    QTest::newRow("ModemManager runs, adapter plugged in before the rule")
        << with([](MachineFacts& m) {
               m.modemManager = {{100, QStringLiteral("ModemManager")}};
               port(m).udev.properties.clear();
           })
        << rows(p.arg(kTty), QStringLiteral("modemmanager - ok|modemmanager %1 problem|"
                                            "brltty - ok|udev-rule - ok|carried-firmware - ok")
                                 .arg(kTty))
        << "modemmanager"
        << "unplug it and plug it in again";
    QTest::newRow("ModemManager runs, no rule")
        << with([](MachineFacts& m) {
               m.modemManager = {{100, QStringLiteral("ModemManager")}};
               port(m).udev.properties.clear();
               m.udevRule.clear();
               m.udevRuleGrantsAccess = m.udevRuleIgnoresModemManager = false;
           })
        << rows(p.arg(kTty), QStringLiteral("modemmanager - problem|modemmanager %1 problem|"
                                            "brltty - ok|udev-rule - advice|"
                                            "carried-firmware - ok")
                                 .arg(kTty))
        << "modemmanager"
        << "sudo systemctl stop ModemManager";
    QTest::newRow("rule changed in /etc")
        << with([](MachineFacts& m) {
               m.udevRule = QStringLiteral("/etc/udev/rules.d/70-corvane-updater.rules");
               m.udevRuleIgnoresModemManager = false;
           })
        << rows(p.arg(kTty), QStringLiteral("modemmanager - ok|brltty - ok|udev-rule - advice|"
                                            "carried-firmware - ok"))
        << "udev-rule"
        << "Reinstall the corvane-updater package";
}

void TestDoctor::findings() {
    QFETCH(MachineFacts, facts);
    QFETCH(QStringList, expected);
    QFETCH(QString, fixOf);
    QFETCH(QString, fixHolds);
    const auto found = doctorFindings(facts, {});
    QCOMPARE(summary(found), expected);
    const bool problem = expected.join(u'|').contains(QLatin1String("problem"));
    QCOMPARE(doctorExitCode(found), problem ? kDoctorProblemExitCode : 0);
    for (const DoctorFinding& f : found) {
        // A finding that stands in the way always says what to do.
        if (f.level == DoctorLevel::Problem) {
            QVERIFY2(!f.fix.isEmpty(), qPrintable(f.check));
        }
        if (f.check == fixOf && f.level != DoctorLevel::Ok) {
            if (fixHolds.startsWith(u'=')) {
                QCOMPARE(f.fix, fixHolds.mid(1));
            } else {
                QVERIFY2(f.fix.contains(fixHolds), qPrintable(f.fix));
            }
        }
    }
    if (!fixOf.isEmpty()) {
        QVERIFY(std::any_of(found.begin(), found.end(),
                            [&](const DoctorFinding& f) { return f.check == fixOf; }));
    }
}

void TestDoctor::damagedProgram() {
    const auto found =
        doctorFindings(goodMachine(), {QStringLiteral("HFILE_2 (CPU-2 RM5103 v2.32): differs")});
    QCOMPARE(summary(found).constLast(), QStringLiteral("carried-firmware - problem"));
    QVERIFY(found.back().detail.contains(QStringLiteral("damaged")));
    QVERIFY(found.back().detail.contains(QStringLiteral("HFILE_2")));
    QCOMPARE(doctorExitCode(found), kDoctorProblemExitCode);
}

void TestDoctor::text() {
    MachineFacts m = goodMachine();
    denied(m);
    const auto found = doctorFindings(m, {});
    const QStringList lines = doctorText(found);
    QCOMPARE(lines.size(), qsizetype(found.size()) + 1);
    for (const QString& line : lines) {
        QVERIFY2(!line.contains(u'\n') && !line.contains(u'\r'), qPrintable(line));
    }
    const QString access = lines.at(2);
    QVERIFY2(access.startsWith(QStringLiteral("PROBLEM access")), qPrintable(access));
    QVERIFY2(access.contains(QStringLiteral("/dev/ttyUSB0: permission denied")),
             qPrintable(access));
    QVERIFY2(access.contains(QStringLiteral("mode 0660")), qPrintable(access));
    QVERIFY2(access.contains(QStringLiteral(". Fix: ")), qPrintable(access));
    QVERIFY2(access.contains(QStringLiteral("sudo usermod -aG dialout jo")), qPrintable(access));
    QCOMPARE(lines.constLast(),
             QStringLiteral("Result: 1 problem stands in the way (exit code 9)."));
    QCOMPARE(doctorText(doctorFindings(goodMachine(), {})).constLast(),
             QStringLiteral("Result: nothing stands in the way."));
}

void TestDoctor::json() {
    MachineFacts m = goodMachine();
    denied(m);
    m.brltty = QStringLiteral("/usr/bin/brltty \"x\"");
    const auto found = doctorFindings(m, {});
    const QList<QByteArray> lines = doctorJson(found, QStringLiteral("1.4.2.87"));
    QCOMPARE(lines.size(), qsizetype(found.size()) + 2);
    QCOMPARE(lines.first(),
             QByteArray("{\"type\":\"doctor\",\"schema\":1,\"version\":\"1.4.2.87\"}"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(lines[i], &error);
        QVERIFY2(error.error == QJsonParseError::NoError && doc.isObject(), lines[i].constData());
        const QJsonObject o = doc.object();
        if (i == 0 || i == lines.size() - 1) {
            continue;
        }
        const DoctorFinding& f = found[static_cast<std::size_t>(i - 1)];
        QCOMPARE(o.value(QStringLiteral("type")).toString(), QStringLiteral("finding"));
        QCOMPARE(o.value(QStringLiteral("check")).toString(), f.check);
        QCOMPARE(o.value(QStringLiteral("ok")).toBool(), f.level != DoctorLevel::Problem);
        QCOMPARE(o.value(QStringLiteral("detail")).toString(), f.detail);
        QCOMPARE(o.value(QStringLiteral("fix")).toString(), f.fix);
        QCOMPARE(o.value(QStringLiteral("device")).isNull(), f.device.isEmpty());
        QCOMPARE(o.value(QStringLiteral("device")).toString(), f.device);
        QCOMPARE(o.value(QStringLiteral("slot")).toString(), f.slot);
    }
    const QJsonObject result = QJsonDocument::fromJson(lines.constLast()).object();
    QCOMPARE(result.value(QStringLiteral("type")).toString(), QStringLiteral("result"));
    QCOMPARE(result.value(QStringLiteral("ok")).toBool(), false);
    QCOMPARE(result.value(QStringLiteral("problems")).toInt(), 1);
    QCOMPARE(result.value(QStringLiteral("exit_code")).toInt(), kDoctorProblemExitCode);
}

QTEST_GUILESS_MAIN(TestDoctor)
#include "tst_doctor.moc"

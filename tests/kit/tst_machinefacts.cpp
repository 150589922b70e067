// The facts --doctor gathers: sysfs, /dev/serial/by-path, the udev database, /proc and the
// group file laid out in a temporary folder, and /proc itself with real pseudo-terminals held
// by other processes.

#include "FakeMachine.h"
#include "Pty.h"

#include "platform/MachineFacts.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

using namespace corvane;
using namespace corvane::test;

namespace {

const QString kRule = QStringLiteral("70-corvane-updater.rules");

UserFacts jo() {
    return {QStringLiteral("jo"), false, {QStringLiteral("jo"), QStringLiteral("plugdev")}};
}

// A prober that opens nothing: it notes the ports it was asked about.
struct RecordingProber {
    QStringList* asked;
    OpenProbe operator()(const QString& device) const {
        *asked << device;
        return {OpenResult{}, LowLatency::NotGranted};
    }
};

const AdapterFacts* find(const MachineFacts& facts, const QString& name) {
    const auto it = std::find_if(facts.adapters.begin(), facts.adapters.end(),
                                 [&](const AdapterFacts& a) { return a.adapter.name == name; });
    return it == facts.adapters.end() ? nullptr : &*it;
}

QByteArray ruleFile() {
    QFile f(QStringLiteral(CORVANE_PACKAGING_DIR "/70-corvane-updater.rules"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestMachineFacts : public QObject {
    Q_OBJECT
private slots:
    void slotFromByPath_data();
    void slotFromByPath();
    void udevRecord();
    void desktopAdapters();
    void desktopMachine();
    void namedPortsFirstAndOnce();
    void ruleHiddenByChangedCopy();
    void emptyMachine();
    void packagedUdevRule();
    void realPtyHeldByAnotherProcess();
    void realPtyLockedByAnotherProcess();
};

void TestMachineFacts::slotFromByPath_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("slot");
    QTest::newRow("ftdi behind a hub") << "pci-0000:00:14.0-usb-0:1.3:1.0-port0"
                                       << "usb-0:1.3";
    QTest::newRow("usbv2 link") << "pci-0000:00:14.0-usbv2-0:1.3:1.0-port0"
                                << "usb-0:1.3";
    QTest::newRow("acm, no port suffix") << "pci-0000:00:14.0-usb-0:2:1.0"
                                         << "usb-0:2";
    QTest::newRow("second bus, deep hub") << "pci-0000:03:00.0-usb-1:4.2.1:1.0-port0"
                                          << "usb-1:4.2.1";
    QTest::newRow("arm platform controller") << "platform-xhci-hcd.0-usb-0:1:1.0-port0"
                                             << "usb-0:1";
    QTest::newRow("second interface") << "pci-0000:00:14.0-usb-0:5:1.1-port0"
                                      << "usb-0:5";
    QTest::newRow("not usb") << "platform-serial8250-serial0"
                             << "";
    QTest::newRow("usb without interface") << "pci-0000:00:14.0-usb-0:1.3"
                                           << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestMachineFacts::slotFromByPath() {
    QFETCH(QString, link);
    QFETCH(QString, slot);
    QCOMPARE(corvane::slotFromByPath(link), slot);
}

void TestMachineFacts::udevRecord() {
    FakeMachine m;
    m.file(QStringLiteral("/run/udev/data/c188:3"),
           "S:serial/by-path/x\nE:ID_MM_DEVICE_IGNORE=1\nE:EMPTY=\nG:uaccess\nQ:uaccess\nQ:seat\n"
           "E:=nokey\nG:\n");
    const UdevRecord r = readUdevRecord(m.roots().udevData, QStringLiteral("188:3"));
    QVERIFY(r.found);
    QCOMPARE(r.tags, (QStringList{QStringLiteral("uaccess"), QStringLiteral("seat")}));
    QCOMPARE(r.properties.value(QStringLiteral("ID_MM_DEVICE_IGNORE")), QStringLiteral("1"));
    QVERIFY(r.properties.contains(QStringLiteral("EMPTY")));
    QCOMPARE(r.properties.size(), 2);
    QVERIFY(!readUdevRecord(m.roots().udevData, QStringLiteral("188:4")).found);
    QVERIFY(!readUdevRecord(m.roots().udevData, QString()).found);
}

void TestMachineFacts::desktopAdapters() {
    FakeMachine m;
    QVERIFY(m.isValid());
    m.layDesktop();
    QStringList asked;
    const MachineFacts f = gatherMachineFacts(m.roots(), {}, kRule, jo(), RecordingProber{&asked});

    // The two USB adapters in path order; the platform UART and the console are not adapters.
    QCOMPARE(f.adapters.size(), std::size_t{2});
    QCOMPARE(f.adapters[0].adapter.name, QStringLiteral("ttyACM0"));
    QCOMPARE(f.adapters[1].adapter.name, QStringLiteral("ttyUSB0"));

    const AdapterFacts& ftdi = *find(f, QStringLiteral("ttyUSB0"));
    QCOMPARE(ftdi.adapter.device, m.path(QStringLiteral("/dev/ttyUSB0")));
    QCOMPARE(ftdi.adapter.slot, QStringLiteral("usb-0:1.3"));
    QCOMPARE(ftdi.adapter.byPath, QStringLiteral("pci-0000:00:14.0-usb-0:1.3:1.0-port0"));
    QCOMPARE(ftdi.adapter.devNumber, QStringLiteral("188:0"));
    QCOMPARE(ftdi.adapter.manufacturer, QStringLiteral("FTDI"));
    QCOMPARE(ftdi.adapter.product, QStringLiteral("FT232R USB UART"));
    QCOMPARE(ftdi.adapter.serialNumber, QStringLiteral("A10K1234"));
    QCOMPARE(ftdi.adapter.vendorId + u':' + ftdi.adapter.productId, QStringLiteral("0403:6001"));
    QCOMPARE(ftdi.adapter.driver, QStringLiteral("ftdi_sio"));
    QCOMPARE(ftdi.latencyTimerMs, 16);
    QVERIFY(ftdi.udev.found);
    QVERIFY(ftdi.udev.tags.contains(QStringLiteral("uaccess")));
    QCOMPARE(ftdi.udev.properties.value(QStringLiteral("ID_MM_DEVICE_IGNORE")),
             QStringLiteral("1"));
    QVERIFY(ftdi.access.exists);
    QCOMPARE(ftdi.access.group, QStringLiteral("dialout"));
    QVERIFY(ftdi.access.groupListsUser);
    QVERIFY(ftdi.access.permitted);
    QVERIFY(ftdi.holders.empty());
    QCOMPARE(ftdi.lockHolders, (std::vector<ProcessRef>{{300, QStringLiteral("corvane-updater")}}));

    const AdapterFacts& acm = *find(f, QStringLiteral("ttyACM0"));
    QCOMPARE(acm.adapter.slot, QStringLiteral("usb-0:2"));
    QCOMPARE(acm.adapter.manufacturer, QStringLiteral("Arduino (www.arduino.cc)"));
    QCOMPARE(acm.adapter.driver, QStringLiteral("cdc_acm"));
    QVERIFY(acm.adapter.latencyTimer.isEmpty());
    QCOMPARE(acm.latencyTimerMs, -1);
    QVERIFY(acm.udev.found);
    QVERIFY(!acm.udev.properties.contains(QStringLiteral("ID_MM_DEVICE_IGNORE")));
    QCOMPARE(acm.holders, (std::vector<ProcessRef>{{200, QStringLiteral("minicom")}}));

    // A port someone holds is not opened for the check.
    QVERIFY(!ftdi.probed);
    QVERIFY(!acm.probed);
    QVERIFY(asked.isEmpty());
}

void TestMachineFacts::desktopMachine() {
    FakeMachine m;
    m.layDesktop();
    m.file(QStringLiteral("/usr/lib/udev/rules.d/") + kRule, ruleFile());
    const MachineFacts f = gatherMachineFacts(m.roots(), {}, kRule, jo(), {});
    QCOMPARE(f.user.name, QStringLiteral("jo"));
    QCOMPARE(f.modemManager, (std::vector<ProcessRef>{{100, QStringLiteral("ModemManager")}}));
    QVERIFY(f.brlttyRunning.empty());
    QCOMPARE(f.brltty, m.path(QStringLiteral("/usr/bin/brltty")));
    QCOMPARE(f.udevRule, m.path(QStringLiteral("/usr/lib/udev/rules.d/") + kRule));
    QVERIFY(f.udevRuleGrantsAccess);
    QVERIFY(f.udevRuleIgnoresModemManager);
}

void TestMachineFacts::namedPortsFirstAndOnce() {
    FakeMachine m;
    m.layDesktop();
    m.file(QStringLiteral("/dev/ttyX"), {});
    const QString byPath =
        m.path(QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0"));
    const QString other = m.path(QStringLiteral("/dev/ttyX"));
    const QString missing = m.path(QStringLiteral("/dev/ttyUSB7"));
    QStringList asked;
    const MachineFacts f = gatherMachineFacts(m.roots(), {byPath, other, missing}, kRule, jo(),
                                              RecordingProber{&asked});
    QCOMPARE(f.adapters.size(), std::size_t{4});
    // The FTDI adapter named through its by-path link: as named, described in full, not listed
    // a second time among the adapters found.
    QVERIFY(f.adapters[0].named);
    QCOMPARE(f.adapters[0].adapter.device, byPath);
    QCOMPARE(f.adapters[0].adapter.name, QStringLiteral("ttyUSB0"));
    QCOMPARE(f.adapters[0].adapter.slot, QStringLiteral("usb-0:1.3"));
    QCOMPARE(f.adapters[0].adapter.vendorId, QStringLiteral("0403"));
    // A node sysfs does not know: its path only, and it is opened for the check.
    QVERIFY(f.adapters[1].named);
    QVERIFY(f.adapters[1].access.exists);
    QVERIFY(!f.adapters[1].adapter.usb());
    QVERIFY(f.adapters[1].adapter.slot.isEmpty());
    QVERIFY(f.adapters[1].probed);
    QCOMPARE(f.adapters[1].probe.lowLatency, LowLatency::NotGranted);
    // A node that does not exist is neither opened nor looked for in /proc.
    QVERIFY(!f.adapters[2].access.exists);
    QVERIFY(!f.adapters[2].probed);
    QCOMPARE(f.adapters[3].adapter.name, QStringLiteral("ttyACM0"));
    QVERIFY(!f.adapters[3].named);
    QCOMPARE(asked, QStringList{other});
}

void TestMachineFacts::ruleHiddenByChangedCopy() {
    FakeMachine m;
    m.file(QStringLiteral("/usr/lib/udev/rules.d/") + kRule, ruleFile());
    // A copy in /etc hides the package's file; this one keeps the lines only as comments.
    QByteArray commented;
    for (const QByteArray& line : ruleFile().split('\n')) {
        commented += "# " + line + '\n';
    }
    m.file(QStringLiteral("/etc/udev/rules.d/") + kRule, commented);
    const MachineFacts f = gatherMachineFacts(m.roots(), {}, kRule, jo(), {});
    QCOMPARE(f.udevRule, m.path(QStringLiteral("/etc/udev/rules.d/") + kRule));
    QVERIFY(!f.udevRuleGrantsAccess);
    QVERIFY(!f.udevRuleIgnoresModemManager);
}

void TestMachineFacts::emptyMachine() {
    FakeMachine m;
    QStringList asked;
    const MachineFacts f = gatherMachineFacts(m.roots(), {}, kRule, jo(), RecordingProber{&asked});
    QVERIFY(f.adapters.empty());
    QVERIFY(f.modemManager.empty());
    QVERIFY(f.brltty.isEmpty());
    QVERIFY(f.udevRule.isEmpty());
    QVERIFY(asked.isEmpty());
}

void TestMachineFacts::packagedUdevRule() {
    // uaccess is applied by 73-seat-late.rules: the tag must be set by a file that sorts first.
    QVERIFY(kRule < QStringLiteral("73-seat-late.rules"));
    const QByteArray rules = ruleFile();
    QVERIFY(!rules.isEmpty());
    // Each rule line: comma-separated KEY{attr} op "value" pairs, as udev reads them.
    static const QRegularExpression pair(QStringLiteral(
        "^\\s*[A-Z_]+(\\{[A-Za-z0-9_]+\\})?\\s*(==|!=|=|\\+=|-=|:=)\\s*\"[^\"]*\"\\s*$"));
    int rulesSeen = 0;
    bool tagsFtdiOnly = true;
    for (const QByteArray& raw : rules.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) {
            continue;
        }
        ++rulesSeen;
        for (const QString& p : line.split(u',')) {
            QVERIFY2(pair.match(p).hasMatch(), qPrintable(line));
        }
        if (line.contains(QLatin1String("TAG+=\"uaccess\"")) ||
            line.contains(QLatin1String("ID_MM_DEVICE_IGNORE"))) {
            tagsFtdiOnly = tagsFtdiOnly && line.contains(QLatin1String("{idVendor}==\"0403\""));
        }
    }
    QVERIFY(rulesSeen >= 2);
    QVERIFY(tagsFtdiOnly);
    // The doctor reads it as giving access and quieting ModemManager.
    FakeMachine m;
    m.file(QStringLiteral("/usr/lib/udev/rules.d/") + kRule, rules);
    const MachineFacts f = gatherMachineFacts(m.roots(), {}, kRule, jo(), {});
    QVERIFY(f.udevRuleGrantsAccess);
    QVERIFY(f.udevRuleIgnoresModemManager);
}

void TestMachineFacts::realPtyHeldByAnotherProcess() {
    corvane::testsupport::Pty pty(false);
    QVERIFY(pty.isValid());
    QProcess holder;
    holder.setStandardInputFile(pty.slavePath());
    holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(holder.waitForStarted(5000));
    const auto identity = FileIdentity::of(pty.slavePath());
    QVERIFY(identity && identity->charDevice);
    const ProcessRef expected{holder.processId(), QStringLiteral("sleep")};
    QCOMPARE(processesHolding(QStringLiteral("/proc"), *identity),
             std::vector<ProcessRef>{expected});

    QStringList asked;
    const SystemRoots real;
    const MachineFacts f = gatherMachineFacts(real, {pty.slavePath()}, kRule, currentUser(real),
                                              RecordingProber{&asked});
    QVERIFY(!f.adapters.empty());
    QCOMPARE(f.adapters[0].adapter.device, pty.slavePath());
    QCOMPARE(f.adapters[0].holders, std::vector<ProcessRef>{expected});
    QVERIFY(!asked.contains(pty.slavePath()));
    holder.kill();
    QVERIFY(holder.waitForFinished(5000));
    QVERIFY(processesHolding(QStringLiteral("/proc"), *identity).empty());
}

void TestMachineFacts::realPtyLockedByAnotherProcess() {
    corvane::testsupport::Pty pty(false);
    QVERIFY(pty.isValid());
    QProcess holder;
    holder.start(QStringLiteral("flock"),
                 {pty.slavePath(), QStringLiteral("-c"), QStringLiteral("echo locked; cat")});
    QVERIFY(holder.waitForStarted(5000));
    QVERIFY(holder.waitForReadyRead(10000));
    const auto identity = FileIdentity::of(pty.slavePath());
    QVERIFY(identity);
    const auto pids = lockHolders(QStringLiteral("/proc"), identity->dev, identity->ino);
    QVERIFY(pids);
    QCOMPARE(*pids, std::vector<qint64>{holder.processId()});
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));
    QVERIFY(lockHolders(QStringLiteral("/proc"), identity->dev, identity->ino)->empty());
}

QTEST_GUILESS_MAIN(TestMachineFacts)
#include "tst_machinefacts.moc"

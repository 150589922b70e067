// Sub-processor status faults end to end: corrupt data, a status that never has news, and a
// status that stays busy at one address. Each ends the run with its line and the Quit button.

#include "UpgradeRig.h"
#include "support/Scenarios.h"

#include "main.h"

#include <QTest>

using namespace corvane::e2e;
namespace sim = corvane::sim;

Q_DECLARE_METATYPE(std::vector<RequestKind>)

namespace {

// CPU-1 and the HMI up to date; CPU-2 out of date.
sim::Scenario cpu2Only() {
    const sim::CarriedFirmware& c = corvane::test::carried();
    sim::Scenario s;
    s.cpu1.version = c.version[1];
    s.hmi.version = c.version[3];
    return s;
}

qsizetype countOf(const std::vector<RequestKind>& kinds, RequestKind kind) {
    return std::count(kinds.begin(), kinds.end(), kind);
}

} // namespace

class TestE2eFaults : public QObject {
    Q_OBJECT
private slots:
    void statusFaultEndsTheRun_data();
    void statusFaultEndsTheRun();
};

void TestE2eFaults::statusFaultEndsTheRun_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("tail");
    QTest::addColumn<int>("bootCommands"); // boot-mode, erase and programming commands sent
    QTest::addColumn<int>("minStatusReads");

    const QString enabling = QStringLiteral("Enabling CPU-2 Boot Mode......");
    const QString sending = QStringLiteral("Sending New Firmware for CPU-2......");
    const QString terminated = QStringLiteral("Error detected. Terminating upgrade.");

    // The first window command is the boot-mode command, the second the erase.
    QTest::newRow("corrupt data at the erase")
        << QStringLiteral("corrupt-status:fn104-command,after=1")
        << QStringList{enabling + "Done", sending, "Erasing CPU-2......Data Corrupt"} << 2 << 2;
    // Step 11 sends the command again with every poll: 100 commands, 100 reads.
    QTest::newRow("no news entering boot mode") << QStringLiteral("no-news:fn104-command")
                                                << QStringList{enabling, terminated} << 100 << 100;
    // Steps 14 polls without a pause: 100 reads after the erase command.
    QTest::newRow("no news while erasing")
        << QStringLiteral("no-news:fn104-command,after=1")
        << QStringList{enabling + "Done", sending, "Erasing CPU-2......", terminated} << 2 << 101;
    // Busy at one address: ended by the stuck-status limit (shortened for the test).
    QTest::newRow("stuck busy while programming")
        << QStringLiteral("stuck-busy:fn104-command,after=2")
        << QStringList{enabling + "Done", sending, "Erasing CPU-2......OK",
                       "Reprogramming CPU-2......", terminated}
        << 3 << 6;
}

void TestE2eFaults::statusFaultEndsTheRun() {
    QFETCH(QString, fault);
    QFETCH(QStringList, tail);
    QFETCH(int, bootCommands);
    QFETCH(int, minStatusReads);

    sim::FaultPlan plan;
    plan.faults.push_back(*sim::parseFault(fault));
    UpgradeRig rig(cpu2Only(), plan);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    const QByteArray cpu2Before = rig.flashRange(2);

    QVERIFY(rig.load(90000));
    const QStringList lines = rig.lines();
    QCOMPARE(lines.first(), QStringLiteral("CPU-1 Firmware Up To Date."));
    QCOMPARE(lines.mid(1), tail);
    QVERIFY(form.Quit_Button2->isEnabled());
    QCOMPARE(form.focusWidget(), static_cast<QWidget*>(form.Quit_Button2));
    QCOMPARE(form.engine().pollcnt, 0);

    // The run stopped where the fault struck: the HMI was left alone, the unit not restarted.
    const std::vector<RequestKind> kinds = rig.kindsSinceLoad();
    QCOMPARE(countOf(kinds, RequestKind::Fn104Command), qsizetype(bootCommands));
    QVERIFY(countOf(kinds, RequestKind::ModbusRead) >= minStatusReads);
    QCOMPARE(countOf(kinds, RequestKind::Fn103), qsizetype(1)); // upgrade mode only
    QVERIFY(!rig.unit().summary().restartSeen);
    QVERIFY(!rig.unit().summary().processors[2].holdsCarriedImage);
    if (!lines.contains(QStringLiteral("Erasing CPU-2......OK"))) {
        QVERIFY(rig.flashRange(2) == cpu2Before);
    }
    QVERIFY(rig.closeWindow());
}

QTEST_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"

// A run that leaves a processor without the carried firmware must say so and never exit 0:
// verification after the restart, discovery's retries, the unattended run's contract, the
// re-read after CPU-1's restart, the overall limit of a sub-processor stage, and an exception
// escaping a step. The engine, unattended or in the real window offscreen, against the simulated
// unit on a pseudo-terminal.

#include "UpgradeRig.h"

#include "support/Scenarios.h"

#include "SmoothControls.h"
#include "main.h"

#include <QElapsedTimer>
#include <QTest>

using namespace corvane::e2e;
using corvane::test::carried;
using corvane::test::faults;
namespace sim = corvane::sim;

Q_DECLARE_METATYPE(corvane::sim::Scenario)

namespace {

QString rmVersion(std::uint16_t rm, std::uint16_t version) {
    return QStringLiteral("RM%1 v%2.%3")
        .arg(rm, 4, 10, QLatin1Char('0'))
        .arg(version / 100)
        .arg(version % 100, 2, 10, QLatin1Char('0'));
}

struct Outcome {
    int exitCode = -1;
    QStringList output;
    QStringList lines; // the progress list at the end
};

Outcome runUnattended(UpgradeRig& rig, int timeoutMs = 120000) {
    const UnattendedRun run = rig.runUnattended(EngineMode::Auto, 60000, timeoutMs);
    return {run.exitCode, run.output, run.lines};
}

RigOptions unattended() {
    RigOptions o;
    o.answerModals = false;
    return o;
}

bool holdsCarried(UpgradeRig& rig, int n) {
    return rig.flashRange(n) == rig.carriedRange(n);
}

} // namespace

class TestE2eOutcome : public QObject {
    Q_OBJECT
private slots:
    void verifiesAfterTheRestart_data();
    void verifiesAfterTheRestart();
    void lateStatusReplyNeverEndsInSuccess();
    void discoveryRetriesTheOtherNumbers();
    void unattendedContract_data();
    void unattendedContract();
    void rereadFailureAfterCpu1RestartEndsTheRun();
    void cyclingBusyStatusMeetsTheStageLimit();
    void stageLimitFollowsTheRange();
    void exceptionInAStepEndsAtQuit();
    void powerDipIsNamedAndRecovered_data();
    void powerDipIsNamedAndRecovered();
};

void TestE2eOutcome::verifiesAfterTheRestart_data() {
    QTest::addColumn<bool>("keepsVersion");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<QString>("result");
    const sim::CarriedFirmware& c = carried();
    const QString report = QStringLiteral("CPU-2 reports %1, expected %2")
                               .arg(rmVersion(c.rm[2], 100), rmVersion(c.rm[2], c.version[2]));
    QTest::newRow("programmed and verified") << false << true << 0 << "Verifying Firmware......OK"
                                             << "Result: upgrade complete.";
    QTest::newRow("CPU-2 keeps its old version")
        << true << true << 1 << report << "Result: the upgrade failed: " + report;
    // --no-verify: the run ends with the restart and cannot know.
    QTest::newRow("not verified") << true << false << 0 << "Restarting System....Done"
                                  << "Result: upgrade complete.";
}

void TestE2eOutcome::verifiesAfterTheRestart() {
    QFETCH(bool, keepsVersion);
    QFETCH(bool, verify);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    QFETCH(QString, result);
    sim::Scenario s = corvane::test::upToDate();
    s.cpu2.version = 100;
    s.cpu2.keepsVersion = keepsVersion;
    RigOptions options = unattended();
    options.verify = verify;
    UpgradeRig rig(s, {}, options);
    const Outcome out = runUnattended(rig);
    QVERIFY2(out.exitCode == exitCode, qPrintable(out.output.join(u'\n')));
    QVERIFY(holdsCarried(rig, 2)); // the flash is right in every row: only the report differs
    QCOMPARE(out.lines.last(), lastLine);
    QCOMPARE(out.output.last(), result);
    if (verify) {
        QVERIFY(out.lines.contains(QStringLiteral("Restarting System....Done")));
    }
}

void TestE2eOutcome::lateStatusReplyNeverEndsInSuccess() {
    // The "finished" reply to the erase's last status read comes 2.5 s late, inside the wait of
    // a later read; whatever the link makes of it, exit 0 only with every flash right.
    sim::Scenario s = corvane::test::upToDate();
    s.hmi.version = 105;
    s.untimedBusyReads = 200;
    UpgradeRig rig(s,
                   faults({QStringLiteral("delay:status-read,after=201,param=2500"),
                           QStringLiteral("drop:status-read,after=270")}),
                   unattended());
    const Outcome out = runUnattended(rig);
    const QString log = out.output.join(u'\n');
    QVERIFY2(out.exitCode == 0 || out.exitCode == 1, qPrintable(log));
    if (out.exitCode == 0) {
        QVERIFY2(holdsCarried(rig, 3), qPrintable(log));
        QVERIFY(!rig.unit().inBootMode(3));
        QCOMPARE(out.lines.last(), QStringLiteral("Verifying Firmware......OK"));
    } else {
        QVERIFY2(out.output.last().contains(QLatin1String("HMI")), qPrintable(log));
    }
}

void TestE2eOutcome::discoveryRetriesTheOtherNumbers() {
    // The reply to the read of CPU-2's and the HMI's numbers is lost once.
    sim::Scenario s = corvane::test::upToDate();
    s.hmi.version = 105;
    UpgradeRig rig(s, faults({QStringLiteral("drop:modbus-read,after=1")}), unattended());
    const Outcome out = runUnattended(rig);
    const QString log = out.output.join(u'\n');
    QVERIFY2(out.exitCode == 0, qPrintable(log));
    const sim::CarriedFirmware& c = carried();
    QVERIFY2(
        out.output.contains(QStringLiteral("HMI: installed %1, carried %2, to be programmed")
                                .arg(rmVersion(c.rm[3], 105), rmVersion(c.rm[3], c.version[3]))),
        qPrintable(log));
    QVERIFY(holdsCarried(rig, 3));
    QCOMPARE(rig.unit().faultsInjected(), 1);
}

void TestE2eOutcome::unattendedContract_data() {
    QTest::addColumn<sim::Scenario>("scenario");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    const sim::CarriedFirmware& c = carried();
    sim::Scenario s = corvane::test::upToDate();
    s.hmi.silent = true;
    QTest::newRow("silent HMI, the rest current")
        << s << 4 << "Result: the unit cannot be upgraded: HMI Not Responding";
    s = corvane::test::upToDate();
    s.cpu2.version = 99;
    const QString tooOld =
        QStringLiteral("CPU-2 Firmware Not Upgradeable (%1)").arg(rmVersion(c.rm[2], 99));
    QTest::newRow("CPU-2 below 1.00, the rest current")
        << s << 4 << "Result: the unit cannot be upgraded: " + tooOld;
    s.cpu1.version = 215;
    QTest::newRow("CPU-2 below 1.00, CPU-1 upgraded")
        << s << 1 << "Result: the upgrade failed: " + tooOld + ". Upgrade Aborted";
    // The failing line is named, not the last one ("Verifying Firmware......" or the restart).
    s = corvane::test::upToDate();
    s.cpu2.silent = true;
    s.hmi.version = 105;
    QTest::newRow("silent CPU-2, HMI upgraded")
        << s << 1 << "Result: the upgrade failed: CPU-2 Not Responding. Upgrade Aborted";
    QTest::newRow("every processor current")
        << corvane::test::upToDate() << 0
        << "Result: nothing to upgrade; no processor needs new firmware.";
}

void TestE2eOutcome::unattendedContract() {
    QFETCH(sim::Scenario, scenario);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    UpgradeRig rig(scenario, {}, unattended());
    const Outcome out = runUnattended(rig);
    QVERIFY2(out.exitCode == exitCode, qPrintable(out.output.join(u'\n')));
    QCOMPARE(out.output.last(), result);
}

void TestE2eOutcome::rereadFailureAfterCpu1RestartEndsTheRun() {
    // Discovery reads twice; every read after that, the re-read after CPU-1's restart included,
    // goes unanswered.
    sim::Scenario s = corvane::test::upToDate();
    s.cpu1.version = 215;
    s.cpu2.version = 100;
    UpgradeRig rig(s, faults({QStringLiteral("drop:modbus-read,after=2,count=1000")}),
                   unattended());
    const Outcome out = runUnattended(rig);
    QVERIFY2(out.exitCode == 1, qPrintable(out.output.join(u'\n')));
    QCOMPARE(out.lines.last(),
             QStringLiteral("CPU-1 Not Responding After Restart. Upgrade Aborted"));
    QCOMPARE(out.output.last(), QStringLiteral("Result: the upgrade failed: CPU-1 Not "
                                               "Responding After Restart. Upgrade Aborted"));
    QVERIFY(holdsCarried(rig, 1));
    // Nothing was written into a sub-processor window chosen from the old version.
    for (const RequestKind k : rig.wire().kinds()) {
        QVERIFY(k != RequestKind::Fn104Command && k != RequestKind::Fn104Data);
    }
}

void TestE2eOutcome::cyclingBusyStatusMeetsTheStageLimit() {
    // The HMI's erase stays busy at an address that moves on every read: the stuck-status rule
    // never trips, the stage's overall limit does.
    sim::Scenario s = corvane::test::upToDate();
    s.hmi.version = 105;
    RigOptions options;
    options.timings.stageBaseMs = 1000;
    options.timings.stageMsPerKiB = 0;
    options.timings.stuckStatusMs = 500;
    UpgradeRig rig(s, faults({QStringLiteral("cycling-busy:fn104-command,after=1")}), options);
    rig.openWindow();
    QVERIFY(rig.scan());
    QElapsedTimer t;
    t.start();
    QVERIFY2(rig.load(30000), qPrintable(rig.lines().join(u'\n')));
    QVERIFY(t.elapsed() >= 1000);
    const QStringList lines = rig.lines();
    QCOMPARE(lines.last(), QStringLiteral("Error detected. Terminating upgrade."));
    QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("Erasing HMI......"));
    QVERIFY(!lines.contains(QStringLiteral("Restarting System....")));
}

void TestE2eOutcome::stageLimitFollowsTheRange() {
    SequencerTimings t;
    t.stageBaseMs = 60000;
    t.stageMsPerKiB = 2000;
    QCOMPARE(stageDeadlineMs(t, 0x1000, 0x1000 + 1023), 62000); // exactly 1 KiB
    QCOMPARE(stageDeadlineMs(t, 0x1000, 0x1000 + 1024), 64000); // a byte more: 2 KiB
    QCOMPARE(stageDeadlineMs(t, 0, 0xFFFF), 60000 + 64 * 2000);
    QCOMPARE(stageDeadlineMs(t, 0x2000, 0x1000), 60000); // no range: the base alone
}

void TestE2eOutcome::exceptionInAStepEndsAtQuit() {
    sim::Scenario s = corvane::test::upToDate();
    s.cpu1.version = 215;
    UpgradeRig rig(s);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    rig.wire().throwOnWrite(RequestKind::BlErase, 1);
    QVERIFY2(rig.load(30000), qPrintable(rig.lines().join(u'\n')));
    QVERIFY2(rig.messages().isEmpty(), qPrintable(rig.messages().join(u'\n')));
    QCOMPARE(rig.lines().last(),
             QStringLiteral("Error Detected (serial device failed). Upgrade Aborted"));
    QVERIFY(form.Quit_Button2->isEnabled());
    const RunOutcome o = form.engine().outcome();
    QCOMPARE(o.exit, RunExit::UpgradeFailed);
    QCOMPARE(o.cause, Cause::InternalError);
    QCOMPARE(o.summary,
             QStringLiteral("the upgrade failed: Error Detected (serial device failed). Upgrade "
                            "Aborted"));
}

void TestE2eOutcome::powerDipIsNamedAndRecovered_data() {
    QTest::addColumn<QString>("dip");
    QTest::addColumn<int>("processor");
    QTest::addColumn<int>("blocksBefore"); // data blocks to the processor before the dip
    // The ends of a transfer, and a stage the processor works on by itself (its window goes
    // blank: erase and programming are alike there).
    QTest::newRow("first data block to CPU-2") << "cpu2-data=0" << 2 << 0;
    QTest::newRow("last data block to the HMI") << "hmi-data=2559" << 3 << 2559;
    QTest::newRow("during CPU-2's programming") << "cpu2-program=2" << 2 << 2560;
}

void TestE2eOutcome::powerDipIsNamedAndRecovered() {
    // The unit's supply dips: CPU-1 restarts and the sub-processor leaves its boot mode (or
    // stops where it was). The run ends at the first exchange that shows it, names the cause
    // and sends nothing more to a processor that no longer listens; a new run finishes.
    QFETCH(QString, dip);
    QFETCH(int, processor);
    QFETCH(int, blocksBefore);
    sim::Scenario s = corvane::test::upToDate();
    (processor == 2 ? s.cpu2 : s.hmi).version = 100 + 5 * (processor - 2);
    sim::FaultPlan plan;
    plan.powerDips.push_back(*sim::parsePowerDip(dip + QStringLiteral(",restart=300")));
    UpgradeRig rig(s, plan, unattended());
    const UnattendedRun run = rig.runUnattended();
    const QString log = run.output.join(u'\n');
    QVERIFY2(run.exitCode == 1, qPrintable(log));
    QCOMPARE(run.outcome.cause, Cause::UnitRestarted);
    QCOMPARE(run.outcome.processor, processor);
    QCOMPARE(run.output.last(),
             QStringLiteral("Result: the upgrade failed: the unit restarted under the run (a power "
                            "dip or a reset); a new run will finish the upgrade."));
    QVERIFY2(run.lines.last().startsWith(QStringLiteral("The unit restarted during the upgrade")),
             qPrintable(run.lines.join(u'\n')));
    // Within a few blocks of the dip: the lost one, its retries, the one that showed it.
    QVERIFY2(rig.unit().exchanges(sim::Exchange::Fn104Data) <= blocksBefore + 6,
             qPrintable(QString::number(rig.unit().exchanges(sim::Exchange::Fn104Data))));
    QVERIFY(!run.lines.contains(QStringLiteral("Restarting System....Done")));

    const UnattendedRun again = rig.runUnattended();
    QVERIFY2(again.exitCode == 0, qPrintable(again.output.join(u'\n')));
    QVERIFY(holdsCarried(rig, processor));
}

QTEST_MAIN(TestE2eOutcome)
#include "tst_e2e_outcome.moc"

// The unattended run: the engine driving itself against the simulated unit, as --auto runs it,
// with the command line's report: what it prints, and the exit code it ends with.

#include "UpgradeRig.h"

#include "support/Scenarios.h"

#include "CliView.h"

#include "platform/SerialDevice.h"

#include <QTest>

using namespace corvane::e2e;
namespace sim = corvane::sim;

Q_DECLARE_METATYPE(corvane::LowLatency)

namespace {} // namespace

class TestE2eAutoRun : public QObject {
    Q_OBJECT
private slots:
    void reportsTheLink_data();
    void reportsTheLink();
    void upgradesUnattended();
    void endsWithTheRightCode_data();
    void endsWithTheRightCode();
    void shuttingDownInterrupts();
};

void TestE2eAutoRun::reportsTheLink_data() {
    using corvane::LowLatency;
    QTest::addColumn<LowLatency>("answer");
    QTest::addColumn<int>("intervalUs");
    QTest::addColumn<QString>("ends");
    QTest::addColumn<bool>("timerWarning"); // the latency timer is said to dominate
    QTest::newRow("granted, fast") << LowLatency::Granted << 500 << "on its last byte" << false;
    QTest::newRow("not granted") << LowLatency::NotGranted << 10000 << "after 10 ms of quiet"
                                 << true;
    QTest::newRow("not offered by the driver")
        << LowLatency::NotOffered << 500 << "on its last byte" << true;
    QTest::newRow("pseudo-terminal, quiet interval")
        << LowLatency::PseudoTerminal << 1250 << "after 1.25 ms of quiet" << false;
}

void TestE2eAutoRun::reportsTheLink() {
    QFETCH(corvane::LowLatency, answer);
    QFETCH(int, intervalUs);
    QFETCH(QString, ends);
    QFETCH(bool, timerWarning);
    const auto us = static_cast<std::uint32_t>(intervalUs);
    const QString line = linkReport({QStringLiteral("/dev/ttyUSB0"), answer, us, chunkEndFor(us)});
    QVERIFY2(line.startsWith(QStringLiteral("Link: /dev/ttyUSB0, a reply ends ") + ends +
                             QStringLiteral("; ")),
             qPrintable(line));
    QCOMPARE(line.contains(QLatin1String("latency timer (16 ms by default on common adapters)")),
             timerWarning);
    QCOMPARE(line.contains(QLatin1String("dominates each exchange")), timerWarning);
    QCOMPARE(line.contains(QLatin1String("granted its low-latency mode")),
             answer == corvane::LowLatency::Granted);
}

void TestE2eAutoRun::upgradesUnattended() {
    const sim::CarriedFirmware& c = corvane::test::carried();
    RigOptions options;
    options.answerModals = false;
    UpgradeRig rig(corvane::test::withVersions(c.version[1], c.version[2], 105), {}, options);
    const UnattendedRun out = rig.runUnattended();
    const QStringList& o = out.output;
    QVERIFY2(out.exitCode == 0, qPrintable(o.join(u'\n')));
    QCOMPARE(o.first(), QStringLiteral("Connecting via USB..."));
    QVERIFY(o.contains(QStringLiteral("Scan: ") + rig.port() + QStringLiteral(" open.")));
    QVERIFY(o.contains(QStringLiteral("Scan: ") + rig.port() + QStringLiteral(" found CV.")));
    QVERIFY2(
        o.contains(linkReport(
            {rig.port(), corvane::LowLatency::PseudoTerminal,
             options.fastLink ? kFastReadIntervalUs : std::uint32_t(options.readIntervalMs) * 1000,
             options.fastLink ? ChunkEnd::EachRead : ChunkEnd::QuietInterval})),
        qPrintable(o.join(u'\n')));
    QVERIFY2(o.contains(
                 QStringLiteral("HMI: installed RM%1 v1.05, carried RM%1 v%2.%3, to be programmed")
                     .arg(c.rm[3])
                     .arg(c.version[3] / 100)
                     .arg(c.version[3] % 100, 2, 10, QLatin1Char('0'))),
             qPrintable(o.join(u'\n')));
    QVERIFY(o.contains(QStringLiteral("Progress: CPU-1 Firmware Up To Date.")));
    QVERIFY(o.contains(QStringLiteral("Progress: Enabling HMI Boot Mode......Done")));
    QVERIFY(o.contains(QStringLiteral("Progress: Restarting System....Done")));
    QCOMPARE(o.at(o.size() - 2), QStringLiteral("Progress: Verifying Firmware......OK"));
    QCOMPARE(o.last(), QStringLiteral("Result: upgrade complete."));

    // The transfer's bar is reported in whole steps of 10 %, rising, ending at 100; past 0 %
    // with the rate and, until the end, the time left.
    const QString sending = QStringLiteral("Progress: Sending New Firmware for HMI...... ");
    std::vector<int> values;
    for (const QString& line : o) {
        if (!line.startsWith(sending)) {
            continue;
        }
        const QString rest = line.mid(sending.size());
        values.push_back(rest.section(u'%', 0, 0).toInt());
        if (values.back() > 0) {
            QVERIFY2(rest.contains(QLatin1String(" KiB/s")), qPrintable(line));
        }
        QCOMPARE(rest.contains(QLatin1String(" left)")), values.back() > 0 && values.back() < 100);
    }
    QVERIFY(values.size() >= 3);
    QCOMPARE(values.front(), 0);
    QCOMPARE(values.back(), 100);
    for (std::size_t i = 1; i < values.size(); ++i) {
        QVERIFY2(values[i] / 10 > values[i - 1] / 10, qPrintable(QString::number(values[i])));
    }
    QVERIFY(rig.flashRange(3) == rig.carriedRange(3));
}

void TestE2eAutoRun::endsWithTheRightCode_data() {
    QTest::addColumn<int>("cpu1Version");
    QTest::addColumn<int>("cpu1Rm");
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("stallLimitMs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    const sim::CarriedFirmware& c = corvane::test::carried();
    QTest::newRow("nothing to upgrade")
        << int(c.version[1]) << 0 << 0 << 60000 << 0
        << QStringLiteral("Result: nothing to upgrade; no processor needs new firmware.");
    QTest::newRow("refused at the review")
        << 150 << 0 << 0 << 60000 << 4
        << QStringLiteral("Result: the unit cannot be upgraded: Unable To Upgrade! Only units "
                          "with v2.00 firmware and above can be upgraded.");
    QTest::newRow("unknown unit") << 215 << 4100 << 0 << 60000 << 3
                                  << QStringLiteral("Result: no unit found: Unable to find a "
                                                    "Corvane device. (Unknown device found). "
                                                    "Reconnect and try again.");
    QTest::newRow("bootloader of another model")
        << 215 << 0 << 4002 << 60000 << 1
        << QStringLiteral("Result: the upgrade failed: Retrieving Model Number......Error "
                          "(Incompatible Model)");
    // The bootloader of this unit never answers: each request waits out its time-out, longer
    // than the stall limit.
    QTest::newRow("nothing moves")
        << 215 << 0 << 0 << 400 << 6
        << QStringLiteral("Result: nothing happened for 0.4 s; the run is "
                          "abandoned.");
}

void TestE2eAutoRun::endsWithTheRightCode() {
    QFETCH(int, cpu1Version);
    QFETCH(int, cpu1Rm);
    QFETCH(int, model);
    QFETCH(int, stallLimitMs);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    const sim::CarriedFirmware& c = corvane::test::carried();
    sim::Scenario s =
        corvane::test::withVersions(std::uint16_t(cpu1Version), c.version[2], c.version[3]);
    s.cpu1.rm = std::uint16_t(cpu1Rm);
    s.modelRm = std::uint16_t(model);
    sim::FaultPlan plan;
    if (exitCode == 6) {
        plan.faults.push_back(*sim::parseFault(QStringLiteral("drop:bl-info,count=100")));
    }
    RigOptions options;
    options.answerModals = false;
    UpgradeRig rig(s, plan, options);
    const UnattendedRun out = rig.runUnattended(EngineMode::Auto, stallLimitMs);
    QCOMPARE(out.exitCode, exitCode);
    QCOMPARE(out.output.last(), result);
}

void TestE2eAutoRun::shuttingDownInterrupts() {
    RigOptions options;
    options.answerModals = false;
    UpgradeRig rig(corvane::test::withVersions(215, 100, 105), {}, options);
    const UnattendedRun out =
        rig.runUnattended(EngineMode::Auto, 60000, 120000, [](UpgradeEngine& engine) {
            (void)waitUntil(
                [&] { return engine.progressLines().lines().size() >= 4 || engine.isFinished(); },
                30000);
            engine.shutdown();
        });
    QCOMPARE(out.exitCode, 5);
    QVERIFY(out.output.contains(QStringLiteral("Progress: Retrieving Model Number......OK")));
    QCOMPARE(out.output.last(), QStringLiteral("Result: the run was shut down before it ended."));
    // Nothing is sent once the engine is shut down: the unit is left as the last step found it.
    QVERIFY(out.outcome.upgradeStarted);
}

QTEST_MAIN(TestE2eAutoRun)
#include "tst_e2e_autorun.moc"

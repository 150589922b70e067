// The unattended run: how it reports progress and decides its exit code, and the run itself
// driving the real window against the simulated unit.

#include "UpgradeRig.h"

#include "AutoRun.h"
#include "main.h"

#include "platform/SerialDevice.h"

#include <QTest>

using namespace corvane::e2e;
namespace sim = corvane::sim;

Q_DECLARE_METATYPE(corvane::LowLatency)

namespace {

// Snapshots written as text: lines separated by ';', a bar as "caption@value".
std::vector<ProgressLineState> snapshotFrom(const QString& text) {
    std::vector<ProgressLineState> lines;
    for (const QString& item : text.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype at = item.indexOf(u'@');
        if (at < 0)
            lines.push_back({item, false, 0});
        else
            lines.push_back({item.left(at), true, item.mid(at + 1).toDouble()});
    }
    return lines;
}

sim::Scenario scenario(std::uint16_t cpu1, std::uint16_t cpu2, std::uint16_t hmi) {
    sim::Scenario s;
    s.cpu1.version = cpu1;
    s.cpu2.version = cpu2;
    s.hmi.version = hmi;
    return s;
}

struct Outcome {
    int exitCode = -1;
    QStringList output;
};

Outcome runUnattended(UpgradeRig& rig, int stallLimitMs = 60000,
                      const std::function<void(AutoRun&, TForm3&)>& meanwhile = {}) {
    TForm3& form = rig.openWindow();
    Outcome out;
    AutoRun run(form, [&](const QString& line) { out.output << line; });
    run.setStallLimitMs(stallLimitMs);
    run.start();
    if (meanwhile)
        meanwhile(run, form);
    if (waitUntil([&] { return run.isFinished(); }, 120000))
        out.exitCode = run.exitCode();
    (void)waitUntil([&] { return form.VexaComms1() == nullptr; }, 10000);
    return out;
}

} // namespace

class TestE2eAutoRun : public QObject {
    Q_OBJECT
private slots:
    void reportsLinesAndBarSteps_data();
    void reportsLinesAndBarSteps();
    void decidesSuccess_data();
    void decidesSuccess();
    void reportsTheLink_data();
    void reportsTheLink();
    void namesTheFailingLine_data();
    void namesTheFailingLine();
    void upgradesUnattended();
    void endsWithTheRightCode_data();
    void endsWithTheRightCode();
    void closingTheWindowInterrupts();
};

void TestE2eAutoRun::reportsLinesAndBarSteps_data() {
    QTest::addColumn<QStringList>("snapshots");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("a line, then completed")
        << QStringList{"A", "A", "A done"} << QStringList{"A", "A done"};
    QTest::newRow("bar in whole steps of 10 %")
        << QStringList{"X@0", "X@5", "X@10", "X@19.9", "X@25", "X@99", "X@100", "X@100"}
        << QStringList{"X 0%", "X 10%", "X 25%", "X 99%", "X 100%"};
    QTest::newRow("completed with its bar at 100")
        << QStringList{"E@0", "E@100", "E ok@100"} << QStringList{"E 0%", "E 100%", "E ok 100%"};
    QTest::newRow("bar hidden on an error")
        << QStringList{"S@40", "S error"} << QStringList{"S 40%", "S error"};
    QTest::newRow("bar shown later")
        << QStringList{"S", "S@0", "S@30"} << QStringList{"S", "S 0%", "S 30%"};
    QTest::newRow("past the range")
        << QStringList{"R@90", "R@120"} << QStringList{"R 90%", "R 120%"};
    QTest::newRow("several new lines at once")
        << QStringList{"", "A;B@0;C"} << QStringList{"A", "B 0%", "C"};
    QTest::newRow("list emptied and begun again")
        << QStringList{"A;B", "C"} << QStringList{"A", "B", "C"};
    QTest::newRow("earlier line changes")
        << QStringList{"A;B", "A done;B"} << QStringList{"A", "B", "A done"};
}

void TestE2eAutoRun::reportsLinesAndBarSteps() {
    QFETCH(QStringList, snapshots);
    QFETCH(QStringList, expected);
    ProgressReporter reporter;
    QStringList out;
    for (const QString& s : snapshots)
        out << reporter.update(snapshotFrom(s));
    QCOMPARE(out, expected);
}

void TestE2eAutoRun::decidesSuccess_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("success");
    const QString done = QStringLiteral("Restarting System....Done");
    QTest::newRow("complete") << QStringList{"CPU-1 Firmware Up To Date.", "Erasing HMI......OK",
                                             done}
                              << true;
    QTest::newRow("bootloader info unavailable is no failure")
        << QStringList{"Retrieving Bootloader Info......Info Unavailable",
                       "Retrieving Model Number......OK", done}
        << true;
    QTest::newRow("empty") << QStringList{} << false;
    QTest::newRow("restart refused") << QStringList{"Restarting System....Error Detected"} << false;
    QTest::newRow("terminated") << QStringList{"Erasing CPU-2......",
                                               "Error detected. Terminating upgrade."}
                                << false;
    QTest::newRow("incompatible model")
        << QStringList{"Retrieving Model Number......Error (Incompatible Model)"} << false;
    QTest::newRow("processor not responding, rest done")
        << QStringList{"CPU-2 Not Responding. Upgrade Aborted", done} << false;
    QTest::newRow("processor refused, rest done")
        << QStringList{"CPU-1 Cannot Be Programmed. Upgrade Aborted", done} << false;
    QTest::newRow("data corrupt") << QStringList{"Erasing HMI......Data Corrupt"} << false;
    QTest::newRow("stopped before the restart")
        << QStringList{"Reprogramming HMI......OK", "Restarting System...."} << false;
    QTest::newRow("verified") << QStringList{"Erasing HMI......OK", done,
                                             "Verifying Firmware......OK"}
                              << true;
    QTest::newRow("verification found an old version")
        << QStringList{done, "Verifying Firmware......Failed",
                       "HMI reports RM9000 v0.00, expected RM6204 v1.12"}
        << false;
    QTest::newRow("no answer after the restart")
        << QStringList{done, "Verifying Firmware......Error (No Reply)"} << false;
    QTest::newRow("stopped while verifying")
        << QStringList{done, "Verifying Firmware......"} << false;
    QTest::newRow("verified without the restart")
        << QStringList{"Erasing HMI......OK", "Verifying Firmware......OK"} << false;
}

void TestE2eAutoRun::namesTheFailingLine_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("failure");
    const QString done = QStringLiteral("Restarting System....Done");
    QTest::newRow("first error, not the last line")
        << QStringList{"CPU-1 Firmware Up To Date.",
                       "CPU-2 Not Responding. Upgrade Aborted",
                       "Erasing HMI......OK",
                       done,
                       "Verifying Firmware......Failed",
                       "CPU-2 reports RM0000 v0.00, expected RM5103 v2.32"}
        << "CPU-2 Not Responding. Upgrade Aborted";
    QTest::newRow("the processor verification named")
        << QStringList{done, "Verifying Firmware......Failed",
                       "HMI reports RM9000 v0.00, expected RM6204 v1.12"}
        << "HMI reports RM9000 v0.00, expected RM6204 v1.12";
    QTest::newRow("no error line: the last")
        << QStringList{"Reprogramming HMI......OK", "Restarting System...."}
        << "Restarting System....";
    QTest::newRow("empty") << QStringList{} << "no progress";
}

void TestE2eAutoRun::namesTheFailingLine() {
    QFETCH(QStringList, lines);
    QFETCH(QString, failure);
    QCOMPARE(failureLine(lines), failure);
}

void TestE2eAutoRun::decidesSuccess() {
    QFETCH(QStringList, lines);
    QFETCH(bool, success);
    QCOMPARE(upgradeSucceeded(lines), success);
}

void TestE2eAutoRun::reportsTheLink_data() {
    using corvane::LowLatency;
    QTest::addColumn<LowLatency>("answer");
    QTest::addColumn<int>("intervalUs");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<bool>("timerWarning"); // the latency timer is said to dominate
    QTest::newRow("granted, fast") << LowLatency::Granted << 500 << "0.5" << false;
    QTest::newRow("not granted") << LowLatency::NotGranted << 10000 << "10" << true;
    QTest::newRow("not offered by the driver") << LowLatency::NotOffered << 500 << "0.5" << true;
    QTest::newRow("pseudo-terminal") << LowLatency::PseudoTerminal << 1250 << "1.25" << false;
}

void TestE2eAutoRun::reportsTheLink() {
    QFETCH(corvane::LowLatency, answer);
    QFETCH(int, intervalUs);
    QFETCH(QString, interval);
    QFETCH(bool, timerWarning);
    const QString line =
        linkReport(QStringLiteral("/dev/ttyUSB0"), answer, static_cast<std::uint32_t>(intervalUs));
    QVERIFY2(line.startsWith(QStringLiteral("Link: /dev/ttyUSB0, a reply ends after ") + interval +
                             QStringLiteral(" ms of quiet; ")),
             qPrintable(line));
    QCOMPARE(line.contains(QLatin1String("latency timer (16 ms by default on common adapters)")),
             timerWarning);
    QCOMPARE(line.contains(QLatin1String("dominates each exchange")), timerWarning);
    QCOMPARE(line.contains(QLatin1String("granted its low-latency mode")),
             answer == corvane::LowLatency::Granted);
}

void TestE2eAutoRun::upgradesUnattended() {
    const sim::CarriedFirmware c = sim::readCarriedFirmware(sim::defaultBuildDataFolder());
    RigOptions options;
    options.answerModals = false;
    UpgradeRig rig(scenario(c.version[1], c.version[2], 105), {}, options);
    const Outcome out = runUnattended(rig);
    const QStringList& o = out.output;
    QVERIFY2(out.exitCode == 0, qPrintable(o.join(u'\n')));
    QCOMPARE(o.first(), QStringLiteral("Connecting via USB..."));
    QVERIFY(o.contains(QStringLiteral("Scan: ") + rig.port() + QStringLiteral(" open.")));
    QVERIFY(o.contains(QStringLiteral("Scan: ") + rig.port() + QStringLiteral(" found CV.")));
    QVERIFY2(
        o.contains(linkReport(rig.port(), corvane::LowLatency::PseudoTerminal,
                              options.fastLink ? kFastReadIntervalUs
                                               : std::uint32_t(options.readIntervalMs) * 1000)),
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
        if (!line.startsWith(sending))
            continue;
        const QString rest = line.mid(sending.size());
        values.push_back(rest.section(u'%', 0, 0).toInt());
        if (values.back() > 0)
            QVERIFY2(rest.contains(QLatin1String(" KiB/s")), qPrintable(line));
        QCOMPARE(rest.contains(QLatin1String(" left)")), values.back() > 0 && values.back() < 100);
    }
    QVERIFY(values.size() >= 3);
    QCOMPARE(values.front(), 0);
    QCOMPARE(values.back(), 100);
    for (std::size_t i = 1; i < values.size(); ++i)
        QVERIFY2(values[i] / 10 > values[i - 1] / 10, qPrintable(QString::number(values[i])));
    QVERIFY(rig.flashRange(3) == rig.carriedRange(3));
}

void TestE2eAutoRun::endsWithTheRightCode_data() {
    QTest::addColumn<int>("cpu1Version");
    QTest::addColumn<int>("cpu1Rm");
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("stallLimitMs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    const sim::CarriedFirmware c = sim::readCarriedFirmware(sim::defaultBuildDataFolder());
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
    const sim::CarriedFirmware c = sim::readCarriedFirmware(sim::defaultBuildDataFolder());
    sim::Scenario s = scenario(std::uint16_t(cpu1Version), c.version[2], c.version[3]);
    s.cpu1.rm = std::uint16_t(cpu1Rm);
    s.modelRm = std::uint16_t(model);
    sim::FaultPlan plan;
    if (exitCode == 6)
        plan.faults.push_back(*sim::parseFault(QStringLiteral("drop:bl-info,count=100")));
    RigOptions options;
    options.answerModals = false;
    UpgradeRig rig(s, plan, options);
    const Outcome out = runUnattended(rig, stallLimitMs);
    QCOMPARE(out.exitCode, exitCode);
    QCOMPARE(out.output.last(), result);
}

void TestE2eAutoRun::closingTheWindowInterrupts() {
    RigOptions options;
    options.answerModals = false;
    UpgradeRig rig(scenario(215, 100, 105), {}, options);
    const Outcome out = runUnattended(rig, 60000, [](AutoRun& run, TForm3& form) {
        (void)waitUntil([&] { return form.Progress_ListBox->count() >= 4 || run.isFinished(); },
                        30000);
        form.close();
    });
    QCOMPARE(out.exitCode, 5);
    QVERIFY(out.output.contains(QStringLiteral("Progress: Retrieving Model Number......OK")));
    QCOMPARE(out.output.last(), QStringLiteral("Result: the window closed before the run ended."));
}

QTEST_MAIN(TestE2eAutoRun)
#include "tst_e2e_autorun.moc"

// What an unattended run tells its reader: transfer rate and time left, the unit's state after
// a stop, the command line's run modes; and the stop itself on the serial line.

#include "AppOptions.h"
#include "AutoRun.h"
#include "RunSignals.h"

#include "FakeSerialDevice.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class TestRunTexts : public QObject {
    Q_OBJECT
private slots:
    void transferEstimates_data();
    void transferEstimates();
    void stateAfterStop_data();
    void stateAfterStop();
    void runModes_data();
    void runModes();
    void stopRefusesTheNextRequest(); // last: the stop cannot be taken back
};

void TestRunTexts::transferEstimates_data() {
    QTest::addColumn<double>("percent");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<double>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing yet") << 0.0 << 1.0 << 65536.0 << "";
    QTest::newRow("no time yet") << 10.0 << 0.0 << 65536.0 << "";
    QTest::newRow("unknown size") << 10.0 << 1.0 << 0.0 << "";
    QTest::newRow("not a number") << qQNaN() << 1.0 << 65536.0 << "";
    QTest::newRow("a quarter in 5 s") << 25.0 << 5.0 << 65536.0 << " (3.2 KiB/s, about 15 s left)";
    QTest::newRow("rounded up to the next second")
        << 30.0 << 1.0 << 10240.0 << " (3.0 KiB/s, about 3 s left)";
    QTest::newRow("minutes") << 10.0 << 30.0 << 65536.0 << " (0.2 KiB/s, about 4 min 30 s left)";
    QTest::newRow("complete: the rate alone") << 100.0 << 16.0 << 65536.0 << " (4.0 KiB/s)";
    QTest::newRow("past the range counts as complete")
        << 130.0 << 16.0 << 65536.0 << " (4.0 KiB/s)";
}

void TestRunTexts::transferEstimates() {
    QFETCH(double, percent);
    QFETCH(double, seconds);
    QFETCH(double, bytes);
    QFETCH(QString, text);
    QCOMPARE(transferEstimate(percent, seconds, bytes), text);
}

void TestRunTexts::stateAfterStop_data() {
    QTest::addColumn<bool>("started");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QString>("words");
    const QStringList cpu1{"Enabling BootLoader.....Done",
                           "Retrieving Bootloader Info......RM258 v1.05",
                           "Retrieving Model Number......OK"};
    const QStringList cpu1Done =
        cpu1 + QStringList{"Erasing Program Memory......", "Sending New Firmware......",
                           "Disabling Boot Mode......Done", "Restarting CPU-1......Done"};
    QTest::newRow("before Load Firmware") << false << QStringList{} << "Nothing was written";
    QTest::newRow("bootloader entered")
        << true << cpu1 << "CPU-1 is left in its bootloader; its firmware was not yet touched";
    QTest::newRow("CPU-1 half programmed")
        << true
        << (cpu1 + QStringList{"Erasing Program Memory......", "Sending New Firmware......"})
        << "CPU-1 is left in its bootloader without complete firmware";
    QTest::newRow("CPU-1 programmed, not restarted")
        << true
        << (cpu1 + QStringList{"Erasing Program Memory......", "Sending New Firmware......",
                               "Disabling Boot Mode......Done", "Restarting CPU-1......"})
        << "CPU-1 holds its new firmware but was not restarted";
    QTest::newRow("CPU-2 in boot mode")
        << true
        << (cpu1Done + QStringList{"Enabling CPU-2 Boot Mode......Done",
                                   "Sending New Firmware for CPU-2......"})
        << "CPU-2 is left in boot mode";
    QTest::newRow("CPU-2 done, HMI half way")
        << true
        << (cpu1Done + QStringList{"Reprogramming CPU-2......OK", "HMI Already In Boot Mode.",
                                   "Sending New Firmware for HMI......"})
        << "HMI is left in boot mode";
    QTest::newRow("CPU-2 done, HMI not begun")
        << true
        << QStringList{"CPU-1 Firmware Up To Date.", "Enabling CPU-2 Boot Mode......Done",
                       "Reprogramming CPU-2......OK"}
        << "no processor is left half-programmed";
    QTest::newRow("restart not answered")
        << true << QStringList{"CPU-1 Firmware Up To Date.", "Restarting System...."}
        << "the unit was not restarted";
    QTest::newRow("all done") << true
                              << QStringList{"CPU-1 Firmware Up To Date.",
                                             "Restarting System....Done"}
                              << "The upgrade had ended and the unit was restarted.";
}

void TestRunTexts::stateAfterStop() {
    QFETCH(bool, started);
    QFETCH(QStringList, captions);
    QFETCH(QString, words);
    const QString text = unitStateAfterStop(started, captions);
    QVERIFY2(text.contains(words), qPrintable(text));
    // Whatever is left half-done, the reader learns that a later run recovers it.
    const bool unfinished =
        started && !captions.contains(QStringLiteral("Restarting System....Done"));
    QCOMPARE(text.contains(QLatin1String("Run the upgrade again")), unfinished);
}

void TestRunTexts::runModes_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("autoRun");
    QTest::addColumn<bool>("identify");
    QTest::addColumn<bool>("simulateHelp");
    QTest::addColumn<bool>("error");
    QTest::newRow("window") << QStringList{} << false << false << false << false;
    QTest::newRow("auto") << QStringList{"--auto"} << true << false << false << false;
    QTest::newRow("identify") << QStringList{"--identify", "--port", "/dev/ttyUSB0"} << false
                              << true << false << false;
    QTest::newRow("both") << QStringList{"--identify", "--auto"} << true << true << false << true;
    QTest::newRow("simulate help")
        << QStringList{"--help-simulate"} << false << false << true << false;
    // Hidden from --help, the simulated unit's options still work.
    QTest::newRow("scenario with --simulate")
        << QStringList{"--identify", "--simulate", "--cpu1", ":1.50", "--hmi-boot"} << false << true
        << false << false;
}

void TestRunTexts::runModes() {
    QFETCH(QStringList, args);
    QFETCH(bool, autoRun);
    QFETCH(bool, identify);
    QFETCH(bool, simulateHelp);
    QFETCH(bool, error);
    const AppOptions o = parseAppOptions(QStringList{"corvane-updater"} + args);
    QCOMPARE(!o.error.isEmpty(), error);
    if (error)
        return;
    QCOMPARE(o.autoRun, autoRun);
    QCOMPARE(o.identify, identify);
    QCOMPARE(o.windowless(), autoRun || identify);
    QCOMPARE(o.showSimulateHelp, simulateHelp);
    if (o.simulate)
        QCOMPARE(o.simScenario.cpu1.version, std::uint16_t(150));
    QVERIFY(!o.helpText.contains(QLatin1String("--cpu1")));
    QVERIFY(o.simulateHelpText.contains(QLatin1String("--cpu1")));
}

void TestRunTexts::stopRefusesTheNextRequest() {
    RunSignals::install();
    RunSignals watch;
    QSignalSpy spy(&watch, &RunSignals::stopRequested);
    auto script = std::make_shared<corvane::test::FakeSerialScript>();
    GatedSerialDevice device(std::make_unique<corvane::test::FakeSerialDevice>(script));
    QVERIFY(device.open(QStringLiteral("/dev/fake")).ok());
    const std::uint8_t frame[4] = {23, 3, 0, 0};
    QCOMPARE(device.write(frame, sizeof frame), sizeof frame);
    QCOMPARE(RunSignals::stopSignal(), 0);

    // The process survives SIGINT; from now on nothing more is sent.
    QCOMPARE(::raise(SIGINT), 0);
    QCOMPARE(RunSignals::stopSignal(), SIGINT);
    QCOMPARE(device.write(frame, sizeof frame), std::size_t(0));
    QCOMPARE(device.refused(), 1);
    QCOMPARE(script->written().size(), qsizetype(sizeof frame));
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.constFirst().constFirst().toInt(), SIGINT);

    // A second signal does not replace the first.
    QCOMPARE(::raise(SIGTERM), 0);
    QCOMPARE(RunSignals::stopSignal(), SIGINT);
}

QTEST_MAIN(TestRunTexts)
#include "tst_runtexts.moc"

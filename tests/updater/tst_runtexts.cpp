// What an unattended run tells its reader: transfer rate and time left, the command line's run
// modes; and the stop itself on the serial line.

#include "AppOptions.h"
#include "RunSignals.h"
#include "upgrade/ProgressLines.h"

#include "FakeSerialDevice.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class TestRunTexts : public QObject {
    Q_OBJECT
private slots:
    void transferEstimates_data();
    void transferEstimates();
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
    if (error) {
        return;
    }
    QCOMPARE(o.autoRun, autoRun);
    QCOMPARE(o.identify, identify);
    QCOMPARE(o.windowless(), autoRun || identify);
    QCOMPARE(o.showSimulateHelp, simulateHelp);
    if (o.simulate) {
        QCOMPARE(o.simScenario.cpu1.version, std::uint16_t(150));
    }
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

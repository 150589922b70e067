// Signals during an unattended upgrade of a unit that outlives the updater (corvane-sim on a
// pty): SIGINT/SIGTERM stop after the exchange in progress and report the unit's state, and a
// later run finishes the upgrade; SIGHUP and a closed pipe do not stop the run; a killed run
// leaves nothing that keeps the next one off the port.

#include "CliRun.h"

#include <unistd.h>

using namespace corvane::e2e;

namespace {

// CPU-1 behind; CPU-2 too when withCpu2.
QStringList behind(bool withCpu2) {
    const auto& c = carried();
    return {"--cpu1", ":2.15",
            "--cpu2", withCpu2 ? QStringLiteral(":1.00") : versionArg(c.version[2]),
            "--hmi",  versionArg(c.version[3])};
}

// After a complete upgrade the unit runs the carried firmware on CPU-1 (and CPU-2).
void checkUpgraded(SimProcess& unit, bool withCpu2) {
    const QString summary = unit.stop();
    const auto& c = carried();
    for (int n : {1, 2}) {
        if (n == 2 && !withCpu2) {
            continue;
        }
        const QString name = n == 1 ? QStringLiteral("CPU-1") : QStringLiteral("CPU-2");
        const QString row = summaryRow(summary, name);
        QVERIFY2(row.startsWith(QStringLiteral("%1 running %2 %3.%4 yes")
                                    .arg(name)
                                    .arg(c.rm[n])
                                    .arg(c.version[n] / 100)
                                    .arg(c.version[n] % 100, 2, 10, QLatin1Char('0'))),
                 qPrintable(summary));
        QVERIFY2(row.endsWith(QLatin1String(" yes")), qPrintable(summary));
    }
}

// The run that finishes the upgrade: what it proves does not depend on the link, and the fast
// link takes half the time.
void finishWithCleanRun(SimProcess& unit, bool withCpu2,
                        const QString& result = QStringLiteral("Result: upgrade complete.")) {
    UpdaterRun again({"--auto", "--fast", "--port", unit.port()});
    const int code = again.finish();
    QVERIFY2(code == 0, qPrintable(QStringLiteral("exit %1\n").arg(code) + again.text()));
    QCOMPARE(again.lastLine(), result);
    checkUpgraded(unit, withCpu2);
}

} // namespace

class TestE2eSignals : public QObject {
    Q_OBJECT
private slots:
    void stopSignals_data();
    void stopSignals();
    void hangUpDoesNotStop();
    void closedPipeDoesNotStop();
    void killedRunLeavesPortUsable();
    void windowClosesOnSignal();
};

void TestE2eSignals::stopSignals_data() {
    QTest::addColumn<int>("sig");
    QTest::addColumn<QString>("at"); // the output line that triggers the signal
    QTest::addColumn<bool>("withCpu2");
    QTest::addColumn<QString>("state");
    QTest::newRow("SIGINT while scanning")
        << int(SIGINT) << "Connecting via USB" << false << "Nothing was written to the unit";
    QTest::newRow("SIGTERM while erasing CPU-1")
        << int(SIGTERM) << "Progress: Erasing Program Memory...... 10%" << false
        << "CPU-1 is left in its bootloader";
    QTest::newRow("SIGINT half-way through CPU-1")
        << int(SIGINT) << "Progress: Sending New Firmware...... 50%" << false
        << "CPU-1 is left in its bootloader without complete firmware";
    // The line shows as the reset goes out; a second later the run is in the 8 s wait for
    // CPU-1's start, which the stop cuts short, and the later run finds nothing left to do.
    // (A stop before the reset went out leaves CPU-1 "not restarted": tst_engine_events.)
    QTest::newRow("SIGTERM while CPU-1 restarts")
        << int(SIGTERM) << "Progress: Restarting CPU-1......" << false
        << "no processor is left half-programmed";
    QTest::newRow("SIGINT during CPU-2's transfer")
        << int(SIGINT) << "Progress: Sending New Firmware for CPU-2...... 30%" << true
        << "CPU-2 is left in boot mode";
}

void TestE2eSignals::stopSignals() {
    QFETCH(int, sig);
    QFETCH(QString, at);
    QFETCH(bool, withCpu2);
    QFETCH(QString, state);
    SimProcess unit(behind(withCpu2));
    QVERIFY(unit.ready());
    {
        UpdaterRun run({"--auto", "--port", unit.port()});
        QVERIFY2(run.waitForLine(at), qPrintable(run.text()));
        if (at.startsWith(QLatin1String("Progress: Restarting CPU-1"))) {
            QTest::qWait(1000);
        }
        run.signal(sig);
        const int code = run.finish(60000);
        QVERIFY2(code == 128 + sig, qPrintable(QStringLiteral("exit %1\n").arg(code) + run.text()));
        const QString name = sig == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
        QVERIFY2(run.lines().contains(QStringLiteral("Stopping: %1 received; the exchange in "
                                                     "progress ends, then the port is closed.")
                                          .arg(name)),
                 qPrintable(run.text()));
        const qsizetype stateAt =
            run.lines().indexOf(QRegularExpression(QStringLiteral("State: .*")));
        QVERIFY2(stateAt >= 0, qPrintable(run.text()));
        QVERIFY2(run.lines().at(stateAt).contains(state), qPrintable(run.lines().at(stateAt)));
        if (state != QLatin1String("Nothing was written to the unit")) {
            QVERIFY2(run.lines().at(stateAt).contains(QLatin1String("Run the upgrade again")),
                     qPrintable(run.lines().at(stateAt)));
        }
        QCOMPARE(run.lastLine(),
                 QStringLiteral("Result: stopped by %1 before the run ended.").arg(name));
        // Stopped, not failed: no step ran on after the signal to report errors of its own.
        QVERIFY2(!run.text().contains(QLatin1String("Restarting System")), qPrintable(run.text()));
    }
    finishWithCleanRun(unit, withCpu2,
                       at.startsWith(QLatin1String("Progress: Restarting CPU-1"))
                           ? QStringLiteral("Result: nothing to upgrade; no processor needs new "
                                            "firmware.")
                           : QStringLiteral("Result: upgrade complete."));
}

void TestE2eSignals::hangUpDoesNotStop() {
    SimProcess unit(behind(false));
    QVERIFY(unit.ready());
    // The signal handling does not depend on the link: the fast one takes half the time.
    UpdaterRun run({"--auto", "--fast", "--port", unit.port()});
    QVERIFY2(run.waitForLine(QStringLiteral("Progress: Sending New Firmware...... 30%")),
             qPrintable(run.text()));
    run.signal(SIGHUP);
    const int code = run.finish();
    QVERIFY2(code == 0, qPrintable(QStringLiteral("exit %1\n").arg(code) + run.text()));
    QCOMPARE(run.lastLine(), QStringLiteral("Result: upgrade complete."));
    checkUpgraded(unit, false);
}

void TestE2eSignals::closedPipeDoesNotStop() {
    SimProcess unit(behind(false));
    QVERIFY(unit.ready());
    // `head` leaves after two lines; every later line goes to a closed pipe.
    const QString script =
        QStringLiteral("\"$0\" --auto --fast --port \"$1\" | head -n 2; exit ${PIPESTATUS[0]}");
    UpdaterRun run({}, updaterEnvironment(), QStringLiteral("bash"),
                   {"-c", script, QStringLiteral(CORVANE_UPDATER_EXE), unit.port()});
    const int code = run.finish();
    QVERIFY2(code == 0, qPrintable(QStringLiteral("exit %1\n").arg(code) + run.text()));
    QCOMPARE(run.lines().size(), 2);
    checkUpgraded(unit, false);
}

void TestE2eSignals::killedRunLeavesPortUsable() {
    SimProcess unit(behind(false));
    QVERIFY(unit.ready());
    {
        UpdaterRun run({"--auto", "--port", unit.port()});
        QVERIFY2(run.waitForLine(QStringLiteral("Progress: Sending New Firmware...... 40%")),
                 qPrintable(run.text()));
        run.signal(SIGKILL);
        QCOMPARE(run.finish(30000), -2);
    }
    if (::geteuid() != 0) {
        // Only root can lift the mark a killed program left on the pty; an ordinary user is
        // told so.
        UpdaterRun again({"--auto", "--port", unit.port()});
        QCOMPARE(again.finish(), 3);
        QVERIFY2(again.text().contains(QLatin1String("left marked for exclusive use")),
                 qPrintable(again.text()));
        return;
    }
    // The killed run left the pty marked exclusive (a pty keeps the mark while its master
    // lives): the next run finds the unit in its bootloader all the same and finishes.
    finishWithCleanRun(unit, false);
}

void TestE2eSignals::windowClosesOnSignal() {
    // The window, waiting for "Connect via USB": SIGTERM closes it with its own code.
    UpdaterRun run({"--simulate"});
    QVERIFY2(run.waitForLine(QStringLiteral("Simulated unit on ")), qPrintable(run.text()));
    run.signal(SIGTERM);
    const int code = run.finish(60000);
    QVERIFY2(code == 128 + SIGTERM, qPrintable(QStringLiteral("exit %1\n").arg(code) + run.text()));
    QVERIFY2(run.err().contains(QLatin1String("SIGTERM received")), qPrintable(run.err()));
    QVERIFY2(run.err().contains(QLatin1String("Nothing was written to the unit")),
             qPrintable(run.err()));
    QVERIFY2(run.text().contains(QLatin1String("Simulated unit after the run:")),
             qPrintable(run.text()));
}

QTEST_GUILESS_MAIN(TestE2eSignals)
#include "tst_e2e_signals.moc"

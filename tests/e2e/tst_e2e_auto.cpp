// The program itself, run unattended as a script or a production line would: `--auto` with the
// built-in simulated unit (or a port that is no unit), its standard output and its exit code.

#include "SimulatedUnit.h"

#include <QProcess>
#include <QTest>

namespace sim = corvane::sim;

namespace {

QString version(std::uint16_t v) {
    return QStringLiteral("%1.%2").arg(v / 100).arg(v % 100, 2, 10, QLatin1Char('0'));
}

struct Run {
    int exitCode = -1;
    QStringList out;
    QString err;
};

// CTest runs this suite once more with CORVANE_E2E_LINK=fast: every unattended run then
// uses the fast link.
bool fastLink() {
    return qEnvironmentVariable("CORVANE_E2E_LINK") == QLatin1String("fast");
}

Run runUpdater(QStringList args, int timeoutMs = 120000) {
    if (fastLink() && args.contains(QStringLiteral("--auto")))
        args << QStringLiteral("--fast");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(CORVANE_UPDATER_EXE), args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        r.err = QStringLiteral("did not finish");
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput()).split(u'\n');
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

} // namespace

class TestE2eAuto : public QObject {
    Q_OBJECT
private slots:
    void exitCodes_data();
    void exitCodes();
    void successfulRunReportsEveryStage();
    void helpDescribesTheUnattendedRun();
};

void TestE2eAuto::exitCodes_data() {
    const sim::CarriedFirmware c = sim::readCarriedFirmware(sim::defaultBuildDataFolder());
    const QStringList upToDate{"--cpu1", ":" + version(c.version[1]),
                               "--cpu2", ":" + version(c.version[2]),
                               "--hmi",  ":" + version(c.version[3])};
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expectedLine");

    QTest::newRow("nothing to upgrade")
        << (QStringList{"--auto", "--simulate"} + upToDate) << 0
        << QStringLiteral("Result: nothing to upgrade; no processor needs new firmware.");
    QTest::newRow("bootloader of another model")
        << QStringList{"--auto", "--simulate", "--model", "4002"} << 1
        << QStringLiteral("Progress: Retrieving Model Number......Error (Incompatible Model)");
    QTest::newRow("no unit on the port") << QStringList{"--auto", "--port", "/dev/null"} << 3
                                         << QStringLiteral("Scan: Scan Complete.");
    QTest::newRow("refused: firmware below 2.00")
        << QStringList{"--auto", "--simulate", "--cpu1", ":1.50"} << 4
        << QStringLiteral("Message: Unable To Upgrade! Only units with v2.00 firmware and above "
                          "can be upgraded.");
    QTest::newRow("scenario option without --simulate")
        << QStringList{"--auto", "--cpu1", ":1.50"} << 2 << QString();
    QTest::newRow("bad scenario value")
        << QStringList{"--auto", "--simulate", "--fault", "melt"} << 2 << QString();
}

void TestE2eAuto::exitCodes() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, expectedLine);
    const Run r = runUpdater(args);
    QVERIFY2(r.exitCode == exitCode,
             qPrintable(
                 QStringLiteral("exit %1\n%2\n%3").arg(r.exitCode).arg(r.out.join(u'\n'), r.err)));
    if (!expectedLine.isEmpty())
        QVERIFY2(r.out.contains(expectedLine), qPrintable(r.out.join(u'\n')));
    else
        QVERIFY(!r.err.isEmpty()); // a command-line error says what is wrong
}

void TestE2eAuto::successfulRunReportsEveryStage() {
    const sim::CarriedFirmware c = sim::readCarriedFirmware(sim::defaultBuildDataFolder());
    // Only CPU-1 is behind: the shortest complete run.
    Run r = runUpdater({"--auto", "--simulate", "--cpu1", ":2.15", "--cpu2",
                        ":" + version(c.version[2]), "--hmi", ":" + version(c.version[3])});
    const QString all = r.out.join(u'\n');
    QVERIFY2(r.exitCode == 0,
             qPrintable(QStringLiteral("exit %1\n%2\n%3").arg(r.exitCode).arg(all, r.err)));

    QVERIFY(r.out.first().startsWith(QStringLiteral("Simulated unit on /dev/")));
    const QString port = r.out.first().section(u' ', 3, 3).chopped(1);
    QVERIFY(r.out.contains(QStringLiteral("Scan: ") + port + QStringLiteral(" found CV.")));
    // The link the unit was found on: its read interval, and a pty has no low-latency mode.
    const QString link = QStringLiteral("Link: %1, a reply ends after %2 ms of quiet; a "
                                        "pseudo-terminal, not an adapter: no latency timer, and "
                                        "no low-latency mode to grant.")
                             .arg(port, fastLink() ? QStringLiteral("0.5") : QStringLiteral("10"));
    QVERIFY2(r.out.contains(link), qPrintable(link + QStringLiteral("\n") + all));
    // Every line of the sequence, in order, as it appeared. A bar line is printed with the
    // value the run sees when it looks (every 10 ms), so on the fast link the first value may
    // be past 0 % and a 10 % step may be passed over: those stages are prefixes, and the
    // transfer's middle is any line that tells the rate and the time left.
    const QString midTransfer = QStringLiteral("(mid-transfer)");
    const QRegularExpression withEstimate(
        QStringLiteral(R"(^Progress: Sending New Firmware\.{6} \d{1,2}% )"
                       R"(\(\d+\.\d KiB/s, about \d+ (min \d+ )?s left\)$)"));
    const QStringList stages{
        "Progress: Enabling BootLoader.....Done",
        "Progress: Retrieving Model Number......OK",
        "Progress: Erasing Program Memory...... ",
        "Progress: Erasing Program Memory...... 100%",
        "Progress: Sending New Firmware...... ",
        midTransfer,
        "Progress: Sending New Firmware...... 100% (",
        "Progress: Disabling Boot Mode......Done",
        "Progress: Restarting CPU-1......Done",
        "Progress: CPU-2 Firmware Up To Date.",
        "Progress: HMI Firmware Up To Date.",
        "Progress: Restarting System....Done",
        "Progress: Verifying Firmware......OK",
    };
    qsizetype at = 0;
    for (const QString& stage : stages) {
        const auto matches = [&](const QString& line) {
            return stage == midTransfer ? withEstimate.match(line).hasMatch()
                                        : line.startsWith(stage);
        };
        qsizetype found = at;
        while (found < r.out.size() && !matches(r.out.at(found)))
            ++found;
        QVERIFY2(found < r.out.size(), qPrintable(stage + QStringLiteral("\n") + all));
        at = found + 1;
    }
    // The result comes last, after the simulated unit's summary.
    while (!r.out.isEmpty() && r.out.constLast().isEmpty())
        r.out.removeLast();
    QCOMPARE(r.out.constLast(), QStringLiteral("Result: upgrade complete."));
    QVERIFY(r.out.indexOf(QStringLiteral("Simulated unit after the run:")) < r.out.size() - 1);
    // Afterwards the simulated unit reports what it runs: CPU-1 on the carried firmware.
    QVERIFY2(
        all.contains(QRegularExpression(
            QStringLiteral("CPU-1 +running +%1 +%2 +yes").arg(c.rm[1]).arg(version(c.version[1])))),
        qPrintable(all));
}

void TestE2eAuto::helpDescribesTheUnattendedRun() {
    const Run r = runUpdater({"--help"}, 30000);
    QCOMPARE(r.exitCode, 0);
    const QString help = r.out.join(u'\n');
    for (const char* word :
         {"--auto", "--simulate", "--port", "--fast", "--help-simulate", "Exit codes"})
        QVERIFY2(help.contains(QLatin1String(word)), word);
    const Run sim = runUpdater({"--help-simulate"}, 30000);
    QCOMPARE(sim.exitCode, 0);
    for (const char* word : {"--cpu1", "--fault", "--timing", "--bootloader"})
        QVERIFY2(sim.out.join(u'\n').contains(QLatin1String(word)), word);
}

QTEST_GUILESS_MAIN(TestE2eAuto)
#include "tst_e2e_auto.moc"

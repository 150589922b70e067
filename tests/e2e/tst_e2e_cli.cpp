// The command line a technician meets: --identify, runs without a display, the help texts,
// the reasons a port cannot be opened, and two units upgraded at once by two processes.

#include "CliRun.h"

#include <QFile>
#include <QSet>

#include <unistd.h>

using namespace corvane::e2e;

namespace {

QStringList upToDate() {
    const auto& c = carried();
    return {"--cpu1", versionArg(c.version[1]), "--cpu2", versionArg(c.version[2]),
            "--hmi",  versionArg(c.version[3])};
}

// CPU-1 behind, the sub-processors current: the shortest complete upgrade.
QStringList cpu1Behind() {
    const auto& c = carried();
    return {
        "--cpu1", ":2.15", "--cpu2", versionArg(c.version[2]), "--hmi", versionArg(c.version[3])};
}

QString afterSummary(const QStringList& lines) {
    const qsizetype at = lines.indexOf(QStringLiteral("Simulated unit after the run:"));
    return at < 0 ? QString() : lines.mid(at).join(u'\n');
}

} // namespace

class TestE2eCli : public QObject {
    Q_OBJECT
private slots:
    void identifyChangesNothing_data();
    void identifyChangesNothing();
    void runsWithoutDisplay_data();
    void runsWithoutDisplay();
    void helpTexts();
    void badOptionIsOneLine_data();
    void badOptionIsOneLine();
    void openFailureReasons_data();
    void openFailureReasons();
    void twoUnitsAtOnce();
    void portInUseByAnotherRun();
};

void TestE2eCli::identifyChangesNothing_data() {
    const auto& c = carried();
    QTest::addColumn<QStringList>("scenario");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("due"); // processors reported as to be programmed
    QTest::addColumn<QString>("result");
    QTest::newRow("up to date") << upToDate() << 0 << QStringList{}
                                << "Result: up to date; no processor needs new firmware.";
    QTest::newRow("CPU-1 behind") << cpu1Behind() << 10 << QStringList{"CPU-1"}
                                  << "Result: an upgrade is due: CPU-1 would be programmed.";
    QTest::newRow("CPU-2 and HMI behind")
        << QStringList{"--cpu1", versionArg(c.version[1])} << 10 << QStringList{"CPU-2", "HMI"}
        << "Result: an upgrade is due: CPU-2, HMI would be programmed.";
    QTest::newRow("CPU-1 in its bootloader")
        << QStringList{"--bootloader"} << 10 << QStringList{"CPU-1"} << QString();
    // Nothing due is not "up to date" while a processor does not answer.
    QTest::newRow("silent HMI") << (upToDate() << "--hmi-silent") << 4 << QStringList{}
                                << "Result: the unit cannot be upgraded: HMI Not Responding";
    QTest::newRow("refused below 2.00")
        << QStringList{"--cpu1", ":1.50"} << 4 << QStringList{}
        << "Result: the unit cannot be upgraded: Unable To Upgrade! Only units with v2.00 "
           "firmware and above can be upgraded.";
}

void TestE2eCli::identifyChangesNothing() {
    QFETCH(QStringList, scenario);
    QFETCH(int, exitCode);
    QFETCH(QStringList, due);
    QFETCH(QString, result);
    UpdaterRun run(QStringList{"--identify", "--simulate"} + scenario);
    const int code = run.finish();
    QVERIFY2(code == exitCode, qPrintable(QStringLiteral("exit %1\n").arg(code) + run.text()));

    if (exitCode != 4) {
        for (const QString& name :
             {QStringLiteral("CPU-1"), QStringLiteral("CPU-2"), QStringLiteral("HMI")}) {
            const qsizetype at = run.lines().indexOf(
                QRegularExpression(QStringLiteral("^%1: installed .*, carried .*").arg(name)));
            QVERIFY2(at >= 0, qPrintable(name + u'\n' + run.text()));
            QCOMPARE(run.lines().at(at).endsWith(QLatin1String(", to be programmed")),
                     due.contains(name));
        }
    }
    QVERIFY2(run.lastLine().startsWith(QLatin1String("Result: ")), qPrintable(run.text()));
    if (!result.isEmpty()) {
        QCOMPARE(run.lastLine(), result);
    }
    QVERIFY(!run.text().contains(QLatin1String("Loading firmware")));

    // On the unit's side only identification went over the wire, and no flash was touched.
    const QString summary = afterSummary(run.lines());
    QVERIFY2(!summary.isEmpty(), qPrintable(run.text()));
    QVERIFY2(summary.contains(QLatin1String("Upgrade mode requested: no; unit restarted: no")),
             qPrintable(summary));
    const QMap<QString, int> counts = exchangeCounts(summary);
    QVERIFY2(!counts.isEmpty(), qPrintable(summary));
    const QSet<QString> reads{"modbus-read", "bl-model", "bl-info"};
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        QVERIFY2(reads.contains(it.key()), qPrintable(it.key() + u'\n' + summary));
    }
    for (const QString& name :
         {QStringLiteral("CPU-1"), QStringLiteral("CPU-2"), QStringLiteral("HMI")}) {
        const QStringList row = summaryRow(summary, name).split(u' ');
        QVERIFY2(row.size() >= 5, qPrintable(summary));
        if (row[1] != QLatin1String("absent")) {
            QCOMPARE(row[4], QStringLiteral("no")); // "Programmed"
        }
    }
}

void TestE2eCli::runsWithoutDisplay_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("display"); // empty: none at all
    QTest::addColumn<int>("exitCode");
    QTest::newRow("--auto, no display")
        << (QStringList{"--auto", "--simulate"} + upToDate()) << QString() << 0;
    QTest::newRow("--identify, no display")
        << (QStringList{"--identify", "--simulate"} + cpu1Behind()) << QString() << 10;
    QTest::newRow("--auto, a display nobody serves")
        << (QStringList{"--auto", "--simulate"} + upToDate()) << ":97" << 0;
}

void TestE2eCli::runsWithoutDisplay() {
    QFETCH(QStringList, args);
    QFETCH(QString, display);
    QFETCH(int, exitCode);
    QProcessEnvironment env = updaterEnvironment(true);
    if (!display.isEmpty()) {
        env.insert(QStringLiteral("DISPLAY"), display);
    }
    // Qt names every plugin it loads, and warns about a missing runtime folder, on standard
    // error: a run without a window loads none and has nothing to warn about.
    env.insert(QStringLiteral("QT_DEBUG_PLUGINS"), QStringLiteral("1"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    UpdaterRun run(args, env);
    const int code = run.finish();
    QVERIFY2(code == exitCode, qPrintable(QStringLiteral("exit %1\n").arg(code) + run.text()));
    QVERIFY2(run.lastLine().startsWith(QLatin1String("Result: ")), qPrintable(run.text()));
    QVERIFY2(run.err().trimmed().isEmpty(), qPrintable(run.err()));
}

void TestE2eCli::helpTexts() {
    UpdaterRun help({"--help"});
    QCOMPARE(help.finish(30000), 0);
    const QString main = help.lines().join(u'\n');
    for (const char* word : {"--auto", "--identify", "--port", "--simulate", "--help-simulate",
                             "Exit codes", "10 ", "130", "143", "dialout"}) {
        QVERIFY2(main.contains(QLatin1String(word)), word);
    }
    // The simulated unit's many options are not a technician's.
    for (const char* word : {"--cpu1", "--fault", "--timing", "--bootloader", "--seed"}) {
        QVERIFY2(!main.contains(QLatin1String(word)), word);
    }

    UpdaterRun simulate({"--help-simulate"});
    QCOMPARE(simulate.finish(30000), 0);
    const QString sim = simulate.lines().join(u'\n');
    for (const char* word : {"--cpu1", "--hmi", "--fault", "--timing", "--bootloader", "--seed"}) {
        QVERIFY2(sim.contains(QLatin1String(word)), word);
    }
}

void TestE2eCli::badOptionIsOneLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("words");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "bogus";
    QTest::newRow("missing value") << QStringList{"--auto", "--port"} << "port";
    QTest::newRow("scenario without --simulate") << QStringList{"--cpu1", ":1.50"} << "--simulate";
    QTest::newRow("both run modes") << QStringList{"--auto", "--identify"} << "--identify";
}

void TestE2eCli::badOptionIsOneLine() {
    QFETCH(QStringList, args);
    QFETCH(QString, words);
    UpdaterRun run(args);
    QCOMPARE(run.finish(30000), 2);
    QVERIFY2(run.lines().isEmpty(), qPrintable(run.text()));
    const QStringList err = run.err().trimmed().split(u'\n');
    QVERIFY2(err.size() == 2, qPrintable(run.err()));
    QVERIFY2(err[0].contains(words), qPrintable(run.err()));
    QVERIFY2(err[1].contains(QLatin1String("--help")), qPrintable(run.err()));
}

void TestE2eCli::openFailureReasons_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("words");
    QTest::newRow("no such device") << "missing"
                                    << "--auto" << QStringList{"No such device", "plugged in"};
    QTest::newRow("not a serial port")
        << "null"
        << "--identify" << QStringList{"/dev/null is not a serial port"};
    QTest::newRow("a plain file") << "file"
                                  << "--auto" << QStringList{"is not a serial port"};
    QTest::newRow("in use") << "locked"
                            << "--auto" << QStringList{"in use by another program"};
    QTest::newRow("permission denied")
        << "unprivileged"
        << "--identify"
        << QStringList{"Permission denied", "dialout", "sudo usermod -aG dialout $USER"};
}

void TestE2eCli::openFailureReasons() {
    QFETCH(QString, kind);
    QFETCH(QString, mode);
    QFETCH(QStringList, words);
    QTemporaryDir dir;
    QString port;
    std::unique_ptr<SimProcess> unit;
    std::unique_ptr<QProcess> holder;
    QString program = QStringLiteral(CORVANE_UPDATER_EXE);
    QStringList before;
    if (kind == QLatin1String("missing")) {
        port = QStringLiteral("/dev/corvane-no-such-adapter");
    } else if (kind == QLatin1String("null")) {
        port = QStringLiteral("/dev/null");
    } else if (kind == QLatin1String("file")) {
        port = dir.path() + QStringLiteral("/plain");
        QFile f(port);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else {
        unit = std::make_unique<SimProcess>(upToDate());
        QVERIFY(unit->ready());
        port = unit->ptyPath();
        if (kind == QLatin1String("locked")) {
            holder = std::make_unique<QProcess>();
            holder->start(QStringLiteral("flock"),
                          {port, QStringLiteral("-c"), QStringLiteral("echo locked; cat")});
            QVERIFY(holder->waitForReadyRead(10000));
        } else {
            if (::geteuid() != 0) {
                QSKIP("needs root to run the updater as another user");
            }
            // A pty belongs to the user who opened it, mode 0620: nobody may not open it.
            program = QStringLiteral("setpriv");
            before = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--",
                      QStringLiteral(CORVANE_UPDATER_EXE)};
        }
    }
    UpdaterRun run({mode, "--port", port}, updaterEnvironment(), program, before);
    const int code = run.finish(60000);
    if (holder) {
        holder->closeWriteChannel();
        holder->waitForFinished(5000);
    }
    QVERIFY2(code == 3, qPrintable(QStringLiteral("exit %1\n").arg(code) + run.text()));
    const qsizetype at =
        run.lines().indexOf(QStringLiteral("Scan: ") + port + QStringLiteral(" unable to open."));
    QVERIFY2(at >= 0 && at + 1 < run.lines().size(), qPrintable(run.text()));
    const QString reason = run.lines().at(at + 1);
    for (const QString& w : words) {
        QVERIFY2(reason.contains(w), qPrintable(reason));
    }
    // The result names the reason, not a time-out.
    QVERIFY2(run.lastLine().startsWith(QLatin1String("Result: no unit found: ")),
             qPrintable(run.text()));
    QVERIFY2(run.lastLine().contains(words.constFirst()), qPrintable(run.lastLine()));
    QVERIFY2(!run.lastLine().contains(QLatin1String("timed out")), qPrintable(run.lastLine()));
}

void TestE2eCli::twoUnitsAtOnce() {
    SimProcess a(cpu1Behind(), QStringLiteral("a"));
    SimProcess b(cpu1Behind(), QStringLiteral("b"));
    QVERIFY(a.ready() && b.ready());
    UpdaterRun runA({"--auto", "--port", a.port()});
    UpdaterRun runB({"--auto", "--port", b.port()});
    // Both are programming at the same time.
    QVERIFY2(runA.waitForLine(QStringLiteral("Progress: Sending New Firmware")),
             qPrintable(runA.text()));
    QVERIFY2(runB.waitForLine(QStringLiteral("Progress: Sending New Firmware")),
             qPrintable(runB.text()));
    const int codeA = runA.finish();
    const int codeB = runB.finish();
    QVERIFY2(codeA == 0, qPrintable(runA.text()));
    QVERIFY2(codeB == 0, qPrintable(runB.text()));
    QCOMPARE(runA.lastLine(), QStringLiteral("Result: upgrade complete."));
    QCOMPARE(runB.lastLine(), QStringLiteral("Result: upgrade complete."));
    for (SimProcess* unit : {&a, &b}) {
        const QString row = summaryRow(unit->stop(), QStringLiteral("CPU-1"));
        QVERIFY2(row.startsWith(QStringLiteral("CPU-1 running %1 ").arg(carried().rm[1])),
                 qPrintable(row));
        QVERIFY2(row.endsWith(QLatin1String(" yes")), qPrintable(row)); // carried image
    }
}

void TestE2eCli::portInUseByAnotherRun() {
    SimProcess unit(cpu1Behind());
    QVERIFY(unit.ready());
    UpdaterRun first({"--auto", "--port", unit.port()});
    QVERIFY2(first.waitForLine(QStringLiteral("Loading firmware...")), qPrintable(first.text()));
    for (const QString& mode : {QStringLiteral("--auto"), QStringLiteral("--identify")}) {
        UpdaterRun second({mode, "--port", unit.port()});
        const int code = second.finish(60000);
        QVERIFY2(code == 3, qPrintable(second.text()));
        QVERIFY2(second.text().contains(QLatin1String("in use by another program")),
                 qPrintable(second.text()));
    }
    // The first run was not disturbed.
    QVERIFY2(first.finish() == 0, qPrintable(first.text()));
    QCOMPARE(first.lastLine(), QStringLiteral("Result: upgrade complete."));
}

QTEST_GUILESS_MAIN(TestE2eCli)
#include "tst_e2e_cli.moc"

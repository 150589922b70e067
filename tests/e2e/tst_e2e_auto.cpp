// The program itself, run unattended as a script or a production line would: `--auto` with the
// built-in simulated unit (or a port that is no unit), its standard output and its exit code.

#include "CliRun.h"
#include "SimulatedUnit.h"
#include "support/Scenarios.h"

#include "support/TestEnv.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
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
Run runUpdater(QStringList args, int timeoutMs = 120000) {
    if (fastLinkRequested() && args.contains(QStringLiteral("--auto"))) {
        args << QStringLiteral("--fast");
    }
    corvane::e2e::UpdaterRun run(args);
    Run r;
    r.exitCode = run.finish(timeoutMs);
    r.out = run.lines();
    r.err = run.err();
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
    void transcriptOfAFullUpgrade();
    void cutOffRunLeavesItsTranscript();
    void unwritableTranscriptIsACommandLineError();
    void transcriptSaysWhyAPortDidNotOpen();
};

void TestE2eAuto::exitCodes_data() {
    const sim::CarriedFirmware& c = corvane::test::carried();
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
    if (!expectedLine.isEmpty()) {
        QVERIFY2(r.out.contains(expectedLine), qPrintable(r.out.join(u'\n')));
    } else {
        QVERIFY(!r.err.isEmpty()); // a command-line error says what is wrong
    }
}

void TestE2eAuto::successfulRunReportsEveryStage() {
    const sim::CarriedFirmware& c = corvane::test::carried();
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
    const QString link =
        QStringLiteral("Link: %1, a reply ends %2; a "
                       "pseudo-terminal, not an adapter: no latency timer, and "
                       "no low-latency mode to grant.")
            .arg(port, fastLinkRequested() ? QStringLiteral("on its last byte")
                                           : QStringLiteral("after 10 ms of quiet"));
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
        while (found < r.out.size() && !matches(r.out.at(found))) {
            ++found;
        }
        QVERIFY2(found < r.out.size(), qPrintable(stage + QStringLiteral("\n") + all));
        at = found + 1;
    }
    // The result comes last, after the simulated unit's summary.
    while (!r.out.isEmpty() && r.out.constLast().isEmpty()) {
        r.out.removeLast();
    }
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
         {"--auto", "--simulate", "--port", "--fast", "--help-simulate", "Exit codes"}) {
        QVERIFY2(help.contains(QLatin1String(word)), word);
    }
    const Run sim = runUpdater({"--help-simulate"}, 30000);
    QCOMPARE(sim.exitCode, 0);
    for (const char* word : {"--cpu1", "--fault", "--timing", "--bootloader"}) {
        QVERIFY2(sim.out.join(u'\n').contains(QLatin1String(word)), word);
    }
}

namespace {

// "     123 ms  tag      text": every transcript line has this shape.
const QRegularExpression kTranscriptLine(QStringLiteral("^ *(\\d+) ms  (\\S+) +(.*)$"));

QStringList readLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
    if (!lines.isEmpty() && lines.constLast().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// The sum of the simulated unit's "Exchanges: kind N, kind N, ..." line.
int simulatorExchanges(const QStringList& out) {
    for (const QString& line : out) {
        if (!line.startsWith(QStringLiteral("Exchanges: "))) {
            continue;
        }
        int total = 0;
        static const QRegularExpression count(QStringLiteral("[a-z0-9-]+ (\\d+)"));
        for (auto it = count.globalMatch(line.mid(11)); it.hasNext();) {
            total += it.next().captured(1).toInt();
        }
        return total;
    }
    return -1;
}

} // namespace

void TestE2eAuto::transcriptOfAFullUpgrade() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("run.txt"));
    // Every processor behind (each at the lowest version that can be upgraded): CPU-1 through
    // its bootloader, CPU-2 and the HMI through CPU-1.
    const Run r = runUpdater({"--auto", "--simulate", "--cpu1", ":2.15", "--cpu2", ":1.00", "--hmi",
                              ":1.05", "--log", log});
    QVERIFY2(r.exitCode == 0,
             qPrintable(
                 QStringLiteral("exit %1\n%2\n%3").arg(r.exitCode).arg(r.out.join(u'\n'), r.err)));
    const QStringList lines = readLines(log);
    QVERIFY(lines.size() > 100);

    QMap<QString, int> tags;
    qint64 last = 0;
    for (const QString& line : lines) {
        const auto m = kTranscriptLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const qint64 ms = m.captured(1).toLongLong();
        QVERIFY2(ms >= last, qPrintable(line)); // in the order things happened
        last = ms;
        ++tags[m.captured(2)];
        // Every frame the updater wrote belongs to an exchange.
        if (m.captured(2) == QLatin1String("tx")) {
            QVERIFY2(!m.captured(3).startsWith(QStringLiteral("(between")), qPrintable(line));
        }
    }
    const int exchanges = simulatorExchanges(r.out);
    QVERIFY2(exchanges > 1000, qPrintable(r.out.join(u'\n')));
    QCOMPARE(tags.value(QStringLiteral("end")), exchanges);
    QCOMPARE(tags.value(QStringLiteral("tx")), exchanges);
    QVERIFY(tags.value(QStringLiteral("rx")) >= exchanges);

    QVERIFY(lines.first().contains(QStringLiteral("info     Corvane Firmware Updater ")));
    const QString all = lines.join(u'\n');
    QVERIFY2(all.contains(QRegularExpression(QStringLiteral("info +build data \"[^\"]+\": CPU-1 "
                                                            "RM\\d+ v\\d\\.\\d\\d"))),
             qPrintable(lines.mid(0, 5).join(u'\n')));
    const QString port = r.out.first().section(u' ', 3, 3).chopped(1);
    QVERIFY2(all.contains(QStringLiteral("ports    ") + port), qPrintable(port));
    QVERIFY(all.contains(QStringLiteral("scan     ") + port + QStringLiteral(" found CV.")));
    for (const char* stage : {"Erasing Program Memory...... 100%", "Restarting CPU-1......Done",
                              "Restarting System....Done"}) {
        QVERIFY2(all.contains(QStringLiteral("progress ") + QLatin1String(stage)), stage);
    }
    QVERIFY2(all.contains(QRegularExpression(
                 QStringLiteral("tx +bootloader cmd 0x02 len 2 count 131  10 02 "))),
             "bootloader program frames");
    QVERIFY2(lines.constLast().endsWith(
                 QStringLiteral("result   Result: upgrade complete. (exit code 0)")),
             qPrintable(lines.constLast()));
}

void TestE2eAuto::cutOffRunLeavesItsTranscript() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("cut.txt"));
    corvane::e2e::UpdaterRun p({"--auto", "--simulate", "--cpu1", ":2.15", "--log", log});
    // Killed in the middle of CPU-1's programming, with no chance to finish anything.
    QTRY_VERIFY_WITH_TIMEOUT(readLines(log).join(u'\n').contains(QStringLiteral("cmd 0x02")),
                             60000);
    p.signal(SIGKILL);
    QCOMPARE(p.finish(10000), -2);
    const QStringList lines = readLines(log);
    QFile f(log);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().endsWith('\n')); // no half-written line
    for (const QString& line : lines) {
        QVERIFY2(kTranscriptLine.match(line).hasMatch(), qPrintable(line));
    }
    QVERIFY(lines.join(u'\n').contains(QStringLiteral("progress Sending New Firmware")));
    QVERIFY2(!lines.constLast().contains(QStringLiteral("result ")),
             qPrintable(lines.mid(std::max<qsizetype>(0, lines.size() - 8)).join(u'\n')));
}

void TestE2eAuto::unwritableTranscriptIsACommandLineError() {
    const Run r = runUpdater({"--auto", "--simulate", "--log", "/nonexistent-folder/run.txt"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(QStringLiteral("/nonexistent-folder/run.txt")), qPrintable(r.err));
}

void TestE2eAuto::transcriptSaysWhyAPortDidNotOpen() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("none.txt"));
    const QString missing = dir.filePath(QStringLiteral("ttyUSB9"));
    const Run r = runUpdater({"--auto", "--port", "/dev/null", "--port", missing, "--log", log});
    QCOMPARE(r.exitCode, 3);
    QStringList body;
    for (const QString& line : readLines(log)) {
        const auto m = kTranscriptLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        if (m.captured(2) == QLatin1String("ports") || m.captured(2) == QLatin1String("scan") ||
            m.captured(2) == QLatin1String("result")) {
            body << m.captured(2) + QLatin1Char(' ') + m.captured(3);
        }
    }
    QCOMPARE(body.size(), 6);
    QCOMPARE(body[0], QStringLiteral("ports /dev/null, ") + missing);
    QCOMPARE(body[1], QStringLiteral("scan /dev/null unable to open."));
    QVERIFY2(body[2].startsWith(QStringLiteral("scan why: ")) && body[2].contains("/dev/null"),
             qPrintable(body[2]));
    QCOMPARE(body[3], QStringLiteral("scan ") + missing + QStringLiteral(" unable to open."));
    QVERIFY2(body[4].startsWith(QStringLiteral("scan why: ")) && body[4].contains(missing),
             qPrintable(body[4]));
    QVERIFY2(body[5].startsWith(QStringLiteral("result Result: no unit found: ")) &&
                 body[5].endsWith(QStringLiteral("(exit code 3)")),
             qPrintable(body[5]));
}

QTEST_GUILESS_MAIN(TestE2eAuto)
#include "tst_e2e_auto.moc"

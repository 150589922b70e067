// The history as a station uses it: the real program with its built-in simulated unit records
// its run (every field against what the unit reported), several processes write one database
// at once, a database that cannot be written (locked, read-only, damaged, on a full disk)
// changes nothing about the run, and --show and --export-csv print what was recorded.

#include "HistoryReader.h"
#include "RunHistory.h"
#include "e2e/CliRun.h"
#include "firmware/FirmwareCheck.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <unistd.h>

using corvane::e2e::updaterEnvironment;
using corvane::e2e::UpdaterRun;
using corvane::e2e::versionArg;
using corvane::test::carried;

namespace {

const QString kUpdater = QStringLiteral(CORVANE_UPDATER_EXE);

struct Run {
    int exitCode = -1;
    QStringList out;
    QString err;
    [[nodiscard]] QString text() const { return out.join(u'\n') + u'\n' + err; }
};

Run finish(UpdaterRun& run, int timeoutMs = 120000) {
    Run r;
    r.exitCode = run.finish(timeoutMs);
    r.out = run.lines();
    r.err = run.err();
    return r;
}

Run runUpdater(const QStringList& args, const QProcessEnvironment& env = updaterEnvironment(),
               const QString& program = kUpdater, const QStringList& before = {}) {
    UpdaterRun run(args, env, program, before);
    return finish(run);
}

QStringList upToDate() {
    const auto& c = carried();
    return {"--cpu1", versionArg(c.version[1]), "--cpu2", versionArg(c.version[2]),
            "--hmi",  versionArg(c.version[3])};
}

// "Simulated unit on /dev/pts/4: CPU-1 RM4001 v2.15, ..." -> "/dev/pts/4"
QString simulatedPort(const QStringList& out) {
    static const QRegularExpression re(QStringLiteral("^Simulated unit on (\\S+):"));
    for (const QString& line : out) {
        if (const QRegularExpressionMatch m = re.match(line); m.hasMatch()) {
            return m.captured(1);
        }
    }
    return {};
}

// A history with its schema and no run.
void makeHistory(const QString& path) {
    RunHistory history(path, RunHistory::Access::ReadWrite);
    QVERIFY2(history.isOpen(), qPrintable(history.error()));
}

// The record that went to standard error as JSON, and the one line that says so.
QJsonObject strayRecord(const QString& err, QString* notice) {
    QJsonObject record;
    for (const QString& line : err.split(u'\n')) {
        if (line.startsWith(u'{')) {
            record = QJsonDocument::fromJson(line.toUtf8()).object();
        } else if (line.contains(QLatin1String("not recorded"))) {
            *notice = line;
        }
    }
    return record;
}

} // namespace

class TestHistoryCli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void upgradeIsRecorded();
    void stationWritesAtOnce();
    void stationPassesTheHistoryOn();
    void windowIsRecorded();
    void noUnitRecordsThePortTried();
    void unwritableHistory_data();
    void unwritableHistory();
    void showAndExport();
    void commandLine_data();
    void commandLine();

private:
    // The run the failure cases repeat, without --history.
    Run m_reference;
    QStringList m_referenceArgs;
};

void TestHistoryCli::initTestCase() {
    m_referenceArgs = QStringList{"--auto", "--fast", "--simulate"} + upToDate();
    m_reference = runUpdater(m_referenceArgs);
    QVERIFY2(m_reference.exitCode == 0, qPrintable(m_reference.text()));
}

void TestHistoryCli::upgradeIsRecorded() {
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("runs.db"));
    const QString log = dir.filePath(QStringLiteral("run.txt"));
    const Run version = runUpdater({"--version"});
    const auto& c = carried();
    // Only CPU-1 behind: the least work that programs, restarts and verifies.
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const Run run = runUpdater({"--auto", "--fast", "--simulate", "--cpu1", ":2.15", "--cpu2",
                                versionArg(c.version[2]), "--hmi", versionArg(c.version[3]),
                                "--history", db, "--log", log});
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QVERIFY2(run.exitCode == 0, qPrintable(run.text()));
    QVERIFY2(!run.err.contains(QLatin1String("not recorded")), qPrintable(run.err));

    // What the simulated unit reported: its port and versions at the start, and its summary
    // after the run ("CPU-1  running  4001  2.45 ...").
    const QString port = simulatedPort(run.out);
    QVERIFY2(!port.isEmpty(), qPrintable(run.text()));
    const QString start = run.out.filter(QStringLiteral("Simulated unit on")).constFirst();
    const QString summary = run.out.join(u'\n');
    const QList<QVariantMap> rows = readRuns(db);
    QCOMPARE(rows.size(), 1);
    const QVariantMap& r = rows[0];

    const QDateTime started = QDateTime::fromString(r["started_utc"].toString(), Qt::ISODateWithMs);
    const QDateTime ended = QDateTime::fromString(r["ended_utc"].toString(), Qt::ISODateWithMs);
    QVERIFY(r["started_utc"].toString().endsWith(u'Z'));
    QVERIFY2(before.addMSecs(-1000) <= started && started <= ended && ended <= after,
             qPrintable(r["started_utc"].toString() + u' ' + r["ended_utc"].toString()));
    QVERIFY(qAbs(started.msecsTo(ended) - r["duration_ms"].toLongLong()) < 1000);
    QCOMPARE(r["host"].toString(), QSysInfo::machineHostName());
    QCOMPARE(QStringLiteral("Corvane Firmware Updater ") + r["program_version"].toString(),
             version.out.value(0));
    QCOMPARE(r["mode"].toString(), QStringLiteral("auto"));
    QCOMPARE(r["port"].toString(), port);

    const QStringList prefixes{"cpu1", "cpu2", "hmi"};
    const QStringList names{"CPU-1", "CPU-2", "HMI"};
    for (int n = 1; n <= 3; ++n) {
        const QString p = prefixes[n - 1] + u'_';
        const QString rm = r[p + "rm_before"].toString();
        const QString carriedVersion = versionArg(c.version[std::size_t(n)]).mid(1);
        // The unit's own words: "CPU-2 RM5103 v2.32" at the start.
        QVERIFY2(start.contains(QStringLiteral("%1 RM%2 v%3")
                                    .arg(names[n - 1], rm, r[p + "version_before"].toString())),
                 qPrintable(start + u'\n' + p + rm));
        QCOMPARE(r[p + "rm_carried"].toInt(), int(c.rm[std::size_t(n)]));
        QCOMPARE(r[p + "version_carried"].toString(), carriedVersion);
        // And its summary after the run: the row of the processor with its RM and version.
        const QString row = corvane::e2e::summaryRow(summary, names[n - 1]);
        QVERIFY2(row.contains(QStringLiteral(" %1 %2 ").arg(r[p + "rm_after"].toString(),
                                                            r[p + "version_after"].toString())),
                 qPrintable(row + u'\n' + summary));
        QCOMPARE(r[p + "version_after"].toString(), carriedVersion);
        QCOMPARE(r[p + "programmed"].toInt(), n == 1 ? 1 : 0);
        QCOMPARE(r[p + "verified"].toInt(), 1);
        QCOMPARE(r[p + "holding"].toString(), QStringLiteral("carried"));
        // The digest of the image carried for it, as the start-up check knows it.
        QCOMPARE(r[p + "sha256"].toString(),
                 QString::fromLatin1(carriedImageSha256(n, 4001).toHex()));
    }
    QCOMPARE(r["build_data_sha256"].toString(),
             QString::fromLatin1(carriedDigests().buildDataSha256.toHex()));
    QCOMPARE(r["cpu1_version_before"].toString(), QStringLiteral("2.15"));
    QCOMPARE(r["product_rm"].toInt(), r["cpu1_rm_before"].toInt());
    QCOMPARE(r["result"].toString(), QStringLiteral("success"));
    QCOMPARE(r["exit_code"].toInt(), 0);
    QCOMPARE(r["cause"].toString(), QStringLiteral("none"));
    QVERIFY(r["failed_processor"].isNull());
    QCOMPARE(QStringLiteral("Result: ") + r["summary"].toString(), run.out.constLast());
    QCOMPARE(r["transcript"].toString(), log);
    QVERIFY(QFile::exists(log));
}

void TestHistoryCli::stationWritesAtOnce() {
    // One process per port, all on one file that does not exist yet, then once more on it.
    constexpr int kProcesses = 8;
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("station.db"));
    QStringList ports;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<UpdaterRun>> runs;
        for (int i = 0; i < kProcesses; ++i) {
            runs.push_back(std::make_unique<UpdaterRun>(
                QStringList{"--identify", "--simulate", "--history", db}));
        }
        for (auto& process : runs) {
            const Run r = finish(*process);
            QVERIFY2(r.exitCode == 10, qPrintable(r.text()));
            QVERIFY2(!r.err.contains(QLatin1String("not recorded")), qPrintable(r.err));
            ports << simulatedPort(r.out);
        }
    }
    const QList<QVariantMap> rows = readRuns(db);
    QCOMPARE(rows.size(), 2 * kProcesses);
    QStringList recorded;
    for (const QVariantMap& r : rows) {
        recorded << r["port"].toString();
        QCOMPARE(r["mode"].toString(), QStringLiteral("identify"));
        QCOMPARE(r["exit_code"].toInt(), 10);
        QCOMPARE(r["result"].toString(), QStringLiteral("upgrade-due"));
        QCOMPARE(r["cpu1_version_before"].toString(), QStringLiteral("2.15"));
    }
    ports.sort();
    recorded.sort();
    QCOMPARE(recorded, ports);
}

void TestHistoryCli::stationPassesTheHistoryOn() {
    // A station of three simulated units, one of them of a product this program does not know
    // (no unit found): every child writes its record.
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("line.db"));
    const Run run =
        runUpdater(QStringList{"--station", "--simulate", "3", "--fast"} + upToDate() +
                   QStringList{"--slot-scenario", "2:--cpu1 9999:2.45", "--history", db});
    QVERIFY2(run.exitCode == 8, qPrintable(run.text())); // some slots failed
    QVERIFY2(!run.err.contains(QLatin1String("not recorded")), qPrintable(run.err));
    const QList<QVariantMap> rows = readRuns(db);
    QCOMPARE(rows.size(), 3);
    QStringList ports;
    QList<int> exits;
    for (const QVariantMap& r : rows) {
        QCOMPARE(r["mode"].toString(), QStringLiteral("auto"));
        ports << r["port"].toString();
        exits << r["exit_code"].toInt();
        if (r["exit_code"].toInt() == 0) {
            QCOMPARE(r["hmi_sha256"].toString(),
                     QString::fromLatin1(carriedImageSha256(3, 0).toHex()));
        }
    }
    ports.removeDuplicates();
    QCOMPARE(ports.size(), 3);
    std::sort(exits.begin(), exits.end());
    QCOMPARE(exits, (QList<int>{0, 0, 3}));
}

void TestHistoryCli::windowIsRecorded() {
    // The window records its session when it closes, here stopped by SIGTERM.
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("runs.db"));
    UpdaterRun window({"--simulate", "--history", db});
    QVERIFY(window.waitForLine(QStringLiteral("Simulated unit on"), 30000));
    window.signal(SIGTERM);
    const Run run = finish(window, 30000);
    QVERIFY2(run.exitCode == 143, qPrintable(run.text()));
    const QList<QVariantMap> rows = readRuns(db);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["mode"].toString(), QStringLiteral("window"));
    QCOMPARE(rows[0]["exit_code"].toInt(), 143);
    QCOMPARE(rows[0]["result"].toString(), QStringLiteral("stopped"));
}

void TestHistoryCli::noUnitRecordsThePortTried() {
    // A station's slot with no unit on it still says which slot it was.
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("runs.db"));
    const Run run = runUpdater({"--identify", "--port", "/dev/null", "--history", db});
    QVERIFY2(run.exitCode == 3, qPrintable(run.text()));
    const QList<QVariantMap> rows = readRuns(db);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["port"].toString(), QStringLiteral("/dev/null"));
    QCOMPARE(rows[0]["result"].toString(), QStringLiteral("no-unit-found"));
    QVERIFY(rows[0]["product_rm"].isNull());
}

void TestHistoryCli::unwritableHistory_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why"); // in the error SQLite gives
    QTest::newRow("locked") << "locked"
                            << "locked";
    QTest::newRow("read-only file") << "read-only"
                                    << "readonly";
    QTest::newRow("damaged file") << "damaged"
                                  << "not a database";
    QTest::newRow("full disk") << "full"
                               << "database or disk is full";
}

void TestHistoryCli::unwritableHistory() {
    QFETCH(QString, kind);
    QFETCH(QString, why);
    QTemporaryDir dir;
    QString db = dir.filePath(QStringLiteral("runs.db"));
    QString program = kUpdater;
    QStringList before;
    QProcessEnvironment env = updaterEnvironment();
    QByteArray damage;
    std::optional<Reader> holder;
    if (kind == QLatin1String("damaged")) {
        damage.resize(64 * 1024);
        for (qsizetype i = 0; i < damage.size(); ++i) {
            damage[i] = char((i * 7919 + 13) % 251);
        }
        QFile f(db);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(damage) == damage.size());
    } else {
        makeHistory(db);
    }
    if (kind == QLatin1String("locked")) {
        holder.emplace(db, Reader::ReadWrite);
        QVERIFY(holder->exec(QStringLiteral("BEGIN EXCLUSIVE")));
    } else if (kind == QLatin1String("read-only")) {
        QVERIFY(QFile::setPermissions(db, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        if (::geteuid() == 0) {
            // Root writes any file: the run is made by an ordinary user.
            QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
            program = QStringLiteral("setpriv");
            before = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", kUpdater};
        }
    } else if (kind == QLatin1String("full")) {
        if (::geteuid() != 0 || QProcess::execute(QStringLiteral("unshare"), {"-m", "true"}) != 0) {
            QSKIP("a small file system of its own needs root and mount namespaces");
        }
        // The history lies on a file system of 256 KiB that a filler file has filled up to
        // 36 KiB: room for the shared-memory index (32 KiB), none for a record. The file is
        // copied out after the run.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("full")));
        QVERIFY(QFile::rename(db, dir.filePath(QStringLiteral("seed.db"))));
        db = dir.filePath(QStringLiteral("full/runs.db"));
        env.insert(QStringLiteral("HISTORY_DIR"), dir.path());
        program = QStringLiteral("unshare");
        before = {"-m", "sh", "-c",
                  "cd \"$HISTORY_DIR\" && mount -t tmpfs -o size=256k none full && "
                  "cp seed.db full/runs.db && "
                  "dd if=/dev/zero of=full/spare bs=4096 count=9 2>/dev/null && "
                  "{ dd if=/dev/zero of=full/fill bs=4096 2>/dev/null; rm full/spare; } && "
                  "\"$0\" \"$@\"; code=$?; cp full/runs.db after.db; exit $code",
                  kUpdater};
    }
    const Run run =
        runUpdater(m_referenceArgs + QStringList{"--history", db}, env, program, before);
    holder.reset();
    // The run ends as it would have without --history.
    QVERIFY2(run.exitCode == m_reference.exitCode, qPrintable(run.text()));
    QCOMPARE(run.out.constLast(), m_reference.out.constLast());
    // Its record is on standard error, and one line says it was not recorded.
    QString notice;
    const QJsonObject record = strayRecord(run.err, &notice);
    QVERIFY2(!notice.isEmpty(), qPrintable(run.err));
    QCOMPARE(run.err.count(QLatin1String("not recorded")), 1);
    QCOMPARE(record.value(QStringLiteral("type")).toString(), QStringLiteral("run-record"));
    QCOMPARE(record.value(QStringLiteral("database")).toString(), db);
    const QString error = record.value(QStringLiteral("error")).toString();
    QVERIFY2(error.contains(why), qPrintable(error));
    QVERIFY2(notice.contains(error), qPrintable(notice));
    const QJsonObject data = record.value(QStringLiteral("data")).toObject();
    QCOMPARE(data.value(QStringLiteral("mode")).toString(), QStringLiteral("auto"));
    QCOMPARE(data.value(QStringLiteral("exit_code")).toInt(), m_reference.exitCode);
    QCOMPARE(data.value(QStringLiteral("port")).toString(), simulatedPort(run.out));
    QCOMPARE(data.value(QStringLiteral("cpu2_version_before")).toString(),
             versionArg(carried().version[2]).mid(1));
    // A damaged file is left as it was; a locked one has no half-written record.
    if (kind == QLatin1String("damaged")) {
        QFile f(db);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll() == damage);
    } else {
        const QString file =
            kind == QLatin1String("full") ? dir.filePath(QStringLiteral("after.db")) : db;
        const std::optional<QList<QVariantMap>> rows = Reader(file).rows();
        QVERIFY(rows);
        QCOMPARE(rows->size(), 0);
    }
}

void TestHistoryCli::showAndExport() {
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("runs.db"));
    for (int i = 0; i < 25; ++i) {
        RunRecord r;
        r.startedUtc = QDateTime(QDate(2025, 1, 2), QTime(8, i, 0), Qt::UTC);
        r.endedUtc = r.startedUtc.addSecs(30);
        r.durationMs = 30000;
        r.mode = QStringLiteral("auto");
        r.outcome.exit = RunExit::Success;
        r.outcome.cause = Cause::None;
        r.outcome.port = QStringLiteral("/dev/ttyUSB%1").arg(i % 4);
        QVERIFY(writeRunRecord(db, r).isEmpty());
    }

    const Run last3 = runUpdater({"--history", db, "--show", "3"});
    QVERIFY2(last3.exitCode == 0, qPrintable(last3.text()));
    QCOMPARE(last3.out.size(), 5); // heads, three runs, legend
    QVERIFY(last3.out[0].startsWith(QLatin1String("run")));
    QVERIFY2(last3.out[1].startsWith(QLatin1String(" 23  2025-01-02 08:22:00  30.0 s  auto")),
             qPrintable(last3.out[1]));
    QVERIFY(last3.out[3].startsWith(QLatin1String(" 25  2025-01-02 08:24:00")));
    const Run byDefault = runUpdater({"--history", db, "--show"});
    QCOMPARE(byDefault.out.size(), 22); // the last 20
    QVERIFY(byDefault.out[1].startsWith(QLatin1String("  6 ")));

    const QString csvPath = dir.filePath(QStringLiteral("runs.csv"));
    const Run exported = runUpdater({"--history", db, "--export-csv", csvPath});
    QVERIFY2(exported.exitCode == 0, qPrintable(exported.text()));
    QFile csv(csvPath);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = csv.readAll().split('\n');
    QCOMPARE(lines.size(), 27); // header, 25 runs, nothing after the last CRLF
    QVERIFY(lines[0].startsWith("id,started_utc,"));
    QVERIFY(lines[25].startsWith("25,2025-01-02T08:24:00.000Z,"));
    const Run toStdout = runUpdater({"--history", db, "--export-csv", "-"});
    QCOMPARE(toStdout.out.size(), 26);

    // Reading never creates a history.
    const QString missing = dir.filePath(QStringLiteral("missing.db"));
    const Run none = runUpdater({"--history", missing, "--show"});
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.err.contains(QLatin1String("no such file")), qPrintable(none.err));
    QVERIFY(!QFile::exists(missing));
}

void TestHistoryCli::commandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    QTest::newRow("--show without --history") << QStringList{"--show"} << "--history FILE";
    QTest::newRow("--show with --auto")
        << QStringList{"--history", "x.db", "--auto", "--show"} << "exclude --auto";
    QTest::newRow("--history without a name") << QStringList{"--history", ""} << "file name";
    QTest::newRow("--show N that is no number")
        << QStringList{"--history", "x.db", "--show", "many"} << "Unexpected argument: many";
}

void TestHistoryCli::commandLine() {
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    const Run run = runUpdater(args);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(TestHistoryCli)
#include "tst_history_cli.moc"

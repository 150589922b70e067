// The history database in process: the schema a new file gets, what a record's fields become
// in the table, a database made by the first schema version opened by this one, one made by a
// later version, a new file that another writer is still turning into a database, and the CSV
// and table that --export-csv and --show print.

#include "HistoryReader.h"
#include "RunHistory.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

Q_DECLARE_METATYPE(RunRecord)

namespace {

// The first version of the schema, as that program version created it.
const char* const kVersion1Schema[] = {
    "CREATE TABLE runs (id INTEGER PRIMARY KEY, started_utc TEXT NOT NULL, ended_utc TEXT NOT "
    "NULL, duration_ms INTEGER NOT NULL, host TEXT, program_version TEXT, mode TEXT, port TEXT, "
    "product_rm INTEGER, cpu1_rm_before INTEGER, cpu1_version_before TEXT, cpu1_rm_carried "
    "INTEGER, cpu1_version_carried TEXT, cpu1_rm_after INTEGER, cpu1_version_after TEXT, "
    "cpu1_programmed INTEGER, cpu1_verified INTEGER, cpu1_holding TEXT, cpu2_rm_before INTEGER, "
    "cpu2_version_before TEXT, cpu2_rm_carried INTEGER, cpu2_version_carried TEXT, cpu2_rm_after "
    "INTEGER, cpu2_version_after TEXT, cpu2_programmed INTEGER, cpu2_verified INTEGER, "
    "cpu2_holding TEXT, hmi_rm_before INTEGER, hmi_version_before TEXT, hmi_rm_carried INTEGER, "
    "hmi_version_carried TEXT, hmi_rm_after INTEGER, hmi_version_after TEXT, hmi_programmed "
    "INTEGER, hmi_verified INTEGER, hmi_holding TEXT, result TEXT NOT NULL, exit_code INTEGER "
    "NOT NULL, cause TEXT, failed_processor TEXT, summary TEXT, transcript TEXT)",
    "CREATE INDEX runs_by_port ON runs (port, started_utc)",
    "INSERT INTO runs VALUES (1, '2024-11-05T08:00:01.250Z', '2024-11-05T08:01:07.000Z', 65750, "
    "'bench-3', '1.4.1.80', 'auto', '/dev/ttyUSB0', 4001, 4001, '2.15', 4001, '2.45', 4001, "
    "'2.45', 1, 1, 'carried', 5103, '1.00', 5103, '2.32', 5103, '2.32', 1, 1, 'carried', 6204, "
    "'1.05', 6204, '1.12', 6204, '1.12', 1, 1, 'carried', 'success', 0, 'none', NULL, "
    "'upgrade complete.', '/var/log/corvane/unit-1.txt')",
    "INSERT INTO runs VALUES (2, '2024-11-05T09:12:00.000Z', '2024-11-05T09:12:40.500Z', 40500, "
    "'bench-3', '1.4.1.80', 'auto', '/dev/ttyUSB1', 4002, 4002, '2.20', 4002, '2.45', 4002, "
    "'2.45', 1, 0, 'carried', 5103, '1.00', 5103, '2.32', 5103, '1.00', 0, 0, 'bootloader', "
    "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 'absent', 'upgrade-failed', 1, "
    "'data-corrupt', 'CPU-2', 'the upgrade failed: Erasing CPU-2......Data Corrupt', NULL)",
    "PRAGMA user_version = 1",
};

ProcessorOutcome processor(std::uint16_t rmBefore, std::uint16_t before, std::uint16_t carried,
                           std::uint16_t after, bool programmed, bool verified, Holding holding) {
    ProcessorOutcome p;
    p.rmBefore = rmBefore;
    p.versionBefore = before;
    p.rmCarried = rmBefore;
    p.versionCarried = carried;
    p.rmAfter = rmBefore;
    p.versionAfter = after;
    p.programmed = programmed;
    p.verified = verified;
    p.holding = holding;
    return p;
}

// A three-processor upgrade that ended with CPU-2's data refused; no HMI.
RunRecord failedRecord() {
    RunRecord r;
    r.startedUtc = QDateTime(QDate(2025, 3, 4), QTime(10, 11, 12, 345), Qt::UTC);
    r.endedUtc = r.startedUtc.addMSecs(41250);
    r.durationMs = 41249;
    r.host = QStringLiteral("line-2");
    r.programVersion = QStringLiteral("1.4.2.87");
    r.mode = QStringLiteral("auto");
    r.exitCode = 1;
    r.summary = QStringLiteral("the upgrade failed: Erasing CPU-2......Data Corrupt");
    r.transcriptPath = QStringLiteral("/tmp/run, \"two\".txt");
    RunOutcome& o = r.outcome;
    o.exit = RunExit::UpgradeFailed;
    o.cause = Cause::DataCorrupt;
    o.processor = 2;
    o.port = QStringLiteral("/dev/ttyUSB3");
    o.productRm = 4001;
    o.processors[1] = processor(4001, 215, 245, 245, true, false, Holding::Carried);
    o.processors[2] = processor(5103, 100, 232, 100, false, false, Holding::BootLoader);
    o.processors[3].present = false;
    o.processors[3].holding = Holding::Absent;
    r.imageSha256[1] = QByteArray(32, '\xab');
    r.buildDataSha256 = QByteArray(32, '\x01');
    return r;
}

// A scan that found nothing: no port, nothing read.
RunRecord noUnitRecord() {
    RunRecord r;
    r.startedUtc = QDateTime(QDate(2025, 3, 4), QTime(11, 0, 0), Qt::UTC);
    r.endedUtc = r.startedUtc.addSecs(3);
    r.durationMs = 3000;
    r.mode = QStringLiteral("identify");
    r.exitCode = 3;
    r.summary = QStringLiteral("no unit found: /dev/ttyUSB0 did not answer.");
    r.outcome.exit = RunExit::NoUnitFound;
    r.outcome.cause = Cause::NoReply;
    return r;
}

} // namespace

class TestRunHistory : public QObject {
    Q_OBJECT
private slots:
    void newDatabase();
    void recordFieldsInTheTable_data();
    void recordFieldsInTheTable();
    void versionOneDatabase();
    void laterVersionDatabase();
    void fileStillBeingMade();
    void csvField_data();
    void csvField();
    void csvAndTable();
};

void TestRunHistory::newDatabase() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("runs.db"));
    {
        RunHistory history(path, RunHistory::Access::ReadWrite);
        QVERIFY2(history.isOpen(), qPrintable(history.error()));
        QCOMPARE(history.versionFound(), 0);
        QVERIFY2(history.append(noUnitRecord()), qPrintable(history.error()));
    }
    Reader reader(path);
    QCOMPARE(reader.scalar(QStringLiteral("PRAGMA journal_mode")).toString(),
             QStringLiteral("wal"));
    QCOMPARE(reader.scalar(QStringLiteral("PRAGMA user_version")).toInt(),
             RunHistory::kSchemaVersion);
    // The record's fields are exactly the table's columns, in its order.
    QStringList fields{QStringLiteral("id")};
    for (const auto& field : recordFields(noUnitRecord())) {
        fields << field.first;
    }
    QCOMPARE(reader.columns(), fields);
    QCOMPARE(readRuns(path).size(), 1);
}

void TestRunHistory::recordFieldsInTheTable_data() {
    QTest::addColumn<RunRecord>("record");
    QTest::addColumn<QVariantMap>("expected");
    const QVariant null;
    const QString sha(QStringLiteral("ab").repeated(32));
    QTest::newRow("failed on CPU-2, no HMI")
        << failedRecord()
        << QVariantMap{{"started_utc", "2025-03-04T10:11:12.345Z"},
                       {"ended_utc", "2025-03-04T10:11:53.595Z"},
                       {"duration_ms", 41249},
                       {"host", "line-2"},
                       {"program_version", "1.4.2.87"},
                       {"mode", "auto"},
                       {"port", "/dev/ttyUSB3"},
                       {"product_rm", 4001},
                       {"cpu1_rm_before", 4001},
                       {"cpu1_version_before", "2.15"},
                       {"cpu1_version_carried", "2.45"},
                       {"cpu1_version_after", "2.45"},
                       {"cpu1_programmed", 1},
                       {"cpu1_verified", 0},
                       {"cpu1_holding", "carried"},
                       {"cpu2_version_before", "1.00"},
                       {"cpu2_version_after", "1.00"},
                       {"cpu2_programmed", 0},
                       {"cpu2_holding", "bootloader"},
                       {"hmi_rm_before", null},
                       {"hmi_version_after", null},
                       {"hmi_programmed", null},
                       {"hmi_verified", null},
                       {"hmi_holding", "absent"},
                       {"result", "upgrade-failed"},
                       {"exit_code", 1},
                       {"cause", "data-corrupt"},
                       {"failed_processor", "CPU-2"},
                       {"summary", "the upgrade failed: Erasing CPU-2......Data Corrupt"},
                       {"transcript", "/tmp/run, \"two\".txt"},
                       {"cpu1_sha256", sha},
                       {"cpu2_sha256", null},
                       {"build_data_sha256", QStringLiteral("01").repeated(32)}};
    QTest::newRow("no unit: nothing read")
        << noUnitRecord()
        << QVariantMap{
               {"duration_ms", 3000},       {"host", null},           {"port", null},
               {"product_rm", null},        {"cpu1_rm_before", null}, {"cpu1_version_before", null},
               {"cpu1_rm_after", null},     {"cpu1_programmed", 0},   {"cpu1_holding", "unknown"},
               {"result", "no-unit-found"}, {"exit_code", 3},         {"cause", "no-reply"},
               {"failed_processor", null},  {"transcript", null},     {"hmi_sha256", null}};
}

void TestRunHistory::recordFieldsInTheTable() {
    QFETCH(RunRecord, record);
    QFETCH(QVariantMap, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("runs.db"));
    QCOMPARE(writeRunRecord(path, record), QString());
    Reader reader(path);
    const QList<QVariantMap> rows = readRuns(path);
    QCOMPARE(rows.size(), 1);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QVariant stored = rows[0].value(it.key());
        QVERIFY2(rows[0].contains(it.key()), qPrintable(it.key()));
        QCOMPARE(stored.isNull(), it.value().isNull());
        if (!it.value().isNull()) {
            QVERIFY2(stored.toString() == it.value().toString(),
                     qPrintable(it.key() + QStringLiteral(": ") + stored.toString()));
        }
    }
    // The JSON line carries the same values.
    const QJsonObject json =
        QJsonDocument::fromJson(recordJsonLine(record, path, QStringLiteral("locked"))).object();
    QCOMPARE(json.value(QStringLiteral("type")).toString(), QStringLiteral("run-record"));
    QCOMPARE(json.value(QStringLiteral("error")).toString(), QStringLiteral("locked"));
    const QJsonObject data = json.value(QStringLiteral("data")).toObject();
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QVERIFY2(data.value(it.key()).toVariant() == it.value() ||
                     data.value(it.key()).toVariant().toString() == it.value().toString(),
                 qPrintable(it.key()));
    }
}

void TestRunHistory::versionOneDatabase() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.db"));
    QList<QVariantMap> before;
    {
        Reader reader(path, Reader::ReadWrite);
        for (const char* sql : kVersion1Schema) {
            QVERIFY(reader.exec(QString::fromLatin1(sql)));
        }
        before = readRuns(path);
    }
    QCOMPARE(before.size(), 2);
    {
        RunHistory history(path, RunHistory::Access::ReadWrite);
        QVERIFY2(history.isOpen(), qPrintable(history.error()));
        QCOMPARE(history.versionFound(), 1);
        QVERIFY2(history.append(failedRecord()), qPrintable(history.error()));
    }
    Reader reader(path);
    QCOMPARE(reader.scalar(QStringLiteral("PRAGMA user_version")).toInt(),
             RunHistory::kSchemaVersion);
    const QList<QVariantMap> after = readRuns(path);
    QCOMPARE(after.size(), 3);
    // Every value of the old rows is kept; the columns added since are NULL for them.
    for (int i = 0; i < 2; ++i) {
        for (auto it = before[i].cbegin(); it != before[i].cend(); ++it) {
            QVERIFY2(after[i].value(it.key()) == it.value(), qPrintable(it.key()));
        }
        for (const char* added :
             {"cpu1_sha256", "cpu2_sha256", "hmi_sha256", "build_data_sha256"}) {
            QVERIFY(after[i].contains(added));
            QVERIFY(after[i].value(added).isNull());
        }
    }
    QCOMPARE(after[2].value(QStringLiteral("id")).toInt(), 3);
    QCOMPARE(after[2].value(QStringLiteral("cpu1_sha256")).toString(),
             QStringLiteral("ab").repeated(32));
    // The old rows read as any other.
    RunHistory history(path, RunHistory::Access::ReadOnly);
    const QString table = historyTable(history.runs(-1));
    QVERIFY2(table.contains(QLatin1String("2.15>2.45 PV")), qPrintable(table));
    QVERIFY2(table.contains(QLatin1String("upgrade-failed: data-corrupt (CPU-2)")),
             qPrintable(table));
}

void TestRunHistory::laterVersionDatabase() {
    // A later program added a column and raised the version: this one still writes its
    // columns and leaves the version and the column alone.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("later.db"));
    QVERIFY(writeRunRecord(path, noUnitRecord()).isEmpty());
    {
        Reader reader(path, Reader::ReadWrite);
        QVERIFY(reader.exec(QStringLiteral("ALTER TABLE runs ADD COLUMN station TEXT")));
        QVERIFY(reader.exec(
            QStringLiteral("PRAGMA user_version = %1").arg(RunHistory::kSchemaVersion + 1)));
    }
    {
        RunHistory history(path, RunHistory::Access::ReadWrite);
        QCOMPARE(history.versionFound(), RunHistory::kSchemaVersion + 1);
        QVERIFY2(history.append(failedRecord()), qPrintable(history.error()));
    }
    Reader reader(path);
    QCOMPARE(reader.scalar(QStringLiteral("PRAGMA user_version")).toInt(),
             RunHistory::kSchemaVersion + 1);
    const QList<QVariantMap> rows = readRuns(path);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[1].value(QStringLiteral("port")).toString(), QStringLiteral("/dev/ttyUSB3"));
    QVERIFY(rows[1].value(QStringLiteral("station")).isNull());
}

void TestRunHistory::fileStillBeingMade() {
    // Eight stations' updaters start on one new file: while one of them holds the write lock of
    // a file not yet in write-ahead-log mode, SQLite refuses the others' switch to it at once,
    // without waiting. A record must wait for the lock like any other write.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("new.db"));
    std::atomic<bool> holding = false;
    bool held = false;
    bool released = false;
    std::thread holder([&] {
        Reader other(path, Reader::ReadWrite);
        held = other.exec(QStringLiteral("CREATE TABLE other_program (x)")) &&
               other.exec(QStringLiteral("BEGIN IMMEDIATE"));
        holding = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        released = other.exec(QStringLiteral("COMMIT"));
    });
    while (!holding) {
        std::this_thread::yield();
    }
    const QString error = writeRunRecord(path, noUnitRecord());
    holder.join();
    QVERIFY(held && released); // the lock was really held while the record was written
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(readRuns(path).size(), 1);
    QCOMPARE(Reader(path).scalar(QStringLiteral("PRAGMA journal_mode")).toString(),
             QStringLiteral("wal"));
}

void TestRunHistory::csvField_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("NULL") << QVariant() << QByteArray();
    QTest::newRow("number") << QVariant(4001) << QByteArray("4001");
    QTest::newRow("plain text") << QVariant("upgrade complete.") << QByteArray("upgrade complete.");
    QTest::newRow("comma") << QVariant("a, b") << QByteArray("\"a, b\"");
    QTest::newRow("quote") << QVariant("say \"hi\"") << QByteArray("\"say \"\"hi\"\"\"");
    QTest::newRow("line break") << QVariant("one\ntwo") << QByteArray("\"one\ntwo\"");
    QTest::newRow("carriage return") << QVariant("one\rtwo") << QByteArray("\"one\rtwo\"");
    QTest::newRow("spaces kept") << QVariant(" x ") << QByteArray(" x ");
    QTest::newRow("UTF-8") << QVariant(QStringLiteral("M\u00fcller"))
                           << QByteArray("M\xc3\xbcller");
}

void TestRunHistory::csvField() {
    QFETCH(QVariant, value);
    QFETCH(QByteArray, field);
    QCOMPARE(::csvField(value), field);
}

void TestRunHistory::csvAndTable() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("runs.db"));
    QVERIFY(writeRunRecord(path, failedRecord()).isEmpty());
    QVERIFY(writeRunRecord(path, noUnitRecord()).isEmpty());
    RunHistory history(path, RunHistory::Access::ReadOnly);
    const HistoryRows rows = history.runs(-1);
    QVERIFY2(history.isOpen(), qPrintable(history.error()));

    const QByteArray csv = historyCsv(rows);
    QVERIFY(csv.endsWith("\r\n"));
    const QList<QByteArray> lines = csv.split('\n');
    QCOMPARE(lines.size(), 4); // header, two rows, nothing after the last CRLF
    QVERIFY(lines[0].startsWith("id,started_utc,ended_utc,duration_ms,host,"));
    QVERIFY(lines[0].endsWith(",build_data_sha256\r"));
    QVERIFY(lines[1].startsWith("1,2025-03-04T10:11:12.345Z,2025-03-04T10:11:53.595Z,41249,"
                                "line-2,1.4.2.87,auto,/dev/ttyUSB3,4001,4001,2.15,"));
    QVERIFY(lines[1].contains(",\"/tmp/run, \"\"two\"\".txt\","));
    QVERIFY(lines[2].startsWith("2,2025-03-04T11:00:00.000Z,2025-03-04T11:00:03.000Z,3000,,,"
                                "identify,,,"));
    QCOMPARE(lines[0].count(','), lines[2].count(','));

    const QStringList table = historyTable(rows).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(table.size(), 4); // heads, two runs, legend
    QCOMPARE(table[0].simplified(), QStringLiteral("run started (UTC) took mode port unit CPU-1 "
                                                   "CPU-2 HMI exit result"));
    QCOMPARE(table[1].simplified(),
             QStringLiteral("1 2025-03-04 10:11:12 41.2 s auto /dev/ttyUSB3 RM4001 2.15>2.45 P "
                            "1.00>boot - 1 upgrade-failed: data-corrupt (CPU-2)"));
    QCOMPARE(table[2].simplified(),
             QStringLiteral("2 2025-03-04 11:00:00 3.0 s identify - - ?>? ?>? ?>? 3 "
                            "no-unit-found: no-reply"));
    // Columns line up: the mode column starts at the same place on every line.
    QCOMPARE(table[1].indexOf(QLatin1String("auto")), table[0].indexOf(QLatin1String("mode")));
    QCOMPARE(historyTable({}), QStringLiteral("No runs recorded.\n"));
}

QTEST_GUILESS_MAIN(TestRunHistory)
#include "tst_runhistory.moc"

#pragma once
// The history of runs (--history FILE): one row per run in an SQLite database, written once at
// the end of the run from the engine's outcome. A station runs one updater per port, all with
// the same file, so the database is in write-ahead-log mode, a writer waits for a busy
// database up to kBusyTimeoutMs, and each record is one transaction. A record that cannot be
// written is handed back to the caller, which keeps it elsewhere: a history never fails a run.

#include "upgrade/EngineEvents.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <array>
#include <utility>
#include <vector>

// One run as the history keeps it.
struct RunRecord {
    QDateTime startedUtc;
    QDateTime endedUtc;
    qint64 durationMs = 0; // from a monotonic clock, not ended - started
    QString host;
    QString programVersion;
    QString mode; // "auto", "identify", "window"
    int exitCode = 0;
    QString summary;        // the result sentence, as the run's last line says it
    QString transcriptPath; // --log FILE, absolute; empty: no transcript
    RunOutcome outcome;
    // SHA-256 of the carried image of each processor (1 CPU-1 for the unit's RM, 2 CPU-2,
    // 3 HMI) over its program range, and of the build data as a whole: the digests the
    // program's start-up check computes (carriedDigests() in src/firmware). Empty: not known,
    // stored as NULL.
    std::array<QByteArray, 4> imageSha256;
    QByteArray buildDataSha256;
};

// The record's columns in the table's order, with their values (a null QVariant is NULL).
using RecordFields = std::vector<std::pair<QString, QVariant>>;
[[nodiscard]] RecordFields recordFields(const RunRecord& record);

// The record as one line of JSON, for standard error when the database cannot take it:
// {"type":"run-record","schema":N,"database":...,"error":...,"data":{column: value, ...}}.
[[nodiscard]] QByteArray recordJsonLine(const RunRecord& record, const QString& database,
                                        const QString& error);

// Rows read from a history: the table's column names and each row's values in that order.
struct HistoryRows {
    QStringList columns;
    std::vector<QVariantList> rows; // oldest first
};

class RunHistory {
public:
    // Version 1: the run table. Version 2: the carried firmware's digests.
    static constexpr int kSchemaVersion = 2;
    static constexpr int kBusyTimeoutMs = 5000;
    static constexpr int kBusyRetryMs = 10; // between tries of a lock SQLite will not wait for

    enum class Access { ReadWrite, ReadOnly };

    // Opens path (ReadWrite creates it) and brings its schema up to kSchemaVersion; a
    // database made by a later program version is used as it is (versions only add columns).
    RunHistory(const QString& path, Access access);
    ~RunHistory();
    RunHistory(const RunHistory&) = delete;
    RunHistory& operator=(const RunHistory&) = delete;

    [[nodiscard]] bool isOpen() const { return m_error.isEmpty(); }
    // Why the last operation failed, in words with the database's path.
    [[nodiscard]] const QString& error() const { return m_error; }
    // PRAGMA user_version as found when opened (0: a new or empty file).
    [[nodiscard]] int versionFound() const { return m_versionFound; }

    // One transaction; false with error().
    [[nodiscard]] bool append(const RunRecord& record);
    // The last `limit` runs (all when limit < 0), oldest first; empty columns with error().
    [[nodiscard]] HistoryRows runs(int limit);

private:
    bool exec(const QString& sql);
    bool prepareSchema();
    bool migrate();
    bool rollback(); // keeps the error that made it necessary; false
    bool fail(const QString& what, const QString& why);

    QString m_path;
    QString m_connection;
    QString m_error;
    int m_versionFound = 0;
};

// What the program does at the end of a run: append record to the history at path. Empty when
// written, else why not.
[[nodiscard]] QString writeRunRecord(const QString& path, const RunRecord& record);

// --show: the rows as a table, one line per run, and a legend.
[[nodiscard]] QString historyTable(const HistoryRows& history);
// --export-csv: a header line and every row, RFC 4180 (CRLF, fields quoted when they hold a
// comma, a quote or a line break, quotes doubled; NULL is an empty field).
[[nodiscard]] QByteArray historyCsv(const HistoryRows& history);
[[nodiscard]] QByteArray csvField(const QVariant& value);

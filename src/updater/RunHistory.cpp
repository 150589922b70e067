#include "RunHistory.h"

#include <QAtomicInteger>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>

namespace {

// Each step takes the schema from the version before it to its own. A new database runs them
// all, so the path an older database takes is the one every database has taken.
struct SchemaStep {
    int version;
    QStringList statements;
};

const std::vector<SchemaStep>& schemaSteps() {
    static const std::vector<SchemaStep> steps{
        {1,
         {QStringLiteral(
              "CREATE TABLE runs ("
              "id INTEGER PRIMARY KEY, "
              "started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL, duration_ms INTEGER NOT NULL, "
              "host TEXT, program_version TEXT, mode TEXT, port TEXT, product_rm INTEGER, "
              "cpu1_rm_before INTEGER, cpu1_version_before TEXT, "
              "cpu1_rm_carried INTEGER, cpu1_version_carried TEXT, "
              "cpu1_rm_after INTEGER, cpu1_version_after TEXT, "
              "cpu1_programmed INTEGER, cpu1_verified INTEGER, cpu1_holding TEXT, "
              "cpu2_rm_before INTEGER, cpu2_version_before TEXT, "
              "cpu2_rm_carried INTEGER, cpu2_version_carried TEXT, "
              "cpu2_rm_after INTEGER, cpu2_version_after TEXT, "
              "cpu2_programmed INTEGER, cpu2_verified INTEGER, cpu2_holding TEXT, "
              "hmi_rm_before INTEGER, hmi_version_before TEXT, "
              "hmi_rm_carried INTEGER, hmi_version_carried TEXT, "
              "hmi_rm_after INTEGER, hmi_version_after TEXT, "
              "hmi_programmed INTEGER, hmi_verified INTEGER, hmi_holding TEXT, "
              "result TEXT NOT NULL, exit_code INTEGER NOT NULL, cause TEXT, "
              "failed_processor TEXT, summary TEXT, transcript TEXT)"),
          QStringLiteral("CREATE INDEX runs_by_port ON runs (port, started_utc)")}},
        {2,
         {QStringLiteral("ALTER TABLE runs ADD COLUMN cpu1_sha256 TEXT"),
          QStringLiteral("ALTER TABLE runs ADD COLUMN cpu2_sha256 TEXT"),
          QStringLiteral("ALTER TABLE runs ADD COLUMN hmi_sha256 TEXT"),
          QStringLiteral("ALTER TABLE runs ADD COLUMN build_data_sha256 TEXT")}},
    };
    return steps;
}

QString sqlErrorText(const QSqlError& error) {
    QString text = error.databaseText();
    if (text.isEmpty()) {
        text = error.driverText();
    }
    return text.isEmpty() ? QStringLiteral("unknown error") : text;
}

// SQLITE_BUSY and its extended codes (the primary code in the low byte).
bool isBusy(const QSqlError& error) {
    bool number = false;
    const int code = error.nativeErrorCode().toInt(&number);
    return number && (code & 0xff) == 5;
}

QString connectionName() {
    static QAtomicInteger<int> next = 0;
    return QStringLiteral("corvane-history-%1").arg(next.fetchAndAddRelaxed(1));
}

} // namespace

RunHistory::RunHistory(const QString& path, Access access)
    : m_path(path)
    , m_connection(connectionName()) {
    if (access == Access::ReadOnly && !QFileInfo::exists(path)) {
        fail(QStringLiteral("cannot be read"), QStringLiteral("no such file"));
        return;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        fail(QStringLiteral("cannot be opened"),
             QStringLiteral("Qt's SQLite driver is not installed (libqt6sql6-sqlite)"));
        return;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs);
    if (access == Access::ReadOnly) {
        options += QStringLiteral(";QSQLITE_OPEN_READONLY");
    }
    db.setConnectOptions(options);
    if (!db.open()) {
        fail(QStringLiteral("cannot be opened"), sqlErrorText(db.lastError()));
        return;
    }
    if (access == Access::ReadWrite) {
        prepareSchema();
    }
}

RunHistory::~RunHistory() {
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isOpen()) {
            db.close();
        }
    }
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool RunHistory::fail(const QString& what, const QString& why) {
    m_error = QStringLiteral("history %1 %2 (%3)").arg(m_path, what, why);
    return false;
}

bool RunHistory::exec(const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(sql)) {
        return true;
    }
    return fail(QStringLiteral("cannot be written"), sqlErrorText(query.lastError()));
}

bool RunHistory::rollback() {
    const QString error = m_error; // the failure, not the rollback's own
    exec(QStringLiteral("ROLLBACK"));
    m_error = error;
    return false;
}

bool RunHistory::prepareSchema() {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    // Readers and the one writer of the moment then do not wait for each other; a file that
    // cannot change its mode (read-only) keeps its own and fails at the write instead.
    // While another connection holds the write lock of a file still in rollback mode (a new
    // file that another updater is switching), SQLite refuses the switch at once instead of
    // calling the busy handler: it is retried here, as long as any write would wait.
    const QDeadlineTimer deadline(kBusyTimeoutMs);
    while (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        if (!isBusy(query.lastError()) || deadline.hasExpired()) {
            return fail(QStringLiteral("cannot be opened"), sqlErrorText(query.lastError()));
        }
        query.finish();
        QThread::msleep(kBusyRetryMs);
    }
    query.finish();
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        return fail(QStringLiteral("cannot be opened"), sqlErrorText(query.lastError()));
    }
    m_versionFound = query.value(0).toInt();
    query.finish();
    return m_versionFound >= kSchemaVersion || migrate();
}

bool RunHistory::migrate() {
    // The write lock first, then the version again: another process may have brought the
    // schema up meanwhile.
    if (!exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        return false;
    }
    int version = 0;
    {
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
            fail(QStringLiteral("cannot be opened"), sqlErrorText(query.lastError()));
            return rollback();
        }
        version = query.value(0).toInt();
    }
    for (const SchemaStep& step : schemaSteps()) {
        if (step.version <= version) {
            continue;
        }
        for (const QString& sql : step.statements) {
            if (!exec(sql)) {
                return rollback();
            }
        }
    }
    if (version < kSchemaVersion &&
        !exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion))) {
        return rollback();
    }
    return exec(QStringLiteral("COMMIT")) || rollback();
}

bool RunHistory::append(const RunRecord& record) {
    if (!isOpen()) {
        return false;
    }
    const RecordFields fields = recordFields(record);
    QStringList names;
    QStringList marks;
    for (const auto& field : fields) {
        names << field.first;
        marks << QStringLiteral("?");
    }
    if (!exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        return false;
    }
    QSqlQuery insert(QSqlDatabase::database(m_connection, false));
    bool written = insert.prepare(
        QStringLiteral("INSERT INTO runs (%1) VALUES (%2)")
            .arg(names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", "))));
    for (const auto& field : fields) {
        insert.addBindValue(field.second);
    }
    written = written && insert.exec();
    if (!written) {
        fail(QStringLiteral("cannot be written"), sqlErrorText(insert.lastError()));
    }
    insert.finish();
    if (!written) {
        return rollback();
    }
    return exec(QStringLiteral("COMMIT")) || rollback();
}

HistoryRows RunHistory::runs(int limit) {
    HistoryRows history;
    if (!isOpen()) {
        return history;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM (SELECT * FROM runs ORDER BY id DESC LIMIT %1) "
                                   "ORDER BY id")
                        .arg(limit < 0 ? -1 : limit))) {
        fail(QStringLiteral("cannot be read"), sqlErrorText(query.lastError()));
        return history;
    }
    const QSqlRecord columns = query.record();
    for (int i = 0; i < columns.count(); ++i) {
        history.columns << columns.fieldName(i);
    }
    while (query.next()) {
        QVariantList row;
        row.reserve(columns.count());
        for (int i = 0; i < columns.count(); ++i) {
            row << query.value(i);
        }
        history.rows.push_back(std::move(row));
    }
    if (query.lastError().isValid()) {
        fail(QStringLiteral("cannot be read"), sqlErrorText(query.lastError()));
        return {};
    }
    return history;
}

QString writeRunRecord(const QString& path, const RunRecord& record) {
    RunHistory history(path, RunHistory::Access::ReadWrite);
    if (history.isOpen() && history.append(record)) {
        return {};
    }
    return history.error();
}

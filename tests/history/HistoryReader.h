#pragma once
// A history file read (or prepared) through a connection of its own, as another program would.

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariantMap>

#include <optional>

class Reader {
public:
    enum Mode { ReadOnly, ReadWrite };
    explicit Reader(const QString& path, Mode mode = ReadOnly)
        : m_name(QStringLiteral("test-reader-%1").arg(next()++)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        if (mode == ReadOnly) {
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        }
        db.open();
    }
    ~Reader() {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool exec(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        if (!q.exec(sql)) {
            qWarning() << sql << q.lastError().text();
        }
        return !q.lastError().isValid();
    }
    QVariant scalar(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }
    // Every run as column -> value, in id order; nullopt when the table cannot be read.
    std::optional<QList<QVariantMap>> rows() {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        if (!q.exec(QStringLiteral("SELECT * FROM runs ORDER BY id"))) {
            return std::nullopt;
        }
        QList<QVariantMap> out;
        while (q.next()) {
            QVariantMap row;
            for (int i = 0; i < q.record().count(); ++i) {
                row.insert(q.record().fieldName(i), q.value(i));
            }
            out << row;
        }
        return out;
    }
    QStringList columns() {
        QStringList names;
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        if (q.exec(QStringLiteral("PRAGMA table_info(runs)"))) {
            while (q.next()) {
                names << q.value(1).toString();
            }
        }
        return names;
    }

private:
    static int& next() {
        static int n = 0;
        return n;
    }
    const QString m_name;
};

// The runs of path, none when it cannot be read.
inline QList<QVariantMap> readRuns(const QString& path) {
    return Reader(path).rows().value_or(QList<QVariantMap>{});
}

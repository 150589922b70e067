#pragma once
// The real program with --json, its JSON Lines read object by object as they come, and whole
// streams checked against the schema by an independent validator (python3-jsonschema).

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

#include <functional>

#include <signal.h>

namespace corvane::station_test {

// The pace of a simulated unit whose run a test stops or kills: 0.3 of the real one, about
// 10 s a run, a CPU-2 transfer of about 4.5 s. A loaded machine reads the lines late; at this
// pace the run is still going when the signal comes.
inline constexpr double kSlowPaceScale = 0.3;
inline QStringList slowPaceOptions() {
    return {QStringLiteral("--timing"), QStringLiteral("--timing-scale"),
            QString::number(kSlowPaceScale)};
}

class JsonRun {
public:
    explicit JsonRun(const QStringList& args,
                     const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(CORVANE_UPDATER_EXE), args);
    }
    ~JsonRun() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    JsonRun(const JsonRun&) = delete;
    JsonRun& operator=(const JsonRun&) = delete;

    [[nodiscard]] qint64 pid() const { return m_process.processId(); }
    void signal(int sig) { ::kill(static_cast<pid_t>(m_process.processId()), sig); }

    // Reads objects until one matches; that object, or an empty one when none came in time.
    QJsonObject waitFor(const std::function<bool(const QJsonObject&)>& match,
                        int timeoutMs = 60000) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_next < m_objects.size()) {
                if (const QJsonObject& o = m_objects[m_next++]; match(o)) {
                    return o;
                }
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
                return {};
            }
            m_process.waitForReadyRead(
                static_cast<int>(std::min<qint64>(deadline.remainingTime(), 200)));
            readLines();
        }
    }

    // Exit code; -1 when it did not end in time, -2 when a signal ended it.
    int finish(int timeoutMs = 120000) {
        if (!m_process.waitForFinished(timeoutMs)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return -1;
        }
        readLines();
        m_err = QString::fromUtf8(m_process.readAllStandardError());
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }

    [[nodiscard]] const QByteArray& stream() const { return m_stream; }
    [[nodiscard]] const QList<QJsonObject>& objects() const { return m_objects; }
    [[nodiscard]] const QString& err() const { return m_err; }
    [[nodiscard]] QList<QJsonObject> ofType(const QString& type) const {
        QList<QJsonObject> found;
        for (const QJsonObject& o : m_objects) {
            if (o.value(QStringLiteral("type")).toString() == type) {
                found << o;
            }
        }
        return found;
    }
    // The text for a failure message: the stream's tail and standard error.
    [[nodiscard]] QString context() const {
        return QString::fromUtf8(m_stream.right(3000)) + QStringLiteral("\n--- stderr:\n") +
               m_err.right(3000);
    }

private:
    void readLines() {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine();
            m_stream += line;
            m_objects << QJsonDocument::fromJson(line).object();
        }
    }

    QProcess m_process;
    QByteArray m_stream;
    QList<QJsonObject> m_objects;
    qsizetype m_next = 0;
    QString m_err;
};

// The validator's complaints about a whole stream; empty when it passes.
inline QString schemaFaults(const QByteArray& stream) {
    QTemporaryFile file;
    if (!file.open()) {
        return QStringLiteral("no temporary file");
    }
    file.write(stream);
    file.flush();
    QProcess validator;
    validator.start(QStringLiteral(CORVANE_PYTHON3),
                    {QStringLiteral(CORVANE_JSON_VALIDATOR), QStringLiteral(CORVANE_JSON_SCHEMA),
                     file.fileName()});
    if (!validator.waitForFinished(60000)) {
        return QStringLiteral("the validator did not finish");
    }
    if (validator.exitStatus() != QProcess::NormalExit || validator.exitCode() != 0) {
        return QStringLiteral("exit %1: %2")
            .arg(validator.exitCode())
            .arg(QString::fromUtf8(validator.readAllStandardError()));
    }
    return {};
}

} // namespace corvane::station_test

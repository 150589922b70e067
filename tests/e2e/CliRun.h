#pragma once
// The real programs as a technician runs them: corvane-updater with its command line, and
// corvane-sim as a unit of its own on a pseudo-terminal that outlives any one updater run.

#include "SimulatedUnit.h"
#include "support/Scenarios.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace corvane::e2e {

using corvane::test::versionArg;

using corvane::test::carried;

// The updater's environment: offscreen as the suite runs it, or with every display variable
// removed.
inline QProcessEnvironment updaterEnvironment(bool withoutDisplay = false) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (withoutDisplay) {
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    } else {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    return env;
}

// One run of corvane-updater whose output is read line by line as it comes.
class UpdaterRun {
public:
    explicit UpdaterRun(const QStringList& args,
                        const QProcessEnvironment& env = updaterEnvironment(),
                        const QString& program = QStringLiteral(CORVANE_UPDATER_EXE),
                        const QStringList& programArgsBefore = {}) {
        m_process.setProcessEnvironment(env);
        m_process.start(program, programArgsBefore + args);
    }
    ~UpdaterRun() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    UpdaterRun(const UpdaterRun&) = delete;
    UpdaterRun& operator=(const UpdaterRun&) = delete;

    [[nodiscard]] qint64 pid() const { return m_process.processId(); }

    // Waits for an output line that starts with prefix; true when it came.
    bool waitForLine(const QString& prefix, int timeoutMs = 120000) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromLocal8Bit(m_process.readLine()).chopped(1);
                m_lines << line;
                if (line.startsWith(prefix)) {
                    return true;
                }
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
                return false;
            }
            m_process.waitForReadyRead(
                static_cast<int>(std::min<qint64>(deadline.remainingTime(), 200)));
        }
    }

    void signal(int sig) { ::kill(static_cast<pid_t>(m_process.processId()), sig); }

    // Exit code, or -1 when it did not finish in time, -2 when a signal ended it.
    int finish(int timeoutMs = 180000) {
        if (!m_process.waitForFinished(timeoutMs)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            m_lines << QStringLiteral("(did not finish)");
            return -1;
        }
        const QString rest = QString::fromLocal8Bit(m_process.readAllStandardOutput());
        if (!rest.isEmpty()) {
            m_lines << rest.split(u'\n');
        }
        while (!m_lines.isEmpty() && m_lines.constLast().isEmpty()) {
            m_lines.removeLast();
        }
        m_err = QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }

    [[nodiscard]] const QStringList& lines() const { return m_lines; }
    [[nodiscard]] QString text() const { return m_lines.join(u'\n') + u'\n' + m_err; }
    [[nodiscard]] const QString& err() const { return m_err; }
    [[nodiscard]] QString lastLine() const {
        return m_lines.isEmpty() ? QString() : m_lines.constLast();
    }

private:
    QProcess m_process;
    QStringList m_lines;
    QString m_err;
};

inline int runToEnd(UpdaterRun& run, int timeoutMs = 180000) {
    return run.finish(timeoutMs);
}

// corvane-sim on a pty reached through a link in a temporary folder.
class SimProcess {
public:
    explicit SimProcess(const QStringList& scenario, const QString& name = QStringLiteral("unit")) {
        m_link = m_dir.path() + QLatin1Char('/') + name;
        m_process.start(QStringLiteral(CORVANE_SIM_EXE),
                        QStringList{QStringLiteral("--link"), m_link} + scenario);
        QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            if (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine();
                m_startText += QString::fromLocal8Bit(line);
                if (line.startsWith("unit:")) {
                    m_ready = true;
                    break;
                }
                continue;
            }
            m_process.waitForReadyRead(200);
        }
    }
    ~SimProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    [[nodiscard]] bool ready() const { return m_ready; }
    [[nodiscard]] QString port() const { return m_link; }
    // The pty itself (the link's target).
    [[nodiscard]] QString ptyPath() const {
        static const QRegularExpression re(QStringLiteral("pty: (\\S+)"));
        return re.match(m_startText).captured(1);
    }

    // Stops the unit and returns the summary it prints.
    QString stop() {
        if (m_process.state() == QProcess::NotRunning) {
            return m_summary;
        }
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        m_process.waitForFinished(20000);
        m_summary = QString::fromLocal8Bit(m_process.readAllStandardOutput());
        return m_summary;
    }

private:
    QTemporaryDir m_dir;
    QString m_link;
    QProcess m_process;
    QString m_startText;
    QString m_summary;
    bool m_ready = false;
};

// "CPU-1      running     4001    2.16     yes ..." -> the summary row of processor `name`.
inline QString summaryRow(const QString& summary, const QString& name) {
    for (const QString& line : summary.split(u'\n')) {
        if (line.startsWith(name + QLatin1Char(' '))) {
            return line.simplified();
        }
    }
    return {};
}

// The "Exchanges:" line of a summary as kind -> count.
inline QMap<QString, int> exchangeCounts(const QString& summary) {
    QMap<QString, int> counts;
    for (const QString& line : summary.split(u'\n')) {
        if (!line.startsWith(QLatin1String("Exchanges:"))) {
            continue;
        }
        for (const QString& item : line.mid(10).split(u',', Qt::SkipEmptyParts)) {
            const QStringList parts = item.simplified().split(u' ');
            if (parts.size() == 2) {
                counts.insert(parts[0], parts[1].toInt());
            }
        }
    }
    return counts;
}

} // namespace corvane::e2e

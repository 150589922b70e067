#include "LibmodbusPeer.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace corvane::testsupport {

LibmodbusPeer::~LibmodbusPeer() {
    stop();
}

bool LibmodbusPeer::startRtu(const QString& device, int slave, int baud, bool quiet) {
    QStringList args = {QStringLiteral("rtu"), device, QString::number(slave),
                        QString::number(baud)};
    if (quiet) {
        args << QStringLiteral("--quiet");
    }
    return start(args);
}

bool LibmodbusPeer::startTcp() {
    if (!start({QStringLiteral("tcp")})) {
        return false;
    }
    return m_port != 0;
}

bool LibmodbusPeer::start(const QStringList& args) {
    stop();
    m_process.setProgram(QStringLiteral(CORVANE_MODBUS_PEER));
    m_process.setArguments(args);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    const auto ready = nextLine(QStringLiteral("READY "), 5000);
    if (!ready) {
        m_error = QStringLiteral("the peer did not report READY");
        stop();
        return false;
    }
    const QStringList parts = ready->split(u' ');
    if (parts.size() == 3 && parts[1] == QLatin1String("tcp")) {
        m_port = static_cast<std::uint16_t>(parts[2].toUInt());
    }
    return true;
}

void LibmodbusPeer::stop() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    m_buffer.clear();
    m_lines.clear();
    m_port = 0;
}

std::optional<QString> LibmodbusPeer::nextLine(const QString& prefix, int ms) {
    const QDeadlineTimer deadline(ms);
    for (;;) {
        m_buffer += m_process.readAllStandardOutput();
        qsizetype nl = 0;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            m_lines << QString::fromLatin1(m_buffer.left(nl));
            m_buffer.remove(0, nl + 1);
        }
        for (qsizetype i = 0; i < m_lines.size(); ++i) {
            if (m_lines[i].startsWith(prefix)) {
                const QString line = m_lines[i];
                m_lines.removeAt(i);
                return line;
            }
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return std::nullopt;
        }
        m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
    }
}

std::optional<QByteArray> LibmodbusPeer::nextRequest(int ms) {
    const auto line = nextLine(QStringLiteral("REQ "), ms);
    if (!line) {
        return std::nullopt;
    }
    return QByteArray::fromHex(line->mid(4).toLatin1());
}

std::optional<LibmodbusPeer::Write> LibmodbusPeer::nextWrite(int ms) {
    const auto line = nextLine(QStringLiteral("REGS "), ms);
    if (!line) {
        return std::nullopt;
    }
    const QStringList parts = line->split(u' ', Qt::SkipEmptyParts);
    if (parts.size() < 3) {
        return std::nullopt;
    }
    Write w;
    w.first = parts[1].toInt();
    for (qsizetype i = 3; i < parts.size(); ++i) {
        w.values.push_back(static_cast<std::uint16_t>(parts[i].toUInt()));
    }
    if (w.values.size() != parts[2].toUInt()) {
        return std::nullopt;
    }
    return w;
}

void LibmodbusPeer::clearReports() {
    m_buffer += m_process.readAllStandardOutput();
    m_buffer.clear();
    m_lines.clear();
}

} // namespace corvane::testsupport

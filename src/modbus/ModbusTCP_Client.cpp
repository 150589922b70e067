#include "ModbusTCP_Client.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace {

// A request is a few hundred bytes; if the kernel will not take it within this time the
// connection is as good as gone.
constexpr int writeTimeoutMs = 3000;

} // namespace

ModbusTCP_Client::ModbusTCP_Client() = default;

ModbusTCP_Client::~ModbusTCP_Client() {
    if (m_socket) {
        m_socket->abort();
    }
}

bool ModbusTCP_Client::connectToHost() {
    close();
    m_lastError.clear();
    if (!m_socket) {
        m_socket = std::make_unique<QTcpSocket>();
    }

    const QHostAddress address(m_host);
    if (!address.isNull()) {
        if (address.protocol() != QAbstractSocket::IPv4Protocol) {
            m_lastError = QStringLiteral("%1 is not an IPv4 address").arg(m_host);
            return false;
        }
        m_socket->connectToHost(address, m_port);
    } else {
        m_socket->connectToHost(m_host, m_port, QIODevice::ReadWrite,
                                QAbstractSocket::IPv4Protocol);
    }
    if (!m_socket->waitForConnected(m_connectTimeoutMs)) {
        m_lastError = m_socket->error() == QAbstractSocket::SocketTimeoutError
                          ? QStringLiteral("no connection to %1:%2 within %3 ms")
                                .arg(m_host)
                                .arg(m_port)
                                .arg(m_connectTimeoutMs)
                          : m_socket->errorString();
        m_socket->abort();
        return false;
    }
    // Requests are small and each waits for its reply: no coalescing delay.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

bool ModbusTCP_Client::isConnected() const {
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void ModbusTCP_Client::close() {
    m_pending.clear();
    m_buffering = false;
    if (m_socket) {
        m_socket->abort();
    }
}

void ModbusTCP_Client::openWriteBuffer() {
    m_pending.clear();
    m_buffering = true;
}

void ModbusTCP_Client::write(std::span<const std::uint8_t> bytes) {
    m_pending.append(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<qsizetype>(bytes.size()));
    if (!m_buffering) {
        closeWriteBuffer();
    }
}

void ModbusTCP_Client::closeWriteBuffer() {
    m_buffering = false;
    const QByteArray block = std::exchange(m_pending, QByteArray());
    if (!isConnected()) {
        fail(QStringLiteral("not connected"));
    }
    if (block.isEmpty()) {
        return;
    }
    if (m_socket->write(block) != block.size()) {
        fail(m_socket->errorString());
    }
    const QDeadlineTimer deadline(writeTimeoutMs);
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
            fail(m_socket->state() == QAbstractSocket::ConnectedState
                     ? QStringLiteral("request not sent within %1 ms").arg(writeTimeoutMs)
                     : m_socket->errorString());
        }
    }
}

bool ModbusTCP_Client::waitForBytes(std::size_t k, int ms) {
    if (bytesWaiting() >= k) {
        return true;
    }
    if (!isConnected()) {
        fail(m_socket ? m_socket->errorString() : QStringLiteral("not connected"));
    }
    const QDeadlineTimer deadline(std::max(ms, 0));
    for (;;) {
        const bool got = m_socket->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        if (bytesWaiting() >= k) {
            return true;
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState) {
            fail(m_socket->error() == QAbstractSocket::RemoteHostClosedError
                     ? QStringLiteral("connection closed by the peer")
                     : m_socket->errorString());
        }
        if (!got && m_socket->error() != QAbstractSocket::SocketTimeoutError) {
            fail(m_socket->errorString());
        }
        if (deadline.hasExpired()) {
            return false;
        }
    }
}

std::size_t ModbusTCP_Client::bytesWaiting() const {
    return m_socket ? static_cast<std::size_t>(m_socket->bytesAvailable()) : 0;
}

QByteArray ModbusTCP_Client::peek(std::size_t k) {
    return m_socket && m_socket->isOpen() ? m_socket->peek(static_cast<qint64>(k)) : QByteArray();
}

QByteArray ModbusTCP_Client::take(std::size_t k) {
    if (k == 0) {
        return {}; // also without a socket
    }
    if (bytesWaiting() < k) {
        fail(QStringLiteral("%1 bytes asked for, %2 waiting").arg(k).arg(bytesWaiting()));
    }
    return m_socket->read(static_cast<qint64>(k));
}

std::size_t ModbusTCP_Client::discardWaiting() {
    if (!m_socket || !m_socket->isOpen()) {
        return 0;
    }
    std::size_t dropped = 0;
    do {
        dropped += static_cast<std::size_t>(m_socket->readAll().size());
    } while (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->waitForReadyRead(0));
    dropped += static_cast<std::size_t>(m_socket->readAll().size());
    return dropped;
}

void ModbusTCP_Client::fail(const QString& what) {
    m_lastError = what;
    throw TcpClientError(what.toStdString());
}

#pragma once
// The TCP client under Modbus TCP: one IPv4 connection, blocking calls that need no running
// event loop (the network exchanges block the window thread by design).

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

class QTcpSocket;

// The connection failed under an exchange: the peer closed it, or the socket reported an error.
class TcpClientError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ModbusTCP_Client {
public:
    static constexpr std::uint16_t defaultPort = 502;
    static constexpr int defaultConnectTimeoutMs = 3000;

    ModbusTCP_Client();
    ~ModbusTCP_Client();
    ModbusTCP_Client(const ModbusTCP_Client&) = delete;
    ModbusTCP_Client& operator=(const ModbusTCP_Client&) = delete;

    void setHost(const QString& host) { m_host = host; }
    [[nodiscard]] QString host() const { return m_host; }
    void setPort(std::uint16_t port) { m_port = port; }
    [[nodiscard]] std::uint16_t port() const { return m_port; }
    void setConnectTimeoutMs(int ms) { m_connectTimeoutMs = ms; }
    [[nodiscard]] int connectTimeoutMs() const { return m_connectTimeoutMs; }

    // Connects to host:port over IPv4, closing an earlier connection first. False when no
    // connection was made within the connect time-out; lastError() then says why.
    [[nodiscard]] bool connectToHost();
    [[nodiscard]] bool isConnected() const;
    void close();
    [[nodiscard]] QString lastError() const { return m_lastError; }

    // Buffered write: everything written between open and close leaves as one block when the
    // buffer is closed. Throws TcpClientError when the connection is gone.
    void openWriteBuffer();
    void write(std::span<const std::uint8_t> bytes);
    void closeWriteBuffer();

    // True as soon as any received byte is waiting (at once when some already is), false when
    // ms passed without data. Throws TcpClientError when the peer closed or the socket failed
    // before enough bytes were waiting.
    [[nodiscard]] bool waitForData(int ms) { return waitForBytes(1, ms); }
    // As waitForData, until at least k bytes are waiting.
    [[nodiscard]] bool waitForBytes(std::size_t k, int ms);
    [[nodiscard]] std::size_t bytesWaiting() const;
    // Up to k bytes from the front of the receive buffer, left in place.
    [[nodiscard]] QByteArray peek(std::size_t k);
    // Exactly k bytes from the front of the receive buffer; throws TcpClientError when fewer
    // are waiting.
    [[nodiscard]] QByteArray take(std::size_t k);
    // Drops every received byte, including those the socket has not yet fetched. Returns how
    // many were dropped.
    std::size_t discardWaiting();

private:
    [[noreturn]] void fail(const QString& what);

    std::unique_ptr<QTcpSocket> m_socket;
    QString m_host;
    std::uint16_t m_port = defaultPort;
    int m_connectTimeoutMs = defaultConnectTimeoutMs;
    QString m_lastError;
    QByteArray m_pending; // the write buffer while open
    bool m_buffering = false;
};

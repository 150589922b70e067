#pragma once
// Peers that answer by script, for what a well-behaved slave never does: noise, trailing or
// corrupted bytes, replies split in pieces or too late, a connection closed mid-exchange.
// Each runs on its own thread and ends when destroyed.

#include "Pty.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane::testsupport {

// One step of an answer: wait delayMs, then send bytes (may be empty); closeAfter ends the
// TCP connection after the step.
struct PeerStep {
    QByteArray bytes;
    int delayMs = 0;
    bool closeAfter = false;
};
using PeerScript = std::function<std::vector<PeerStep>(const QByteArray& request)>;

// Length of the first complete request at the start of the bytes received, 0 while none is.
using RequestFramer = std::function<qsizetype(const QByteArray& received)>;

// A serial peer on a pseudo-terminal: the program under test opens devicePath(). A request is
// what arrived before the line stayed quiet for quietMs, or, with a framer, what the framer
// cuts off the front of the bytes received (so requests that follow each other closely are
// still told apart). The script runs on the peer's thread for each request, in order.
class ScriptedSerialPeer {
public:
    explicit ScriptedSerialPeer(PeerScript script = {}, int quietMs = 5);
    ScriptedSerialPeer(PeerScript script, RequestFramer framer);
    ~ScriptedSerialPeer();
    ScriptedSerialPeer(const ScriptedSerialPeer&) = delete;
    ScriptedSerialPeer& operator=(const ScriptedSerialPeer&) = delete;

    [[nodiscard]] QString devicePath() const { return m_pty.slavePath(); }
    void setScript(PeerScript script);
    [[nodiscard]] std::vector<QByteArray> requests() const;
    [[nodiscard]] int requestCount() const;
    // Bytes received that do not form a request (yet).
    [[nodiscard]] QByteArray leftover() const;

private:
    void run();
    void serve(const QByteArray& request);

    Pty m_pty;
    int m_quietMs = 5;
    RequestFramer m_framer;
    int m_stop[2] = {-1, -1};
    mutable std::mutex m_mutex;
    PeerScript m_script;
    std::vector<QByteArray> m_requests;
    QByteArray m_pending;
    std::thread m_thread;
};

// A Modbus TCP peer on 127.0.0.1 (a free port). Requests are cut by their MBAP length field;
// connections are served one after another.
class ScriptedTcpPeer {
public:
    explicit ScriptedTcpPeer(PeerScript script = {});
    ~ScriptedTcpPeer();
    ScriptedTcpPeer(const ScriptedTcpPeer&) = delete;
    ScriptedTcpPeer& operator=(const ScriptedTcpPeer&) = delete;

    [[nodiscard]] std::uint16_t port() const { return m_port; }
    void setScript(PeerScript script);
    [[nodiscard]] std::vector<QByteArray> requests() const;
    [[nodiscard]] int connectionsAccepted() const;

private:
    void run();
    void serve(int fd);

    int m_listener = -1;
    std::uint16_t m_port = 0;
    int m_stop[2] = {-1, -1};
    mutable std::mutex m_mutex;
    PeerScript m_script;
    std::vector<QByteArray> m_requests;
    int m_connections = 0;
    std::thread m_thread;
};

// A Modbus TCP reply frame: MBAP header with the given identifier, unit and pdu.
[[nodiscard]] QByteArray mbapFrame(std::uint16_t tid, std::uint8_t unit, const QByteArray& pdu);
// The identifier of an MBAP request (0 when too short).
[[nodiscard]] std::uint16_t mbapTid(const QByteArray& frame);
// bytes followed by their CRC-16/MODBUS, low byte first (computed here, not by the code
// under test).
[[nodiscard]] QByteArray withCrc(const QByteArray& bytes);
// An RTU reply to a read of `count` registers holding base + i, with its CRC.
[[nodiscard]] QByteArray rtuReadReply(std::uint8_t slave, std::uint16_t count, std::uint16_t base);

} // namespace corvane::testsupport

#pragma once
// A scripted device on a pseudo-terminal: it cuts what the program writes into request frames
// (bootloader DLE STX ... DLE ETX frames, or Modbus RTU requests by their function's length),
// records each one, and answers as the test's responder says. Its own framing and CRC, so a
// fault on the program's side is not mirrored here.

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace progtest {

using Bytes = std::vector<std::uint8_t>;

// What the peer sends back for one request: the pieces are written one after the other with
// a pause between them (longer than the link's interval time-out, so each arrives as a chunk
// of its own). No pieces: the peer stays silent.
struct Answer {
    std::vector<Bytes> pieces;
    std::chrono::milliseconds pause{40};
};

// Called on the peer's thread with the request and its 0-based number.
using Responder = std::function<Answer(const Bytes& request, int index)>;

class ScriptedPeer {
public:
    explicit ScriptedPeer(Responder responder);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    [[nodiscard]] QString path() const { return m_slavePath; }
    [[nodiscard]] std::vector<Bytes> requests() const;
    [[nodiscard]] int requestCount() const;
    // Bytes that did not form a request (should stay empty).
    [[nodiscard]] Bytes leftover() const;

private:
    void run();

    Responder m_responder;
    int m_master = -1;
    int m_slave = -1; // kept open so the master never sees a hang-up between opens
    int m_stop[2] = {-1, -1};
    QString m_slavePath;
    mutable std::mutex m_mutex;
    std::vector<Bytes> m_requests;
    Bytes m_pending;
    std::thread m_thread;
};

// Length of the first complete request at the start of buf, 0 while incomplete.
// A bootloader frame ends at the first ETX after an odd run of DLEs.
[[nodiscard]] std::size_t requestLength(const Bytes& buf);

// Unit side helpers (independent of the program's code).
[[nodiscard]] std::uint16_t crc16(const std::uint8_t* data, std::size_t n); // CRC-16/MODBUS
[[nodiscard]] Bytes withCrc(Bytes frame);                                   // appends lo, hi
[[nodiscard]] bool crcOk(const Bytes& frame);
[[nodiscard]] Bytes bootFrame(const Bytes& body); // stuffs and frames a body (BCC included)
[[nodiscard]] Bytes bootReply(std::uint8_t cmd, std::uint8_t len, const Bytes& data);
[[nodiscard]] Bytes unstuff(const Bytes& frame);     // body of a complete frame (BCC included)
[[nodiscard]] Bytes writeEcho(const Bytes& request); // normal reply to 6/16-style writes
[[nodiscard]] Bytes exceptionReply(const Bytes& request, std::uint8_t code = 1);
[[nodiscard]] Bytes readReply(std::uint8_t slave, const std::vector<std::uint16_t>& words);
[[nodiscard]] Bytes hex(const char* text);
[[nodiscard]] QByteArray toHex(const Bytes& b);

} // namespace progtest

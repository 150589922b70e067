#pragma once
// The unit's side of the programming exchanges for the scripted peer of the test support: how
// requests are cut (bootloader DLE STX ... DLE ETX frames, or Modbus RTU requests by their
// function's length) and what is answered. Its own framing and CRC, so a fault on the
// program's side is not mirrored here.

#include "ScriptedPeers.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <functional>
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

// The peer script that answers as the responder says; the responder sees each request with
// its 0-based number.
[[nodiscard]] corvane::testsupport::PeerScript peerScript(Responder responder);

// The requests a peer has seen, as bytes.
[[nodiscard]] std::vector<Bytes> requestsOf(const corvane::testsupport::ScriptedSerialPeer& peer);

// Length of the first complete request at the start of buf, 0 while incomplete.
// A bootloader frame ends at the first ETX after an odd run of DLEs.
[[nodiscard]] std::size_t requestLength(const Bytes& buf);
// The same, as the peer's request framer.
[[nodiscard]] qsizetype frameLength(const QByteArray& received);

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

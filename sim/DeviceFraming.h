#pragma once
// Device-side framing: the unit's own CRC-16, the Modbus RTU request assembler and the
// bootloader's DLE framing. Plain values, no I/O.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvane::sim {

using Bytes = std::vector<std::uint8_t>;

// CRC-16/MODBUS (reflected polynomial 0xA001, preset 0xFFFF, no final XOR), in natural order:
// the low byte goes first on the wire.
[[nodiscard]] std::uint16_t crc16(std::span<const std::uint8_t> data);
// Appends the CRC low byte first.
void appendCrc(Bytes& frame);
[[nodiscard]] bool crcOk(std::span<const std::uint8_t> frame);

// Length of an RTU request frame starting at `frame` (slave, function, ...): 0 while it cannot
// be told yet (too few bytes) or for a function whose request layout the unit does not know.
[[nodiscard]] std::size_t rtuRequestLength(std::span<const std::uint8_t> frame);

// Collects RTU request frames from a byte stream that may arrive in any pieces, with noise
// and broken frames in between. A frame is recognised as soon as its last byte arrives with a
// correct CRC at any position (so noise in front of it is skipped). After the line has been
// quiet for the idle gap, a frame of an unknown function that ends with the last byte received
// is recognised too, and bytes that cannot start a frame any more are dropped; bytes that may
// still begin a frame are kept up to the stale limit. The buffer never exceeds 512 bytes.
class RtuAssembler {
public:
    static constexpr std::size_t kMaxBuffer = 512;

    // Frames completed by these bytes, in order.
    std::vector<Bytes> feed(std::span<const std::uint8_t> bytes);
    // The line has been quiet for the idle gap; `stale` also drops bytes kept for a frame that
    // never completed.
    std::vector<Bytes> idle(bool stale);
    void clear() { m_buf.clear(); }
    [[nodiscard]] std::size_t buffered() const { return m_buf.size(); }

private:
    Bytes m_buf;
};

// Bootloader frames: DLE STX body DLE ETX, every 0x10 of the body doubled. The body is
// command, length byte, data, BCC (the 8-bit sum of the whole body is 0).
inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;

[[nodiscard]] std::uint8_t bccOf(std::span<const std::uint8_t> bytes); // two's complement of sum
[[nodiscard]] Bytes encodeBootFrame(std::uint8_t command, std::uint8_t length,
                                    std::span<const std::uint8_t> data);

// Undoubles a stream into bodies. A body is handed out only when its closing DLE ETX arrived;
// DLE STX inside a frame starts it again; DLE followed by anything else, or a body longer than
// kMaxBody, drops the frame. The BCC is not checked here.
class BootFrameParser {
public:
    static constexpr std::size_t kMaxBody = 300;

    std::vector<Bytes> feed(std::span<const std::uint8_t> bytes);
    void clear();
    [[nodiscard]] bool inFrame() const {
        return m_state != State::Hunt && m_state != State::HuntDle;
    }

private:
    enum class State { Hunt, HuntDle, Body, BodyDle };
    State m_state = State::Hunt;
    Bytes m_body;
};

[[nodiscard]] bool bodySumOk(std::span<const std::uint8_t> body); // at least 3 bytes, sum 0

} // namespace corvane::sim

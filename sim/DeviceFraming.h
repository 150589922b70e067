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
// correct CRC at any position (so noise in front of it is skipped), unless an earlier start
// may still be a frame in progress (a known function whose frame is not complete yet): its
// data can hold a window that passes the CRC by chance, so such a frame waits until the one in
// progress completes or the line goes quiet. With an address, only starts with that address
// count as frames in progress. After the line has been quiet for the idle gap, the frames that
// waited and a frame of an unknown function that ends with the last byte received are
// recognised, and bytes that cannot start a frame any more are dropped; bytes that may still
// begin a frame are kept up to the stale limit. The buffer never exceeds 512 bytes.
class RtuAssembler {
public:
    static constexpr std::size_t kMaxBuffer = 512;

    explicit RtuAssembler(std::optional<std::uint8_t> address = std::nullopt)
        : m_address(address) {}

    // Frames completed by these bytes, in order.
    std::vector<Bytes> feed(std::span<const std::uint8_t> bytes);
    // The line has been quiet for the idle gap; `stale` also drops bytes kept for a frame that
    // never completed.
    std::vector<Bytes> idle(bool stale);
    void clear() {
        m_buf.clear();
        m_waiting = false;
    }
    [[nodiscard]] std::size_t buffered() const { return m_buf.size(); }

private:
    // Start of the earliest complete frame with a good CRC that ends past newFrom and that no
    // earlier frame in progress holds back (none does when `quiet`).
    std::optional<std::size_t> findFrame(std::size_t newFrom, bool quiet);

    std::optional<std::uint8_t> m_address;
    Bytes m_buf;
    bool m_waiting = false; // a complete frame is held back by a frame in progress
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

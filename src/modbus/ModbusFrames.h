#pragma once
// Modbus request frames and reply checks as pure functions: bytes and numbers in, bytes and
// result codes out. The RTU and TCP masters add only the I/O around them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvane::modbus {

using Frame = std::vector<std::uint8_t>;

// The request buffer of a serial write holds 70 bytes: 9 + 2 x 30.
inline constexpr std::size_t rtuRequestCapacity = 70;
inline constexpr std::uint16_t rtuMaxWriteRegs = 30;
// The MBAP length field of a multiple write carries 2n + 7 in its low byte only.
inline constexpr std::uint16_t tcpMaxWriteRegs = 123;
// Result of a request the master refuses to build; nothing is sent.
inline constexpr int refusedRequest = -3;

[[nodiscard]] inline constexpr std::uint8_t hi(std::uint16_t w) {
    return static_cast<std::uint8_t>(w >> 8);
}
[[nodiscard]] inline constexpr std::uint8_t lo(std::uint16_t w) {
    return static_cast<std::uint8_t>(w & 0xFF);
}

// --- Modbus RTU -----------------------------------------------------------------------------

[[nodiscard]] Frame rtuWriteSingleRequest(std::uint8_t slave, std::uint8_t function,
                                          std::uint16_t reg, std::uint16_t value);
// Empty when count exceeds rtuMaxWriteRegs or values holds fewer than count words.
[[nodiscard]] std::optional<Frame> rtuWriteMultiRequest(std::uint8_t slave, std::uint8_t function,
                                                        std::uint16_t first, std::uint16_t count,
                                                        std::span<const std::uint16_t> values);
[[nodiscard]] Frame rtuReadRequest(std::uint8_t slave, std::uint8_t function, std::uint16_t first,
                                   std::uint16_t count);

// Bytes that follow the function byte of a complete reply (the reply conditions' minpost).
inline constexpr std::uint16_t rtuWriteReplyPost = 7;
inline constexpr std::uint16_t rtuExceptionReplyPost = 4;
[[nodiscard]] inline constexpr std::uint16_t rtuReadReplyPost(std::uint16_t count) {
    return static_cast<std::uint16_t>(2U * count + 4U);
}

// A read reply copied from its slave-address byte on, possibly with trailing bytes. The CRC is
// taken over everything but the last two bytes, so anything trailing makes it fail (-1). On 1
// stores min(byte count / 2, count, words present) words into values.
[[nodiscard]] int rtuDecodeReadReply(std::span<const std::uint8_t> reply, std::uint16_t count,
                                     std::span<std::uint16_t> values);

// --- Modbus TCP -----------------------------------------------------------------------------

inline constexpr std::size_t mbapHeaderSize = 6;

[[nodiscard]] Frame tcpWriteSingleRequest(std::uint16_t tid, std::uint8_t unit,
                                          std::uint8_t function, std::uint16_t reg,
                                          std::uint16_t value);
// Empty when count exceeds tcpMaxWriteRegs or values holds fewer than count words.
[[nodiscard]] std::optional<Frame> tcpWriteMultiRequest(std::uint16_t tid, std::uint8_t unit,
                                                        std::uint8_t function, std::uint16_t first,
                                                        std::uint16_t count,
                                                        std::span<const std::uint16_t> values);
[[nodiscard]] Frame tcpReadRequest(std::uint16_t tid, std::uint8_t unit, std::uint8_t function,
                                   std::uint16_t first, std::uint16_t count);

inline constexpr std::size_t tcpWriteReplySize = 12;
[[nodiscard]] inline constexpr std::size_t tcpReadReplySize(std::uint16_t count) {
    return 9U + 2U * std::size_t{count};
}

// Total frame size the MBAP header at the front of bytes announces (6 + length field), or
// nothing while fewer than six bytes are there.
[[nodiscard]] std::optional<std::size_t> tcpAnnouncedFrameSize(std::span<const std::uint8_t> bytes);

enum class TcpRequestKind : std::uint8_t { write, read };

// Checks a reply that already has the normal reply's size. readCount is the register count
// of a read (ignored for writes); values receives the registers of a read only on 1.
// 1 normal reply, 2 exception reply, -1 anything else.
[[nodiscard]] int tcpDecodeReply(std::span<const std::uint8_t> reply, std::uint16_t tid,
                                 std::uint8_t function, TcpRequestKind kind,
                                 std::uint16_t readCount, std::span<std::uint16_t> values);

} // namespace corvane::modbus

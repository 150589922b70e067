#pragma once
// CPU-1 bootloader framing: DLE STX body DLE ETX, every 0x10 of the body (BCC included) sent
// twice. Body: command, length byte, data, BCC (two's complement of the 8-bit sum, so the whole
// body adds up to 0). Pure functions, no I/O.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class TRxCondition;
class TVexaComms;

inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;

inline constexpr int kBootMaxData = 131;                          // address + 128 image bytes
inline constexpr int kBootMaxBody = kBootMaxData + 3;             // command, length, BCC
inline constexpr int kBootMaxRequestFrame = 4 + 2 * kBootMaxBody; // every byte doubled: 272
inline constexpr int kBootMaxReplyChars = 200; // longer replies are cut (and fail their BCC)

inline constexpr std::uint32_t kEraseStepBytes = 512; // eight 64-byte rows per erase command
inline constexpr std::uint32_t kProgramBlockBytes = 128;

// 8-bit sum of Buf[First..Last]; 0 when Last < First. Indexes past the end of Buf add nothing.
[[nodiscard]] std::uint8_t BCC_Calc(std::span<const std::uint8_t> Buf, std::uint16_t First,
                                    std::uint16_t Last);

namespace corvane {

// Body with its BCC: Cmd, Len, data..., BCC. Data beyond kBootMaxData is not taken.
[[nodiscard]] std::vector<std::uint8_t> bootRequestBody(std::uint8_t cmd, std::uint8_t len,
                                                        std::span<const std::uint8_t> data);
// DLE STX, the body with each 0x10 doubled, DLE ETX.
[[nodiscard]] std::vector<std::uint8_t> stuffBootFrame(std::span<const std::uint8_t> body);
[[nodiscard]] std::vector<std::uint8_t> bootRequestFrame(std::uint8_t cmd, std::uint8_t len,
                                                         std::span<const std::uint8_t> data);

// The body (BCC included) of a received frame that begins with DLE STX; the frame ends at the
// first ETX after an odd run of DLEs, and anything after it is ignored. nullopt when the
// characters do not begin with DLE STX or end before the closing DLE ETX (a cut reply).
[[nodiscard]] std::optional<std::vector<std::uint8_t>>
unstuffBootFrame(std::span<const std::uint8_t> raw);

// Checks a received frame and copies body bytes 2 .. 1+len to reply. 1 when the body adds up
// to 0 and holds at least 2 + len bytes; -1 otherwise, reply untouched.
[[nodiscard]] int takeBootReply(std::span<const std::uint8_t> raw, std::uint8_t len,
                                std::span<std::uint8_t> reply);

// The reply condition of a bootloader exchange: DLE STX, then DLE ETX after at least one
// character, both in sequence.
void bootReplyConditions(TRxCondition& cond);

// The reply of a completed exchange on the link: from the DLE before STX on, cut at
// kBootMaxReplyChars characters, checked by takeBootReply.
[[nodiscard]] int readBootReply(TVexaComms& port, std::uint8_t len, std::span<std::uint8_t> reply);

// Program address as sent: bits 0-7, 8-15, 16-23.
[[nodiscard]] std::vector<std::uint8_t> bootAddressBytes(std::uint32_t address);

// Start addresses of the erase commands covering first..last (inclusive), 512 bytes apart.
[[nodiscard]] std::vector<std::uint32_t> eraseStepAddresses(std::uint32_t first,
                                                            std::uint32_t last);
// 128-byte block numbers to program for first..last, in ascending order, only those marked in
// blockUsed (numbers past the end of blockUsed count as unmarked).
[[nodiscard]] std::vector<std::uint32_t>
programBlockNumbers(std::uint32_t first, std::uint32_t last, std::span<const bool> blockUsed);

// Progress in whole percent, truncated; 0 when total is 0.
[[nodiscard]] std::uint32_t percentOf(std::uint32_t done, std::uint32_t total);

} // namespace corvane

#pragma once
// Pure helpers of the serial link: port names, the read interval and how a link cuts what it
// receives into chunks, the copy of a reply's phases, and the frame utilities. No state, no
// threads, no platform.

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>

// Port name on Windows for 1-based port number n: "COM9", "\\.\COM10". Kept for a Windows layer;
// on Linux a port is its device path.
[[nodiscard]] QString windowsPortName(int portNumber);
// Read interval in ms: InterCharTimeOut when not 0, else derived from the line speed
// (baud 0 gives 1 ms).
[[nodiscard]] std::uint32_t readIntervalMs(std::uint32_t interCharTimeOut, std::uint32_t baudRate);
// The quiet time that ends a received chunk: the interval in microseconds when not 0, else
// readIntervalMs for the line speed.
[[nodiscard]] std::chrono::microseconds readInterval(std::uint32_t interCharTimeOutUs,
                                                     std::uint32_t baudRate);

// The updater's read intervals in microseconds. On the default link reply conditions are
// looked at once per chunk, so every exchange waits this long after the reply's last byte.
inline constexpr std::uint32_t kReadIntervalUs = 10000;
// --fast. Its chunks end at every read (see ChunkEnd), so this figure only names the link;
// with the quiet-interval chunks of the default link it lies above the line's own frame gap
// (3.5 characters, 0.30 ms at 115200 baud) and below a USB adapter's 1 ms packet spacing.
inline constexpr std::uint32_t kFastReadIntervalUs = 500;

// Where the receive thread ends a chunk and hands it to the link's thread.
enum class ChunkEnd {
    // Once the line has been quiet for the read interval. A reply is taken once per chunk;
    // bytes that follow it in the same chunk join it.
    QuietInterval,
    // As soon as a read returns. An exchange ends on the byte that completes its reply; later
    // bytes, and bytes received before the next request was written, join no reply.
    EachRead,
};

// The fast link: an interval below a millisecond (which groups nothing a USB adapter sends
// 1 ms apart, and only delays every reply) means chunks at every read.
[[nodiscard]] ChunkEnd chunkEndFor(std::uint32_t interCharTimeOutUs);

// Copies a reply out of the characters received since the request (`received`, `count` of
// them), which a condition split into `prechrs` pre-phase and `msgchrs` mid-phase characters
// with the post phase after them. pre < 0: the whole pre phase, else its last `pre`
// characters; mid < 0: the whole mid phase, mid > 0: exactly `mid` characters from the
// start; post > 0: exactly `post` characters after the mid phase, post < 0: everything after
// it. Stops at `bufsize` characters and at the end of `received`; writes a zero byte after
// the copy (buf holds bufsize + 1 bytes) and returns the number copied.
std::size_t copyReplyPhases(const std::uint8_t* received, std::size_t count, std::size_t prechrs,
                            std::size_t msgchrs, int pre, int mid, int post, std::uint8_t* buf,
                            std::size_t bufsize);

// Frame utilities (nothing in the system's exchanges uses them).
// 1 when buf[en + 1] is the XOR of buf[st] ... buf[en] (0 when en < st), else 0.
[[nodiscard]] int BCC_Check(const std::uint8_t* buf, std::uint16_t st, std::uint16_t en);
// 2 + the index of the first `first` followed by `second` ('*': any), scanning n bytes and
// comparing buf[n] as well; 0 when there is none.
[[nodiscard]] std::uint16_t Find_Char(const std::uint8_t* buf, std::uint8_t first,
                                      std::uint8_t second, std::uint16_t n);
// Copies len bytes (none when len <= 0); zt_flag: a zero byte after them.
void Byte_Move(const std::uint8_t* src, std::uint8_t* dest, int len, bool zt_flag);

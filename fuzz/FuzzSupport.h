#pragma once
// Shared pieces of the fuzz targets: a reader that takes fields from the input, a serial link
// opened once on a device that never delivers (bytes are handed to the link directly), and a
// check that stops the run with a message.

#include <cstddef>
#include <cstdint>
#include <span>

class TVexaComms;

namespace corvane::fuzz {

// Aborts with the failed condition, so that the fuzzer keeps the input as a crash.
[[noreturn]] void checkFailed(const char* condition, const char* file, int line);

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::corvane::fuzz::checkFailed(#cond, __FILE__, __LINE__);                               \
    } while (0)

// Fields from the front of the input; past its end every field reads 0.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data)
        : m_data(data) {}
    std::uint8_t u8() { return m_pos < m_data.size() ? m_data[m_pos++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t hi = u8();
        return static_cast<std::uint16_t>((hi << 8) | u8());
    }
    // Up to n bytes (fewer at the end of the input).
    std::span<const std::uint8_t> bytes(std::size_t n) {
        const std::size_t k = n < remaining() ? n : remaining();
        const auto out = m_data.subspan(m_pos, k);
        m_pos += k;
        return out;
    }
    std::span<const std::uint8_t> rest() { return bytes(remaining()); }
    [[nodiscard]] std::size_t remaining() const { return m_data.size() - m_pos; }

private:
    std::span<const std::uint8_t> m_data;
    std::size_t m_pos = 0;
};

// The process's serial link, open on a device that accepts writes and never delivers.
// ringSize is taken by the first call only.
TVexaComms& quietLink(std::uint16_t ringSize);

// Arms one exchange on the link (no request is written) and hands it the stream in chunks of
// chunk bytes (0 counts as 1), as the receive thread's deliveries would.
void deliver(TVexaComms& link, std::span<const std::uint8_t> stream, std::size_t chunk);

} // namespace corvane::fuzz

// Modbus RTU replies as the master takes them: the reply conditions of an exchange, the copy
// from the slave address on, and the read reply's CRC and data check.
// Input: slave, function, register count, chunk size, then the received stream.

#include "FuzzSupport.h"

#include "ModBusPro.h"
#include "ModbusFrames.h"
#include "RxCondition.h"
#include "VexaComms.h"

#include <algorithm>
#include <array>
#include <vector>

using corvane::fuzz::Reader;
namespace mb = corvane::modbus;

namespace {

// CRC-16/MODBUS, bitwise, low byte first on the wire; kept apart from the master's own.
bool crcHolds(std::span<const std::uint8_t> frame) {
    if (frame.size() < 3) {
        return false;
    }
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i + 2 < frame.size(); ++i) {
        crc ^= frame[i];
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 1U) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                             : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

constexpr std::uint16_t kCanary = 0xA5C3;

void checkDecode(std::span<const std::uint8_t> reply, std::uint16_t count) {
    std::array<std::uint16_t, 130> values;
    values.fill(kCanary);
    const std::size_t room = std::min<std::size_t>(count, values.size());
    const int r = mb::rtuDecodeReadReply(reply, count, std::span(values).first(room));
    FUZZ_CHECK(r == 1 || r == -1);
    if (r != 1) {
        for (const auto v : values) {
            FUZZ_CHECK(v == kCanary);
        }
        return;
    }
    FUZZ_CHECK(crcHolds(reply));
    // Stored words come from the data bytes; nothing past the byte count, the request or the
    // reply is stored.
    const std::size_t words = std::min({std::size_t{reply[2]} / 2, room, (reply.size() - 5) / 2});
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i < words) {
            const auto w = static_cast<std::uint16_t>((reply[3 + 2 * i] << 8) | reply[4 + 2 * i]);
            FUZZ_CHECK(values[i] == w);
        } else {
            FUZZ_CHECK(values[i] == kCanary);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in({data, size});
    // The ring of the updater's link is 16384 bytes; a small one here makes overflow reachable.
    TVexaComms& link = corvane::fuzz::quietLink(512);

    const std::uint8_t slave = in.u8();
    const std::uint8_t function = in.u8();
    const std::uint16_t count = in.u8() % 126;
    const std::size_t chunk = in.u8() % 64;
    const auto stream = in.rest();

    // The pure check on the stream as it is.
    checkDecode(stream, count);

    TRxCondition cond;
    rtuReplyConditions(cond, slave, function, mb::rtuReadReplyPost(count));
    link.AttachCond(&cond);
    corvane::fuzz::deliver(link, stream, chunk);
    const int result = link.RxResult;
    FUZZ_CHECK(result == -1 || result == 1 || result == 2);
    // Past the ring's size the oldest bytes stay and the copy may be cut.
    const bool fits = stream.size() < link.RxBufferSize();
    if (result == 1) {
        const std::vector<std::uint8_t> reply = rtuReplyCopy(link);
        if (fits) {
            // The slave byte, then at least the function byte and what follows it.
            FUZZ_CHECK(reply.size() >= 1u + mb::rtuReadReplyPost(count));
            FUZZ_CHECK(reply[0] == slave);
        }
        checkDecode(reply, count);
    }
    if (result == 2) {
        FUZZ_CHECK(function != (function | 0x80)); // else the normal reply's condition wins
        FUZZ_CHECK(std::find(stream.begin(), stream.end(), slave) != stream.end());
    }
    link.DetachCond();
    return 0;
}

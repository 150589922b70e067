// Modbus TCP replies: the size an MBAP header announces and the reply check of writes and
// reads. Input: transaction id, function, kind (bit 0: read), register count, then the reply.

#include "FuzzSupport.h"

#include "ModbusFrames.h"

#include <algorithm>
#include <array>

using corvane::fuzz::Reader;
namespace mb = corvane::modbus;

namespace {

constexpr std::uint16_t kCanary = 0x5AC3;

std::uint16_t wordAt(std::span<const std::uint8_t> b, std::size_t i) {
    return static_cast<std::uint16_t>((b[i] << 8) | b[i + 1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in({data, size});
    const std::uint16_t tid = in.u16();
    const std::uint8_t function = in.u8();
    const auto kind = (in.u8() & 1) != 0 ? mb::TcpRequestKind::read : mb::TcpRequestKind::write;
    const std::uint16_t count = in.u8() % 126;
    const auto reply = in.rest();

    const auto announced = mb::tcpAnnouncedFrameSize(reply);
    FUZZ_CHECK(announced.has_value() == (reply.size() >= mb::mbapHeaderSize));
    if (announced) {
        FUZZ_CHECK(*announced == mb::mbapHeaderSize + wordAt(reply, 4));
    }

    std::array<std::uint16_t, 130> values;
    values.fill(kCanary);
    const std::size_t room = kind == mb::TcpRequestKind::read ? count : 0;
    const int r =
        mb::tcpDecodeReply(reply, tid, function, kind, count, std::span(values).first(room));
    FUZZ_CHECK(r == 1 || r == 2 || r == -1);
    std::size_t stored = 0;
    if (r != -1) {
        // Only a reply to this transaction, protocol 0.
        FUZZ_CHECK(reply.size() >= 8);
        FUZZ_CHECK(wordAt(reply, 0) == tid && wordAt(reply, 2) == 0);
    }
    if (r == 2) {
        FUZZ_CHECK(reply[7] == (function | 0x80) && reply[7] != function);
    }
    if (r == 1) {
        FUZZ_CHECK(reply[7] == function);
        if (kind == mb::TcpRequestKind::write) {
            FUZZ_CHECK(wordAt(reply, 4) == 6);
        } else {
            FUZZ_CHECK(wordAt(reply, 4) == 2 * count + 3);
            FUZZ_CHECK(reply.size() >= 9);
            stored =
                std::min({std::size_t{reply[8]} / 2, std::size_t{count}, (reply.size() - 9) / 2});
            for (std::size_t i = 0; i < stored; ++i) {
                FUZZ_CHECK(values[i] == wordAt(reply, 9 + 2 * i));
            }
        }
    }
    // Nothing is stored past what the reply holds, and nothing at all unless it is accepted.
    for (std::size_t i = stored; i < values.size(); ++i) {
        FUZZ_CHECK(values[i] == kCanary);
    }

    // A reply built the way a slave answers is accepted with every register.
    if (kind == mb::TcpRequestKind::read && (function & 0x80) == 0) {
        std::array<std::uint8_t, 9 + 2 * 126> good{};
        const std::size_t n = mb::tcpReadReplySize(count);
        good[0] = mb::hi(tid);
        good[1] = mb::lo(tid);
        good[4] = mb::hi(static_cast<std::uint16_t>(2 * count + 3));
        good[5] = mb::lo(static_cast<std::uint16_t>(2 * count + 3));
        good[6] = 1;
        good[7] = function;
        good[8] = static_cast<std::uint8_t>(2 * count);
        const auto payload = reply.first(std::min<std::size_t>(reply.size(), 2 * count));
        std::copy(payload.begin(), payload.end(), good.begin() + 9);
        values.fill(kCanary);
        FUZZ_CHECK(mb::tcpDecodeReply(std::span(good).first(n), tid, function, kind, count,
                                      std::span(values).first(count)) == 1);
        for (std::size_t i = 0; i < count; ++i) {
            FUZZ_CHECK(values[i] == wordAt(good, 9 + 2 * i));
        }
    }
    return 0;
}

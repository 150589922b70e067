// Bootloader replies as the programmer takes them: the DLE STX ... DLE ETX condition, the copy
// cut at 200 characters, undoubling and the BCC; and frames built for requests undouble back.
// Input: reply length, chunk size, then the received stream.

#include "FuzzSupport.h"

#include "BootFrames.h"
#include "RxCondition.h"
#include "VexaComms.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

using corvane::fuzz::Reader;

namespace {

std::uint8_t sum8(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0U));
}

// takeBootReply on raw; a success must be explained by the frame's own bytes.
void checkTake(std::span<const std::uint8_t> raw, std::uint8_t len) {
    std::array<std::uint8_t, 256> reply;
    reply.fill(0xA5);
    const int r = corvane::takeBootReply(raw, len, std::span(reply).first(len));
    FUZZ_CHECK(r == 1 || r == -1);
    const auto body = corvane::unstuffBootFrame(raw);
    if (body) {
        // A DLE before anything but ETX passes the next character literally, so only the way
        // back is exact: the body framed again undoubles to itself.
        FUZZ_CHECK(corvane::unstuffBootFrame(corvane::stuffBootFrame(*body)) == body);
        FUZZ_CHECK(body->size() + 4 <= raw.size());
    }
    if (r != 1) {
        FUZZ_CHECK(std::all_of(reply.begin(), reply.end(), [](auto b) { return b == 0xA5; }));
        return;
    }
    FUZZ_CHECK(body.has_value());
    FUZZ_CHECK(sum8(*body) == 0);
    FUZZ_CHECK(body->size() >= 2u + len);
    FUZZ_CHECK(std::equal(reply.begin(), reply.begin() + len, body->begin() + 2));
    FUZZ_CHECK(std::all_of(reply.begin() + len, reply.end(), [](auto b) { return b == 0xA5; }));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in({data, size});
    TVexaComms& link = corvane::fuzz::quietLink(1024);

    const std::uint8_t len = in.u8();
    const std::size_t chunk = in.u8() % 64;
    const auto stream = in.rest();

    checkTake(stream, len);

    // A request frame built from the stream as data undoubles to its body, which adds up to 0.
    const auto data131 = stream.first(std::min<std::size_t>(stream.size(), kBootMaxData));
    const auto frame = corvane::bootRequestFrame(0x02, len, data131);
    const auto body = corvane::unstuffBootFrame(frame);
    FUZZ_CHECK(body.has_value());
    FUZZ_CHECK(body->size() == data131.size() + 3);
    FUZZ_CHECK(sum8(*body) == 0);
    FUZZ_CHECK(std::equal(data131.begin(), data131.end(), body->begin() + 2));
    FUZZ_CHECK(frame.size() <= std::size_t{kBootMaxRequestFrame});

    TRxCondition cond;
    corvane::bootReplyConditions(cond);
    link.AttachCond(&cond);
    corvane::fuzz::deliver(link, stream, chunk);
    if (link.RxResult == 1) {
        std::array<std::uint8_t, 256> reply{};
        const int r = corvane::readBootReply(link, len, std::span(reply).first(len));
        FUZZ_CHECK(r == 1 || r == -1);
        if (r == 1 && stream.size() < 1024) {
            // The link's copy starts at the DLE before the STX that completed the start and is
            // cut at 200 characters (a ring that overflowed holds other bytes at its end).
            const TRxConditionItem* item = cond.GetConditionPtr(1);
            FUZZ_CHECK(item != nullptr && item->prechrs >= 1);
            const std::size_t at = item->prechrs - 1u;
            FUZZ_CHECK(stream[at] == kDle && stream[at + 1] == kStx);
            const auto raw =
                stream.subspan(at, std::min<std::size_t>(stream.size() - at, kBootMaxReplyChars));
            std::array<std::uint8_t, 256> direct{};
            FUZZ_CHECK(corvane::takeBootReply(raw, len, std::span(direct).first(len)) == 1);
            FUZZ_CHECK(std::equal(direct.begin(), direct.begin() + len, reply.begin()));
        }
    }
    link.DetachCond();
    return 0;
}

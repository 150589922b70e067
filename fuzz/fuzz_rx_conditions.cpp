// Reply conditions and GetReply over any condition list and any received stream.
// Input: condition count, the conditions (counts, modes, characters, minimum counts), chunk
// size, GetReply's condition number, buffer size and pre/mid/post, then the stream.

#include "FuzzSupport.h"

#include "RxCondition.h"
#include "VexaComms.h"

#include <algorithm>
#include <vector>

using corvane::fuzz::Reader;

namespace {

constexpr std::uint16_t kRing = 256;

void addCondition(TRxCondition& cond, Reader& in) {
    // Up to 7 characters are offered, so that the cut to 5 is exercised.
    const std::uint8_t nstart = in.u8() % 8;
    const std::uint8_t startmode = in.u8() % 2;
    const auto startchr = in.bytes(in.u8() % 8);
    const std::uint8_t nend = in.u8() % 8;
    const std::uint8_t endmode = in.u8() % 2;
    const auto endchr = in.bytes(in.u8() % 8);
    const std::uint16_t minpre = in.u8() % 16;
    const std::uint16_t minmid = in.u8() % 64;
    const std::uint16_t minpost = in.u8() % 64;
    cond.PrepRxBuffAdd(nstart, startchr, startmode, nend, endchr, endmode, minpre, minmid, minpost);
}

int signedCount(std::uint8_t b) {
    return static_cast<int>(static_cast<std::int8_t>(b)); // -128..127, -1 for 0xFF
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in({data, size});
    TVexaComms& link = corvane::fuzz::quietLink(kRing);

    TRxCondition cond;
    cond.PrepRxBuffNew();
    const int wanted = in.u8() % 13; // an 11th and 12th are dropped
    for (int i = 0; i < wanted; ++i) {
        addCondition(cond, in);
    }
    FUZZ_CHECK(cond.Cond_count == std::min(wanted, int{TRxCondition::MaxConditions}));

    const std::size_t chunk = in.u8() % 32;
    const std::uint16_t condnum = in.u8() % 13;
    const std::uint16_t bufsize = in.u16() % 600;
    const int pre = signedCount(in.u8());
    const int mid = signedCount(in.u8());
    const int post = signedCount(in.u8());
    const auto stream = in.rest();

    link.AttachCond(&cond);
    corvane::fuzz::deliver(link, stream, chunk);

    // The result is the first complete condition, and that one really is complete.
    const int got = link.GetCondition();
    FUZZ_CHECK(got == -1 || (got >= 1 && got <= cond.Cond_count));
    if (got != -1) {
        FUZZ_CHECK(link.CheckReply(static_cast<std::uint16_t>(got)));
        FUZZ_CHECK(link.RxResult == got);
        const TRxConditionItem* item = cond.GetConditionPtr(static_cast<std::uint16_t>(got));
        FUZZ_CHECK(item->gotstart && item->gotend);
        FUZZ_CHECK(std::size_t{item->prechrs} + item->msgchrs + item->postchrs <= stream.size());
    }

    // The copy never passes bufsize and ends with a zero byte (one byte more is allowed for).
    std::vector<std::uint8_t> buf(std::size_t{bufsize} + 1, 0xA5);
    const std::uint16_t n = link.GetReply(condnum, buf.data(), bufsize, pre, mid, post);
    FUZZ_CHECK(n <= bufsize);
    FUZZ_CHECK(buf[n] == 0);
    const TRxConditionItem* item = cond.GetConditionPtr(condnum);
    if (item == nullptr) {
        FUZZ_CHECK(n == 0);
    }

    if (item != nullptr && stream.size() < kRing) {
        // Everything before, in and after the condition's message is what arrived, in order.
        std::vector<std::uint8_t> all(std::size_t{bufsize} + 1, 0xA5);
        const std::uint16_t m = link.GetReply(condnum, all.data(), bufsize, -1, -1, -1);
        const std::size_t expect = std::min<std::size_t>(stream.size(), bufsize);
        FUZZ_CHECK(m == expect);
        FUZZ_CHECK(std::equal(all.begin(), all.begin() + m, stream.begin()));

        // The message part alone is the msgchrs characters after the pre-phase ones.
        std::vector<std::uint8_t> msg(stream.size() + 1, 0xA5);
        const std::uint16_t k =
            link.GetReply(condnum, msg.data(), static_cast<std::uint16_t>(stream.size()), 0, -1, 0);
        FUZZ_CHECK(k == item->msgchrs);
        FUZZ_CHECK(std::equal(msg.begin(), msg.begin() + k, stream.begin() + item->prechrs));
    }
    link.DetachCond();
    return 0;
}

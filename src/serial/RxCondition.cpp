#include "RxCondition.h"

#include <algorithm>

namespace {

// One step of start or end matching. Mode 0: any one of the characters; otherwise the
// characters in sequence, where a mismatch restarts the sequence without comparing the
// mismatching character against the first one again.
bool matchStep(std::uint8_t ch, const std::array<std::uint8_t, 6>& chars, std::uint16_t count,
               std::uint8_t mode, std::uint16_t& matched) {
    if (mode == 0) {
        return std::find(chars.begin(), chars.begin() + count, ch) != chars.begin() + count;
    }
    if (matched < count && ch == chars[matched]) {
        ++matched;
        return matched == count;
    }
    matched = 0;
    return false;
}

} // namespace

bool TRxConditionItem::UpdateCondFlags(std::uint8_t ch) {
    if (nstart > 0 && !gotstart) {
        gotstart = matchStep(ch, startchr, nstart, startmode, nstartrx);
    } else if (msgchrs >= minmid && nend > 0 && !gotend) {
        // Never reached on the character that completes the start.
        gotend = matchStep(ch, endchr, nend, endmode, nendrx);
    }
    UpdatePreMidPost();
    if (gotstart && nend == 0) {
        gotend = true;
    }
    return gotstart && gotend;
}

void TRxConditionItem::UpdatePreMidPost() {
    if (!gotstart) {
        ++prechrs;
    } else if (gotend) {
        ++postchrs;
    } else {
        ++msgchrs;
    }
}

TRxCondition::TRxCondition() = default;

TRxCondition::~TRxCondition() {
    ClearList();
}

void TRxCondition::PrepRxBuffNew() {
    ClearList();
}

void TRxCondition::PrepRxBuffAdd(std::uint16_t nstart, std::span<const std::uint8_t> startchr,
                                 std::uint8_t startmode, std::uint16_t nend,
                                 std::span<const std::uint8_t> endchr, std::uint8_t endmode,
                                 std::uint16_t minpre, std::uint16_t minmid,
                                 std::uint16_t minpost) {
    if (Cond_count >= MaxConditions) {
        return;
    }
    auto item = std::make_unique<TRxConditionItem>();
    item->nstart = static_cast<std::uint16_t>(
        std::min<std::size_t>({nstart, std::size_t{MaxChars}, startchr.size()}));
    std::copy_n(startchr.begin(), item->nstart, item->startchr.begin());
    item->startmode = startmode;
    item->nend = static_cast<std::uint16_t>(
        std::min<std::size_t>({nend, std::size_t{MaxChars}, endchr.size()}));
    std::copy_n(endchr.begin(), item->nend, item->endchr.begin());
    item->endmode = endmode;
    item->minpre = minpre;
    item->minmid = minmid;
    item->minpost = minpost;
    Cond_list[Cond_count] = std::move(item);
    ++Cond_count;
}

void TRxCondition::PrepRxBuffResetFlags() {
    for (std::uint16_t i = 0; i < Cond_count; ++i) {
        auto& c = *Cond_list[i];
        c.nstartrx = 0;
        c.nendrx = 0;
        c.gotstart = false;
        c.gotend = false;
        c.prechrs = 0;
        c.msgchrs = 0;
        c.postchrs = 0;
    }
}

int TRxCondition::CheckConditions(std::uint8_t ch) {
    for (std::uint16_t i = 0; i < Cond_count; ++i) {
        if (Cond_list[i]->UpdateCondFlags(ch)) {
            return i;
        }
    }
    return -1;
}

bool TRxCondition::CheckRxChars(std::uint16_t condnum) const {
    const TRxConditionItem* c = GetConditionPtr(condnum);
    return c != nullptr && c->gotstart && c->gotend && c->prechrs >= c->minpre &&
           c->msgchrs >= c->minmid && c->postchrs >= c->minpost;
}

void TRxCondition::UpdateCharCounts() {
    for (std::uint16_t i = 0; i < Cond_count; ++i) {
        Cond_list[i]->UpdatePreMidPost();
    }
}

void TRxCondition::ClearList() {
    while (Cond_count > 0) {
        --Cond_count;
        Cond_list[Cond_count].reset();
    }
}

TRxConditionItem* TRxCondition::GetConditionPtr(std::uint16_t condnum) {
    if (condnum == 0 || condnum > Cond_count) {
        return nullptr;
    }
    return Cond_list[condnum - 1].get();
}

const TRxConditionItem* TRxCondition::GetConditionPtr(std::uint16_t condnum) const {
    if (condnum == 0 || condnum > Cond_count) {
        return nullptr;
    }
    return Cond_list[condnum - 1].get();
}

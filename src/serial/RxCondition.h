#pragma once
// Reply conditions: up to 10 acceptable reply shapes of one exchange, each described by start
// characters, end characters and minimum counts before, between and after them. Plain data and
// logic; used on the component's thread only.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

class TRxConditionItem {
public:
    // Definition, set when the condition is added.
    std::array<std::uint8_t, 6> startchr{};
    std::uint8_t startmode = 0; // 0: any one of the start characters; else the sequence
    std::array<std::uint8_t, 6> endchr{};
    std::uint8_t endmode = 0;
    // Match state, reset for every exchange.
    bool gotstart = false;
    bool gotend = false;
    std::uint16_t minpre = 0;
    std::uint16_t minmid = 0;
    std::uint16_t minpost = 0;
    std::uint16_t msgchrs = 0;
    std::uint16_t nstart = 0;
    std::uint16_t nstartrx = 0;
    std::uint16_t nend = 0;
    std::uint16_t nendrx = 0;
    std::uint16_t prechrs = 0;
    std::uint16_t postchrs = 0;

    // Advances the match state by one character and counts it; true once start and end are seen.
    bool UpdateCondFlags(std::uint8_t ch);
    // Counts one character in the current phase.
    void UpdatePreMidPost();
};

class TRxCondition {
public:
    static constexpr std::uint16_t MaxConditions = 10;
    static constexpr std::uint16_t MaxChars = 5;

    TRxCondition();
    ~TRxCondition();
    TRxCondition(const TRxCondition&) = delete;
    TRxCondition& operator=(const TRxCondition&) = delete;

    void PrepRxBuffNew();
    // Appends one condition; an 11th is dropped. Counts above 5 are cut to 5, and to the number
    // of bytes the list really holds.
    void PrepRxBuffAdd(std::uint16_t nstart, std::span<const std::uint8_t> startchr,
                       std::uint8_t startmode, std::uint16_t nend,
                       std::span<const std::uint8_t> endchr, std::uint8_t endmode,
                       std::uint16_t minpre, std::uint16_t minmid, std::uint16_t minpost);
    void PrepRxBuffAdd(std::uint16_t nstart, std::initializer_list<std::uint8_t> startchr,
                       std::uint8_t startmode, std::uint16_t nend,
                       std::initializer_list<std::uint8_t> endchr, std::uint8_t endmode,
                       std::uint16_t minpre, std::uint16_t minmid, std::uint16_t minpost) {
        PrepRxBuffAdd(nstart, std::span<const std::uint8_t>(startchr.begin(), startchr.size()),
                      startmode, nend, std::span<const std::uint8_t>(endchr.begin(), endchr.size()),
                      endmode, minpre, minmid, minpost);
    }
    // Every condition matches afresh; the definitions stay.
    void PrepRxBuffResetFlags();
    // Feeds one character; the 0-based index of the first condition that now has its start and
    // end, or -1. Conditions after that one do not see the character.
    [[nodiscard]] int CheckConditions(std::uint8_t ch);
    // Condition condnum (1-based) is complete; false outside 1..Cond_count.
    [[nodiscard]] bool CheckRxChars(std::uint16_t condnum) const;
    void UpdateCharCounts();
    void ClearList();
    // Condition condnum (1-based), or nullptr outside 1..Cond_count.
    [[nodiscard]] TRxConditionItem* GetConditionPtr(std::uint16_t condnum);
    [[nodiscard]] const TRxConditionItem* GetConditionPtr(std::uint16_t condnum) const;

    std::uint16_t Cond_count = 0;

private:
    std::array<std::unique_ptr<TRxConditionItem>, MaxConditions> Cond_list;
};

using PTRxCondition = TRxCondition*;

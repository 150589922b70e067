#pragma once
// What every request-reply exchange on the serial link does around its request, whichever
// protocol it speaks (Modbus here, CPU-1's bootloader in programming): the reply conditions
// attached for exactly the exchange, and the link's tap told what the exchange is and how it
// ended.

#include "VexaComms.h"

#include <QPointer>

#include <string>

// The link refers to the list only while it is attached: detached before the list is freed,
// on every way out. The wait dispatches events and a handler may destroy the link: it is only
// touched while it still exists.
class AttachedConditions {
public:
    AttachedConditions(TVexaComms& link, TRxCondition& cond);
    ~AttachedConditions();
    AttachedConditions(const AttachedConditions&) = delete;
    AttachedConditions& operator=(const AttachedConditions&) = delete;
    [[nodiscard]] bool linkAlive() const { return !m_link.isNull(); }

private:
    QPointer<TVexaComms> m_link;
};

// Tells the link's tap, if it has one, that an exchange begins and how it ended. The label
// ("modbus fn 3 slave 23 reg 0 x2") is only made when there is a tap to read it.
class TappedExchange {
public:
    template <typename MakeLabel>
    TappedExchange(const TVexaComms& link, MakeLabel&& makeLabel)
        : m_tap(link.tap()) {
        if (m_tap != nullptr) {
            const std::string label = makeLabel();
            m_tap->exchangeBegun(label);
        }
    }
    TappedExchange(const TappedExchange&) = delete;
    TappedExchange& operator=(const TappedExchange&) = delete;

    // Reports the exchange's result and returns it.
    int end(int result) {
        if (m_tap != nullptr) {
            m_tap->exchangeEnded(result);
        }
        return result;
    }

private:
    LinkTap* m_tap;
};

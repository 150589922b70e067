// The receiving half of the serial link component: deliveries of the receive thread, the
// receive ring, the reply conditions and the copy of a reply. All of it runs on the
// component's thread.

#include "VexaComms.h"

#include "RxEvents.h"
#include "RxThread.h"
#include "SerialDevice.h"

#include <QPointer>

#include <algorithm>

using corvane::rx::RxDataEvent;
using corvane::rx::RxHungUpEvent;

std::uint64_t TVexaComms::streamPosition() const {
    if (!RxThread) {
        return 0;
    }
    // The thread counts a read once it has returned; the driver counts what no read took yet.
    // A read in between shows as a change of the count: try again. Should the thread be
    // between its read and its count, the position comes out short, never long: a byte of
    // the new reply is never taken for an old one.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::uint64_t taken = RxThread->bytesRead();
        const std::size_t pending = m_device->pendingInput();
        if (RxThread->bytesRead() == taken) {
            return taken + pending;
        }
    }
    return RxThread->bytesRead();
}

std::uint16_t TVexaComms::GetReply(std::uint16_t condnum, std::uint8_t* buf, std::uint16_t bufsize,
                                   int pre, int mid, int post) {
    if (buf == nullptr) {
        return 0;
    }
    const TRxConditionItem* item = RxCond != nullptr ? RxCond->GetConditionPtr(condnum) : nullptr;
    if (item == nullptr || !RxBuffer) {
        buf[0] = 0;
        return 0;
    }
    // Only bytes written in this exchange are copied: the ring holds them from position 0 up
    // to the write position (it never wraps past position 0 after SendCommData).
    return static_cast<std::uint16_t>(
        copyReplyPhases(RxBuffer.get(), std::min<std::size_t>(RxBuffTail, m_ringSize),
                        item->prechrs, item->msgchrs, pre, mid, post, buf, bufsize));
}

bool TVexaComms::GetNextChar(std::uint8_t* ch) {
    if (ch == nullptr || !RxBuffer || RxBuffHead == RxBuffTail) {
        return false;
    }
    *ch = RxBuffer[RxBuffHead];
    ++RxBuffHead;
    if (RxBuffHead >= m_ringSize) {
        RxBuffHead = 0;
    }
    return true;
}

int TVexaComms::GetCondition() {
    if (RxCond == nullptr) {
        return -1;
    }
    for (std::uint16_t n = 1; n <= RxCond->Cond_count; ++n) {
        if (RxCond->CheckRxChars(n)) {
            return n;
        }
    }
    return -1;
}

bool TVexaComms::CheckReply(std::uint16_t condnum) {
    return RxCond != nullptr && RxCond->CheckRxChars(condnum);
}

void TVexaComms::CheckCondFlags(std::uint8_t ch) {
    StartEnd_Cond = RxCond != nullptr ? RxCond->CheckConditions(ch) : -1;
}

void TVexaComms::UpdateRxCharCounts() {
    if (RxCond != nullptr) {
        RxCond->UpdateCharCounts();
    }
}

void TVexaComms::ConditionCheck() {
    if (RxResult != -2) {
        const int c = GetCondition();
        if (c == -1) {
            return;
        }
        complete(c);
    }
    Timer.stop();
}

void TVexaComms::complete(int condnum) {
    RxResult = condnum;
    // A wait in progress ends with the result; the timer that would end it stops.
    Timer.stop();
    m_pollEvent = true;
    signalWaits();
}

void TVexaComms::HandleRxChr(const std::uint8_t* ch, std::uint32_t chlen) {
    if (ch == nullptr || !RxBuffer) {
        return;
    }
    // Chunks at every read: only an armed exchange takes bytes; what follows its reply joins
    // none.
    if (m_replyEnds && RxResult != -1) {
        return;
    }
    const std::uint64_t generation = m_generation;
    for (std::uint32_t i = 0; i < chlen; ++i) {
        RxBuffer[RxBuffTail] = ch[i];
        ++RxBuffTail;
        if (RxBuffTail >= m_ringSize) {
            RxBuffTail = 0;
        }
        if (RxBuffTail == RxBuffHead) {
            // Full: the oldest unread bytes stay, the slot just written takes the next one.
            RxBuffTail = RxBuffTail == 0 ? static_cast<std::uint16_t>(m_ringSize - 1)
                                         : static_cast<std::uint16_t>(RxBuffTail - 1);
        }
        if (StartEnd_Cond == -1) {
            CheckCondFlags(ch[i]);
        } else {
            UpdateRxCharCounts();
        }
        if (OnReceiveMsg) {
            const int c = GetCondition();
            if (c != -1) {
                // The reply goes to the event, not to a wait in progress; such a wait still
                // ends by its time-out instead of hanging.
                if (m_waitLoops.empty()) {
                    Timer.stop();
                }
                QPointer<TVexaComms> self(this);
                OnReceiveMsg(c);
                if (!self || generation != m_generation || !RxBuffer) {
                    return; // the handler closed or destroyed the component
                }
                ClearFlags();
                ClearRxBuffer();
            }
        }
        // Only the condition that saw its start and end can complete, so nothing is looked up
        // before that.
        if (m_replyEnds && StartEnd_Cond != -1 && RxResult == -1) {
            const int c = GetCondition();
            if (c != -1) {
                complete(c); // the reply ends on this byte
                return;
            }
        }
    }
    if (RxResult == -1) {
        const int c = GetCondition();
        if (c != -1) {
            complete(c);
        }
    }
}

bool TVexaComms::event(QEvent* e) {
    if (e->type() == RxDataEvent::eventType()) {
        handleDelivery(e);
        return true;
    }
    if (e->type() == RxHungUpEvent::eventType()) {
        if (isOpen() && static_cast<RxHungUpEvent*>(e)->generation == m_generation) {
            m_hungUp = true;
            Timer.stop();
            signalWaits();
        }
        return true;
    }
    return QObject::event(e);
}

void TVexaComms::handleDelivery(QEvent* e) {
    const auto* delivery = static_cast<RxDataEvent*>(e);
    if (!isOpen() || delivery->generation != m_generation) {
        return; // posted before a close
    }
    if (m_settleLoop != nullptr) {
        // Arrived while the line settles after a time-out: a late reply or noise.
        if (m_settleQuiet != nullptr) {
            m_settleQuiet->start(SettleQuietMs);
        }
        return;
    }
    const std::uint8_t* bytes = delivery->data();
    const auto length = static_cast<std::uint32_t>(delivery->size);
    if (m_tap != nullptr) {
        m_tap->chunkReceived(bytes, length);
    }
    if (OnReceiveData) {
        QPointer<TVexaComms> self(this);
        const std::uint64_t generation = m_generation;
        OnReceiveData(bytes, static_cast<std::uint16_t>(length & 0xFFFFu));
        if (!self || generation != m_generation) {
            return;
        }
    }
    // Bytes received before the exchange was armed belong to the one before it.
    std::uint32_t skip = 0;
    if (m_replyEnds && delivery->offset < m_fence) {
        skip =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(m_fence - delivery->offset, length));
    }
    HandleRxChr(bytes + skip, length - skip);
}

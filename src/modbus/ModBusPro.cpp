#include "ModBusPro.h"

#include "ModbusFrames.h"
#include "RxCondition.h"
#include "VexaComms.h"

#include <QPointer>

#include <vector>

using namespace corvane::modbus;

namespace {

// Busy_Flag is true for the whole exchange and cleared on every way out, exceptions included.
// The wait dispatches events, and a handler may destroy the link: it is only touched while it
// still exists.
class BusyScope {
public:
    explicit BusyScope(TVexaComms& link)
        : m_link(&link) {
        m_link->Busy_Flag = true;
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope() {
        if (m_link) {
            m_link->Busy_Flag = false;
        }
    }

private:
    QPointer<TVexaComms> m_link;
};

// The link refers to the list only while it is attached; detached before the list is freed.
class AttachedConditions {
public:
    AttachedConditions(TVexaComms& link, TRxCondition& cond)
        : m_link(&link) {
        m_link->AttachCond(&cond);
    }
    AttachedConditions(const AttachedConditions&) = delete;
    AttachedConditions& operator=(const AttachedConditions&) = delete;
    ~AttachedConditions() {
        if (m_link) {
            m_link->DetachCond();
        }
    }
    [[nodiscard]] bool linkAlive() const { return !m_link.isNull(); }

private:
    QPointer<TVexaComms> m_link;
};

struct ExchangeShape {
    std::uint8_t slave;
    std::uint8_t function;
    std::uint16_t normalPost; // bytes after the function byte of a complete normal reply
};

// Runs one request/reply exchange. Result: 1 normal reply complete, 2 exception reply
// complete, 0 time-out, negative when the link was closed. When replyCopy is given and the
// result is 1, it receives every byte from the slave address up to the end of the wait.
int rtuExchange(TVexaComms& link, const Frame& request, const ExchangeShape& shape,
                std::uint16_t timeout, const ExchangeHooks* hooks,
                std::vector<std::uint8_t>* replyCopy) {
    TRxCondition cond;
    rtuReplyConditions(cond, shape.slave, shape.function, shape.normalPost);

    const AttachedConditions attached(link, cond);
    link.ClearFlags();
    if (hooks != nullptr && hooks->beforeSend) {
        hooks->beforeSend();
    }
    // A failed write leaves the wait armed: it ends with the time-out.
    (void)link.SendCommData(request.data(), static_cast<std::uint16_t>(request.size()), timeout);
    const int result = link.WaitForResult();
    if (hooks != nullptr && hooks->afterWait) {
        hooks->afterWait(result);
    }

    if (result == 1 && replyCopy != nullptr && attached.linkAlive()) {
        *replyCopy = rtuReplyCopy(link);
    }
    return result;
}

} // namespace

void rtuReplyConditions(TRxCondition& cond, std::uint8_t slave, std::uint8_t function,
                        std::uint16_t normalPost) {
    cond.PrepRxBuffNew();
    cond.PrepRxBuffAdd(1, {slave}, 0, 1, {function}, 0, 0, 1, normalPost);
    cond.PrepRxBuffAdd(1, {slave}, 0, 1, {static_cast<std::uint8_t>(function | 0x80)}, 0, 0, 1,
                       rtuExceptionReplyPost);
}

std::vector<std::uint8_t> rtuReplyCopy(TVexaComms& link) {
    // GetReply ends its copy with a zero byte: one byte more than the ring can hold.
    const std::uint16_t ringSize = link.RxBufferSize();
    std::vector<std::uint8_t> copy(std::size_t{ringSize} + 1, 0);
    const std::uint16_t m = link.GetReply(1, copy.data(), ringSize, 0, -1, -1);
    copy.resize(m);
    return copy;
}

int MB_WriteSingleReg(TVexaComms& link, std::uint8_t slave, std::uint8_t function,
                      std::uint16_t reg, std::uint16_t value, std::uint16_t timeout) {
    const BusyScope busy(link);
    const Frame request = rtuWriteSingleRequest(slave, function, reg, value);
    // Accepted by structure alone: neither the CRC nor the echo of a write reply is compared.
    return rtuExchange(link, request, {slave, function, rtuWriteReplyPost}, timeout, nullptr,
                       nullptr);
}

int MB_WriteMultiRegs(TVexaComms& link, std::uint8_t slave, std::uint8_t function,
                      std::uint16_t first, std::uint16_t count,
                      std::span<const std::uint16_t> values, std::uint16_t timeout,
                      const ExchangeHooks* hooks) {
    const auto request = rtuWriteMultiRequest(slave, function, first, count, values);
    if (!request) {
        return refusedRequest;
    }
    const BusyScope busy(link);
    return rtuExchange(link, *request, {slave, function, rtuWriteReplyPost}, timeout, hooks,
                       nullptr);
}

int MB_ReadRegs(TVexaComms& link, std::uint8_t slave, std::uint8_t function, std::uint16_t first,
                std::uint16_t count, std::uint16_t timeout, std::span<std::uint16_t> values) {
    if (values.size() < count) {
        return refusedRequest;
    }
    const BusyScope busy(link);
    const Frame request = rtuReadRequest(slave, function, first, count);
    std::vector<std::uint8_t> reply;
    const int result = rtuExchange(link, request, {slave, function, rtuReadReplyPost(count)},
                                   timeout, nullptr, &reply);
    if (result != 1) {
        return result;
    }
    return rtuDecodeReadReply(reply, count, values);
}

#include "ModBusPro.h"

#include "LinkExchange.h"
#include "ModbusFrames.h"
#include "RxCondition.h"
#include "VexaComms.h"

#include <QPointer>

#include <cstdio>
#include <string>
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

// What the link's tap is told of an exchange: function, slave, first register and, for the
// functions that carry one, the register count.
std::string tapLabel(const Frame& request) {
    if (request.size() < 4) {
        return "modbus";
    }
    char kind[64];
    const unsigned reg = unsigned{request[2]} << 8 | request[3];
    int n = std::snprintf(kind, sizeof kind, "modbus fn %u slave %u reg %u", unsigned{request[1]},
                          unsigned{request[0]}, reg);
    if (request[1] != 6 && request[1] != 103 && request.size() >= 6) {
        n += std::snprintf(kind + n, sizeof kind - std::size_t(n), " x%u",
                           unsigned{request[4]} << 8 | request[5]);
    }
    return kind;
}

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
    TappedExchange tapped(link, [&] { return tapLabel(request); });
    // Accepted by structure alone: neither the CRC nor the echo of a write reply is compared.
    return tapped.end(rtuExchange(link, request, {slave, function, rtuWriteReplyPost}, timeout,
                                  nullptr, nullptr));
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
    TappedExchange tapped(link, [&] { return tapLabel(*request); });
    return tapped.end(
        rtuExchange(link, *request, {slave, function, rtuWriteReplyPost}, timeout, hooks, nullptr));
}

int MB_ReadRegs(TVexaComms& link, std::uint8_t slave, std::uint8_t function, std::uint16_t first,
                std::uint16_t count, std::uint16_t timeout, std::span<std::uint16_t> values) {
    if (values.size() < count) {
        return refusedRequest;
    }
    const BusyScope busy(link);
    const Frame request = rtuReadRequest(slave, function, first, count);
    std::vector<std::uint8_t> reply;
    TappedExchange tapped(link, [&] { return tapLabel(request); });
    const int result = rtuExchange(link, request, {slave, function, rtuReadReplyPost(count)},
                                   timeout, nullptr, &reply);
    if (result != 1) {
        return tapped.end(result);
    }
    return tapped.end(rtuDecodeReadReply(reply, count, values));
}

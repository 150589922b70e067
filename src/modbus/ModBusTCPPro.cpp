#include "ModBusTCPPro.h"

#include "ModbusFrames.h"
#include "ModbusTCP_Client.h"

#include <QDeadlineTimer>

using namespace corvane::modbus;

std::uint16_t MBTCP_Transaction_ID = 0;

namespace {

// Advances the transaction identifier on every way out of an exchange, exceptions included.
class TransactionStep {
public:
    TransactionStep() = default;
    TransactionStep(const TransactionStep&) = delete;
    TransactionStep& operator=(const TransactionStep&) = delete;
    ~TransactionStep() { ++MBTCP_Transaction_ID; }
};

// Sends the request and collects the reply. Bytes left over from an earlier exchange are
// dropped first; a reply that arrives in several segments is gathered until the normal reply's
// size is there, the frame its header announces is complete, or the time-out has passed.
// Returns the bytes of a reply of exactly the expected size, or nothing (result 0).
std::optional<QByteArray> transact(ModbusTCP_Client& client, const Frame& request,
                                   std::size_t expected, std::uint16_t timeout) {
    client.discardWaiting();
    client.openWriteBuffer();
    client.write(request);
    client.closeWriteBuffer();

    const QDeadlineTimer deadline(static_cast<qint64>(timeout) * 100);
    for (;;) {
        const std::size_t waiting = client.bytesWaiting();
        if (waiting >= expected) {
            break;
        }
        const QByteArray head = client.peek(mbapHeaderSize);
        const auto announced =
            tcpAnnouncedFrameSize({reinterpret_cast<const std::uint8_t*>(head.constData()),
                                   static_cast<std::size_t>(head.size())});
        if (announced && waiting >= *announced) {
            break; // a complete frame of another size: waiting longer changes nothing
        }
        if (deadline.hasExpired() ||
            !client.waitForBytes(waiting + 1, static_cast<int>(deadline.remainingTime()))) {
            break;
        }
    }
    if (client.bytesWaiting() != expected) {
        return std::nullopt;
    }
    return client.take(expected);
}

std::span<const std::uint8_t> bytesOf(const QByteArray& a) {
    return {reinterpret_cast<const std::uint8_t*>(a.constData()),
            static_cast<std::size_t>(a.size())};
}

} // namespace

int MBTCP_WriteSingleReg(ModbusTCP_Client& client, std::uint8_t unit, std::uint8_t function,
                         std::uint16_t reg, std::uint16_t value, std::uint16_t timeout) {
    const TransactionStep step;
    const std::uint16_t tid = MBTCP_Transaction_ID;
    const auto reply = transact(client, tcpWriteSingleRequest(tid, unit, function, reg, value),
                                tcpWriteReplySize, timeout);
    if (!reply) {
        return 0;
    }
    return tcpDecodeReply(bytesOf(*reply), tid, function, TcpRequestKind::write, 0, {});
}

int MBTCP_WriteMultiRegs(ModbusTCP_Client& client, std::uint8_t unit, std::uint8_t function,
                         std::uint16_t first, std::uint16_t count,
                         std::span<const std::uint16_t> values, std::uint16_t timeout) {
    const std::uint16_t tid = MBTCP_Transaction_ID;
    const auto request = tcpWriteMultiRequest(tid, unit, function, first, count, values);
    if (!request) {
        return refusedRequest;
    }
    const TransactionStep step;
    const auto reply = transact(client, *request, tcpWriteReplySize, timeout);
    if (!reply) {
        return 0;
    }
    return tcpDecodeReply(bytesOf(*reply), tid, function, TcpRequestKind::write, 0, {});
}

int MBTCP_ReadRegs(ModbusTCP_Client& client, std::uint8_t unit, std::uint8_t function,
                   std::uint16_t first, std::uint16_t count, std::uint16_t timeout,
                   std::span<std::uint16_t> values) {
    if (values.size() < count) {
        return refusedRequest;
    }
    const TransactionStep step;
    const std::uint16_t tid = MBTCP_Transaction_ID;
    const auto reply = transact(client, tcpReadRequest(tid, unit, function, first, count),
                                tcpReadReplySize(count), timeout);
    if (!reply) {
        return 0;
    }
    return tcpDecodeReply(bytesOf(*reply), tid, function, TcpRequestKind::read, count, values);
}

#include "ModbusFrames.h"

#include "ModBusPro.h"

#include <algorithm>

std::uint16_t MB_CRC16(const std::uint8_t* buf, std::uint16_t first, std::uint16_t last) {
    std::uint16_t crc = 0xFFFF;
    if (last < first || buf == nullptr) {
        return crc;
    }
    for (std::uint32_t i = first; i <= last; ++i) {
        crc ^= buf[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = (crc & 1U) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (carry) {
                crc ^= 0xA001;
            }
        }
    }
    // Exchanged so that writing the value high byte first sends the CRC low byte first.
    return static_cast<std::uint16_t>((crc << 8) | (crc >> 8));
}

namespace corvane::modbus {

namespace {

void appendWord(Frame& f, std::uint16_t w) {
    f.push_back(hi(w));
    f.push_back(lo(w));
}

void appendCrc(Frame& f) {
    const std::uint16_t crc = MB_CRC16(f.data(), 0, static_cast<std::uint16_t>(f.size() - 1));
    appendWord(f, crc);
}

Frame rtuSixByteRequest(std::uint8_t slave, std::uint8_t function, std::uint16_t a,
                        std::uint16_t b) {
    Frame f;
    f.reserve(8);
    f.push_back(slave);
    f.push_back(function);
    appendWord(f, a);
    appendWord(f, b);
    appendCrc(f);
    return f;
}

Frame tcpTwelveByteRequest(std::uint16_t tid, std::uint8_t unit, std::uint8_t function,
                           std::uint16_t a, std::uint16_t b) {
    Frame f;
    f.reserve(12);
    appendWord(f, tid);
    appendWord(f, 0); // protocol identifier
    appendWord(f, 6); // length: unit, function and two words
    f.push_back(unit);
    f.push_back(function);
    appendWord(f, a);
    appendWord(f, b);
    return f;
}

std::uint16_t wordAt(std::span<const std::uint8_t> b, std::size_t i) {
    return static_cast<std::uint16_t>((b[i] << 8) | b[i + 1]);
}

} // namespace

Frame rtuWriteSingleRequest(std::uint8_t slave, std::uint8_t function, std::uint16_t reg,
                            std::uint16_t value) {
    return rtuSixByteRequest(slave, function, reg, value);
}

std::optional<Frame> rtuWriteMultiRequest(std::uint8_t slave, std::uint8_t function,
                                          std::uint16_t first, std::uint16_t count,
                                          std::span<const std::uint16_t> values) {
    if (count > rtuMaxWriteRegs || values.size() < count) {
        return std::nullopt;
    }
    Frame f;
    f.reserve(rtuRequestCapacity);
    f.push_back(slave);
    f.push_back(function);
    appendWord(f, first);
    appendWord(f, count);
    f.push_back(static_cast<std::uint8_t>(2 * count));
    for (std::size_t i = 0; i < count; ++i) {
        appendWord(f, values[i]);
    }
    appendCrc(f);
    return f;
}

Frame rtuReadRequest(std::uint8_t slave, std::uint8_t function, std::uint16_t first,
                     std::uint16_t count) {
    return rtuSixByteRequest(slave, function, first, count);
}

int rtuDecodeReadReply(std::span<const std::uint8_t> reply, std::uint16_t count,
                       std::span<std::uint16_t> values) {
    // Slave, function, byte count and two CRC bytes at the least.
    const std::size_t m = reply.size();
    if (m < 5 || m > 0xFFFF) {
        return -1;
    }
    const std::uint16_t crc = MB_CRC16(reply.data(), 0, static_cast<std::uint16_t>(m - 3));
    if (reply[m - 2] != hi(crc) || reply[m - 1] != lo(crc)) {
        return -1;
    }
    // The byte count is the device's word; never store more than requested or present.
    const std::size_t present = (m - 5) / 2;
    const std::size_t words =
        std::min({std::size_t{reply[2]} / 2, std::size_t{count}, present, values.size()});
    for (std::size_t i = 0; i < words; ++i) {
        values[i] = wordAt(reply, 3 + 2 * i);
    }
    return 1;
}

Frame tcpWriteSingleRequest(std::uint16_t tid, std::uint8_t unit, std::uint8_t function,
                            std::uint16_t reg, std::uint16_t value) {
    return tcpTwelveByteRequest(tid, unit, function, reg, value);
}

std::optional<Frame> tcpWriteMultiRequest(std::uint16_t tid, std::uint8_t unit,
                                          std::uint8_t function, std::uint16_t first,
                                          std::uint16_t count,
                                          std::span<const std::uint16_t> values) {
    if (count > tcpMaxWriteRegs || values.size() < count) {
        return std::nullopt;
    }
    Frame f;
    f.reserve(13 + 2 * std::size_t{count});
    appendWord(f, tid);
    appendWord(f, 0);
    appendWord(f, static_cast<std::uint16_t>(2 * count + 7));
    f.push_back(unit);
    f.push_back(function);
    appendWord(f, first);
    appendWord(f, count);
    f.push_back(static_cast<std::uint8_t>(2 * count));
    for (std::size_t i = 0; i < count; ++i) {
        appendWord(f, values[i]);
    }
    return f;
}

Frame tcpReadRequest(std::uint16_t tid, std::uint8_t unit, std::uint8_t function,
                     std::uint16_t first, std::uint16_t count) {
    return tcpTwelveByteRequest(tid, unit, function, first, count);
}

std::optional<std::size_t> tcpAnnouncedFrameSize(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < mbapHeaderSize) {
        return std::nullopt;
    }
    return mbapHeaderSize + wordAt(bytes, 4);
}

int tcpDecodeReply(std::span<const std::uint8_t> reply, std::uint16_t tid, std::uint8_t function,
                   TcpRequestKind kind, std::uint16_t readCount, std::span<std::uint16_t> values) {
    if (reply.size() < 8) {
        return -1;
    }
    if (wordAt(reply, 0) != tid || wordAt(reply, 2) != 0) {
        return -1;
    }
    // The request's own code is looked at first: a code that already has bit 7 set is a normal
    // reply, as on the serial link, where the normal reply's condition comes first.
    const std::uint8_t replyFunction = reply[7];
    if (replyFunction != function) {
        return replyFunction == (function | 0x80) ? 2 : -1;
    }
    const std::uint16_t length = wordAt(reply, 4);
    if (kind == TcpRequestKind::write) {
        return length == 6 ? 1 : -1;
    }
    if (length != 2U * readCount + 3U || reply.size() < 9) {
        return -1;
    }
    const std::size_t present = (reply.size() - 9) / 2;
    const std::size_t words =
        std::min({std::size_t{reply[8]} / 2, std::size_t{readCount}, present, values.size()});
    for (std::size_t i = 0; i < words; ++i) {
        values[i] = wordAt(reply, 9 + 2 * i);
    }
    return 1;
}

} // namespace corvane::modbus

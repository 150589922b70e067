#include "WireRecord.h"

#include "platform/PosixSerialDevice.h"

#include <stdexcept>

namespace corvane::e2e {

namespace {

constexpr std::uint8_t kDleByte = 0x10;
constexpr std::uint8_t kStxByte = 0x02;
constexpr std::uint8_t kEtxByte = 0x03;

std::uint8_t at(const QByteArray& b, qsizetype i) {
    return static_cast<std::uint8_t>(b.at(i));
}

// Body of a DLE STX ... DLE ETX frame with the doubled DLEs undone.
QByteArray bootBody(const QByteArray& frame) {
    QByteArray body;
    for (qsizetype i = 2; i < frame.size(); ++i) {
        if (at(frame, i) != kDleByte) {
            body.append(frame.at(i));
            continue;
        }
        if (i + 1 >= frame.size() || at(frame, i + 1) == kEtxByte) {
            break;
        }
        body.append(frame.at(i + 1)); // DLE DLE stands for one DLE
        ++i;
    }
    return body;
}

} // namespace

RequestKind classifyRequest(const QByteArray& frame) {
    if (frame.size() >= 4 && at(frame, 0) == kDleByte && at(frame, 1) == kStxByte) {
        const QByteArray body = bootBody(frame);
        if (body.size() < 2) {
            return RequestKind::Unknown;
        }
        const std::uint8_t cmd = at(body, 0);
        const std::uint8_t len = at(body, 1);
        switch (cmd) {
        case 0x00:
            return len == 0 ? RequestKind::BlReset : RequestKind::BlModel;
        case 0x08:
            return RequestKind::BlInfo;
        case 0x03:
            return RequestKind::BlErase;
        case 0x02:
            return RequestKind::BlProgram;
        case 0x05:
            return RequestKind::BlWriteByte;
        default:
            return RequestKind::Unknown;
        }
    }
    if (frame.size() < 4) {
        return RequestKind::Unknown;
    }
    switch (at(frame, 1)) {
    case 3:
        return RequestKind::ModbusRead;
    case 6:
    case 16:
        return RequestKind::ModbusWrite;
    case 103:
        return RequestKind::Fn103;
    case 104: {
        // slave, function, first (2), count (2), byte count, registers, CRC (2)
        if (frame.size() < 9) {
            return RequestKind::Unknown;
        }
        const qsizetype byteCount = at(frame, 6);
        if (byteCount < 2 || 7 + byteCount > frame.size()) {
            return RequestKind::Unknown;
        }
        const std::uint16_t marker = static_cast<std::uint16_t>(at(frame, 7 + byteCount - 2) << 8 |
                                                                at(frame, 7 + byteCount - 1));
        if (marker == 0x5C) {
            return RequestKind::Fn104Command;
        }
        if (marker == 0xA6) {
            return RequestKind::Fn104Data;
        }
        return RequestKind::Unknown;
    }
    default:
        return RequestKind::Unknown;
    }
}

QString kindName(RequestKind kind) {
    switch (kind) {
    case RequestKind::ModbusRead:
        return QStringLiteral("modbus-read");
    case RequestKind::ModbusWrite:
        return QStringLiteral("modbus-write");
    case RequestKind::Fn103:
        return QStringLiteral("fn103");
    case RequestKind::Fn104Command:
        return QStringLiteral("fn104-command");
    case RequestKind::Fn104Data:
        return QStringLiteral("fn104-data");
    case RequestKind::BlModel:
        return QStringLiteral("bl-model");
    case RequestKind::BlInfo:
        return QStringLiteral("bl-info");
    case RequestKind::BlErase:
        return QStringLiteral("bl-erase");
    case RequestKind::BlProgram:
        return QStringLiteral("bl-program");
    case RequestKind::BlWriteByte:
        return QStringLiteral("bl-write-byte");
    case RequestKind::BlReset:
        return QStringLiteral("bl-reset");
    case RequestKind::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

void WireRecord::noteWrite(const std::uint8_t* data, std::size_t length) {
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(length));
    const RequestKind kind = classifyRequest(bytes);
    std::lock_guard lock(m_mutex);
    m_written += length;
    m_requests.push_back({Clock::now(), std::move(bytes), kind});
}

void WireRecord::noteOpen() {
    std::lock_guard lock(m_mutex);
    ++m_opens;
    ++m_openNow;
}

void WireRecord::noteClose() {
    std::lock_guard lock(m_mutex);
    --m_openNow;
}

int WireRecord::opens() const {
    std::lock_guard lock(m_mutex);
    return m_opens;
}

int WireRecord::openDevices() const {
    std::lock_guard lock(m_mutex);
    return m_openNow;
}

void WireRecord::throwOnWrite(RequestKind kind, int occurrence) {
    std::lock_guard lock(m_mutex);
    m_throwKind = kind;
    m_throwCountdown = occurrence;
}

void WireRecord::beforeWrite(const std::uint8_t* data, std::size_t length) {
    const RequestKind kind =
        classifyRequest(QByteArray(reinterpret_cast<const char*>(data), qsizetype(length)));
    std::lock_guard lock(m_mutex);
    if (m_throwCountdown == 0 || kind != m_throwKind) {
        return;
    }
    if (--m_throwCountdown == 0) {
        throw std::runtime_error("serial device failed");
    }
}

void WireRecord::noteRead(std::size_t length) {
    std::lock_guard lock(m_mutex);
    m_read += length;
}

void WireRecord::clear() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
    m_written = 0;
    m_read = 0;
}

std::vector<WireRecord::Request> WireRecord::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<RequestKind> WireRecord::kinds() const {
    std::lock_guard lock(m_mutex);
    std::vector<RequestKind> out;
    out.reserve(m_requests.size());
    for (const Request& r : m_requests) {
        out.push_back(r.kind);
    }
    return out;
}

std::size_t WireRecord::requestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

std::uint64_t WireRecord::bytesWritten() const {
    std::lock_guard lock(m_mutex);
    return m_written;
}

std::uint64_t WireRecord::bytesRead() const {
    std::lock_guard lock(m_mutex);
    return m_read;
}

RecordingSerialDevice::RecordingSerialDevice(std::unique_ptr<SerialDevice> inner,
                                             std::shared_ptr<WireRecord> record)
    : ForwardingSerialDevice(std::move(inner))
    , m_record(std::move(record)) {}

RecordingSerialDevice::~RecordingSerialDevice() {
    if (m_open) {
        m_record->noteClose(); // the inner device closes itself as it goes
    }
}

OpenResult RecordingSerialDevice::open(const QString& devicePath) {
    const OpenResult result = ForwardingSerialDevice::open(devicePath);
    if (isOpen() && !m_open) {
        m_open = true;
        m_record->noteOpen();
    }
    return result;
}

void RecordingSerialDevice::close() {
    ForwardingSerialDevice::close();
    if (m_open) {
        m_open = false;
        m_record->noteClose();
    }
}

std::size_t RecordingSerialDevice::write(const std::uint8_t* data, std::size_t length) {
    m_record->beforeWrite(data, length);
    const std::size_t written = ForwardingSerialDevice::write(data, length);
    m_record->noteWrite(data, written);
    return written;
}

ReadStatus RecordingSerialDevice::readChunk(QByteArray& chunk, std::chrono::microseconds interval) {
    const ReadStatus status = ForwardingSerialDevice::readChunk(chunk, interval);
    if (status == ReadStatus::Data) {
        m_record->noteRead(static_cast<std::size_t>(chunk.size()));
    }
    return status;
}

TVexaComms::DeviceFactory recordingDeviceFactory(std::shared_ptr<WireRecord> record) {
    return [record]() -> std::unique_ptr<SerialDevice> {
        return std::make_unique<RecordingSerialDevice>(std::make_unique<PosixSerialDevice>(),
                                                       record);
    };
}

} // namespace corvane::e2e

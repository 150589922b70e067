#pragma once
// What crossed the serial line, seen from the updater's side: a serial device that wraps the
// real POSIX one and records every request frame written (in order, with its time) and the
// number of bytes read back.

#include "platform/ForwardingSerialDevice.h"
#include "serial/VexaComms.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace corvane::e2e {

// The kinds of request the updater sends, told apart by their own framing (decoded here
// independently of the updater's protocol code).
enum class RequestKind {
    ModbusRead,   // function 3
    ModbusWrite,  // functions 6 and 16
    Fn103,        // CPU-1's control register
    Fn104Command, // memory-block window, command marker
    Fn104Data,    // memory-block window, data marker
    BlModel,      // bootloader 0x00, length 2
    BlInfo,       // bootloader 0x08, length 4
    BlErase,      // bootloader 0x03
    BlProgram,    // bootloader 0x02
    BlWriteByte,  // bootloader 0x05
    BlReset,      // bootloader 0x00, length 0
    Unknown,
};

[[nodiscard]] RequestKind classifyRequest(const QByteArray& frame);
[[nodiscard]] QString kindName(RequestKind kind);

class WireRecord {
public:
    using Clock = std::chrono::steady_clock;
    struct Request {
        Clock::time_point at;
        QByteArray bytes;
        RequestKind kind = RequestKind::Unknown;
    };

    void noteWrite(const std::uint8_t* data, std::size_t length);
    void noteRead(std::size_t length);
    void noteOpen();
    void noteClose();
    void clear();

    // The occurrence-th (from 1) request of `kind` written from now on makes the device's write
    // throw instead, as a device failing in a way the link does not expect.
    void throwOnWrite(RequestKind kind, int occurrence = 1);
    // Throws when a planned failure is due for this request (called before it is written).
    void beforeWrite(const std::uint8_t* data, std::size_t length);

    [[nodiscard]] std::vector<Request> requests() const;
    [[nodiscard]] std::vector<RequestKind> kinds() const;
    [[nodiscard]] std::size_t requestCount() const;
    [[nodiscard]] std::uint64_t bytesWritten() const;
    [[nodiscard]] std::uint64_t bytesRead() const;
    // Successful opens so far, and devices open right now.
    [[nodiscard]] int opens() const;
    [[nodiscard]] int openDevices() const;

private:
    mutable std::mutex m_mutex; // reads are noted on the receive thread
    std::vector<Request> m_requests;
    std::uint64_t m_written = 0;
    std::uint64_t m_read = 0;
    int m_opens = 0;
    int m_openNow = 0;
    RequestKind m_throwKind = RequestKind::Unknown;
    int m_throwCountdown = 0; // 0: no failure planned
};

class RecordingSerialDevice final : public ForwardingSerialDevice {
public:
    RecordingSerialDevice(std::unique_ptr<SerialDevice> inner, std::shared_ptr<WireRecord> record);
    ~RecordingSerialDevice() override;
    RecordingSerialDevice(const RecordingSerialDevice&) = delete;
    RecordingSerialDevice& operator=(const RecordingSerialDevice&) = delete;

    [[nodiscard]] OpenResult open(const QString& devicePath) override;
    void close() override;
    [[nodiscard]] std::size_t write(const std::uint8_t* data, std::size_t length) override;
    [[nodiscard]] ReadStatus readChunk(QByteArray& chunk,
                                       std::chrono::microseconds interval) override;

private:
    std::shared_ptr<WireRecord> m_record;
    bool m_open = false;
};

// A device factory for the updater window: real POSIX devices, recorded.
[[nodiscard]] TVexaComms::DeviceFactory recordingDeviceFactory(std::shared_ptr<WireRecord> record);

} // namespace corvane::e2e

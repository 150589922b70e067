#pragma once
// Serial device on a POSIX terminal line (a USB serial adapter, a pseudo-terminal).

#include "SerialDevice.h"

#include <atomic>

struct termios;

namespace corvane {

// Raw line (no echo, no translation, no flow control, no input parity check) with the given
// settings. The speed is set when it has a B-constant; returns false for data bits outside
// 5..8, leaving `tio` unchanged.
[[nodiscard]] bool applyLineSettings(::termios& tio, const LineSettings& settings);

class PosixSerialDevice final : public SerialDevice {
public:
    PosixSerialDevice() = default;
    ~PosixSerialDevice() override;
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    [[nodiscard]] OpenResult open(const QString& devicePath) override;
    void close() override;
    [[nodiscard]] bool isOpen() const override { return m_fd >= 0; }

    bool configure(const LineSettings& settings) override;
    void setDtr(bool on) override;
    void setRts(bool on) override;
    [[nodiscard]] std::size_t write(const std::uint8_t* data, std::size_t length) override;
    void purge() override;
    void purgeInput() override;
    void clearLineErrors() override;

    [[nodiscard]] ReadStatus readChunk(QByteArray& chunk,
                                       std::chrono::microseconds interval) override;
    void requestStop() override;
    [[nodiscard]] std::size_t pendingInput() const override;
    [[nodiscard]] LowLatency lowLatency() const override { return m_lowLatency; }

    [[nodiscard]] int fd() const { return m_fd; }

private:
    void setModemLine(int bit, bool on);

    int m_fd = -1;
    int m_stopFd = -1; // eventfd; readable once a stop was requested
    std::atomic<bool> m_gone{false};
    bool m_modemLines = true; // false on a pseudo-terminal
    std::uint32_t m_baudRate = 9600;
    LowLatency m_lowLatency = LowLatency::Unknown;
    QString m_path;
};

// Sets a line speed that has no B-constant (termios2); false when the driver refuses it.
bool setArbitraryBaudRate(int fd, std::uint32_t baudRate);

} // namespace corvane

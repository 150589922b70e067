#pragma once
// A serial device as the serial link component needs it. One object serves one open; the
// receive thread calls readChunk() and requestStop() may be called from any thread, everything
// else is called from the component's thread.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace corvane {

enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : std::uint8_t { One = 0, OneAndHalf = 1, Two = 2 };

struct LineSettings {
    std::uint32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
};

enum class OpenError {
    None,
    PermissionDenied,
    Busy,
    StaleExclusive, // marked exclusive by a program that is gone; only root may lift it
    NoSuchDevice,
    NotCharDevice, // the path is not a device at all
    NotSerialPort, // a device, but not a terminal line
    Other,
};

struct OpenResult {
    OpenError error = OpenError::None;
    QString message; // for the user; empty on success
    [[nodiscard]] bool ok() const { return error == OpenError::None; }
};

// What the driver said when the device asked, at open, for delivery without batching delay.
enum class LowLatency {
    Unknown,        // not asked (not open)
    PseudoTerminal, // a pseudo-terminal: nothing batches, nothing to ask for
    NotOffered,     // the driver has no such setting
    NotGranted,     // asked; the driver kept its batching (an adapter's latency timer)
    Granted,
};

enum class ReadStatus {
    Data,    // a chunk of at least one byte
    Stopped, // requestStop() was called
    Gone,    // the device hung up or failed; no more data will come
};

class SerialDevice {
public:
    // A read returns at most this many bytes.
    static constexpr std::size_t MaxChunk = 16384;

    virtual ~SerialDevice() = default;

    // Exclusive open of a device path.
    [[nodiscard]] virtual OpenResult open(const QString& devicePath) = 0;
    virtual void close() = 0;
    [[nodiscard]] virtual bool isOpen() const = 0;

    // Raw line with these settings, no flow control; false when the device refused them (the
    // previous settings then stay).
    virtual bool configure(const LineSettings& settings) = 0;
    // Modem lines; a device without them ignores the request.
    virtual void setDtr(bool on) = 0;
    virtual void setRts(bool on) = 0;
    // Blocking write until every byte has left the driver; returns the bytes written.
    [[nodiscard]] virtual std::size_t write(const std::uint8_t* data, std::size_t length) = 0;
    // Drops what waits in the driver, both directions or the receive side only.
    virtual void purge() = 0;
    virtual void purgeInput() = 0;
    virtual void clearLineErrors() = 0;

    // Waits without limit for the first byte, then collects until the line has been quiet for
    // `interval` since the last byte or MaxChunk bytes are in; an interval of zero returns with
    // what the first read brought. `chunk` holds the bytes when Data is returned; its storage
    // may be reused from one call to the next.
    [[nodiscard]] virtual ReadStatus readChunk(QByteArray& chunk,
                                               std::chrono::microseconds interval) = 0;
    // Ends a pending readChunk() at once and makes every later one return Stopped.
    // Thread-safe.
    virtual void requestStop() = 0;

    // Bytes the driver has received that no read has taken yet (0 when it cannot tell).
    // Callable from any thread while open.
    [[nodiscard]] virtual std::size_t pendingInput() const { return 0; }

    // The answer to the low-latency request of the last open.
    [[nodiscard]] virtual LowLatency lowLatency() const { return LowLatency::Unknown; }

protected:
    SerialDevice() = default;
    SerialDevice(const SerialDevice&) = default;
    SerialDevice& operator=(const SerialDevice&) = default;
};

} // namespace corvane

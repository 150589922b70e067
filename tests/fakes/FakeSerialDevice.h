#pragma once
// Scriptable serial device for unit tests. The test keeps the shared script: it sees every
// write and modem-line change in one ordered log and feeds received chunks on demand, also
// after the component has destroyed the device object.

#include "SerialDevice.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace corvane::test {

struct FakeEvent {
    enum class Kind { Open, Close, Configure, Dtr, Rts, Write, Purge, PurgeInput };
    FakeEvent(Kind k, bool lineOn = false) // NOLINT: implicit for brace lists
        : kind(k)
        , on(lineOn) {}
    Kind kind;
    bool on = false;     // Dtr, Rts
    QByteArray bytes;    // Write
    LineSettings line{}; // Configure
};

class FakeSerialScript {
public:
    // Outcome of the next opens.
    void setOpenResult(OpenResult result);
    // Each write takes at most this many bytes (-1: all).
    void setWriteLimit(qsizetype limit);
    // Queues one chunk for the receive thread.
    void feed(const QByteArray& chunk);
    // The device goes away: pending and later reads report Gone.
    void hangUp();

    [[nodiscard]] std::vector<FakeEvent> events() const;
    void clearEvents();
    [[nodiscard]] QByteArray written() const; // every write, concatenated
    [[nodiscard]] int openCount() const;
    [[nodiscard]] bool deviceOpen() const;
    [[nodiscard]] QString lastPath() const;
    [[nodiscard]] int readCalls() const;

private:
    friend class FakeSerialDevice;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    OpenResult m_openResult;
    qsizetype m_writeLimit = -1;
    std::deque<QByteArray> m_chunks;
    std::vector<FakeEvent> m_events;
    bool m_gone = false;
    bool m_stop = false;
    bool m_open = false;
    int m_openCount = 0;
    int m_readCalls = 0;
    QString m_lastPath;
};

class FakeSerialDevice final : public SerialDevice {
public:
    explicit FakeSerialDevice(std::shared_ptr<FakeSerialScript> script);
    ~FakeSerialDevice() override;
    FakeSerialDevice(const FakeSerialDevice&) = delete;
    FakeSerialDevice& operator=(const FakeSerialDevice&) = delete;

    [[nodiscard]] OpenResult open(const QString& devicePath) override;
    void close() override;
    [[nodiscard]] bool isOpen() const override;
    bool configure(const LineSettings& settings) override;
    void setDtr(bool on) override;
    void setRts(bool on) override;
    [[nodiscard]] std::size_t write(const std::uint8_t* data, std::size_t length) override;
    void purge() override;
    void purgeInput() override;
    void clearLineErrors() override {}
    [[nodiscard]] ReadStatus readChunk(QByteArray& chunk,
                                       std::chrono::microseconds interval) override;
    void requestStop() override;

private:
    void record(FakeEvent event);

    std::shared_ptr<FakeSerialScript> m_script;
    bool m_open = false;
};

} // namespace corvane::test

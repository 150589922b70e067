#pragma once
// A serial device that passes every call on to an inner one. Wrappers (a device that records
// the wire, one that refuses to send after a stop) derive from it and override only what they
// change; the inner device's threading rules hold unchanged.

#include "SerialDevice.h"

#include <memory>

namespace corvane {

class ForwardingSerialDevice : public SerialDevice {
public:
    // inner must not be null.
    explicit ForwardingSerialDevice(std::unique_ptr<SerialDevice> inner)
        : m_inner(std::move(inner)) {}
    ForwardingSerialDevice(const ForwardingSerialDevice&) = delete;
    ForwardingSerialDevice& operator=(const ForwardingSerialDevice&) = delete;

    [[nodiscard]] OpenResult open(const QString& devicePath) override {
        return m_inner->open(devicePath);
    }
    void close() override { m_inner->close(); }
    [[nodiscard]] bool isOpen() const override { return m_inner->isOpen(); }
    bool configure(const LineSettings& settings) override { return m_inner->configure(settings); }
    void setDtr(bool on) override { m_inner->setDtr(on); }
    void setRts(bool on) override { m_inner->setRts(on); }
    [[nodiscard]] std::size_t write(const std::uint8_t* data, std::size_t length) override {
        return m_inner->write(data, length);
    }
    void purge() override { m_inner->purge(); }
    void purgeInput() override { m_inner->purgeInput(); }
    void clearLineErrors() override { m_inner->clearLineErrors(); }
    [[nodiscard]] ReadStatus readChunk(QByteArray& chunk,
                                       std::chrono::microseconds interval) override {
        return m_inner->readChunk(chunk, interval);
    }
    void requestStop() override { m_inner->requestStop(); }
    [[nodiscard]] std::size_t pendingInput() const override { return m_inner->pendingInput(); }
    [[nodiscard]] LowLatency lowLatency() const override { return m_inner->lowLatency(); }

protected:
    [[nodiscard]] SerialDevice& inner() { return *m_inner; }
    [[nodiscard]] const SerialDevice& inner() const { return *m_inner; }

private:
    std::unique_ptr<SerialDevice> m_inner;
};

} // namespace corvane

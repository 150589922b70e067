#include "FakeSerialDevice.h"

namespace corvane::test {

void FakeSerialScript::setOpenResult(OpenResult result) {
    std::lock_guard lock(m_mutex);
    m_openResult = std::move(result);
}

void FakeSerialScript::setWriteLimit(qsizetype limit) {
    std::lock_guard lock(m_mutex);
    m_writeLimit = limit;
}

void FakeSerialScript::feed(const QByteArray& chunk) {
    {
        std::lock_guard lock(m_mutex);
        m_chunks.push_back(chunk);
    }
    m_cv.notify_all();
}

void FakeSerialScript::hangUp() {
    {
        std::lock_guard lock(m_mutex);
        m_gone = true;
    }
    m_cv.notify_all();
}

std::vector<FakeEvent> FakeSerialScript::events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

void FakeSerialScript::clearEvents() {
    std::lock_guard lock(m_mutex);
    m_events.clear();
}

QByteArray FakeSerialScript::written() const {
    std::lock_guard lock(m_mutex);
    QByteArray all;
    for (const FakeEvent& e : m_events) {
        if (e.kind == FakeEvent::Kind::Write) {
            all += e.bytes;
        }
    }
    return all;
}

int FakeSerialScript::openCount() const {
    std::lock_guard lock(m_mutex);
    return m_openCount;
}

bool FakeSerialScript::deviceOpen() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

QString FakeSerialScript::lastPath() const {
    std::lock_guard lock(m_mutex);
    return m_lastPath;
}

int FakeSerialScript::readCalls() const {
    std::lock_guard lock(m_mutex);
    return m_readCalls;
}

FakeSerialDevice::FakeSerialDevice(std::shared_ptr<FakeSerialScript> script)
    : m_script(std::move(script)) {}

FakeSerialDevice::~FakeSerialDevice() {
    close();
}

void FakeSerialDevice::record(FakeEvent event) {
    std::lock_guard lock(m_script->m_mutex);
    m_script->m_events.push_back(std::move(event));
}

OpenResult FakeSerialDevice::open(const QString& devicePath) {
    std::lock_guard lock(m_script->m_mutex);
    m_script->m_lastPath = devicePath;
    if (!m_script->m_openResult.ok()) {
        return m_script->m_openResult;
    }
    m_open = true;
    m_script->m_open = true;
    m_script->m_stop = false;
    ++m_script->m_openCount;
    m_script->m_events.push_back({FakeEvent::Kind::Open});
    return {};
}

void FakeSerialDevice::close() {
    if (!m_open) {
        return;
    }
    m_open = false;
    std::lock_guard lock(m_script->m_mutex);
    m_script->m_open = false;
    m_script->m_events.push_back({FakeEvent::Kind::Close});
}

bool FakeSerialDevice::isOpen() const {
    return m_open;
}

bool FakeSerialDevice::configure(const LineSettings& settings) {
    FakeEvent e{FakeEvent::Kind::Configure};
    e.line = settings;
    record(std::move(e));
    return true;
}

void FakeSerialDevice::setDtr(bool on) {
    record({FakeEvent::Kind::Dtr, on});
}

void FakeSerialDevice::setRts(bool on) {
    record({FakeEvent::Kind::Rts, on});
}

std::size_t FakeSerialDevice::write(const std::uint8_t* data, std::size_t length) {
    std::lock_guard lock(m_script->m_mutex);
    auto n = static_cast<qsizetype>(length);
    if (m_script->m_writeLimit >= 0) {
        n = std::min(n, m_script->m_writeLimit);
    }
    FakeEvent e{FakeEvent::Kind::Write};
    e.bytes = QByteArray(reinterpret_cast<const char*>(data), n);
    m_script->m_events.push_back(std::move(e));
    return static_cast<std::size_t>(n);
}

void FakeSerialDevice::purge() {
    record({FakeEvent::Kind::Purge});
}

void FakeSerialDevice::purgeInput() {
    record({FakeEvent::Kind::PurgeInput});
}

ReadStatus FakeSerialDevice::readChunk(QByteArray& chunk, std::chrono::microseconds) {
    std::unique_lock lock(m_script->m_mutex);
    ++m_script->m_readCalls;
    m_script->m_cv.wait(lock, [this] {
        return m_script->m_stop || m_script->m_gone || !m_script->m_chunks.empty();
    });
    if (m_script->m_stop) {
        return ReadStatus::Stopped;
    }
    if (!m_script->m_chunks.empty()) {
        chunk = m_script->m_chunks.front();
        m_script->m_chunks.pop_front();
        return ReadStatus::Data;
    }
    return ReadStatus::Gone;
}

void FakeSerialDevice::requestStop() {
    {
        std::lock_guard lock(m_script->m_mutex);
        m_script->m_stop = true;
    }
    m_script->m_cv.notify_all();
}

} // namespace corvane::test

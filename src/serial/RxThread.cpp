#include "RxThread.h"

#include "SerialDevice.h"

#include <QByteArray>

namespace corvane {

RxThread::RxThread(SerialDevice& device, std::chrono::microseconds interval, Deliver deliver,
                   HungUp hungUp)
    : m_device(device)
    , m_interval(interval)
    , m_deliver(std::move(deliver))
    , m_hungUp(std::move(hungUp)) {}

RxThread::~RxThread() {
    stop();
}

void RxThread::start() {
    m_thread = std::thread([this] { run(); });
}

bool RxThread::stop(std::chrono::milliseconds wait) {
    if (!m_thread.joinable()) {
        return true;
    }
    m_device.requestStop();
    bool inTime = false;
    {
        std::unique_lock lock(m_mutex);
        inTime = m_finishedCv.wait_for(lock, wait, [this] { return m_finished; });
    }
    // A thread cannot be killed safely; it ends at its next read at the latest.
    m_thread.join();
    return inTime;
}

bool RxThread::finished() const {
    std::lock_guard lock(m_mutex);
    return m_finished;
}

void RxThread::run() {
    // One buffer for the thread's life: the device reads into the same storage every time and
    // the delivery copies only what arrived.
    QByteArray chunk;
    for (;;) {
        const ReadStatus status = m_device.readChunk(chunk, m_interval);
        if (status == ReadStatus::Gone && m_hungUp) {
            m_hungUp();
        }
        if (status != ReadStatus::Data) {
            break;
        }
        if (!chunk.isEmpty()) {
            const auto length = static_cast<std::size_t>(chunk.size());
            const std::uint64_t offset = m_bytesRead.load(std::memory_order_relaxed);
            m_bytesRead.store(offset + length, std::memory_order_release);
            m_deliver(reinterpret_cast<const std::uint8_t*>(chunk.constData()), length, offset);
        }
    }
    m_device.purgeInput();
    {
        std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_finishedCv.notify_all();
}

} // namespace corvane

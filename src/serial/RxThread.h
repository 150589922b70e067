#pragma once
// Receive thread of one open port: reads the device in chunks (cut at pauses of the line, or
// at every read) and hands every chunk to `deliver`, which runs on this thread and must only
// pass a copy of it on. It never touches the component's state. It ends on stop() or when the
// device is gone.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane {

class SerialDevice;

class RxThread {
public:
    // The chunk's bytes are only valid during the call; `offset` is the stream position of its
    // first byte (bytes read since the thread started).
    using Deliver =
        std::function<void(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset)>;
    using HungUp = std::function<void()>;

    // The device must outlive the thread. `interval` zero: a chunk ends at every read.
    // `hungUp` (optional) runs on this thread once, when the device reports that it is gone;
    // like `deliver` it must only pass the news on.
    RxThread(SerialDevice& device, std::chrono::microseconds interval, Deliver deliver,
             HungUp hungUp = {});
    ~RxThread();
    RxThread(const RxThread&) = delete;
    RxThread& operator=(const RxThread&) = delete;

    // Throws std::system_error when the thread cannot be created.
    void start();
    // Asks the thread to end, waits up to `wait` for it, then until it has finished.
    // Returns false when it took longer than `wait`.
    bool stop(std::chrono::milliseconds wait = std::chrono::milliseconds(10000));
    [[nodiscard]] bool finished() const;
    // Bytes read so far, any thread; counted before the chunk that holds them is delivered.
    [[nodiscard]] std::uint64_t bytesRead() const {
        return m_bytesRead.load(std::memory_order_acquire);
    }

private:
    void run();

    SerialDevice& m_device;
    std::chrono::microseconds m_interval;
    Deliver m_deliver;
    HungUp m_hungUp;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_finishedCv;
    bool m_finished = false;
    std::atomic<std::uint64_t> m_bytesRead{0};
};

} // namespace corvane

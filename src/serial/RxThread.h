#pragma once
// Receive thread of one open port: reads the device in chunks cut at pauses of the line and
// hands every chunk to `deliver`, which runs on this thread and must only pass it on. It never
// touches the component's state. It ends on stop() or when the device is gone.

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane {

class SerialDevice;

class RxThread {
public:
    using Deliver = std::function<void(QByteArray chunk)>;
    using HungUp = std::function<void()>;

    // The device must outlive the thread. `hungUp` (optional) runs on this thread once, when
    // the device reports that it is gone; like `deliver` it must only pass the news on.
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
};

} // namespace corvane

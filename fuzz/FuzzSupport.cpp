#include "FuzzSupport.h"

#include "SerialDevice.h"
#include "VexaComms.h"

#include <QCoreApplication>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace corvane::fuzz {

void checkFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

namespace {

// Writes go nowhere; the receive thread waits until it is stopped.
class QuietDevice final : public SerialDevice {
public:
    OpenResult open(const QString&) override {
        m_open = true;
        return {};
    }
    void close() override { m_open = false; }
    [[nodiscard]] bool isOpen() const override { return m_open; }
    bool configure(const LineSettings&) override { return true; }
    void setDtr(bool) override {}
    void setRts(bool) override {}
    std::size_t write(const std::uint8_t*, std::size_t length) override { return length; }
    void purge() override {}
    void purgeInput() override {}
    void clearLineErrors() override {}
    ReadStatus readChunk(QByteArray&, std::chrono::microseconds) override {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_stop; });
        return ReadStatus::Stopped;
    }
    void requestStop() override {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
    }

private:
    bool m_open = false;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
};

} // namespace

TVexaComms& quietLink(std::uint16_t ringSize) {
    // Kept for the whole process: the timer needs an application object, and closing at exit
    // would race the fuzzer's own shutdown.
    static TVexaComms* link = [ringSize] {
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) {
            new QCoreApplication(argc, argv);
        }
        auto* l = new TVexaComms(nullptr, [] { return std::make_unique<QuietDevice>(); });
        l->setCommPort(QStringLiteral("quiet"));
        l->setRxBufferSize(ringSize);
        if (!l->OpenComm()) {
            checkFailed("quiet link opens", __FILE__, __LINE__);
        }
        return l;
    }();
    return *link;
}

void deliver(TVexaComms& link, std::span<const std::uint8_t> stream, std::size_t chunk) {
    link.ClearFlags();
    (void)link.SendCommData(nullptr, 0, 15);
    if (chunk == 0) {
        chunk = 1;
    }
    for (std::size_t i = 0; i < stream.size(); i += chunk) {
        const std::size_t n = std::min(chunk, stream.size() - i);
        link.HandleRxChr(stream.data() + i, static_cast<std::uint32_t>(n));
    }
}

} // namespace corvane::fuzz

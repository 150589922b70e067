#include "RunSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<int> g_stopSignal{0};
std::atomic<int> g_refused{0};
int g_wakeFds[2] = {-1, -1};

extern "C" void onStopSignal(int signal) {
    int expected = 0;
    g_stopSignal.compare_exchange_strong(expected, signal);
    const char byte = static_cast<char>(signal);
    const int saved = errno;
    (void)!::write(g_wakeFds[1], &byte, 1);
    errno = saved;
}

void ignore(int signal) {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(signal, &sa, nullptr);
}

} // namespace

void RunSignals::install() {
    // Output to a closed pipe or terminal fails with EPIPE/EIO instead, and is ignored.
    ignore(SIGPIPE);
    ignore(SIGHUP);
    if (g_wakeFds[0] < 0 && ::pipe2(g_wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

RunSignals::RunSignals(QObject* parent)
    : QObject(parent) {
    if (g_wakeFds[0] < 0) {
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_wakeFds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(g_wakeFds[0], bytes, sizeof bytes) > 0) {
        }
        emit stopRequested(g_stopSignal.load());
    });
}

RunSignals::~RunSignals() = default;

int RunSignals::stopSignal() {
    return g_stopSignal.load();
}

int RunSignals::refusedRequests() {
    return g_refused.load();
}

GatedSerialDevice::GatedSerialDevice(std::unique_ptr<corvane::SerialDevice> inner)
    : ForwardingSerialDevice(std::move(inner)) {}

std::size_t GatedSerialDevice::write(const std::uint8_t* data, std::size_t length) {
    if (RunSignals::stopSignal() != 0) {
        ++m_refused;
        ++g_refused;
        return 0;
    }
    return ForwardingSerialDevice::write(data, length);
}

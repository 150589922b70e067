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
    if (g_wakeFds[0] < 0 && ::pipe2(g_wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

RunSignals::RunSignals(QObject* parent)
    : QObject(parent) {
    if (g_wakeFds[0] < 0)
        return;
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

QString signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    default:
        return QStringLiteral("signal %1").arg(signal);
    }
}

QString unitStateAfterStop(bool upgradeStarted, const QStringList& captions) {
    const QString again = QStringLiteral(
        " Run the upgrade again: a later run finds the unit (through CPU-1's bootloader if "
        "need be) and programs what is left.");
    if (!upgradeStarted)
        return QStringLiteral("Nothing was written to the unit; it is as it was.");
    auto has = [&](const QString& text) { return captions.contains(text); };
    auto hasPrefix = [&](const QString& prefix) {
        for (const QString& c : captions)
            if (c.startsWith(prefix))
                return true;
        return false;
    };
    if (has(QStringLiteral("Restarting System....Done")))
        return QStringLiteral("The upgrade had ended and the unit was restarted.");
    if (hasPrefix(QStringLiteral("Restarting System....")))
        return QStringLiteral("Every processor was dealt with, but the unit was not restarted; "
                              "it stays in upgrade mode until its power is cycled.") +
               again;

    // A sub-processor's boot mode was asked for, but its reprogramming did not finish.
    for (const QString& name : {QStringLiteral("HMI"), QStringLiteral("CPU-2")}) {
        const bool started = hasPrefix(QStringLiteral("Enabling ") + name) ||
                             hasPrefix(name + QStringLiteral(" Already In Boot Mode")) ||
                             hasPrefix(QStringLiteral("Sending New Firmware for ") + name);
        if (started && !has(QStringLiteral("Reprogramming ") + name + QStringLiteral("......OK")))
            return QStringLiteral("CPU-1 runs its firmware; %1 is left in boot mode without "
                                  "complete firmware.")
                       .arg(name) +
                   again;
    }
    const bool cpu1Started = has(QStringLiteral("Enabling BootLoader.....Done"));
    if (cpu1Started && !has(QStringLiteral("Restarting CPU-1......Done"))) {
        if (has(QStringLiteral("Disabling Boot Mode......Done")))
            return QStringLiteral("CPU-1 holds its new firmware but was not restarted; it "
                                  "starts it at the next power-up.") +
                   again;
        if (hasPrefix(QStringLiteral("Erasing Program Memory")))
            return QStringLiteral("CPU-1 is left in its bootloader without complete "
                                  "firmware.") +
                   again;
        return QStringLiteral("CPU-1 is left in its bootloader; its firmware was not yet "
                              "touched.") +
               again;
    }
    return QStringLiteral("The unit is in upgrade mode; no processor is left half-programmed.") +
           again;
}

#pragma once
// Signals during a run. SIGPIPE and SIGHUP never stop it (a closed pipe or terminal only
// loses output); SIGINT and SIGTERM ask it to stop at the end of the exchange in progress:
// from that moment no new request goes out on the serial line, the step in progress ends
// with the next one it would send, and the run is wound up with the port closed properly.

#include "platform/ForwardingSerialDevice.h"

#include <QObject>
#include <QStringList>

#include <memory>

class QSocketNotifier;

class RunSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; call once, before any thread is started.
    static void install();
    // After the application object exists: emits stopRequested on this thread for a signal
    // received since install().
    explicit RunSignals(QObject* parent = nullptr);
    ~RunSignals() override;

    // The first stopping signal received (SIGINT, SIGTERM), 0 while none has come.
    [[nodiscard]] static int stopSignal();
    // Requests the serial devices refused since the stop.
    [[nodiscard]] static int refusedRequests();

signals:
    void stopRequested(int signal);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// A serial device that sends nothing once a stop was requested: the request in progress has
// been written whole and its reply is still read, the next one is refused.
class GatedSerialDevice final : public corvane::ForwardingSerialDevice {
public:
    explicit GatedSerialDevice(std::unique_ptr<corvane::SerialDevice> inner);

    [[nodiscard]] std::size_t write(const std::uint8_t* data, std::size_t length) override;

    // Requests this device refused since the stop.
    [[nodiscard]] int refused() const { return m_refused; }

private:
    int m_refused = 0;
};

#include "VexaComms.h"

#include "PosixSerialDevice.h"
#include "RxEvents.h"
#include "RxThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>

#include <algorithm>
#include <system_error>
#include <thread>

using corvane::rx::RxDataEvent;
using corvane::rx::RxHungUpEvent;

namespace {

constexpr std::uint16_t NoTimeLimit = 65535;

} // namespace

TVexaComms::TVexaComms(QObject* owner, DeviceFactory factory)
    : QObject(owner)
    , m_factory(std::move(factory)) {
    Timer.setInterval(100);
    Timer.setTimerType(Qt::PreciseTimer);
    connect(&Timer, &QTimer::timeout, this, [this] { TimerTick(); });
}

TVexaComms::~TVexaComms() {
    if (isOpen()) {
        CloseComm();
    }
    Timer.stop();
    RxCond = nullptr;
    // Waits still running further up this thread's stack see the object gone and return.
    for (QEventLoop* loop : m_waitLoops) {
        loop->quit();
    }
}

bool TVexaComms::isOpen() const {
    return m_device != nullptr;
}

corvane::LowLatency TVexaComms::lowLatency() const {
    return m_device ? m_device->lowLatency() : corvane::LowLatency::Unknown;
}

void TVexaComms::signalWaits() {
    for (QEventLoop* loop : m_waitLoops) {
        loop->quit();
    }
}

corvane::LineSettings TVexaComms::lineSettings() const {
    corvane::LineSettings s;
    s.baudRate = pBaudRate;
    s.dataBits = pDataBits;
    s.parity = static_cast<corvane::Parity>(pParity);
    s.stopBits = static_cast<corvane::StopBits>(pStopBits);
    return s;
}

bool TVexaComms::OpenComm() {
    if (isOpen()) {
        throw ECommsError("Already have a Comm File Open");
    }
    if (m_retired) {
        m_lastOpenError = QStringLiteral("The link has been closed for good.");
        return false;
    }
    std::unique_ptr<corvane::SerialDevice> device =
        m_factory ? m_factory() : std::make_unique<corvane::PosixSerialDevice>();
    if (!device) {
        m_lastOpenError = QStringLiteral("No serial device available for %1.").arg(pCommPort);
        return false;
    }
    if (pCommPort.isEmpty()) {
        m_lastOpenError = QStringLiteral("No serial port selected.");
        return false;
    }
    const corvane::OpenResult opened = device->open(pCommPort);
    if (opened.error == corvane::OpenError::NotCharDevice) {
        m_lastOpenError = opened.message;
        throw ECommsError("File Handle is not a Comm Handle.");
    }
    if (!opened.ok()) {
        m_lastOpenError = opened.message;
        return false;
    }

    device->purge();
    device->clearLineErrors();
    // Settings results are not examined: a line that refuses a setting keeps its previous one.
    (void)device->configure(lineSettings());
    // DTR is on while the port is open; RTS only while characters are sent.
    device->setDtr(true);
    device->setRts(false);

    m_ringSize = std::max<std::uint16_t>(pRxBuffSize, 1);
    RxBuffer = std::make_unique<std::uint8_t[]>(m_ringSize); // zero-filled
    RxBuffHead = 0;
    RxBuffTail = 0;
    RxResult = -1;
    m_pollEvent = false;
    m_pollTimeoutEvent = false;
    m_closeEvent = false;
    m_hungUp = false;
    m_settleNeeded = false;
    m_replyEnds = chunkEnd() == ChunkEnd::EachRead;
    m_fence = 0;
    ++m_generation;

    const std::uint64_t generation = m_generation;
    TVexaComms* receiver = this;
    auto thread = std::make_unique<corvane::RxThread>(
        *device,
        m_replyEnds ? std::chrono::microseconds::zero() : readInterval(pInterCharTimeUs, pBaudRate),
        [receiver, generation](const std::uint8_t* bytes, std::size_t length,
                               std::uint64_t offset) {
            // The component joins this thread before it goes away, so it is alive here.
            QCoreApplication::postEvent(receiver,
                                        new RxDataEvent(bytes, length, offset, generation));
        },
        [receiver, generation] {
            QCoreApplication::postEvent(receiver,
                                        std::make_unique<RxHungUpEvent>(generation).release());
        });
    m_device = std::move(device);
    try {
        thread->start();
    } catch (const std::system_error&) {
        m_device->close();
        m_device.reset();
        RxBuffer.reset();
        m_ringSize = 0;
        ++m_generation;
        m_lastOpenError = QStringLiteral("Unable To Create Rx Thread");
        throw ECommsError("Unable To Create Rx Thread");
    }
    RxThread = std::move(thread);
    m_lastOpenError.clear();
    return true;
}

void TVexaComms::StopRxThread() {
    m_closeEvent = true;
    if (RxThread) {
        (void)RxThread->stop(std::chrono::milliseconds(10000));
        RxThread.reset();
    }
}

void TVexaComms::retire() {
    m_retired = true;
    CloseComm();
}

void TVexaComms::CloseComm() {
    Timer.stop();
    RxResult = -2;
    if (isOpen()) {
        m_pollEvent = true;
        signalWaits();
    }
    CommTimout = 0;
    if (!isOpen()) {
        return;
    }
    DetachCond();
    m_device->purge();
    StopRxThread();
    signalWaits();
    m_device->close();
    m_device.reset();
    RxBuffer.reset();
    m_ringSize = 0;
    RxBuffHead = 0;
    RxBuffTail = 0;
    ++m_generation; // queued deliveries of this open are dropped
    m_hungUp = false;
    m_settleNeeded = false;
    RxResult = -1;
}

void TVexaComms::UpdateDCB() {
    if (isOpen()) {
        (void)m_device->configure(lineSettings());
    }
}

bool TVexaComms::CheckPort(const QString& devicePath) {
    std::unique_ptr<corvane::SerialDevice> device =
        m_factory ? m_factory() : std::make_unique<corvane::PosixSerialDevice>();
    if (!device) {
        return false;
    }
    const corvane::OpenResult opened = device->open(devicePath);
    if (opened.error == corvane::OpenError::NotCharDevice) {
        throw ECommsError("File Handle is not a Comm Handle.");
    }
    if (!opened.ok()) {
        return false;
    }
    device->close();
    return true;
}

void TVexaComms::AttachCond(TRxCondition* cond) {
    RxCond = cond;
}

void TVexaComms::DetachCond() {
    RxCond = nullptr;
}

void TVexaComms::ClearFlags() {
    StartEnd_Cond = -1;
    if (RxCond != nullptr) {
        RxCond->PrepRxBuffResetFlags();
    }
}

void TVexaComms::ClearRxBuffer() {
    RxBuffHead = 0;
    RxBuffTail = 0;
}

void TVexaComms::armReplyWait(std::uint16_t tim) {
    if (m_replyEnds) {
        m_fence = streamPosition();
    }
    m_pollEvent = false;
    m_pollTimeoutEvent = false;
    CommTimout = tim;
    RxResult = -1;
    TimerMult = 0;
    Timer.start(); // restarts the 100 ms period
}

void TVexaComms::settleLine() {
    QPointer<TVexaComms> self(this);
    QEventLoop loop;
    QTimer quiet;
    quiet.setSingleShot(true);
    quiet.setTimerType(Qt::PreciseTimer);
    QTimer limit;
    limit.setSingleShot(true);
    connect(&quiet, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    m_settleLoop = &loop;
    m_settleQuiet = &quiet;
    m_waitLoops.push_back(&loop);
    quiet.start(SettleQuietMs);
    limit.start(SettleLimitMs);
    loop.exec();
    if (!self) {
        return;
    }
    std::erase(m_waitLoops, &loop);
    m_settleLoop = nullptr;
    m_settleQuiet = nullptr;
}

bool TVexaComms::SendCommData(const std::uint8_t* txstr, std::uint16_t txstrlen,
                              std::uint16_t tim) {
    if (RxResult == -2 || !isOpen() || m_hungUp) {
        return false;
    }
    if (m_settleNeeded) {
        m_settleNeeded = false;
        const std::uint64_t generation = m_generation;
        QPointer<TVexaComms> self(this);
        settleLine();
        if (!self || !isOpen() || m_hungUp || generation != m_generation || RxResult == -2) {
            return false;
        }
    }
    ClearRxBuffer();
    armReplyWait(tim);
    ReplyTimout = tim;
    if (txstrlen == 0) {
        return true;
    }
    if (txstr == nullptr) {
        return false;
    }
    // DTR is dropped exactly while a request is written; RTS is up only while it is sent.
    m_device->setDtr(false);
    m_device->setRts(true);
    const std::size_t written = m_device->write(txstr, txstrlen);
    m_device->setRts(false);
    m_device->setDtr(true);
    if (m_tap != nullptr) {
        m_tap->frameSent(txstr, written);
    }
    return written == txstrlen;
}

bool TVexaComms::PutChar(std::uint8_t b) {
    if (!isOpen() || m_hungUp) {
        return false;
    }
    ClearFlags();
    armReplyWait(NoTimeLimit);
    m_device->setRts(true);
    const std::size_t written = m_device->write(&b, 1);
    m_device->setRts(false);
    if (m_tap != nullptr) {
        m_tap->frameSent(&b, written);
    }
    return written == 1;
}

void TVexaComms::TimerTick() {
    if (!Timer.isActive() || RxResult != -1) {
        Timer.stop();
        return;
    }
    // Ticks are 100 ms; the first tick after arming does not count.
    if (TimerMult >= 1) {
        if (CommTimout > 0 && CommTimout < NoTimeLimit) {
            --CommTimout;
        }
        TimerMult = 0;
    }
    if (CommTimout == 0 && RxResult == -1) {
        Timer.stop();
        m_pollTimeoutEvent = true;
        m_settleNeeded = true; // a late reply may still be on its way
        signalWaits();
        if (OnTimeOut) {
            QPointer<TVexaComms> self(this);
            OnTimeOut();
            if (!self) {
                return;
            }
        }
    }
    ++TimerMult;
}

int TVexaComms::WaitForResult() {
    QPointer<TVexaComms> self(this);
    // A close during the wait ends it, also when a handler has opened the port again at once:
    // the new open has no exchange armed, so nothing would ever end the wait.
    const std::uint64_t generation = m_generation;
    for (;;) {
        if (!isOpen()) {
            return RxResult;
        }
        if (m_hungUp) {
            RxResult = -2;
            return RxResult;
        }
        if (m_pollEvent) {
            return RxResult;
        }
        if (m_pollTimeoutEvent) {
            RxResult = 0;
            return 0;
        }
        if (m_closeEvent || generation != m_generation) {
            return RxResult;
        }
        QEventLoop loop;
        m_waitLoops.push_back(&loop);
        struct Unregister {
            QPointer<TVexaComms>& owner;
            QEventLoop* loop;
            ~Unregister() {
                if (owner) {
                    std::erase(owner->m_waitLoops, loop);
                }
            }
        } unregister{self, &loop};
        loop.exec();
        if (!self) {
            return -2; // destroyed by a handler during the wait
        }
    }
}

int TVexaComms::WaitForResult_T() {
    if (!isOpen() || m_pollEvent || m_closeEvent) {
        return RxResult;
    }
    // Nothing can signal the result on this thread without dispatching, so this only sleeps.
    std::this_thread::sleep_for(std::chrono::milliseconds(100) * ReplyTimout);
    RxResult = 0;
    return RxResult;
}

#include "VexaComms.h"

#include "PosixSerialDevice.h"
#include "RxThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

const char* const CommPortNames[32] = {
    "COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7",  "COM8",
    "COM9",  "COM10", "COM11", "COM12", "COM13", "COM14", "COM15", "COM16",
    "COM17", "COM18", "COM19", "COM20", "COM21", "COM22", "COM23", "COM24",
    "COM25", "COM26", "COM27", "COM28", "COM29", "COM30", "COM31", "COM32"};
const char* const BaudRateNames[14] = {"150",    "300",    "600",    "1200",  "2400",
                                       "4800",   "9600",   "19200",  "38400", "57600",
                                       "115200", "230400", "460800", "921600"};
const char* const DataBitsNames[4] = {"5", "6", "7", "8"};
const char* const ParityNames[5] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const StopBitsNames[3] = {"1", "1.5", "2"};

namespace {

// One chunk handed over by the receive thread; the generation tells which open it belongs to.
class RxDataEvent final : public QEvent {
public:
    RxDataEvent(QByteArray bytes, std::uint64_t gen)
        : QEvent(eventType())
        , data(std::move(bytes))
        , generation(gen) {}
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    QByteArray data;
    std::uint64_t generation;
};

// The receive thread saw the device hang up during the open of this generation.
class RxHungUpEvent final : public QEvent {
public:
    explicit RxHungUpEvent(std::uint64_t gen)
        : QEvent(eventType())
        , generation(gen) {}
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    std::uint64_t generation;
};

constexpr std::uint16_t NoTimeLimit = 65535;

} // namespace

QString windowsPortName(int portNumber) {
    return portNumber <= 9 ? QStringLiteral("COM%1").arg(portNumber)
                           : QStringLiteral("\\\\.\\COM%1").arg(portNumber);
}

std::uint32_t readIntervalMs(std::uint32_t interCharTimeOut, std::uint32_t baudRate) {
    if (interCharTimeOut != 0) {
        return interCharTimeOut;
    }
    if (baudRate == 0) {
        return 1;
    }
    // About three character times at 9600 baud, rounded up; 1 ms from 38400 baud on.
    return (115200u / baudRate) * 3u / 12u + 1u;
}

std::chrono::microseconds readInterval(std::uint32_t interCharTimeOutUs, std::uint32_t baudRate) {
    if (interCharTimeOutUs != 0) {
        return std::chrono::microseconds(interCharTimeOutUs);
    }
    return std::chrono::milliseconds(readIntervalMs(0, baudRate));
}

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
    ++m_generation;

    const std::uint64_t generation = m_generation;
    TVexaComms* receiver = this;
    auto thread = std::make_unique<corvane::RxThread>(
        *device, readInterval(pInterCharTimeUs, pBaudRate),
        [receiver, generation](QByteArray chunk) {
            // The component joins this thread before it goes away, so it is alive here.
            QCoreApplication::postEvent(
                receiver, std::make_unique<RxDataEvent>(std::move(chunk), generation).release());
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

std::uint16_t TVexaComms::GetReply(std::uint16_t condnum, std::uint8_t* buf, std::uint16_t bufsize,
                                   int pre, int mid, int post) {
    if (buf == nullptr) {
        return 0;
    }
    const TRxConditionItem* item = RxCond != nullptr ? RxCond->GetConditionPtr(condnum) : nullptr;
    if (item == nullptr || !RxBuffer) {
        buf[0] = 0;
        return 0;
    }
    // Only bytes written in this exchange are copied: the ring holds them from position 0 up
    // to the write position (it never wraps past position 0 after SendCommData).
    const std::size_t limit = std::min<std::size_t>(RxBuffTail, m_ringSize);
    std::size_t c = 0;
    std::size_t p = 0;
    auto copy = [&](std::size_t count) {
        while (count > 0 && c < bufsize && p < limit) {
            buf[c++] = RxBuffer[p++];
            --count;
        }
        // Positions advance by the phase counts even where nothing could be copied.
        p += count;
    };

    const std::size_t prechrs = item->prechrs;
    const std::size_t msgchrs = item->msgchrs;
    if (pre < 0) {
        p = 0;
        copy(prechrs);
    } else {
        const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(pre), prechrs);
        p = prechrs - k;
        copy(k);
    }
    p = prechrs;
    if (mid < 0) {
        copy(msgchrs);
    } else if (mid > 0) {
        copy(static_cast<std::size_t>(mid));
    }
    // mid 0 copies nothing and, like mid > 0, lets the post part start at the first post-phase
    // character.
    p = prechrs + msgchrs;
    if (post > 0) {
        copy(static_cast<std::size_t>(post));
    } else if (post < 0) {
        copy(limit > p ? limit - p : 0);
    }
    buf[c] = 0;
    return static_cast<std::uint16_t>(c);
}

bool TVexaComms::GetNextChar(std::uint8_t* ch) {
    if (ch == nullptr || !RxBuffer || RxBuffHead == RxBuffTail) {
        return false;
    }
    *ch = RxBuffer[RxBuffHead];
    ++RxBuffHead;
    if (RxBuffHead >= m_ringSize) {
        RxBuffHead = 0;
    }
    return true;
}

int TVexaComms::GetCondition() {
    if (RxCond == nullptr) {
        return -1;
    }
    for (std::uint16_t n = 1; n <= RxCond->Cond_count; ++n) {
        if (RxCond->CheckRxChars(n)) {
            return n;
        }
    }
    return -1;
}

bool TVexaComms::CheckReply(std::uint16_t condnum) {
    return RxCond != nullptr && RxCond->CheckRxChars(condnum);
}

void TVexaComms::CheckCondFlags(std::uint8_t ch) {
    StartEnd_Cond = RxCond != nullptr ? RxCond->CheckConditions(ch) : -1;
}

void TVexaComms::UpdateRxCharCounts() {
    if (RxCond != nullptr) {
        RxCond->UpdateCharCounts();
    }
}

void TVexaComms::ConditionCheck() {
    if (RxResult != -2) {
        const int c = GetCondition();
        if (c == -1) {
            return;
        }
        RxResult = c;
        // A wait in progress ends with the result; the timer that would end it stops below.
        m_pollEvent = true;
        signalWaits();
    }
    Timer.stop();
}

void TVexaComms::HandleRxChr(const std::uint8_t* ch, std::uint32_t chlen) {
    if (ch == nullptr || !RxBuffer) {
        return;
    }
    const std::uint64_t generation = m_generation;
    QPointer<TVexaComms> self(this);
    for (std::uint32_t i = 0; i < chlen; ++i) {
        RxBuffer[RxBuffTail] = ch[i];
        ++RxBuffTail;
        if (RxBuffTail >= m_ringSize) {
            RxBuffTail = 0;
        }
        if (RxBuffTail == RxBuffHead) {
            // Full: the oldest unread bytes stay, the slot just written takes the next one.
            RxBuffTail = RxBuffTail == 0 ? static_cast<std::uint16_t>(m_ringSize - 1)
                                         : static_cast<std::uint16_t>(RxBuffTail - 1);
        }
        if (StartEnd_Cond == -1) {
            CheckCondFlags(ch[i]);
        } else {
            UpdateRxCharCounts();
        }
        if (OnReceiveMsg) {
            const int c = GetCondition();
            if (c != -1) {
                // The reply goes to the event, not to a wait in progress; such a wait still
                // ends by its time-out instead of hanging.
                if (m_waitLoops.empty()) {
                    Timer.stop();
                }
                OnReceiveMsg(c);
                if (!self || generation != m_generation || !RxBuffer) {
                    return; // the handler closed or destroyed the component
                }
                ClearFlags();
                ClearRxBuffer();
            }
        }
    }
    if (RxResult == -1) {
        const int c = GetCondition();
        if (c != -1) {
            RxResult = c;
            Timer.stop();
            m_pollEvent = true;
            signalWaits();
        }
    }
}

bool TVexaComms::event(QEvent* e) {
    if (e->type() == RxHungUpEvent::eventType()) {
        if (isOpen() && static_cast<RxHungUpEvent*>(e)->generation == m_generation) {
            m_hungUp = true;
            Timer.stop();
            signalWaits();
        }
        return true;
    }
    if (e->type() != RxDataEvent::eventType()) {
        return QObject::event(e);
    }
    auto* delivery = static_cast<RxDataEvent*>(e);
    if (!isOpen() || delivery->generation != m_generation) {
        return true; // posted before a close
    }
    if (m_settleLoop != nullptr) {
        // Arrived while the line settles after a time-out: a late reply or noise.
        if (m_settleQuiet != nullptr) {
            m_settleQuiet->start(SettleQuietMs);
        }
        return true;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(delivery->data.constData());
    const auto length = static_cast<std::uint32_t>(delivery->data.size());
    if (OnReceiveData) {
        QPointer<TVexaComms> self(this);
        const std::uint64_t generation = m_generation;
        OnReceiveData(bytes, static_cast<std::uint16_t>(length & 0xFFFFu));
        if (!self || generation != m_generation) {
            return true;
        }
    }
    HandleRxChr(bytes, length);
    return true;
}

int TVexaComms::BCC_Check(const std::uint8_t* buf, std::uint16_t st, std::uint16_t en) {
    if (buf == nullptr) {
        return 0;
    }
    std::uint8_t x = 0;
    for (std::uint32_t i = st; i <= en && en >= st; ++i) {
        x ^= buf[i];
    }
    return buf[std::uint32_t{en} + 1] == x ? 1 : 0;
}

std::uint16_t TVexaComms::Find_Char(const std::uint8_t* buf, std::uint8_t first,
                                    std::uint8_t second, std::uint16_t n) {
    if (buf == nullptr) {
        return 0;
    }
    // The byte after the last one scanned (buf[n]) is compared as well.
    for (std::uint32_t i = 0; i < n; ++i) {
        if (buf[i] == first && (second == '*' || buf[i + 1] == second)) {
            return static_cast<std::uint16_t>(i + 2);
        }
    }
    return 0;
}

void TVexaComms::Byte_Move(const std::uint8_t* src, std::uint8_t* dest, int len, bool zt_flag) {
    if (dest == nullptr) {
        return;
    }
    if (len > 0 && src != nullptr) {
        std::memmove(dest, src, static_cast<std::size_t>(len));
    }
    if (zt_flag) {
        dest[len > 0 ? len : 0] = 0;
    }
}

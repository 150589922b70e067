#pragma once
// Serial link component: owns one serial port, its receive thread, the receive ring and the
// 100 ms reply timer. Every operation must be called on the thread that created the object.

#include "LinkHelpers.h"
#include "LinkTap.h"
#include "RxCondition.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

class QEventLoop;

namespace corvane {
class SerialDevice;
class RxThread;
struct LineSettings;
enum class LowLatency;
} // namespace corvane

// Raised with a fixed text for misuse when a port is opened.
class ECommsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TStopBits : std::uint8_t { sb1 = 0, sb1_5 = 1, sb2 = 2 };
enum class TParity : std::uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };

using TReceiveDataEvent = std::function<void(const std::uint8_t* buffer, std::uint16_t length)>;
using TReceiveMsgEvent = std::function<void(int condnum)>;
using TTimeOutEvent = std::function<void()>;

class TVexaComms : public QObject {
    Q_OBJECT
public:
    using DeviceFactory = std::function<std::unique_ptr<corvane::SerialDevice>()>;

    // factory makes the device object for each OpenComm; empty means the POSIX device.
    explicit TVexaComms(QObject* owner = nullptr, DeviceFactory factory = {});
    ~TVexaComms() override;

    // Properties (line settings take effect through UpdateDCB or the next OpenComm).
    [[nodiscard]] QString CommPort() const { return pCommPort; }
    void setCommPort(const QString& devicePath) { pCommPort = devicePath; }
    [[nodiscard]] std::uint32_t BaudRate() const { return pBaudRate; }
    void setBaudRate(std::uint32_t v) { pBaudRate = v; }
    [[nodiscard]] std::uint8_t DataBits() const { return pDataBits; }
    void setDataBits(std::uint8_t v) { pDataBits = v; }
    [[nodiscard]] TStopBits StopBits() const { return pStopBits; }
    void setStopBits(TStopBits v) { pStopBits = v; }
    [[nodiscard]] TParity Parity() const { return pParity; }
    void setParity(TParity v) { pParity = v; }
    [[nodiscard]] std::uint16_t RxBufferSize() const { return pRxBuffSize; }
    void setRxBufferSize(std::uint16_t v) { pRxBuffSize = v; }
    // Read interval in ms (0: from the line speed); a sub-millisecond one reads rounded up.
    [[nodiscard]] std::uint32_t InterCharTimeOut() const { return (pInterCharTimeUs + 999) / 1000; }
    void setInterCharTimeOut(std::uint32_t ms) {
        pInterCharTimeUs = ms < 4294967u ? ms * 1000u : 4294967000u;
    }
    // The same interval in microseconds.
    [[nodiscard]] std::uint32_t InterCharTimeOutUs() const { return pInterCharTimeUs; }
    void setInterCharTimeOutUs(std::uint32_t us) { pInterCharTimeUs = us; }
    // Where chunks end, from the next OpenComm on: chunkEndFor(the interval) unless set here
    // (a benchmark sets QuietInterval to run the fast link's interval as it was).
    [[nodiscard]] ChunkEnd chunkEnd() const {
        return m_chunkEnd.value_or(chunkEndFor(pInterCharTimeUs));
    }
    void setChunkEnd(std::optional<ChunkEnd> end) { m_chunkEnd = end; }

    TReceiveDataEvent OnReceiveData;
    TReceiveMsgEvent OnReceiveMsg;
    TTimeOutEvent OnTimeOut;

    // Port operations.
    bool OpenComm();
    void CloseComm();
    void UpdateDCB();
    bool CheckPort(const QString& devicePath);
    [[nodiscard]] bool isOpen() const;
    // The device's answer to the low-latency request of this open (Unknown while closed).
    [[nodiscard]] corvane::LowLatency lowLatency() const;
    // Closes the port for good: every later OpenComm fails, so no operation can reopen it and
    // send (the window retires its link when it closes, even in the middle of a step).
    void retire();
    [[nodiscard]] bool isRetired() const { return m_retired; }
    // The open device reported a hang-up (adapter unplugged, peer gone). Until the next
    // CloseComm or OpenComm every transmission is refused and every wait ends at once with -2.
    [[nodiscard]] bool hungUp() const { return m_hungUp; }
    // Why the last OpenComm failed, in words a user can act on; empty after a success.
    [[nodiscard]] QString lastOpenError() const { return m_lastOpenError; }

    // Exchange operations.
    void AttachCond(TRxCondition* cond);
    void DetachCond();
    void ClearFlags();
    void ClearRxBuffer();
    bool SendCommData(const std::uint8_t* txstr, std::uint16_t txstrlen, std::uint16_t tim);
    bool PutChar(std::uint8_t b);
    int WaitForResult();
    int WaitForResult_T();
    std::uint16_t GetReply(std::uint16_t condnum, std::uint8_t* buf, std::uint16_t bufsize, int pre,
                           int mid, int post);
    bool GetNextChar(std::uint8_t* ch);
    [[nodiscard]] int GetCondition();
    [[nodiscard]] bool CheckReply(std::uint16_t condnum);
    void CheckCondFlags(std::uint8_t ch);
    void UpdateRxCharCounts();
    void ConditionCheck();

    // After a reply time-out the next transmission first waits until the line has been quiet
    // this long (bytes arriving meanwhile are discarded, so a late reply is never taken for
    // the newer request), but no longer than the limit (a line that never goes quiet).
    static constexpr int SettleQuietMs = 1000;
    static constexpr int SettleLimitMs = 5000;

    int StartEnd_Cond = -1;
    int RxResult = 0;
    bool Busy_Flag = false;

    // Observer of the traffic (not owned; must outlive its use here). Null: none.
    void setTap(LinkTap* tap) { m_tap = tap; }
    [[nodiscard]] LinkTap* tap() const { return m_tap; }

    // Fed by the receive thread's deliveries (also used by tests to inject bytes).
    void HandleRxChr(const std::uint8_t* ch, std::uint32_t chlen);

protected:
    bool event(QEvent* e) override;

private:
    void StopRxThread();
    void TimerTick();
    void armReplyWait(std::uint16_t tim);
    void signalWaits(); // wakes every WaitForResult on the stack to look at the flags
    void complete(int condnum);
    void handleDelivery(QEvent* e);
    // Bytes received up to now, those the driver holds unread included (never more).
    [[nodiscard]] std::uint64_t streamPosition() const;
    void settleLine(); // the quiet wait after a time-out; bytes arriving meanwhile are dropped
    [[nodiscard]] corvane::LineSettings lineSettings() const;

    QString pCommPort;
    std::uint32_t pBaudRate = 9600;
    std::uint8_t pDataBits = 8;
    TStopBits pStopBits = TStopBits::sb1;
    TParity pParity = TParity::None;
    std::uint16_t pRxBuffSize = 256;
    std::uint32_t pInterCharTimeUs = 0;
    std::optional<ChunkEnd> m_chunkEnd;

    DeviceFactory m_factory;
    std::unique_ptr<corvane::SerialDevice> m_device; // non-null while open ("hCommFile")
    std::unique_ptr<corvane::RxThread> RxThread;
    QString m_lastOpenError;
    bool m_retired = false;

    std::uint16_t RxBuffHead = 0;
    std::uint16_t RxBuffTail = 0;
    std::unique_ptr<std::uint8_t[]> RxBuffer;
    std::uint16_t m_ringSize = 0; // size of RxBuffer as allocated at open
    TRxCondition* RxCond = nullptr;
    QTimer Timer;
    std::uint16_t CommTimout = 0;
    std::uint16_t ReplyTimout = 0;
    std::int16_t TimerMult = 0;
    bool m_pollEvent = false;
    bool m_pollTimeoutEvent = false;
    bool m_closeEvent = false;
    bool m_hungUp = false;
    bool m_settleNeeded = false; // the last wait ended by its time-out
    // Chunks end at every read on this open: a reply ends on its completing byte, and bytes
    // received before m_fence (the stream position when the exchange was armed) are no part
    // of it.
    bool m_replyEnds = false;
    std::uint64_t m_fence = 0;
    QEventLoop* m_settleLoop = nullptr;
    QTimer* m_settleQuiet = nullptr;
    std::uint64_t m_generation = 0;       // deliveries of an earlier open are discarded
    std::vector<QEventLoop*> m_waitLoops; // nested waits in progress, innermost last
    LinkTap* m_tap = nullptr;
};

#pragma once
// The unit's behaviour, independent of any I/O: CPU-1's firmware (Modbus slave with the
// unit's register map and functions 103/104), CPU-1's bootloader, the two sub-processors with
// their memory-block windows, the flash of every processor, faults and timing. The caller
// feeds it bytes with the time they arrived and writes out what it returns when it is due.
// Not thread-safe: SimulatedUnit serialises every call.

#include "DeviceFraming.h"
#include "Faults.h"
#include "SimulatedUnit.h"

#include <chrono>

namespace corvane::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct Outgoing {
    Bytes bytes;
    TimePoint due;
};

// Fills the zeros of a scenario from the build data (see Scenario).
[[nodiscard]] Scenario resolveScenario(Scenario s, const CarriedFirmware& carried);

class UnitModel {
public:
    UnitModel(const Scenario& resolved, const FaultPlan& faults, const CarriedFirmware& carried,
              TimePoint now);

    // Serial line: bytes from the master.
    std::vector<Outgoing> serialBytes(std::span<const std::uint8_t> bytes, TimePoint now);
    // Serial line: to be called at nextSerialTick() (quiet line: frame ends, stale bytes).
    std::vector<Outgoing> serialTick(TimePoint now);
    [[nodiscard]] std::optional<TimePoint> nextSerialTick() const;

    // Modbus TCP: one complete ADU (MBAP header + PDU); returns the reply ADU, if any.
    std::optional<Outgoing> tcpAdu(std::span<const std::uint8_t> adu, TimePoint now);

    // Queries; they first bring timed operations up to `now`.
    QByteArray flash(int processor, TimePoint now);
    bool cpu1InBootloader(TimePoint now);
    bool inBootMode(int processor, TimePoint now);
    std::uint16_t reportedRm(int processor, TimePoint now);
    std::uint16_t reportedVersion(int processor, TimePoint now);
    [[nodiscard]] int exchanges(Exchange kind) const;
    [[nodiscard]] int faultsInjected() const { return static_cast<int>(m_faults.log().size()); }
    [[nodiscard]] const std::vector<ExchangeRecord>& trace() const { return m_trace; }
    void clearFaults() {
        m_faults.clear();
        m_dips.clear();
    }
    Summary summary(TimePoint now);

private:
    enum class OpKind { None, BootEntry, Erase, Program, Corrupt };
    struct Op {
        OpKind kind = OpKind::None;
        TimePoint start{};
        double durationMs = 0.0;
        int reads = 0;
        std::optional<FaultKind> fault;
        double stuckAt = 0.0;      // StuckBusy: fraction of the range where it stops
        std::uint32_t applied = 0; // next address whose erase/program is still to do
        bool done = false;
    };
    struct Cpu1 {
        Bytes flash;
        Bytes initialRange;
        bool initialValid = false;
        bool inBootloader = false;
        std::uint16_t rm = 0;
        std::uint16_t version = 0;
        int eraseSteps = 0;
        int blocksProgrammed = 0;
        bool programmed = false;
    };
    struct Sub {
        int index = 0; // 2 CPU-2, 3 HMI
        bool present = true;
        bool silent = false;
        bool keepsVersion = false; // reports its first RM number and version for good
        bool bootMode = false;
        std::uint16_t rm = 0;
        std::uint16_t version = 0;
        Bytes flash;
        Bytes staging; // what CPU-1 received in data blocks
        Bytes initialRange;
        bool initialValid = false;
        std::array<std::uint16_t, 16> window{};
        Op op;
        int erases = 0;
        int dataBlocks = 0;     // passed on to the sub-processor
        int blocksDropped = 0;  // acknowledged while it was not in boot mode
        bool dataTaken = false; // CPU-1 took data blocks for it since it last started
        bool programmed = false;
    };
    struct ModbusOutcome {
        std::optional<Bytes> pdu;
        FaultInjector::Fired fired;
    };
    // What a Modbus request is, decided before anything is done (faults are chosen by it).
    struct ModbusRequest {
        Exchange kind = Exchange::Other;
        QString detail;
        bool statusCommand = false; // a command that starts a sub-processor operation
        bool fixedLayout = false;   // the five bytes of functions 3, 6 and 103
        bool blockLayout = false;   // functions 16 and 104: byte count matches
    };

    [[nodiscard]] bool silentAt(TimePoint now) const { return now < m_silentUntil; }
    [[nodiscard]] double ms(double v) const; // scaled duration
    [[nodiscard]] std::chrono::nanoseconds dur(double msValue) const;
    [[nodiscard]] std::chrono::nanoseconds wireTime(std::size_t bytes) const;
    [[nodiscard]] int windowLength() const { return m_cpu1.version >= 216 ? 16 : 10; }
    [[nodiscard]] int windowStart(int sub) const { return sub == 3 ? 16 : 16 + windowLength(); }
    Sub& sub(int n) { return n == 2 ? m_cpu2 : m_hmi; }
    [[nodiscard]] int windowAt(int reg) const; // 2, 3 or 0
    [[nodiscard]] std::uint32_t progStart(int n) const { return m_carried.progStart[n]; }
    [[nodiscard]] std::uint32_t progEnd(int n) const { return m_carried.progEnd[n]; }

    long countExchange(Exchange kind, QString detail = {});
    void note(const QString& text);
    Bytes initialImage(int processor, bool erased, bool carriedMatch);
    std::optional<std::pair<std::uint16_t, std::uint16_t>> identify(int processor) const;
    bool holdsCarried(int processor) const;

    [[nodiscard]] ModbusRequest classifyModbus(std::span<const std::uint8_t> pdu,
                                               bool serialLine) const;
    ModbusOutcome serveModbus(std::span<const std::uint8_t> pdu, bool serialLine, TimePoint now);
    // One request of each function; pdu has passed the layout check.
    Bytes readHolding(std::span<const std::uint8_t> pdu, TimePoint now);
    Bytes writeSingle(std::span<const std::uint8_t> pdu);
    Bytes writeMultiple(std::span<const std::uint8_t> pdu);
    Bytes controlCommand(std::span<const std::uint8_t> pdu, TimePoint now);
    // Answers one complete RTU request addressed to this unit; the reply leaves at ready plus
    // the processing time.
    void serveRtuFrame(const Bytes& frame, TimePoint now, TimePoint ready,
                       std::vector<Outgoing>& out);
    std::optional<std::uint16_t> readRegister(int reg) const;
    Bytes serveWindow(std::span<const std::uint8_t> pdu, const FaultInjector::Fired& fired,
                      TimePoint now);
    void startOp(Sub& s, OpKind kind, const FaultInjector::Fired& fired, TimePoint now);
    void advance(Sub& s, TimePoint now, bool countRead);
    // How far the operation has gone, 0..1: by the clock with the timing model, else by the
    // status reads it has seen.
    double opFraction(const Op& op, TimePoint now) const;
    // The operation has run its course: its effect on the processor and its window.
    void completeOp(Sub& s);
    void applyUpTo(Sub& s, std::uint32_t end);
    void advanceAll(TimePoint now);

    std::optional<Bytes> serveBootloader(std::span<const std::uint8_t> body, TimePoint now,
                                         FaultInjector::Fired& fired, double& processingMs);
    void restartCpu1(TimePoint now, bool withBootTime);
    void restartUnit(TimePoint now);
    // A sub-processor and its window after a restart: the operation stopped, the window blank,
    // CPU-1's copy of its image gone; it runs the firmware in its flash if there is a whole
    // one, else it is in boot mode. The restart command leaves one in boot mode there; after a
    // power-up (powerUp) it starts afresh.
    void restartSub(Sub& s, bool powerUp);
    void powerLoss(TimePoint now, int silentMs);
    // The supply dips now; the unit answers again after offMs (see PowerDip).
    void powerDip(TimePoint now, int offMs);
    // A planned dip at this point meets exchange `serial`: true when it fired.
    bool dipAt(DipPoint point, int processor, Exchange kind, long serial, TimePoint now);
    // The Modbus request's dip point, if it has one, checked against the plan.
    bool dipMeets(const ModbusRequest& rq, std::span<const std::uint8_t> pdu, long serial,
                  TimePoint now);
    void enterBootloader();

    std::vector<Outgoing> finishSerial(Bytes wire, const FaultInjector::Fired& fired,
                                       TimePoint ready);

    Scenario m_sc;
    CarriedFirmware m_carried;
    FaultInjector m_faults;
    struct PlannedDip {
        PowerDip dip;
        int seen = 0;
        bool fired = false;
    };
    std::vector<PlannedDip> m_dips;
    Cpu1 m_cpu1;
    Sub m_cpu2;
    Sub m_hmi;
    std::array<std::uint16_t, 100> m_general{};
    bool m_upgradeModeSeen = false;
    bool m_restartSeen = false;
    TimePoint m_silentUntil{};
    std::array<int, kExchangeKinds> m_counts{};
    long m_serial = 0;
    std::vector<ExchangeRecord> m_trace;
    std::vector<QString> m_notes;

    // Serial line state.
    RtuAssembler m_rtu;
    BootFrameParser m_boot;
    TimePoint m_lastRx{};
    bool m_idleHandled = true;
    bool m_idlePass = false;
    TimePoint m_rxWireEnd{};
    TimePoint m_txWireEnd{};
};

} // namespace corvane::sim

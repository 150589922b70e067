#pragma once
// A simulated Corvane unit: the device side of every protocol the updater speaks, served on a
// real pseudo-terminal (Modbus RTU and CPU-1's bootloader protocol) and on a real TCP socket
// on 127.0.0.1 (Modbus TCP), with a flash model per processor, a seeded fault injector and an
// optional timing model. It runs on its own thread; every public member is safe to call from
// any thread.
//
// Register map (holding registers of slave `Scenario::slaveAddress`):
//   0, 1     CPU-1 RM number, CPU-1 firmware version x 100                 (function 3)
//   2..7     reserved, read 0
//   8, 9     HMI RM number, HMI version (0, 0 on a product without HMI)
//   10, 11   CPU-2 RM number, CPU-2 version
//   12       CPU-1's control register: function 103 only (0x1966 upgrade mode, 0x222D CPU-1 to
//            its bootloader, 0x1BC5 restart of the unit); reads 0
//   13..15   reserved, read 0
//   windows  memory-block windows, function 104 writes whole windows, function 3 reads them
//            (registers 0..1 of a window are its status words). CPU-1 firmware below 2.16: HMI
//            16..25, CPU-2 26..35; from 2.16: HMI 16..31, CPU-2 32..47.
//   100..199 general registers: functions 3, 6 and 16 (so any master can write and read back)
// Anything else answers exception 02; a malformed count answers exception 03; an unknown
// function answers exception 01. Functions 103 and 104 exist on the serial line only.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace corvane::sim {

// The kinds of exchange the unit tells apart; faults can be limited to one of them.
enum class Exchange {
    Any,          // faults only: every exchange
    ModbusRead,   // function 3 outside the windows
    StatusRead,   // function 3 that starts inside a memory-block window
    ModbusWrite,  // functions 6 and 16
    Fn103,        // control register commands
    Fn104Command, // window block with the command marker 0x5C
    Fn104Data,    // window block with the data marker 0xA6
    BlModel,      // bootloader 0x00 Len 2
    BlInfo,       // bootloader 0x08 Len 4
    BlErase,      // bootloader 0x03 Len 8
    BlProgram,    // bootloader 0x02 Len 2
    BlWriteByte,  // bootloader 0x05 Len 1
    BlReset,      // bootloader 0x00 Len 0
    Other,        // anything else addressed to the unit (unknown functions, bad addresses)
};
inline constexpr int kExchangeKinds = 14;

// "modbus-read", "status-read", "modbus-write", "fn103", "fn104-command", "fn104-data",
// "bl-model", "bl-info", "bl-erase", "bl-program", "bl-write-byte", "bl-reset", "other", "any".
[[nodiscard]] QString exchangeName(Exchange kind);
[[nodiscard]] std::optional<Exchange> exchangeFromName(const QString& name);

// Device processing and wire times. Off by default: the unit then answers at once and a
// sub-processor operation advances one step per status read (see untimedBusyReads).
struct TimingModel {
    bool enabled = false;
    double scale = 1.0;              // multiplies every figure below (tests use e.g. 0.05)
    std::uint32_t baudRate = 115200; // 10 bits per byte in both directions (serial line only)
    double modbusProcessingMs = 1.0; // CPU-1 firmware, per Modbus request
    double bootloaderProcessingMs = 0.5;
    double eraseRowMs = 20.0;         // bootloader erase command: one 512-byte step
    double programBlockMs = 4.0;      // bootloader program command: one 128-byte block
    double cpu1BootMs = 2500.0;       // CPU-1 firmware start after a reset/restart: silent
    double subBootEntryMs = 250.0;    // sub-processor: enter boot mode
    double subEraseMsPerKiB = 25.0;   // sub-processor erase, per KiB of its program range
    double subProgramMsPerKiB = 50.0; // sub-processor programming, per KiB
};

struct ProcessorSetup {
    std::uint16_t rm = 0;      // RM number its firmware reports; 0 = the carried RM number
                               // (CPU-1: the lowest RM with a carried CPU-1 image)
    std::uint16_t version = 0; // firmware version x 100 (215 = 2.15)
    bool silent = false;       // CPU-2/HMI: does not answer (registers 0, window never posts)
    bool inBootMode = false;   // CPU-2/HMI: already in boot mode (reports the boot RM number)
    bool keepsVersion = false; // CPU-2/HMI: after programming still reports its old RM/version
};

struct Scenario {
    std::uint8_t slaveAddress = 23;
    ProcessorSetup cpu1{0, 215, false, false, false};
    ProcessorSetup cpu2{0, 100, false, false, false};
    ProcessorSetup hmi{0, 105, false, false, false};
    // The product has an HMI; unset = the D column of PRODUCTS.csv for CPU-1's RM (true when
    // the product is not listed).
    std::optional<bool> hasHmi;
    // CPU-1 starts in its bootloader with boot mode on and its program range erased.
    bool startInBootloader = false;
    std::uint16_t modelRm = 0;             // model number the bootloader reports; 0 = CPU-1's RM
    std::uint16_t bootloaderRm = 258;      // bootloader information: RM number
    std::uint16_t bootloaderVersion = 105; // bootloader information: version x 100
    std::uint16_t bootRmNumber = 0;        // RM a sub-processor in boot mode reports;
                                           // 0 = BOOT_RM_NUMBER of the build data
    QString buildData;                     // build-data folder; empty = defaultBuildDataFolder()
    TimingModel timing;
    int untimedBusyReads = 3; // timing off: status reads that show "busy" before "finished"
};

enum class FaultKind {
    Noise,          // 1..8 noise bytes before the reply (never the slave address or DLE)
    DropReply,      // request processed, reply not sent
    CorruptByte,    // one byte of the reply changed
    DelayReply,     // reply sent `param` ms late (default 4000, past the serial time-outs)
    ExceptionReply, // Modbus only: exception `param` (default 4) instead of processing
    StuckBusy,      // fn104-command: the operation stays busy at one address
    CyclingBusy,    // fn104-command: the operation stays busy, its address changing on every
                    // status read and wrapping round the range (never finishes)
    NoNews,         // fn104-command: the status stays 0, 0
    CorruptStatus,  // fn104-command: the operation ends with "corrupt data" (bit 14)
    PowerLoss,      // the request is lost with the power; silent `param` ms (default 3000),
                    // then every processor restarts with what was programmed so far
};
[[nodiscard]] QString faultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::DropReply;
    Exchange on = Exchange::Any; // which exchanges it applies to
    int after = 0;               // matching exchanges served normally first
    int count = 1;               // how many times it fires (then never again)
    double probability = 1.0;    // chance per matching exchange, drawn from the plan's seed
    int param = 0;               // kind-specific, 0 = default (see FaultKind)
};

// "KIND[:EXCHANGE][,after=N][,count=N][,p=X][,param=N]", e.g. "drop:bl-program,after=10".
// Kinds: noise drop corrupt delay exception stuck-busy cycling-busy no-news corrupt-status
// power-loss.
[[nodiscard]] std::optional<Fault> parseFault(const QString& text, QString* error = nullptr);

// One exchange as the unit saw it, in arrival order: its kind and what it asked for
// ("CPU-2 erase", "restart", "reg 0"), so that a fault can be aimed at a step of an upgrade.
struct ExchangeRecord {
    Exchange kind = Exchange::Other;
    QString detail;
};

// Where a power dip meets the unit. K is PowerDip::after.
enum class DipPoint {
    SubData,    // the data block to processor n that follows K of them (K are kept)
    SubErase,   // a status read of processor n while its erase runs, after K such reads
    SubProgram, // likewise while its programming runs
    Cpu1Erase,  // CPU-1's bootloader erase step that follows K of them
    Cpu1Program // CPU-1's bootloader program block that follows K of them
};

// The unit's supply dips once, at a chosen point of an upgrade. The request that meets the
// dip is lost and the unit is silent for restartMs; then every processor starts from what its
// flash holds: CPU-1 its firmware, or its bootloader when its flash is incomplete or its
// boot-mode byte is set; CPU-2 and the HMI leave boot mode and run the firmware in their flash
// (the old one, or the carried one once it was programmed), or stay in boot mode, reporting
// the boot RM number, when their flash is incomplete. An erase or programming in progress
// stops where it was, the windows' status words read 0 and CPU-1's copy of the image received
// so far is gone.
struct PowerDip {
    DipPoint point = DipPoint::SubData;
    int processor = 2; // sub-processor points: 2 CPU-2, 3 HMI
    int after = 0;
    int restartMs = 2000;
};

// "cpu2-data=K", "hmi-data=K", "cpu2-erase[=K]", "cpu2-program[=K]", "hmi-erase[=K]",
// "hmi-program[=K]" (K defaults to 1: the dip lands after one busy status read),
// "cpu1-erase=K", "cpu1-program=K"; then optionally ",restart=MS".
[[nodiscard]] std::optional<PowerDip> parsePowerDip(const QString& text, QString* error = nullptr);
// The text parsePowerDip reads back.
[[nodiscard]] QString powerDipText(const PowerDip& dip);

struct FaultPlan {
    std::uint32_t seed = 1;
    std::vector<Fault> faults;
    std::vector<PowerDip> powerDips; // each fires once, at its point
};

struct ProcessorReport {
    bool present = false; // HMI: false on a product without HMI
    bool running = false; // firmware running (CPU-1: not in its bootloader; CPU-2/HMI:
                          // not in boot mode and not silent)
    std::uint16_t rm = 0; // what identification reads (0 while not answering)
    std::uint16_t version = 0;
    bool programmed = false; // a complete image was programmed during this run
    bool holdsCarriedImage = false;
    int eraseSteps = 0;       // CPU-1: bootloader erase commands; sub: completed erases
    int blocksProgrammed = 0; // CPU-1: 128-byte blocks; sub: data blocks received
};

struct Summary {
    std::array<ProcessorReport, 4> processors{}; // 1..3
    bool upgradeModeSeen = false;
    bool restartSeen = false;
    std::array<int, kExchangeKinds> exchanges{}; // indexed by Exchange
    std::vector<QString> faultsInjected;         // one line per injected fault, in order
    std::vector<QString> notes;                  // refused or ignored requests worth knowing
    [[nodiscard]] QString toText() const;
};

// What a build-data folder carries, as the unit sees it.
struct CarriedFirmware {
    QString folder;
    std::array<std::uint16_t, 4> rm{};        // RM_NUM_1..3
    std::array<std::uint16_t, 4> version{};   // FW_VER_1..3
    std::array<std::uint32_t, 4> progStart{}; // PROG_MEM_START_1..3
    std::array<std::uint32_t, 4> progEnd{};   // last program address, from PROC_NUM_n
    std::uint16_t bootRmNumber = 0;
    std::map<std::uint16_t, QByteArray> cpu1Images; // HFILE_<RM>, 65,536 bytes each
    std::array<QByteArray, 4> subImages;            // [2] HFILE_2, [3] HFILE_3
    std::map<std::uint16_t, bool> productHasHmi;    // PRODUCTS.csv: RM -> D
    QStringList problems;                           // missing or malformed files
};

// The folder configured at build time (CMake cache path CORVANE_BUILD_DATA).
[[nodiscard]] QString defaultBuildDataFolder();
[[nodiscard]] CarriedFirmware readCarriedFirmware(const QString& folder);

class SimulatedUnit {
public:
    explicit SimulatedUnit(Scenario scenario = {}, FaultPlan faults = {});
    ~SimulatedUnit(); // stops
    SimulatedUnit(const SimulatedUnit&) = delete;
    SimulatedUnit& operator=(const SimulatedUnit&) = delete;

    // Opens a pseudo-terminal pair and serves its master side; returns the device path that
    // the updater opens (e.g. /dev/pts/7). Throws std::runtime_error when no pty is available.
    QString openPty();
    // Serves Modbus TCP on 127.0.0.1; 0 picks a free port. Returns the port. Throws
    // std::runtime_error when the port cannot be bound.
    std::uint16_t listenTcp(std::uint16_t port = 0);
    // Stops serving and joins the thread; the model stays readable. Idempotent.
    void stop();

    [[nodiscard]] const Scenario& scenario() const; // with defaults resolved
    [[nodiscard]] const CarriedFirmware& carried() const;

    // Snapshot of processor n's flash (1..3), 65,536 bytes, erased bytes 0xFF.
    [[nodiscard]] QByteArray flash(int processor) const;
    [[nodiscard]] bool cpu1InBootloader() const;
    [[nodiscard]] bool inBootMode(int processor) const; // 2 or 3
    [[nodiscard]] std::uint16_t reportedRm(int processor) const;
    [[nodiscard]] std::uint16_t reportedVersion(int processor) const;
    // Requests of that kind received and addressed to the unit (Exchange::Any: all of them).
    [[nodiscard]] int exchanges(Exchange kind) const;
    [[nodiscard]] int faultsInjected() const;
    // From now on the unit serves without faults (those not fired yet, power dips included, are
    // dropped): a clean
    // run on a unit that an earlier, faulty run left as it was.
    void clearFaults();
    // Every exchange so far, oldest first (the first kMaxTrace of them).
    [[nodiscard]] std::vector<ExchangeRecord> exchangeTrace() const;
    static constexpr std::size_t kMaxTrace = 200000;
    [[nodiscard]] Summary summary() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace corvane::sim

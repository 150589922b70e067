#pragma once
// What the upgrade engine reports, as values: the scan's ports and findings, the review of each
// processor, every stage of the upgrade starting, moving and ending with an outcome and a
// cause, and at the end one RunOutcome. The window, the command line, the transcript and the
// machine-readable output are all views of these; none of them reads a caption to decide.
// Processor index: 1 = CPU-1, 2 = CPU-2, 3 = HMI.

#include "VersionReview.h"

#include "platform/SerialDevice.h"
#include "serial/LinkHelpers.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <variant>

// How a run ended; the values are the command line's exit codes.
enum class RunExit : int {
    Success = 0,       // every processor holds the carried firmware (programmed or already)
    UpgradeFailed = 1, // a stage failed, or a processor was left without the carried firmware
    NoUnitFound = 3,   // the scan ended without a unit
    Refused = 4,       // the review refused the unit, or a processor cannot be upgraded
    Interrupted = 5,   // the engine was shut down (the window closed) before the run ended
    Stalled = 6,       // nothing happened for the stall limit
    UpgradeDue = 10,   // identification only: something would be programmed
    Stopped = 128,     // SIGINT/SIGTERM: the exit code is 128 + the signal
};

// Why something failed, or why the run ended as it did.
enum class Cause {
    None,
    NoPort,                    // no serial port to try
    PortsUnopenable,           // no candidate port could be opened
    NoReply,                   // the unit or a processor did not answer
    UnknownDevice,             // something answered that is not a known product
    WrongManufacturer,         // a product of another manufacturer family
    NoImage,                   // this build carries no CPU-1 image for the unit
    ProductMismatch,           // CPU-1 runs another product's firmware
    FirmwareTooOld,            // CPU-1's firmware is below the upgradeable version
    ProcessorSilent,           // a processor the product has does not answer
    NotUpgradeable,            // a sub-processor's firmware is below the upgradeable version
    CannotBeProgrammed,        // no usable program range or image for a processor
    IncompatibleModel,         // CPU-1's bootloader reports another model
    CommandFailed,             // a command or transfer was not acknowledged
    StatusUnreadable,          // a sub-processor's status words could not be read
    DataCorrupt,               // the sub-processor found the received image corrupt
    Stuck,                     // no progress from a processor within the limits
    NotRespondingAfterRestart, // CPU-1 did not answer after its restart
    UnitRestarted,             // the unit restarted under the run (power dip or reset)
    VerifyMismatch,            // after the restart a processor reports other firmware
    AdapterDisconnected,       // the USB adapter went away
    Stopped,                   // SIGINT/SIGTERM
    Interrupted,               // the engine was shut down before the run ended
    Stalled,                   // nothing happened for the stall limit
    InternalError,             // an unexpected error ended a step
};

// One line of the scan log: the port followed by one of these endings.
enum class ScanLog {
    Opened,             // " open."
    UnableToOpen,       // " unable to open." (the reason is in the event's detail)
    FoundUnit,          // " found CV."
    FoundBootloader,    // " found CV. (B)"
    NotFoundModbus,     // " CV not found(1)."
    NotFoundBootloader, // " CV not found(2)."
    UnknownRmBoot,      // " Unknown RM number.(B)"
    WrongManufacturer,  // " Wrong Manufacturer."
    NoImage,            // " no image for this unit."
    Closed,             // " closed."
};

// The error text the scan screen shows when no port qualified (the one set last).
enum class ScanError { TimedOut, UnknownDevice, Incompatible, WrongManufacturer };

// A stage of the upgrade: one line of the progress list.
enum class Stage {
    BootloaderEntry, // CPU-1 into its bootloader
    BootloaderInfo,
    ModelCheck,
    Erase,        // CPU-1: bootloader erase; CPU-2/HMI: erase command and its status polls
    Transfer,     // the image to CPU-1's bootloader, or to CPU-1 for a sub-processor
    BootModeExit, // CPU-1 leaves its bootloader
    Cpu1Restart,
    Cpu1Reread,    // the unit read again after CPU-1's restart (no line unless it fails)
    BootModeEntry, // a sub-processor into its boot mode
    Reprogram,     // a sub-processor programs itself from the received image
    SystemRestart,
    Verification, // every processor's version after the restart
};
inline constexpr int kStageCount = static_cast<int>(Stage::Verification) + 1;

enum class StageResult { Done, Failed };

// Lines of the progress list that are not stages.
enum class Note {
    AllProcessors,      // "Updating All Available CPUs....."
    UpToDate,           // the processor holds the carried firmware
    NotResponding,      // flagged, but silent: skipped
    NotUpgradeable,     // not flagged, yet not holding the carried firmware: skipped
    CannotBeProgrammed, // no usable range or image: skipped
    AlreadyInBootMode,  // a sub-processor found in its boot mode: straight to the transfer
    PollLimit,          // no progress within the limits: the run ends
    StepError,          // an unexpected error ended a step (detail: the error)
    VerifyReport,       // after a failed verification: what a processor reports
    AdapterDisconnected,
    UnitRestarted, // the unit restarted under the run: what that means for the technician
};

// What a processor holds at the end, as far as the run knows.
enum class Holding {
    Unknown,    // not read, or the run cannot tell
    Carried,    // the carried firmware
    Previous,   // its firmware from before the run (or other firmware it reported)
    BootLoader, // its boot loader, with the firmware incomplete or not yet started
    Absent,     // the product has no such processor
};

// The review of one processor when the unit was found.
struct ProcessorReview {
    std::uint16_t installedRm = 0;
    std::uint16_t installedVersion = 0;
    std::uint16_t carriedRm = 0;
    std::uint16_t carriedVersion = 0;
    ProcessorState state = ProcessorState::Absent;
    bool inBootLoader = false; // CPU-1 found through its bootloader; a sub-processor in boot mode
    bool toProgram = false;
    QString installedText; // as the review shows it: "RM4001 v2.15", "Unknown", "N/A"
    QString carriedText;
    QString findingLine; // why it does not hold the carried firmware; empty when it does
};

struct ProcessorOutcome {
    std::uint16_t rmBefore = 0;
    std::uint16_t versionBefore = 0;
    std::uint16_t rmCarried = 0;
    std::uint16_t versionCarried = 0;
    std::uint16_t rmAfter = 0; // as last read from the unit
    std::uint16_t versionAfter = 0;
    bool present = true;
    bool programmed = false; // its image was written and the processor accepted it
    bool verified = false;   // read back after the restart with the carried firmware
    Holding holding = Holding::Unknown;
};

struct RunOutcome {
    RunExit exit = RunExit::Interrupted;
    int signal = 0;    // with RunExit::Stopped
    int processor = 0; // the processor that failed; 0 for the unit as a whole
    Cause cause = Cause::Interrupted;
    QString summary;        // one sentence: "upgrade complete.", "the upgrade failed: ..."
    QString stateAfterStop; // with RunExit::Stopped: what the unit holds, how to recover
    bool upgradeStarted = false;
    QString port;
    std::uint16_t productRm = 0;
    std::array<ProcessorOutcome, 4> processors{};

    [[nodiscard]] int exitCode() const {
        return exit == RunExit::Stopped ? 128 + signal : static_cast<int>(exit);
    }
};

// The link a unit was found on.
struct LinkInfo {
    QString port;
    corvane::LowLatency lowLatency = corvane::LowLatency::Unknown;
    std::uint32_t readIntervalUs = 0;
    ChunkEnd chunkEnd = ChunkEnd::QuietInterval; // where a received chunk ends
};

namespace ev {

struct ScanStarted {};
struct PortsListed {
    QStringList ports;
};
// The scan moves on to port `index` of `count` (index == count: the list is exhausted).
struct PortProbed {
    int index = 0;
    int count = 0;
};
struct ScanLogged {
    QString port;
    ScanLog kind = ScanLog::Opened;
    QString detail; // with UnableToOpen: why, in words a user can act on
};
struct ScanFailed {
    ScanError error = ScanError::TimedOut;
    Cause cause = Cause::NoReply;
    QString reason; // for a report: why no unit was found
};
struct UnitFound {
    LinkInfo link;
    std::uint16_t rm = 0;
    bool throughBootloader = false;
};
// The texts of the labels (ScreenTexts) have changed.
struct TextsChanged {};
// Flags, markers or the "Load Firmware" offer have changed.
struct ReviewChanged {};
struct ReviewOpened {
    Cpu1Verdict verdict = Cpu1Verdict::Accepted;
    QString refusal; // the box's text when refused
    bool loadOffered = false;
    std::array<ProcessorReview, 4> processors{};
    LinkInfo link;
};
enum class MessageKind { Error, Warning, NetworkNotResponding };
// A message the window shows as a box and the command line as a line.
// What the unit reports after CPU-1's restart, and after the unit's restart (the verification).
struct UnitReported {
    bool afterRestart = false; // the verification's read
    std::array<ProcessorReview, 4> processors{};
};
struct MessageShown {
    MessageKind kind = MessageKind::Error;
    QString text;
};
struct NetworkConnected {};
struct UpgradeStarted {
    bool allMode = false;
};
struct StageStarted {
    Stage stage = Stage::BootloaderEntry;
    int processor = 1;
    bool withBar = false;
};
struct StageProgress {
    Stage stage = Stage::Transfer;
    int processor = 1;
    double percent = 0; // not clamped: a processor past its range reports more than 100
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
};
struct StageEnded {
    Stage stage = Stage::BootloaderEntry;
    int processor = 1;
    StageResult result = StageResult::Done;
    Cause cause = Cause::None;
    // BootloaderInfo: the bootloader's RM number << 16 | version; BootModeEntry: which
    // exchange failed (1 the command, 2 the status read).
    std::uint32_t detail = 0;
};
struct Noted {
    Note note = Note::UpToDate;
    int processor = 0;
    QString text; // NotUpgradeable, VerifyReport: the finding; StepError: the error
};
struct BlockTimed {
    float elapsed = 0;
    float longest = 0;
    float shortest = 0;
};
// Step 99: the upgrade has ended, one way or another.
struct UpgradeEnded {
    RunOutcome outcome;
};
// The run is over (an unattended run's end, a stop, a stall).
struct RunFinished {
    RunOutcome outcome;
};
struct LinkReleased {};

} // namespace ev

using EngineEvent =
    std::variant<ev::ScanStarted, ev::PortsListed, ev::PortProbed, ev::ScanLogged, ev::ScanFailed,
                 ev::UnitFound, ev::TextsChanged, ev::ReviewChanged, ev::ReviewOpened,
                 ev::UnitReported, ev::MessageShown, ev::NetworkConnected, ev::UpgradeStarted,
                 ev::StageStarted, ev::StageProgress, ev::StageEnded, ev::Noted, ev::BlockTimed,
                 ev::UpgradeEnded, ev::RunFinished, ev::LinkReleased>;

// Names for reports and machine-readable output ("transfer", "data-corrupt", ...).
[[nodiscard]] const char* stageName(Stage stage);
[[nodiscard]] const char* causeName(Cause cause);
[[nodiscard]] const char* noteName(Note note);
[[nodiscard]] const char* scanLogName(ScanLog kind);
[[nodiscard]] const char* holdingName(Holding holding);
[[nodiscard]] const char* stateName(ProcessorState state);
[[nodiscard]] const char* exitName(RunExit exit);
[[nodiscard]] const char* lowLatencyName(corvane::LowLatency answer);
[[nodiscard]] const char* scanErrorName(ScanError error);
[[nodiscard]] const char* verdictName(Cpu1Verdict verdict);
[[nodiscard]] const char* messageKindName(ev::MessageKind kind);

// "SIGINT", "SIGTERM", else "signal N".
[[nodiscard]] QString signalName(int signal);

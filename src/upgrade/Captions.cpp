#include "Captions.h"

#include "firmware/ProcessorName.h"

namespace {

using Op = ProgressOp;
using Kind = ProgressOp::Kind;

Op add(const QString& text, bool withBar = false) {
    return {Kind::Add, text, 0, withBar};
}
Op caption(const QString& text) {
    return {Kind::SetCaption, text, 0, false};
}
Op showBar(bool shown) {
    return {Kind::ShowBar, {}, 0, shown};
}
Op bar(double value) {
    return {Kind::SetBar, {}, value, false};
}

// A sub-processor's erase or programming stage ("Erasing ", "Reprogramming ").
bool subStage(const ev::StageEnded& e) {
    return e.processor != 1 && (e.stage == Stage::Erase || e.stage == Stage::Reprogram);
}

QString bootloaderInfo(std::uint32_t word) {
    const int version = static_cast<int>(word & 0xFFFFu);
    return QString::asprintf("RM%d v%d.%.2d", static_cast<int>(word >> 16), version / 100,
                             version % 100);
}

// The suffix that completes a stage's line, or nullopt when the line stays as it is.
std::optional<QString> endSuffix(const ev::StageEnded& e) {
    const bool done = e.result == StageResult::Done;
    switch (e.stage) {
    case Stage::BootloaderEntry:
    case Stage::BootModeExit:
    case Stage::Cpu1Restart:
        return QStringLiteral("Done");
    case Stage::BootloaderInfo:
        return done ? bootloaderInfo(e.detail) : QStringLiteral("Info Unavailable");
    case Stage::ModelCheck:
        if (done) {
            return QStringLiteral("OK");
        }
        return e.cause == Cause::NoReply ? QStringLiteral("Error (No Reply)")
                                         : QStringLiteral("Error (Incompatible Model)");
    case Stage::BootModeEntry:
        if (done) {
            return QStringLiteral("Done");
        }
        if (e.cause == Cause::Stuck) {
            return std::nullopt;
        }
        return e.detail == 2 ? QStringLiteral("Error Detected (2)")
                             : QStringLiteral("Error Detected (1)");
    case Stage::Erase:
    case Stage::Reprogram:
    case Stage::Transfer:
        if (done) {
            return e.processor == 1 || e.stage == Stage::Transfer
                       ? std::nullopt
                       : std::optional<QString>(QStringLiteral("OK"));
        }
        if (e.cause == Cause::Stuck) {
            return std::nullopt;
        }
        if (e.cause == Cause::DataCorrupt) {
            return QStringLiteral("Data Corrupt");
        }
        if (e.cause == Cause::UnitRestarted) {
            return QStringLiteral("Error (Unit Restarted)");
        }
        return QStringLiteral("Error Detected");
    case Stage::SystemRestart:
        return done ? QStringLiteral("Done") : QStringLiteral("Error Detected");
    case Stage::Verification:
        if (done) {
            return QStringLiteral("OK");
        }
        if (e.cause == Cause::VerifyMismatch) {
            return QStringLiteral("Failed");
        }
        if (e.cause == Cause::NoReply) {
            return QStringLiteral("Error (No Reply)");
        }
        return std::nullopt;
    case Stage::Cpu1Reread:
        return std::nullopt;
    }
    return std::nullopt;
}

std::vector<Op> stageEndOps(const ev::StageEnded& e) {
    std::vector<Op> ops;
    if (e.stage == Stage::Cpu1Reread) {
        if (e.result == StageResult::Failed) {
            ops.push_back(
                add(QStringLiteral("CPU-1 Not Responding After Restart. Upgrade Aborted")));
        }
        return ops;
    }
    const std::optional<QString> suffix = endSuffix(e);
    if (!suffix) {
        return ops;
    }
    const bool failed = e.result == StageResult::Failed;
    if (subStage(e) && !failed) {
        ops.push_back(bar(100));
    }
    // A bar that would stand still at a failure is taken away, except where the data got
    // through (corrupt) and on CPU-1's own stages.
    if (failed && e.processor != 1 && e.cause != Cause::DataCorrupt &&
        (e.stage == Stage::Transfer || subStage(e))) {
        ops.push_back(showBar(false));
    }
    // CPU-1's transfer line starts "Sending New Firmware" and fails as "Sending New Program
    // Data": the unit's own wording.
    QString head = stageCaption(e.stage, e.processor);
    if (failed && e.stage == Stage::Transfer && e.processor == 1) {
        head = QStringLiteral("Sending New Program Data......");
    }
    ops.push_back(caption(head + *suffix));
    return ops;
}

QString noteText(const ev::Noted& e) {
    switch (e.note) {
    case Note::AllProcessors:
        return QStringLiteral("Updating All Available CPUs.....");
    case Note::UpToDate:
        return processorName(e.processor) + QStringLiteral(" Firmware Up To Date.");
    case Note::NotResponding:
        return processorName(e.processor) + QStringLiteral(" Not Responding. Upgrade Aborted");
    case Note::NotUpgradeable:
        return e.text + QStringLiteral(". Upgrade Aborted");
    case Note::CannotBeProgrammed:
        return processorName(e.processor) +
               QStringLiteral(" Cannot Be Programmed. Upgrade Aborted");
    case Note::AlreadyInBootMode:
        return processorName(e.processor) + QStringLiteral(" Already In Boot Mode.");
    case Note::PollLimit:
        return QStringLiteral("Error detected. Terminating upgrade.");
    case Note::StepError:
        return QStringLiteral("Error Detected (") + e.text + QStringLiteral("). Upgrade Aborted");
    case Note::VerifyReport:
        return e.text;
    case Note::AdapterDisconnected:
        return kAdapterDisconnectedText;
    case Note::UnitRestarted:
        return QStringLiteral("The unit restarted during the upgrade (a power dip or a reset). "
                              "Run the upgrade again to finish it.");
    }
    return {};
}

} // namespace

const QString kScanningText = QStringLiteral("Scanning for a Corvane device.\rPlease Wait.....");
const QString kScanCompleteText = QStringLiteral("Scan Complete.");
const QString kNetConnectingText =
    QStringLiteral("Attempting to connect to Corvane device.\rPlease Wait.....");
const QString kAdapterDisconnectedText =
    QStringLiteral("USB adapter disconnected. Reconnect the unit and run the upgrade again.");

QString netNotRespondingText(const QString& address) {
    return address + QStringLiteral(" is not responding. Please Select Another IP Address.");
}

QString netRefusedText(int rm) {
    return rm == 0 ? QStringLiteral("No Reply From Unit. Terminating Connection...")
                   : QStringLiteral("This unit is not a Corvane.\rTerminating Connection...");
}

QString oneLine(const QString& text) {
    return text.split(QLatin1Char('\r'), Qt::SkipEmptyParts).join(QLatin1Char(' '));
}

QString stageCaption(Stage stage, int processor) {
    const QString n = processorName(processor);
    switch (stage) {
    case Stage::BootloaderEntry:
        return QStringLiteral("Enabling BootLoader.....");
    case Stage::BootloaderInfo:
        return QStringLiteral("Retrieving Bootloader Info......");
    case Stage::ModelCheck:
        return QStringLiteral("Retrieving Model Number......");
    case Stage::Erase:
        return processor == 1 ? QStringLiteral("Erasing Program Memory......")
                              : QStringLiteral("Erasing ") + n + QStringLiteral("......");
    case Stage::Transfer:
        return processor == 1
                   ? QStringLiteral("Sending New Firmware......")
                   : QStringLiteral("Sending New Firmware for ") + n + QStringLiteral("......");
    case Stage::BootModeExit:
        return QStringLiteral("Disabling Boot Mode......");
    case Stage::Cpu1Restart:
        return QStringLiteral("Restarting CPU-1......");
    case Stage::Cpu1Reread:
        return {};
    case Stage::BootModeEntry:
        return QStringLiteral("Enabling ") + n + QStringLiteral(" Boot Mode......");
    case Stage::Reprogram:
        return QStringLiteral("Reprogramming ") + n + QStringLiteral("......");
    case Stage::SystemRestart:
        return QStringLiteral("Restarting System....");
    case Stage::Verification:
        return QStringLiteral("Verifying Firmware......");
    }
    return {};
}

std::vector<ProgressOp> progressOps(const EngineEvent& event) {
    if (const auto* e = std::get_if<ev::StageStarted>(&event)) {
        if (e->stage == Stage::Cpu1Reread) {
            return {};
        }
        return {add(stageCaption(e->stage, e->processor), e->withBar)};
    }
    if (const auto* e = std::get_if<ev::StageProgress>(&event)) {
        return {bar(e->percent)};
    }
    if (const auto* e = std::get_if<ev::StageEnded>(&event)) {
        return stageEndOps(*e);
    }
    if (const auto* e = std::get_if<ev::Noted>(&event)) {
        std::vector<Op> ops;
        if (e->note == Note::StepError) {
            ops.push_back(showBar(false)); // the step that stopped leaves no bar standing
        }
        ops.push_back(add(noteText(*e)));
        return ops;
    }
    if (std::holds_alternative<ev::UpgradeStarted>(event)) {
        return {{Kind::Clear, {}, 0, false}};
    }
    return {};
}

std::optional<QString> failureLine(const EngineEvent& event) {
    if (const auto* e = std::get_if<ev::StageEnded>(&event)) {
        if (e->result != StageResult::Failed) {
            return std::nullopt;
        }
        // Verification says "Failed"; the lines after it name each processor.
        if (e->stage == Stage::Verification && e->cause == Cause::VerifyMismatch) {
            return std::nullopt;
        }
        if (e->stage == Stage::BootloaderInfo) {
            return std::nullopt; // the sequence goes on without the information
        }
        const std::vector<Op> ops = stageEndOps(*e);
        for (const Op& op : ops) {
            if (op.kind == Kind::SetCaption || op.kind == Kind::Add) {
                return op.text;
            }
        }
        return std::nullopt;
    }
    if (const auto* e = std::get_if<ev::Noted>(&event)) {
        switch (e->note) {
        case Note::NotResponding:
        case Note::NotUpgradeable:
        case Note::CannotBeProgrammed:
        case Note::PollLimit:
        case Note::StepError:
        case Note::VerifyReport:
        case Note::AdapterDisconnected:
            return noteText(*e);
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

QString scanLogText(const QString& port, ScanLog kind) {
    switch (kind) {
    case ScanLog::Opened:
        return port + QStringLiteral(" open.");
    case ScanLog::UnableToOpen:
        return port + QStringLiteral(" unable to open.");
    case ScanLog::FoundUnit:
        return port + QStringLiteral(" found CV.");
    case ScanLog::FoundBootloader:
        return port + QStringLiteral(" found CV. (B)");
    case ScanLog::NotFoundModbus:
        return port + QStringLiteral(" CV not found(1).");
    case ScanLog::NotFoundBootloader:
        return port + QStringLiteral(" CV not found(2).");
    case ScanLog::UnknownRmBoot:
        return port + QStringLiteral(" Unknown RM number.(B)");
    case ScanLog::WrongManufacturer:
        return port + QStringLiteral(" Wrong Manufacturer.");
    case ScanLog::NoImage:
        return port + QStringLiteral(" no image for this unit.");
    case ScanLog::Closed:
        return port + QStringLiteral(" closed.");
    }
    return port;
}

QString scanErrorText(ScanError error) {
    switch (error) {
    case ScanError::TimedOut:
        return QStringLiteral("Unable to find a Corvane device.\r(Communications timed "
                              "out).\rReconnect and try again.");
    case ScanError::UnknownDevice:
        return QStringLiteral(
            "Unable to find a Corvane device.\r(Unknown device found).\rReconnect and try again.");
    case ScanError::Incompatible:
        return QStringLiteral(
            "Incompatible Corvane device.\r(Wrong Manufacturer).\rUse Correct Upgrade Software.");
    case ScanError::WrongManufacturer:
        return QStringLiteral(
            "Unable to find a Corvane device.\r(Wrong Manufacturer).\rReconnect and try again.");
    }
    return {};
}

QString refusalText(Cpu1Verdict verdict) {
    switch (verdict) {
    case Cpu1Verdict::ProductMismatch:
        return QStringLiteral(
            "Product Mismatch!\r\rThis upgrade does not apply to the connected unit.");
    case Cpu1Verdict::NotUpgradeable:
        return QStringLiteral(
            "Unable To Upgrade!\r\rOnly units with v2.00 firmware and above can be upgraded.");
    case Cpu1Verdict::Accepted:
        break;
    }
    return {};
}

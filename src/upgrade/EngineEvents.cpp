#include "EngineEvents.h"

#include <csignal>

const char* stageName(Stage stage) {
    switch (stage) {
    case Stage::BootloaderEntry:
        return "bootloader-entry";
    case Stage::BootloaderInfo:
        return "bootloader-info";
    case Stage::ModelCheck:
        return "model-check";
    case Stage::Erase:
        return "erase";
    case Stage::Transfer:
        return "transfer";
    case Stage::BootModeExit:
        return "boot-mode-exit";
    case Stage::Cpu1Restart:
        return "cpu1-restart";
    case Stage::Cpu1Reread:
        return "cpu1-reread";
    case Stage::BootModeEntry:
        return "boot-mode-entry";
    case Stage::Reprogram:
        return "reprogram";
    case Stage::SystemRestart:
        return "system-restart";
    case Stage::Verification:
        return "verification";
    }
    return "unknown";
}

const char* causeName(Cause cause) {
    switch (cause) {
    case Cause::None:
        return "none";
    case Cause::NoPort:
        return "no-port";
    case Cause::PortsUnopenable:
        return "ports-unopenable";
    case Cause::NoReply:
        return "no-reply";
    case Cause::UnknownDevice:
        return "unknown-device";
    case Cause::WrongManufacturer:
        return "wrong-manufacturer";
    case Cause::NoImage:
        return "no-image";
    case Cause::ProductMismatch:
        return "product-mismatch";
    case Cause::FirmwareTooOld:
        return "firmware-too-old";
    case Cause::ProcessorSilent:
        return "processor-silent";
    case Cause::NotUpgradeable:
        return "not-upgradeable";
    case Cause::CannotBeProgrammed:
        return "cannot-be-programmed";
    case Cause::IncompatibleModel:
        return "incompatible-model";
    case Cause::CommandFailed:
        return "command-failed";
    case Cause::StatusUnreadable:
        return "status-unreadable";
    case Cause::DataCorrupt:
        return "data-corrupt";
    case Cause::Stuck:
        return "stuck";
    case Cause::NotRespondingAfterRestart:
        return "not-responding-after-restart";
    case Cause::UnitRestarted:
        return "unit-restarted";
    case Cause::VerifyMismatch:
        return "verify-mismatch";
    case Cause::AdapterDisconnected:
        return "adapter-disconnected";
    case Cause::Stopped:
        return "stopped";
    case Cause::Interrupted:
        return "interrupted";
    case Cause::Stalled:
        return "stalled";
    case Cause::InternalError:
        return "internal-error";
    }
    return "unknown";
}

const char* noteName(Note note) {
    switch (note) {
    case Note::AllProcessors:
        return "all-processors";
    case Note::UpToDate:
        return "up-to-date";
    case Note::NotResponding:
        return "not-responding";
    case Note::NotUpgradeable:
        return "not-upgradeable";
    case Note::CannotBeProgrammed:
        return "cannot-be-programmed";
    case Note::AlreadyInBootMode:
        return "already-in-boot-mode";
    case Note::PollLimit:
        return "poll-limit";
    case Note::StepError:
        return "step-error";
    case Note::VerifyReport:
        return "verify-report";
    case Note::AdapterDisconnected:
        return "adapter-disconnected";
    case Note::UnitRestarted:
        return "unit-restarted";
    }
    return "unknown";
}

const char* scanLogName(ScanLog kind) {
    switch (kind) {
    case ScanLog::Opened:
        return "opened";
    case ScanLog::UnableToOpen:
        return "unable-to-open";
    case ScanLog::FoundUnit:
        return "found-unit";
    case ScanLog::FoundBootloader:
        return "found-bootloader";
    case ScanLog::NotFoundModbus:
        return "not-found-modbus";
    case ScanLog::NotFoundBootloader:
        return "not-found-bootloader";
    case ScanLog::UnknownRmBoot:
        return "unknown-rm-bootloader";
    case ScanLog::WrongManufacturer:
        return "wrong-manufacturer";
    case ScanLog::NoImage:
        return "no-image";
    case ScanLog::Closed:
        return "closed";
    }
    return "unknown";
}

const char* holdingName(Holding holding) {
    switch (holding) {
    case Holding::Unknown:
        return "unknown";
    case Holding::Carried:
        return "carried";
    case Holding::Previous:
        return "previous";
    case Holding::BootLoader:
        return "bootloader";
    case Holding::Absent:
        return "absent";
    }
    return "unknown";
}

const char* stateName(ProcessorState state) {
    switch (state) {
    case ProcessorState::Current:
        return "current";
    case ProcessorState::Absent:
        return "absent";
    case ProcessorState::Silent:
        return "silent";
    case ProcessorState::NotUpgradeable:
        return "not-upgradeable";
    case ProcessorState::Different:
        return "different";
    }
    return "unknown";
}

const char* exitName(RunExit exit) {
    switch (exit) {
    case RunExit::Success:
        return "success";
    case RunExit::UpgradeFailed:
        return "upgrade-failed";
    case RunExit::NoUnitFound:
        return "no-unit-found";
    case RunExit::Refused:
        return "refused";
    case RunExit::Interrupted:
        return "interrupted";
    case RunExit::Stalled:
        return "stalled";
    case RunExit::UpgradeDue:
        return "upgrade-due";
    case RunExit::Stopped:
        return "stopped";
    }
    return "unknown";
}

const char* lowLatencyName(corvane::LowLatency answer) {
    using corvane::LowLatency;
    switch (answer) {
    case LowLatency::Granted:
        return "granted";
    case LowLatency::NotGranted:
        return "not-granted";
    case LowLatency::NotOffered:
        return "not-offered";
    case LowLatency::PseudoTerminal:
        return "pseudo-terminal";
    case LowLatency::Unknown:
        break;
    }
    return "unknown";
}

const char* scanErrorName(ScanError error) {
    switch (error) {
    case ScanError::TimedOut:
        return "timed-out";
    case ScanError::UnknownDevice:
        return "unknown-device";
    case ScanError::Incompatible:
        return "incompatible";
    case ScanError::WrongManufacturer:
        return "wrong-manufacturer";
    }
    return "unknown";
}

const char* verdictName(Cpu1Verdict verdict) {
    switch (verdict) {
    case Cpu1Verdict::Accepted:
        return "accepted";
    case Cpu1Verdict::ProductMismatch:
        return "product-mismatch";
    case Cpu1Verdict::NotUpgradeable:
        return "not-upgradeable";
    }
    return "unknown";
}

const char* messageKindName(ev::MessageKind kind) {
    switch (kind) {
    case ev::MessageKind::Error:
        return "error";
    case ev::MessageKind::Warning:
        return "warning";
    case ev::MessageKind::NetworkNotResponding:
        return "network-not-responding";
    }
    return "unknown";
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

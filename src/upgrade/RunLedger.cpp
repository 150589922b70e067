#include "RunLedger.h"

#include "firmware/ProcessorName.h"

std::size_t RunLedger::index(Stage stage, int processor) {
    const int p = processor < 0 || processor > 3 ? 0 : processor;
    return static_cast<std::size_t>(static_cast<int>(stage) * 4 + p);
}

std::size_t RunLedger::noteIndex(Note note, int processor) {
    const int p = processor < 0 || processor > 3 ? 0 : processor;
    return static_cast<std::size_t>(static_cast<int>(note) * 4 + p);
}

bool RunLedger::started(Stage stage, int processor) const {
    return m_started.test(index(stage, processor));
}

bool RunLedger::done(Stage stage, int processor) const {
    return m_done.test(index(stage, processor));
}

bool RunLedger::failed(Stage stage, int processor) const {
    return m_failed.test(index(stage, processor));
}

bool RunLedger::noted(Note note, int processor) const {
    return m_notes.test(noteIndex(note, processor));
}

void RunLedger::record(const EngineEvent& event) {
    if (std::holds_alternative<ev::UpgradeStarted>(event)) {
        *this = RunLedger();
        m_upgradeStarted = true;
    } else if (const auto* s = std::get_if<ev::StageStarted>(&event)) {
        m_started.set(index(s->stage, s->processor));
    } else if (const auto* e = std::get_if<ev::StageEnded>(&event)) {
        m_started.set(index(e->stage, e->processor));
        if (e->result == StageResult::Done) {
            m_done.set(index(e->stage, e->processor));
        } else {
            m_failed.set(index(e->stage, e->processor));
        }
    } else if (const auto* n = std::get_if<ev::Noted>(&event)) {
        m_notes.set(noteIndex(n->note, n->processor));
    }
}

QString unitStateAfterStop(const RunLedger& ledger) {
    const QString again = QStringLiteral(
        " Run the upgrade again: a later run finds the unit (through CPU-1's bootloader if "
        "need be) and programs what is left.");
    if (!ledger.upgradeStarted()) {
        return QStringLiteral("Nothing was written to the unit; it is as it was.");
    }
    if (ledger.done(Stage::SystemRestart, 0)) {
        return QStringLiteral("The upgrade had ended and the unit was restarted.");
    }
    if (ledger.started(Stage::SystemRestart, 0)) {
        return QStringLiteral("Every processor was dealt with, but the unit was not restarted; "
                              "it stays in upgrade mode until its power is cycled.") +
               again;
    }

    // A sub-processor's boot mode was asked for, but its reprogramming did not finish.
    for (const int n : {3, 2}) {
        const bool started = ledger.started(Stage::BootModeEntry, n) ||
                             ledger.noted(Note::AlreadyInBootMode, n) ||
                             ledger.started(Stage::Transfer, n);
        if (started && !ledger.done(Stage::Reprogram, n)) {
            return QStringLiteral("CPU-1 runs its firmware; %1 is left in boot mode without "
                                  "complete firmware.")
                       .arg(processorName(n)) +
                   again;
        }
    }
    if (ledger.done(Stage::BootloaderEntry, 1) && !ledger.done(Stage::Cpu1Restart, 1)) {
        if (ledger.done(Stage::BootModeExit, 1)) {
            return QStringLiteral("CPU-1 holds its new firmware but was not restarted; it "
                                  "starts it at the next power-up.") +
                   again;
        }
        if (ledger.started(Stage::Erase, 1)) {
            return QStringLiteral("CPU-1 is left in its bootloader without complete "
                                  "firmware.") +
                   again;
        }
        return QStringLiteral("CPU-1 is left in its bootloader; its firmware was not yet "
                              "touched.") +
               again;
    }
    return QStringLiteral("The unit is in upgrade mode; no processor is left half-programmed.") +
           again;
}

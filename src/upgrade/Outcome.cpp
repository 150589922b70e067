#include "Outcome.h"

#include "Captions.h"

namespace {

Holding holdingOf(const ProcessorReview& row) {
    switch (row.state) {
    case ProcessorState::Current:
        return Holding::Carried;
    case ProcessorState::Absent:
        return Holding::Absent;
    case ProcessorState::Silent:
        return Holding::Unknown;
    default:
        return row.inBootLoader ? Holding::BootLoader : Holding::Previous;
    }
}

Cause causeOfNote(Note note) {
    switch (note) {
    case Note::NotResponding:
        return Cause::ProcessorSilent;
    case Note::NotUpgradeable:
        return Cause::NotUpgradeable;
    case Note::CannotBeProgrammed:
        return Cause::CannotBeProgrammed;
    case Note::PollLimit:
        return Cause::Stuck;
    case Note::VerifyReport:
        return Cause::VerifyMismatch;
    case Note::AdapterDisconnected:
        return Cause::AdapterDisconnected;
    default:
        return Cause::InternalError;
    }
}

} // namespace

void OutcomeTracker::takeReadings(const std::array<ProcessorReview, 4>& rows, bool review,
                                  bool verified) {
    for (std::size_t n = 1; n <= 3; ++n) {
        const ProcessorReview& row = rows[n];
        ProcessorOutcome& p = m_processors[n];
        if (review) {
            p = ProcessorOutcome{};
            p.rmBefore = row.installedRm;
            p.versionBefore = row.installedVersion;
            p.rmCarried = row.carriedRm;
            p.versionCarried = row.carriedVersion;
            p.present = row.state != ProcessorState::Absent;
        }
        p.rmAfter = row.installedRm;
        p.versionAfter = row.installedVersion;
        p.holding = holdingOf(row);
        if (verified) {
            p.verified = row.state == ProcessorState::Current;
        }
    }
}

void OutcomeTracker::record(const EngineEvent& event) {
    m_ledger.record(event);
    if (const auto* found = std::get_if<ev::UnitFound>(&event)) {
        m_port = found->link.port;
        m_productRm = found->rm;
    } else if (const auto* r = std::get_if<ev::ReviewOpened>(&event)) {
        takeReadings(r->processors, true, false);
    } else if (const auto* u = std::get_if<ev::UnitReported>(&event)) {
        takeReadings(u->processors, false, u->afterRestart);
    } else if (std::holds_alternative<ev::UpgradeStarted>(event)) {
        m_failedProcessor = 0;
        m_failureCause = Cause::None;
        m_failureLine.clear();
        m_adapterGone = false;
        for (ProcessorOutcome& p : m_processors) {
            p.programmed = p.verified = false;
        }
    } else if (const auto* s = std::get_if<ev::StageStarted>(&event)) {
        if (s->stage == Stage::Erase && s->processor == 1) {
            m_processors[1].holding = Holding::BootLoader; // its firmware is going
        }
    } else if (const auto* n = std::get_if<ev::Noted>(&event)) {
        if (n->note == Note::AlreadyInBootMode) {
            m_processors[static_cast<std::size_t>(n->processor)].holding = Holding::BootLoader;
        }
        m_adapterGone = m_adapterGone || n->note == Note::AdapterDisconnected;
    } else if (const auto* e = std::get_if<ev::StageEnded>(&event);
               e && e->result == StageResult::Done && e->processor >= 1 && e->processor <= 3) {
        ProcessorOutcome& p = m_processors[static_cast<std::size_t>(e->processor)];
        if (e->stage == Stage::BootloaderEntry || e->stage == Stage::BootModeEntry) {
            p.holding = Holding::BootLoader;
        } else if (e->stage == Stage::Transfer && e->processor == 1) {
            p.programmed = true; // CPU-1 acknowledged every block of its image
        } else if (e->stage == Stage::Reprogram) {
            p.programmed = true; // the sub-processor finished programming from the image
            p.holding = Holding::Carried;
        }
    }
    noteFailure(event);
}

void OutcomeTracker::noteFailure(const EngineEvent& event) {
    // The first failure names the processor and the cause; the first line that says so is the
    // one a report quotes.
    Cause cause = Cause::None;
    int processor = 0;
    if (const auto* e = std::get_if<ev::StageEnded>(&event);
        e && e->result == StageResult::Failed && e->stage != Stage::BootloaderInfo) {
        cause = e->cause;
        processor = e->processor;
    } else if (const auto* n = std::get_if<ev::Noted>(&event); n && failureLine(event)) {
        cause = causeOfNote(n->note);
        processor = n->processor;
    }
    if (cause != Cause::None && m_failureCause == Cause::None) {
        m_failureCause = cause;
        m_failedProcessor = processor;
    } else if (m_failureCause == Cause::VerifyMismatch && m_failedProcessor == 0 &&
               cause == Cause::VerifyMismatch) {
        m_failedProcessor = processor; // the verification failed; its first report names whom
    }
    if (m_failureLine.isEmpty()) {
        if (const std::optional<QString> line = failureLine(event)) {
            m_failureLine = *line;
        }
    }
}

RunOutcome OutcomeTracker::outcomeWith(RunExit exit, Cause cause, int processor,
                                       const QString& summary) const {
    RunOutcome o;
    o.exit = exit;
    o.cause = cause;
    o.processor = processor;
    o.summary = summary;
    o.upgradeStarted = m_ledger.upgradeStarted();
    o.port = m_port;
    o.productRm = m_productRm;
    o.processors = m_processors;
    return o;
}

RunOutcome OutcomeTracker::upgradeOutcome(bool verificationRequired,
                                          const QString& lastLine) const {
    const bool restarted = m_ledger.done(Stage::SystemRestart, 0);
    const bool verified = !verificationRequired || m_ledger.done(Stage::Verification, 0);
    if (restarted && verified && m_failureCause == Cause::None) {
        return outcomeWith(RunExit::Success, Cause::None, 0, QStringLiteral("upgrade complete."));
    }
    // An exchange that failed because the adapter went away names that, not the exchange.
    Cause cause = m_failureCause == Cause::None ? Cause::Interrupted : m_failureCause;
    if (m_adapterGone) {
        cause = Cause::AdapterDisconnected;
    }
    QString line = m_failureLine;
    if (cause == Cause::UnitRestarted) {
        line = QStringLiteral("the unit restarted under the run (a power dip or a reset); a new "
                              "run will finish the upgrade.");
    } else if (line.isEmpty()) {
        line = lastLine.isEmpty() ? QStringLiteral("no progress") : lastLine;
    }
    return outcomeWith(RunExit::UpgradeFailed, cause, m_failedProcessor,
                       QStringLiteral("the upgrade failed: ") + line);
}

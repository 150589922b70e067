#pragma once
// How an upgrade is going, kept from the engine's events: what each processor held before,
// what it holds now as far as the run knows, whether it was programmed and verified, and the
// first failure with the processor, the cause and the line that reported it. The run's
// outcome is read from it; it never looks at a caption.

#include "EngineEvents.h"
#include "RunLedger.h"

#include <array>

class OutcomeTracker {
public:
    void record(const EngineEvent& event);

    [[nodiscard]] const RunLedger& ledger() const { return m_ledger; }
    [[nodiscard]] const std::array<ProcessorOutcome, 4>& processors() const { return m_processors; }
    [[nodiscard]] bool upgradeStarted() const { return m_ledger.upgradeStarted(); }
    [[nodiscard]] const QString& port() const { return m_port; }
    [[nodiscard]] std::uint16_t productRm() const { return m_productRm; }

    // The outcome of an upgrade that has reached its end: success only when the unit was
    // restarted, the verification (when required) found every processor with the carried
    // firmware, and nothing failed on the way. lastLine names a failure no event named.
    [[nodiscard]] RunOutcome upgradeOutcome(bool verificationRequired,
                                            const QString& lastLine) const;
    // The outcome's common part (port, product, processors) with the given end.
    [[nodiscard]] RunOutcome outcomeWith(RunExit exit, Cause cause, int processor,
                                         const QString& summary) const;

private:
    void takeReadings(const std::array<ProcessorReview, 4>& rows, bool review, bool verified);
    void noteFailure(const EngineEvent& event);

    RunLedger m_ledger;
    std::array<ProcessorOutcome, 4> m_processors{};
    QString m_port;
    std::uint16_t m_productRm = 0;
    int m_failedProcessor = 0;
    Cause m_failureCause = Cause::None;
    QString m_failureLine;
    bool m_adapterGone = false;
};

#pragma once
// What an upgrade has done so far, stage by stage and processor by processor, kept from the
// engine's events: what was started, what completed, what each processor holds as far as the
// run knows. The state printed after a stop and the run's outcome are read from it.

#include "EngineEvents.h"

#include <array>
#include <bitset>

class RunLedger {
public:
    // Takes in one event of the run.
    void record(const EngineEvent& event);

    [[nodiscard]] bool upgradeStarted() const { return m_upgradeStarted; }
    [[nodiscard]] bool started(Stage stage, int processor) const;
    [[nodiscard]] bool done(Stage stage, int processor) const;
    [[nodiscard]] bool failed(Stage stage, int processor) const;
    [[nodiscard]] bool noted(Note note, int processor) const;

private:
    [[nodiscard]] static std::size_t index(Stage stage, int processor);
    [[nodiscard]] static std::size_t noteIndex(Note note, int processor);

    static constexpr std::size_t kSlots = static_cast<std::size_t>(kStageCount) * 4;
    static constexpr std::size_t kNoteSlots = 16 * 4;
    bool m_upgradeStarted = false;
    std::bitset<kSlots> m_started;
    std::bitset<kSlots> m_done;
    std::bitset<kSlots> m_failed;
    std::bitset<kNoteSlots> m_notes;
};

// What a run stopped part-way has left on the unit, from what it had done, and how a later run
// recovers it.
[[nodiscard]] QString unitStateAfterStop(const RunLedger& ledger);

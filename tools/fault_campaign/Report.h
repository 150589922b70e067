#pragma once
// The campaign's run list and results as lines of text (how the worker processes and the
// parent talk), and the table that sums them up.

#include "Plan.h"
#include "Runner.h"

#include <map>
#include <optional>

namespace corvane::campaign {

[[nodiscard]] QString encodeRun(const PlannedRun& run);
[[nodiscard]] std::optional<PlannedRun> decodeRun(const QString& line);
[[nodiscard]] QString encodeResult(const RunResult& result);
[[nodiscard]] std::optional<RunResult> decodeResult(const QString& line);

struct Tally {
    int runs = 0;
    int ended0 = 0;
    int endedNonZero = 0;
    int powerLost = 0;  // runs a power loss cut or interrupted
    int recovered = 0;  // of those that ended non-zero: the clean second run restored the unit
    int notFired = 0;   // a planned fault never fired (the run went another way)
    int violations = 0; // runs with at least one violation
    int missing = 0;    // no result (the worker died or hung on it)
    long ms = 0;
};

// Rows keyed "setup  group  phase" (phase left out unless detail), in order of first
// appearance, and a total.
[[nodiscard]] std::vector<std::pair<QString, Tally>>
tally(const std::vector<PlannedRun>& runs, const std::map<int, RunResult>& results, bool detail);

[[nodiscard]] QString tableText(const std::vector<std::pair<QString, Tally>>& rows);

// One paragraph per run with a violation: what was seen and the commands that repeat it.
// `self` is the campaign's own command (e.g. "fault_campaign --slice ci").
[[nodiscard]] QString violationsText(const std::vector<PlannedRun>& runs,
                                     const std::map<int, RunResult>& results,
                                     const std::vector<UnitSetup>& setups, const QString& self);

} // namespace corvane::campaign

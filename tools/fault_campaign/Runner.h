#pragma once
// One campaign run: an unattended upgrade of a fresh simulated unit by the real window
// (offscreen), the faults of its plan injected, and the invariants checked on what it left.

#include "Plan.h"

#include <QDir>
#include <QTemporaryDir>

#include <array>
#include <memory>

class ResourceSource;

namespace corvane::campaign {

// The build data with small program ranges, written to a folder that both the window (as its
// resources) and the simulated unit (as its build-data folder) read: CPU-1 0x1800..0x1FFF
// (4 erase rows, 16 blocks of 128 bytes), CPU-2 and HMI 0x1C40..0x1FFF (40 chunks of 24 bytes).
class ReducedBuildData {
public:
    // Copies `from` (the demo folder by default) and replaces the range words.
    explicit ReducedBuildData(const QString& from = {});
    ~ReducedBuildData();
    [[nodiscard]] bool ok() const { return m_ok; }
    [[nodiscard]] QString folder() const { return m_dir.path(); }
    [[nodiscard]] const ResourceSource& resources() const { return *m_source; }

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
    std::unique_ptr<ResourceSource> m_source;
};

// What a finished run left, as the invariants need it.
struct Observation {
    int exitCode = -1;                // -1: not ended within the bound
    QStringList lastLines;            // the run's last output lines
    std::array<bool, 4> flagged{};    // [1..3] the processor was out of date before the run
    std::array<bool, 4> flashOk{};    // program range equals the carried image byte for byte
    std::array<QString, 4> reports{}; // "RM4001 v2.45" as the unit reports it
    std::array<QString, 4> carried{};
};

// The invariants of one run; recovery is the clean second run after a power loss (null when
// there was none). Empty when every invariant holds.
[[nodiscard]] QStringList checkRun(const Observation& run, bool powerLost,
                                   const Observation* recovery);

struct RunnerOptions {
    int readIntervalMs = 1;
    bool fastLink = false;    // the window's fast link (its own read interval) instead
    int boundMs = 90000;      // a run that has not ended by then is stopped and reported
    int stallLimitMs = 30000; // the unattended run's own "no progress" limit
};

struct RunResult {
    int id = 0;
    int exitCode = -1;
    int recoveryExit = -2; // -2: no recovery run
    int faultsFired = 0;
    int faultsPlanned = 0;
    bool powerLost = false;
    int ms = 0;
    QStringList violations;
    QStringList lastLines;
};

// Runs one job. `reduced` supplies the build data of reduced setups.
[[nodiscard]] RunResult runOne(const PlannedRun& run, const UnitSetup& setup,
                               const ReducedBuildData& reduced, const RunnerOptions& options);

// The trace of a clean upgrade of the setup, or empty with why in error.
[[nodiscard]] std::vector<sim::ExchangeRecord> cleanTrace(const UnitSetup& setup,
                                                          const ReducedBuildData& reduced,
                                                          const RunnerOptions& options,
                                                          QString* error);

} // namespace corvane::campaign

#pragma once
// The run list of the fault campaign: which faults each run injects, worked out from the
// exchanges of a clean upgrade of the same unit (so that "the middle block of CPU-2's transfer"
// becomes "the 20th fn104-data exchange").

#include "SimulatedUnit.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace corvane::campaign {

// A unit the campaign upgrades. Reduced units carry small program ranges (see BuildData.h).
struct UnitSetup {
    QString name;
    bool reduced = true;
    sim::Scenario scenario;
    QStringList simulateArgs; // the same unit as options of `corvane-updater --simulate`
};

// "three": every processor outdated, reduced ranges; "boot": CPU-1 found in its bootloader,
// reduced; "subs": only CPU-2 and the HMI outdated, reduced; "full": every processor
// outdated, the real ranges.
[[nodiscard]] std::vector<UnitSetup> unitSetups();
[[nodiscard]] const UnitSetup* findSetup(const std::vector<UnitSetup>& setups, const QString& name);

struct PlannedRun {
    int id = 0;
    QString setup;    // UnitSetup::name
    QString group;    // drop corrupt noise exception delay power-loss late discovery random clean
    QString phase;    // exchange kind or upgrade step the fault is aimed at
    QString position; // first, middle, last (or empty)
    std::vector<sim::Fault> faults;
    std::uint32_t seed = 1;
};

// The five kinds every exchange kind is crossed with.
[[nodiscard]] const std::vector<sim::FaultKind>& basicFaultKinds();

// A step of an upgrade: the exchanges of a clean run that belong to it, in order.
struct Phase {
    QString name;
    std::vector<std::size_t> exchanges; // indexes into the trace
};
// Upgrade steps found in a clean run's trace: CPU-1 erase and programming, disable, reset,
// each sub-processor's boot entry, transfer, erase and programming, the final restart.
[[nodiscard]] std::vector<Phase> phasesOf(const std::vector<sim::ExchangeRecord>& trace);

// A fault that fires on exactly the exchange trace[index] of a run that has gone as the
// clean one did up to there: counted among the exchanges of its kind.
[[nodiscard]] sim::Fault aimAt(const std::vector<sim::ExchangeRecord>& trace, std::size_t index,
                               sim::FaultKind kind, int param = 0);
// A fault on the very next exchange after trace[index], whatever its kind (after a time-out
// that is the retry).
[[nodiscard]] sim::Fault aimAtNext(std::size_t index, sim::FaultKind kind, int param = 0);

// Milliseconds by which a reply of this kind is late: past the updater's longest time-out for it.
[[nodiscard]] int lateByMs(sim::Exchange kind);

struct PlanOptions {
    bool crossKinds = true; // every exchange kind x basic fault x first/middle/last
    bool powerLoss = true;  // at every step
    bool late = true;       // a late reply alone, then followed by a lost or late one
    bool discovery = true;  // faults on the identification reads of the scan
    int randomSeeds = 100;  // 1-5 chained faults each
    int firstSeed = 1;
    int powerLossSilentMs = 300;
};

// Appends the runs for one unit, given the trace of its clean upgrade; ids continue from
// the list's size.
void planRuns(std::vector<PlannedRun>& runs, const UnitSetup& setup,
              const std::vector<sim::ExchangeRecord>& trace, const PlanOptions& options);

// "drop:bl-program,after=3" as the simulator's --fault option reads it.
[[nodiscard]] QString faultText(const sim::Fault& f);

// The command that repeats a run with the real program, where the real program can (the
// reduced units exist only inside the campaign); empty otherwise.
[[nodiscard]] QString programCommand(const PlannedRun& run, const UnitSetup& setup);

} // namespace corvane::campaign

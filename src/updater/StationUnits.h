#pragma once
// The simulated units of `--station --simulate N`: they live in the station's process, each
// on its own pseudo-terminal and thread (BuiltInSimulator), reached by the children through a
// link in a temporary folder (sim-1, sim-2, ...). A child never simulates: it is exactly the
// program that programs a real unit. With --loop the station also plays the operator: after a
// run it takes the unit away (the link goes) and loads a new one like it.

#include "BuiltInSimulator.h"

#include <QJsonObject>
#include <QObject>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <vector>

class StationUnits : public QObject {
    Q_OBJECT
public:
    // slotArguments: scenario options of single units (1-based), read on top of base.
    StationUnits(int count, const corvane::sim::Scenario& base,
                 const corvane::sim::FaultPlan& baseFaults,
                 const std::map<int, QStringList>& slotArguments, QObject* parent = nullptr);
    ~StationUnits() override;

    // Starts every unit; throws std::runtime_error when one cannot start.
    void start();
    [[nodiscard]] int count() const { return static_cast<int>(m_scenarios.size()); }
    // The port a child is given for unit `slot` (1-based).
    [[nodiscard]] QString linkOf(int slot) const;
    [[nodiscard]] QString description(int slot) const;
    // What unit `slot` holds now: per processor its RM, version, whether it runs and whether
    // its flash holds the carried image byte for byte; the faults injected.
    [[nodiscard]] QJsonObject holding(int slot) const;
    // The operator takes unit `slot` away after awayMs and loads a new one after loadMs more.
    void replace(int slot, int awayMs = 500, int loadMs = 1500);

private:
    void load(int slot);

    QTemporaryDir m_dir;
    std::vector<corvane::sim::Scenario> m_scenarios;
    std::vector<corvane::sim::FaultPlan> m_faults;
    std::vector<std::unique_ptr<BuiltInSimulator>> m_units;
};

#pragma once
// A simulated Corvane unit inside the updater's own process, on a pseudo-terminal that the
// scan tries first: the whole flow can be seen on a machine without a unit or an adapter.

#include "SimulatedUnit.h"

#include <QString>

#include <memory>

class BuiltInSimulator {
public:
    BuiltInSimulator(corvane::sim::Scenario scenario, corvane::sim::FaultPlan faults);
    ~BuiltInSimulator();
    BuiltInSimulator(const BuiltInSimulator&) = delete;
    BuiltInSimulator& operator=(const BuiltInSimulator&) = delete;

    // Opens the pseudo-terminal the unit answers on and returns its device path. Throws
    // std::runtime_error when no pseudo-terminal can be had.
    QString start();

    [[nodiscard]] QString portPath() const { return m_port; }
    // One line: where the unit is and what it runs.
    [[nodiscard]] QString description() const;
    // The unit's state and exchange counts, several lines.
    [[nodiscard]] QString summaryText() const;
    // Build-data files the unit could not read; empty when all is well.
    [[nodiscard]] QStringList problems() const;
    [[nodiscard]] corvane::sim::SimulatedUnit& unit() { return *m_unit; }

    // The build data the unit reads when the scenario names none: the copy compiled into the
    // program.
    [[nodiscard]] static QString buildDataFolder();

private:
    std::unique_ptr<corvane::sim::SimulatedUnit> m_unit;
    QString m_port;
};

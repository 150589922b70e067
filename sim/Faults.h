#pragma once
// The seeded fault injector: decides, exchange by exchange, which planned faults fire.

#include "SimulatedUnit.h"

#include <random>

namespace corvane::sim {

class FaultInjector {
public:
    explicit FaultInjector(FaultPlan plan);

    struct Fired {
        bool any = false;
        std::optional<Fault> noise, drop, corrupt, delay, exception, status, powerLoss;
    };
    // One exchange of `kind` (counted from 1 by `serial`); `modbus` says whether an exception
    // reply exists for it, `statusCommand` whether it starts a sub-processor operation and
    // `serialLine` whether it came over the serial line (noise exists only there).
    Fired decide(Exchange kind, long serial, bool modbus, bool statusCommand, bool serialLine);

    // Adds a line to the log for something that happened to exchange `serial` of `kind`.
    void record(long serial, Exchange kind, const QString& what);

    // Planned faults that have not fired never will; the log stays.
    void clear() { m_plan.clear(); }

    std::mt19937& rng() { return m_rng; }
    [[nodiscard]] const std::vector<QString>& log() const { return m_log; }

private:
    struct Planned {
        Fault fault;
        int seen = 0;
        int fired = 0;
    };
    std::vector<Planned> m_plan;
    std::mt19937 m_rng;
    std::vector<QString> m_log;
};

} // namespace corvane::sim

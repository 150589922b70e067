#pragma once
// Simulated units as the suites describe them: the carried firmware of the compiled-in build
// data, a unit at given versions, a unit already up to date, and fault plans from their texts.

#include "SimulatedUnit.h"

#include <QStringList>

#include <cstdint>

namespace corvane::test {

// The carried firmware of the build data compiled into the program.
inline const sim::CarriedFirmware& carried() {
    static const sim::CarriedFirmware c = sim::readCarriedFirmware(sim::defaultBuildDataFolder());
    return c;
}

// A version as the simulator's --cpu1/--cpu2/--hmi options take it: ":2.45".
inline QString versionArg(std::uint16_t v) {
    return QStringLiteral(":%1.%2").arg(v / 100).arg(v % 100, 2, 10, QLatin1Char('0'));
}

// A unit of the first carried product with these installed versions (x 100).
inline sim::Scenario withVersions(std::uint16_t cpu1, std::uint16_t cpu2, std::uint16_t hmi) {
    sim::Scenario s;
    s.cpu1.version = cpu1;
    s.cpu2.version = cpu2;
    s.hmi.version = hmi;
    return s;
}

// Every processor at the carried version.
inline sim::Scenario upToDate() {
    return withVersions(carried().version[1], carried().version[2], carried().version[3]);
}

// Faults written as the simulator's --fault option takes them; a text that does not parse is
// a mistake in the test.
inline sim::FaultPlan faults(const QStringList& texts) {
    sim::FaultPlan plan;
    for (const QString& t : texts) {
        const auto fault = sim::parseFault(t);
        if (!fault) {
            qFatal("bad fault text: %s", qPrintable(t));
        }
        plan.faults.push_back(*fault);
    }
    return plan;
}

} // namespace corvane::test

#include "BuiltInSimulator.h"

#include "BuildData.h"
#include "firmware/VersionText.h"

namespace sim = corvane::sim;

namespace {

QString versionText(std::uint16_t v) {
    return QStringLiteral("v") + versionNumberText(v, QLocale::c());
}

} // namespace

QString BuiltInSimulator::buildDataFolder() {
    // The copy compiled into the program, so that an installed program needs no source tree.
    QString embedded = QLatin1String(corvane::kBuildDataPrefix);
    embedded.chop(1); // the folder, without its trailing slash
    return embedded;
}

BuiltInSimulator::BuiltInSimulator(sim::Scenario scenario, sim::FaultPlan faults) {
    if (scenario.buildData.isEmpty()) {
        scenario.buildData = buildDataFolder();
    }
    m_unit = std::make_unique<sim::SimulatedUnit>(std::move(scenario), std::move(faults));
}

BuiltInSimulator::~BuiltInSimulator() = default;

QString BuiltInSimulator::start() {
    m_port = m_unit->openPty();
    return m_port;
}

QString BuiltInSimulator::description() const {
    const sim::Scenario& s = m_unit->scenario();
    auto processor = [](const sim::ProcessorSetup& p) {
        if (p.silent) {
            return QStringLiteral("silent");
        }
        return QStringLiteral("RM%1 %2%3")
            .arg(p.rm)
            .arg(versionText(p.version))
            .arg(p.inBootMode ? QStringLiteral(" (in boot mode)") : QString());
    };
    const QString hmi = s.hasHmi.value_or(true) ? processor(s.hmi) : QStringLiteral("none");
    return QStringLiteral("Simulated unit on %1: CPU-1 RM%2 %3%4, CPU-2 %5, HMI %6%7")
        .arg(m_port.isEmpty() ? QStringLiteral("(not started)") : m_port)
        .arg(s.cpu1.rm)
        .arg(versionText(s.cpu1.version))
        .arg(s.startInBootloader ? QStringLiteral(" (in its bootloader)") : QString())
        .arg(processor(s.cpu2), hmi)
        .arg(s.timing.enabled ? QStringLiteral("; timing model on (x%1)").arg(s.timing.scale)
                              : QString());
}

QString BuiltInSimulator::summaryText() const {
    return m_unit->summary().toText();
}

QStringList BuiltInSimulator::problems() const {
    return m_unit->carried().problems;
}

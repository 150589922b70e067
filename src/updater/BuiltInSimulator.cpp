#include "BuiltInSimulator.h"

#include "firmware/ProductTable.h"

#include "BuildData.h"

#include <QDir>

namespace sim = corvane::sim;

namespace {

QString versionText(std::uint16_t v) {
    return QStringLiteral("v%1.%2").arg(v / 100).arg(v % 100, 2, 10, QLatin1Char('0'));
}

} // namespace

QString BuiltInSimulator::buildDataFolder() {
    const QString folder = sim::defaultBuildDataFolder();
    if (!folder.isEmpty() && QDir(folder).exists())
        return folder;
    QString embedded = QLatin1String(corvane::kBuildDataPrefix);
    embedded.chop(1); // the folder, without its trailing slash
    return embedded;
}

BuiltInSimulator::BuiltInSimulator(sim::Scenario scenario, sim::FaultPlan faults) {
    if (scenario.buildData.isEmpty())
        scenario.buildData = buildDataFolder();
    if (!scenario.hasHmi && scenario.buildData.startsWith(QLatin1Char(':'))) {
        // The compiled-in copy keeps the product table under an upper-case name the unit does
        // not read; the HMI column comes from the program's own table instead.
        const sim::CarriedFirmware carried = sim::readCarriedFirmware(scenario.buildData);
        std::uint16_t rm = scenario.cpu1.rm;
        if (rm == 0 && !carried.cpu1Images.empty())
            rm = carried.cpu1Images.begin()->first;
        try {
            const ProductTable& table = Product_Table();
            const int row = table.Find_CV_Product(rm);
            if (row >= 0)
                scenario.hasHmi = table.row(row).D;
        } catch (const std::exception&) {
            // The window reports an unreadable product table and closes.
        }
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
        if (p.silent)
            return QStringLiteral("silent");
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

#include "StationUnits.h"

#include "StationOptions.h"

#include "firmware/ProcessorName.h"
#include "firmware/VersionText.h"

#include <QFile>
#include <QJsonArray>
#include <QLocale>
#include <QTimer>

#include <stdexcept>

namespace sim = corvane::sim;

StationUnits::StationUnits(int count, const sim::Scenario& base, const sim::FaultPlan& baseFaults,
                           const std::map<int, QStringList>& slotArguments, QObject* parent)
    : QObject(parent) {
    for (int slot = 1; slot <= count; ++slot) {
        sim::Scenario scenario = base;
        sim::FaultPlan faults = baseFaults;
        if (const auto it = slotArguments.find(slot); it != slotArguments.end()) {
            QString why;
            // The options were checked when the command line was read.
            if (!applyScenarioArguments(it->second, scenario, faults, &why)) {
                qWarning("slot %d: %s", slot, qPrintable(why));
            }
        }
        m_scenarios.push_back(std::move(scenario));
        m_faults.push_back(std::move(faults));
    }
    m_units.resize(m_scenarios.size());
}

StationUnits::~StationUnits() = default;

void StationUnits::start() {
    if (!m_dir.isValid()) {
        throw std::runtime_error("no temporary folder for the units' links");
    }
    for (int slot = 1; slot <= count(); ++slot) {
        load(slot);
    }
}

QString StationUnits::linkOf(int slot) const {
    return m_dir.filePath(QStringLiteral("sim-%1").arg(slot));
}

void StationUnits::load(int slot) {
    const auto i = static_cast<std::size_t>(slot - 1);
    auto unit = std::make_unique<BuiltInSimulator>(m_scenarios[i], m_faults[i]);
    const QString pty = unit->start();
    QFile::remove(linkOf(slot));
    if (!QFile::link(pty, linkOf(slot))) {
        throw std::runtime_error("cannot link the simulated unit's pseudo-terminal");
    }
    m_units[i] = std::move(unit);
}

QString StationUnits::description(int slot) const {
    const auto& unit = m_units[static_cast<std::size_t>(slot - 1)];
    return unit ? unit->description() : QStringLiteral("(taken away)");
}

QJsonObject StationUnits::holding(int slot) const {
    const auto& unit = m_units[static_cast<std::size_t>(slot - 1)];
    if (!unit) {
        return {};
    }
    const sim::Summary s = unit->unit().summary();
    QJsonArray processors;
    for (int n = 1; n <= 3; ++n) {
        const sim::ProcessorReport& p = s.processors[static_cast<std::size_t>(n)];
        processors.append(
            QJsonObject{{QStringLiteral("name"), processorName(n)},
                        {QStringLiteral("present"), p.present},
                        {QStringLiteral("running"), p.running},
                        {QStringLiteral("rm"), p.rm},
                        {QStringLiteral("version"), versionNumberText(p.version, QLocale::c())},
                        {QStringLiteral("programmed"), p.programmed},
                        {QStringLiteral("carriedImage"), p.holdsCarriedImage}});
    }
    return {{QStringLiteral("processors"), processors},
            {QStringLiteral("faultsInjected"), static_cast<qint64>(s.faultsInjected.size())}};
}

void StationUnits::replace(int slot, int awayMs, int loadMs) {
    QTimer::singleShot(awayMs, this, [this, slot, loadMs] {
        QFile::remove(linkOf(slot));
        m_units[static_cast<std::size_t>(slot - 1)].reset();
        QTimer::singleShot(loadMs, this, [this, slot] {
            try {
                load(slot);
            } catch (const std::exception& e) {
                qWarning("simulated unit %d: %s", slot, e.what());
            }
        });
    });
}

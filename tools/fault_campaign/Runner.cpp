#include "Runner.h"

#include "ResourceSource.h"
#include "UpgradeRig.h"
#include "firmware/ProcessorName.h"
#include "firmware/VersionText.h"

#include <QElapsedTimer>
#include <QFile>

namespace corvane::campaign {

namespace {

class FolderResources final : public ResourceSource {
public:
    explicit FolderResources(QString folder)
        : m_dir(std::move(folder)) {}
    [[nodiscard]] std::optional<QByteArray> read(const QString& upperName,
                                                 qint64 maxBytes) const override {
        QFile f(m_dir.filePath(upperName));
        if (!f.open(QIODevice::ReadOnly)) {
            return std::nullopt;
        }
        return maxBytes < 0 ? f.readAll() : f.read(maxBytes);
    }

private:
    QDir m_dir;
};

bool writeWord(const QDir& dir, const QString& name, std::uint16_t value) {
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    return f.write(bytes, 2) == 2;
}

QString idText(std::uint16_t rm, std::uint16_t version) {
    return rmVersionText(rm, version, QLocale::c());
}

constexpr int kProcessorType = 4321; // program memory ends at 0x1FFF

} // namespace

ReducedBuildData::ReducedBuildData(const QString& from) {
    const QDir source(from.isEmpty() ? sim::defaultBuildDataFolder() : from);
    const QDir target(m_dir.path());
    bool ok = m_dir.isValid() && source.exists();
    for (const QString& name : source.entryList(QDir::Files)) {
        ok = ok && QFile::copy(source.filePath(name), target.filePath(name));
    }
    for (int n = 1; n <= 3; ++n) {
        ok = ok && writeWord(target, QStringLiteral("PROC_NUM_%1").arg(n), kProcessorType);
        ok = ok && writeWord(target, QStringLiteral("PROG_MEM_START_%1").arg(n),
                             n == 1 ? 0x1800 : 0x2000 - 40 * 24);
    }
    m_ok = ok;
    m_source = std::make_unique<FolderResources>(m_dir.path());
}

ReducedBuildData::~ReducedBuildData() = default;

QStringList checkRun(const Observation& run, bool powerLost, const Observation* recovery) {
    QStringList v;
    auto checkUnit = [&](const Observation& o, const QString& which) {
        for (int n = 1; n <= 3; ++n) {
            const auto i = static_cast<std::size_t>(n);
            if (!o.flagged[i]) {
                continue;
            }
            if (!o.flashOk[i]) {
                v << QStringLiteral("%1exit 0 but %2's flash differs from the carried image")
                         .arg(which, processorName(n));
            }
            if (o.reports[i] != o.carried[i]) {
                v << QStringLiteral("%1exit 0 but %2 reports %3, carried %4")
                         .arg(which, processorName(n), o.reports[i], o.carried[i]);
            }
        }
    };
    auto lastLine = [](const Observation& o) {
        return o.lastLines.isEmpty() ? QString() : o.lastLines.constLast();
    };
    auto checkEnd = [&](const Observation& o, const QString& which) {
        if (o.exitCode == -1) {
            v << which + QStringLiteral("did not end within its bound");
        } else if (o.exitCode == 6) {
            v << which + QStringLiteral("stalled (exit 6): ") + lastLine(o);
        } else if (o.exitCode == 0) {
            checkUnit(o, which);
        } else if (!lastLine(o).startsWith(QLatin1String("Result: ")) ||
                   lastLine(o) == QLatin1String("Result: upgrade complete.")) {
            v << QStringLiteral("%1exit %2 without a reason in its last lines")
                     .arg(which)
                     .arg(o.exitCode);
        }
    };
    checkEnd(run, QString());
    if (powerLost && run.exitCode != 0 && run.exitCode != -1) {
        if (!recovery) {
            v << QStringLiteral("no recovery run after the power loss");
        } else if (recovery->exitCode != 0) {
            v << QStringLiteral("recovery after the power loss ended %1: %2")
                     .arg(recovery->exitCode)
                     .arg(lastLine(*recovery));
        } else {
            checkUnit(*recovery, QStringLiteral("recovery: "));
        }
    }
    return v;
}

namespace {

struct Driven {
    int exitCode = -1;
    QStringList lines;
};

Driven drive(e2e::UpgradeRig& rig, const RunnerOptions& options) {
    const e2e::UnattendedRun run =
        rig.runUnattended(EngineMode::Auto, options.stallLimitMs, options.boundMs);
    return {run.exitCode, run.output};
}

Observation observe(e2e::UpgradeRig& rig, const Driven& d, const std::array<bool, 4>& flagged) {
    Observation o;
    o.exitCode = d.exitCode;
    o.lastLines = d.lines.mid(std::max<qsizetype>(0, d.lines.size() - 4));
    o.flagged = flagged;
    sim::SimulatedUnit& unit = rig.unit();
    for (int n = 1; n <= 3; ++n) {
        const auto i = static_cast<std::size_t>(n);
        if (!flagged[i]) {
            continue;
        }
        o.flashOk[i] = rig.flashRange(n) == rig.carriedRange(n);
        o.reports[i] = idText(unit.reportedRm(n), unit.reportedVersion(n));
        const std::uint16_t rm = n == 1 ? unit.scenario().cpu1.rm : unit.carried().rm[i];
        o.carried[i] = idText(rm, unit.carried().version[i]);
    }
    return o;
}

RunResult execute(const PlannedRun& job, const UnitSetup& setup, const ReducedBuildData& reduced,
                  const RunnerOptions& options, std::vector<sim::ExchangeRecord>* trace) {
    QElapsedTimer timer;
    timer.start();
    RunResult r;
    r.id = job.id;
    r.faultsPlanned = static_cast<int>(job.faults.size());

    sim::Scenario scenario = setup.scenario;
    e2e::RigOptions rigOptions;
    rigOptions.answerModals = false;
    rigOptions.readIntervalMs = options.readIntervalMs;
    rigOptions.fastLink = options.fastLink;
    if (setup.reduced) {
        scenario.buildData = reduced.folder();
        rigOptions.resources = &reduced.resources();
    }
    sim::FaultPlan plan;
    plan.seed = job.seed;
    plan.faults = job.faults;
    e2e::UpgradeRig rig(scenario, plan, rigOptions);

    std::array<bool, 4> flagged{};
    const sim::Summary before = rig.unit().summary();
    for (int n = 1; n <= 3; ++n) {
        const auto i = static_cast<std::size_t>(n);
        const sim::ProcessorReport& p = before.processors[i];
        const std::uint16_t rm =
            n == 1 ? rig.unit().scenario().cpu1.rm : rig.unit().carried().rm[i];
        flagged[i] =
            p.present && (!p.running || p.rm != rm || p.version != rig.unit().carried().version[i]);
    }

    const Driven first = drive(rig, options);
    const Observation run = observe(rig, first, flagged);
    const sim::Summary after = rig.unit().summary();
    r.faultsFired = static_cast<int>(after.faultsInjected.size());
    for (const QString& f : after.faultsInjected) {
        r.powerLost = r.powerLost || f.endsWith(QLatin1String("power-loss"));
    }
    if (trace) {
        *trace = rig.unit().exchangeTrace();
    }
    r.exitCode = run.exitCode;
    r.lastLines = run.lastLines;

    std::optional<Observation> recovery;
    if (r.powerLost && run.exitCode != 0 && run.exitCode != -1) {
        // The same unit, its flash as the power loss left it, and no fault any more.
        rig.unit().clearFaults();
        const Driven second = drive(rig, options);
        recovery = observe(rig, second, flagged);
        r.recoveryExit = second.exitCode;
    }
    r.violations = checkRun(run, r.powerLost, recovery ? &*recovery : nullptr);
    r.ms = static_cast<int>(timer.elapsed());
    return r;
}

} // namespace

RunResult runOne(const PlannedRun& run, const UnitSetup& setup, const ReducedBuildData& reduced,
                 const RunnerOptions& options) {
    return execute(run, setup, reduced, options, nullptr);
}

std::vector<sim::ExchangeRecord> cleanTrace(const UnitSetup& setup, const ReducedBuildData& reduced,
                                            const RunnerOptions& options, QString* error) {
    PlannedRun clean;
    clean.setup = setup.name;
    clean.group = QStringLiteral("clean");
    std::vector<sim::ExchangeRecord> trace;
    const RunResult r = execute(clean, setup, reduced, options, &trace);
    if (r.exitCode != 0 || !r.violations.isEmpty()) {
        if (error) {
            *error = QStringLiteral("clean upgrade of \"%1\" ended %2: %3")
                         .arg(setup.name)
                         .arg(r.exitCode)
                         .arg((r.violations + r.lastLines).join(QStringLiteral(" / ")));
        }
        return {};
    }
    return trace;
}

} // namespace corvane::campaign

#include "Plan.h"

#include <algorithm>
#include <random>
#include <set>

namespace corvane::campaign {

namespace sim = corvane::sim;
using sim::Exchange;
using sim::FaultKind;

std::vector<UnitSetup> unitSetups() {
    std::vector<UnitSetup> setups;
    UnitSetup three;
    three.name = QStringLiteral("three");
    three.scenario.cpu1.version = 215;
    three.scenario.cpu2.version = 100;
    three.scenario.hmi.version = 105;
    three.simulateArgs = {"--cpu1", ":2.15", "--cpu2", ":1.00", "--hmi", ":1.05"};
    setups.push_back(three);

    UnitSetup boot = three;
    boot.name = QStringLiteral("boot");
    boot.scenario.startInBootloader = true;
    boot.simulateArgs << QStringLiteral("--bootloader");
    setups.push_back(boot);

    UnitSetup subs = three;
    subs.name = QStringLiteral("subs");
    subs.scenario.cpu1.version = 245; // CPU-1 current: its 16-register windows from the start
    subs.simulateArgs = {"--cpu1", ":2.45", "--cpu2", ":1.00", "--hmi", ":1.05"};
    setups.push_back(subs);

    UnitSetup full = three;
    full.name = QStringLiteral("full");
    full.reduced = false;
    setups.push_back(full);
    return setups;
}

const UnitSetup* findSetup(const std::vector<UnitSetup>& setups, const QString& name) {
    for (const UnitSetup& s : setups) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

const std::vector<FaultKind>& basicFaultKinds() {
    static const std::vector<FaultKind> kinds{FaultKind::DropReply, FaultKind::CorruptByte,
                                              FaultKind::Noise, FaultKind::ExceptionReply,
                                              FaultKind::DelayReply};
    return kinds;
}

namespace {

bool isModbus(Exchange k) {
    return k == Exchange::ModbusRead || k == Exchange::StatusRead || k == Exchange::ModbusWrite ||
           k == Exchange::Fn103 || k == Exchange::Fn104Command || k == Exchange::Fn104Data;
}

bool applies(FaultKind f, Exchange k) {
    return f != FaultKind::ExceptionReply || isModbus(k);
}

// first, middle and last of n items (fewer when n < 3).
std::vector<std::pair<QString, std::size_t>> spread(std::size_t n) {
    std::vector<std::pair<QString, std::size_t>> out;
    if (n == 0) {
        return out;
    }
    out.emplace_back(QStringLiteral("first"), 0);
    if (n >= 3) {
        out.emplace_back(QStringLiteral("middle"), n / 2);
    }
    if (n >= 2) {
        out.emplace_back(QStringLiteral("last"), n - 1);
    }
    return out;
}

} // namespace

std::vector<Phase> phasesOf(const std::vector<sim::ExchangeRecord>& trace) {
    std::vector<Phase> phases;
    auto collect = [&](const QString& name, auto match) {
        Phase p{name, {}};
        for (std::size_t i = 0; i < trace.size(); ++i) {
            if (match(trace[i])) {
                p.exchanges.push_back(i);
            }
        }
        if (!p.exchanges.empty()) {
            phases.push_back(std::move(p));
        }
    };
    auto is = [](Exchange k, const char* detail = nullptr) {
        return [k, detail](const sim::ExchangeRecord& r) {
            return r.kind == k && (!detail || r.detail == QLatin1String(detail));
        };
    };
    collect(QStringLiteral("upgrade mode"), is(Exchange::Fn103, "upgrade-mode"));
    collect(QStringLiteral("bootloader entry"), is(Exchange::Fn103, "bootloader"));
    collect(QStringLiteral("CPU-1 erase"), is(Exchange::BlErase));
    collect(QStringLiteral("CPU-1 programming"), is(Exchange::BlProgram));
    collect(QStringLiteral("disable"), is(Exchange::BlWriteByte));
    collect(QStringLiteral("reset"), is(Exchange::BlReset));
    for (const char* sub : {"CPU-2", "HMI"}) {
        const QString s = QString::fromLatin1(sub);
        collect(s + QStringLiteral(" boot entry"), [&](const sim::ExchangeRecord& r) {
            return r.kind == Exchange::Fn104Command &&
                   r.detail == s + QStringLiteral(" boot-entry");
        });
        collect(s + QStringLiteral(" transfer"), [&](const sim::ExchangeRecord& r) {
            return r.kind == Exchange::Fn104Data && r.detail == s;
        });
        // An operation: its command, then the status reads that follow it up to the next
        // command or data block.
        for (const char* op : {"erase", "program"}) {
            Phase p{s + (op == std::string("erase") ? QStringLiteral(" erase")
                                                    : QStringLiteral(" programming")),
                    {}};
            const QString command = s + u' ' + QString::fromLatin1(op);
            for (std::size_t i = 0; i < trace.size(); ++i) {
                if (trace[i].kind != Exchange::Fn104Command || trace[i].detail != command) {
                    continue;
                }
                p.exchanges.push_back(i);
                for (std::size_t j = i + 1; j < trace.size(); ++j) {
                    if (trace[j].kind == Exchange::Fn104Command ||
                        trace[j].kind == Exchange::Fn104Data || trace[j].kind == Exchange::Fn103) {
                        break;
                    }
                    if (trace[j].kind == Exchange::StatusRead && trace[j].detail == s) {
                        p.exchanges.push_back(j);
                    }
                }
                break;
            }
            if (!p.exchanges.empty()) {
                phases.push_back(std::move(p));
            }
        }
    }
    collect(QStringLiteral("restart"), is(Exchange::Fn103, "restart"));
    return phases;
}

sim::Fault aimAt(const std::vector<sim::ExchangeRecord>& trace, std::size_t index, FaultKind kind,
                 int param) {
    sim::Fault f;
    f.kind = kind;
    f.on = trace.at(index).kind;
    f.after = static_cast<int>(
        std::count_if(trace.begin(), trace.begin() + static_cast<std::ptrdiff_t>(index),
                      [&](const sim::ExchangeRecord& r) { return r.kind == f.on; }));
    f.count = 1;
    f.param = param;
    return f;
}

sim::Fault aimAtNext(std::size_t index, FaultKind kind, int param) {
    sim::Fault f;
    f.kind = kind;
    f.on = Exchange::Any;
    f.after = static_cast<int>(index + 1);
    f.count = 1;
    f.param = param;
    return f;
}

int lateByMs(Exchange kind) {
    switch (kind) {
    case Exchange::BlModel:
    case Exchange::BlInfo:
        return 1300; // 10 ticks
    case Exchange::StatusRead:
    case Exchange::Fn104Data:
        return 1800; // 15 ticks
    default:
        return 3300; // 30 ticks: the bootloader's long commands, the control register
    }
}

void planRuns(std::vector<PlannedRun>& runs, const UnitSetup& setup,
              const std::vector<sim::ExchangeRecord>& trace, const PlanOptions& options) {
    auto add = [&](QString group, QString phase, QString position, std::vector<sim::Fault> faults,
                   std::uint32_t seed = 1) {
        PlannedRun r;
        r.id = static_cast<int>(runs.size());
        r.setup = setup.name;
        r.group = std::move(group);
        r.phase = std::move(phase);
        r.position = std::move(position);
        r.faults = std::move(faults);
        r.seed = seed;
        runs.push_back(std::move(r));
    };

    if (options.crossKinds) {
        for (int k = 1; k < sim::kExchangeKinds; ++k) {
            const auto kind = static_cast<Exchange>(k);
            if (kind == Exchange::Other) {
                continue;
            }
            std::vector<std::size_t> at;
            for (std::size_t i = 0; i < trace.size(); ++i) {
                if (trace[i].kind == kind) {
                    at.push_back(i);
                }
            }
            for (FaultKind f : basicFaultKinds()) {
                if (!applies(f, kind)) {
                    continue;
                }
                for (const auto& [where, n] : spread(at.size())) {
                    add(sim::faultName(f), sim::exchangeName(kind), where,
                        {aimAt(trace, at[n], f)});
                }
            }
        }
    }

    const std::vector<Phase> phases = phasesOf(trace);
    if (options.powerLoss) {
        for (const Phase& p : phases) {
            const bool spreadOut = p.name.endsWith(QLatin1String("transfer")) ||
                                   p.name.startsWith(QLatin1String("CPU-1 "));
            const auto points = spreadOut
                                    ? spread(p.exchanges.size())
                                    : std::vector<std::pair<QString, std::size_t>>{{QString(), 0}};
            for (const auto& [where, n] : points) {
                add(QStringLiteral("power-loss"), p.name, where,
                    {aimAt(trace, p.exchanges[n], FaultKind::PowerLoss,
                           options.powerLossSilentMs)});
            }
        }
    }

    if (options.late) {
        for (const Phase& p : phases) {
            std::vector<std::pair<QString, std::size_t>> points{{QStringLiteral("first"), 0}};
            if (p.exchanges.size() > 1) {
                points.emplace_back(QStringLiteral("last"), p.exchanges.size() - 1);
            }
            for (const auto& [where, n] : points) {
                const std::size_t i = p.exchanges[n];
                const sim::Fault late =
                    aimAt(trace, i, FaultKind::DelayReply, lateByMs(trace[i].kind));
                add(QStringLiteral("late"), p.name, where + QStringLiteral(" alone"), {late});
                add(QStringLiteral("late"), p.name, where + QStringLiteral(" then lost"),
                    {late, aimAtNext(i, FaultKind::DropReply)});
                add(QStringLiteral("late"), p.name, where + QStringLiteral(" then late"),
                    {late, aimAtNext(i, FaultKind::DelayReply, lateByMs(trace[i].kind))});
            }
        }
    }

    if (options.discovery) {
        // The scan's identification reads: everything before the first command.
        std::vector<std::size_t> reads;
        for (std::size_t i = 0; i < trace.size(); ++i) {
            const Exchange k = trace[i].kind;
            if (k == Exchange::ModbusRead || k == Exchange::BlModel || k == Exchange::BlInfo) {
                reads.push_back(i);
            } else {
                break;
            }
        }
        for (std::size_t n = 0; n < reads.size(); ++n) {
            const std::size_t i = reads[n];
            for (FaultKind f : basicFaultKinds()) {
                if (applies(f, trace[i].kind)) {
                    add(QStringLiteral("discovery"),
                        sim::exchangeName(trace[i].kind) + u' ' + trace[i].detail,
                        QStringLiteral("read %1").arg(n + 1), {aimAt(trace, i, f)});
                }
            }
        }
    }

    if (!trace.empty()) {
        for (int s = options.firstSeed; s < options.firstSeed + options.randomSeeds; ++s) {
            std::mt19937 rng(static_cast<std::uint32_t>(s));
            const int n = std::uniform_int_distribution<int>(1, 5)(rng);
            std::set<std::size_t> at;
            while (static_cast<int>(at.size()) < n) {
                at.insert(std::uniform_int_distribution<std::size_t>(0, trace.size() - 1)(rng));
            }
            std::vector<sim::Fault> faults;
            for (std::size_t i : at) {
                FaultKind f = basicFaultKinds()[std::uniform_int_distribution<std::size_t>(
                    0, basicFaultKinds().size() - 1)(rng)];
                if (std::uniform_int_distribution<int>(0, 11)(rng) == 0) {
                    f = FaultKind::PowerLoss;
                }
                if (!applies(f, trace[i].kind)) {
                    f = FaultKind::DropReply;
                }
                faults.push_back(aimAt(trace, i, f,
                                       f == FaultKind::PowerLoss    ? options.powerLossSilentMs
                                       : f == FaultKind::DelayReply ? lateByMs(trace[i].kind)
                                                                    : 0));
            }
            add(QStringLiteral("random"), QStringLiteral("%1 faults").arg(n), QString(),
                std::move(faults), static_cast<std::uint32_t>(s));
        }
    }
}

QString faultText(const sim::Fault& f) {
    QString t = sim::faultName(f.kind);
    if (f.on != Exchange::Any) {
        t += u':' + sim::exchangeName(f.on);
    }
    if (f.after > 0) {
        t += QStringLiteral(",after=%1").arg(f.after);
    }
    if (f.count != 1) {
        t += QStringLiteral(",count=%1").arg(f.count);
    }
    if (f.probability < 1.0) {
        t += QStringLiteral(",p=%1").arg(f.probability);
    }
    if (f.param > 0) {
        t += QStringLiteral(",param=%1").arg(f.param);
    }
    return t;
}

QString programCommand(const PlannedRun& run, const UnitSetup& setup) {
    if (setup.reduced) {
        return {};
    }
    QStringList args{QStringLiteral("corvane-updater"), QStringLiteral("--auto"),
                     QStringLiteral("--simulate")};
    args << setup.simulateArgs;
    if (run.seed != 1) {
        args << QStringLiteral("--seed") << QString::number(run.seed);
    }
    for (const sim::Fault& f : run.faults) {
        args << QStringLiteral("--fault") << faultText(f);
    }
    return args.join(u' ');
}

} // namespace corvane::campaign

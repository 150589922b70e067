#include "Report.h"

namespace corvane::campaign {

namespace {

constexpr QChar kField = u'\t';
constexpr QChar kItem = QChar(0x1E);

QString clean(QString s) {
    s.replace(u'\t', u' ');
    s.replace(u'\n', u' ');
    s.replace(kItem, u' ');
    return s;
}

QString joinItems(const QStringList& items) {
    QStringList c;
    for (const QString& i : items) {
        c << clean(i);
    }
    return c.join(kItem);
}

QStringList splitItems(const QString& s) {
    return s.isEmpty() ? QStringList() : s.split(kItem);
}

} // namespace

QString encodeRun(const PlannedRun& r) {
    QStringList faults;
    for (const sim::Fault& f : r.faults) {
        faults << faultText(f);
    }
    return QStringList{QString::number(r.id), clean(r.setup),    clean(r.group),
                       clean(r.phase),        clean(r.position), QString::number(r.seed),
                       joinItems(faults)}
        .join(kField);
}

std::optional<PlannedRun> decodeRun(const QString& line) {
    const QStringList f = line.split(kField);
    if (f.size() != 7) {
        return std::nullopt;
    }
    PlannedRun r;
    bool ok = false;
    r.id = f[0].toInt(&ok);
    if (!ok) {
        return std::nullopt;
    }
    r.setup = f[1];
    r.group = f[2];
    r.phase = f[3];
    r.position = f[4];
    r.seed = f[5].toUInt(&ok);
    if (!ok) {
        return std::nullopt;
    }
    for (const QString& text : splitItems(f[6])) {
        const auto fault = sim::parseFault(text);
        if (!fault) {
            return std::nullopt;
        }
        r.faults.push_back(*fault);
    }
    return r;
}

QString encodeResult(const RunResult& r) {
    return QStringList{QString::number(r.id),
                       QString::number(r.exitCode),
                       QString::number(r.recoveryExit),
                       QString::number(r.faultsFired),
                       QString::number(r.faultsPlanned),
                       r.powerLost ? "1" : "0",
                       QString::number(r.ms),
                       joinItems(r.violations),
                       joinItems(r.lastLines)}
        .join(kField);
}

std::optional<RunResult> decodeResult(const QString& line) {
    const QStringList f = line.split(kField);
    if (f.size() != 9) {
        return std::nullopt;
    }
    RunResult r;
    bool ok[6] = {};
    r.id = f[0].toInt(&ok[0]);
    r.exitCode = f[1].toInt(&ok[1]);
    r.recoveryExit = f[2].toInt(&ok[2]);
    r.faultsFired = f[3].toInt(&ok[3]);
    r.faultsPlanned = f[4].toInt(&ok[4]);
    r.ms = f[6].toInt(&ok[5]);
    for (bool b : ok) {
        if (!b) {
            return std::nullopt;
        }
    }
    r.powerLost = f[5] == QLatin1String("1");
    r.violations = splitItems(f[7]);
    r.lastLines = splitItems(f[8]);
    return r;
}

std::vector<std::pair<QString, Tally>> tally(const std::vector<PlannedRun>& runs,
                                             const std::map<int, RunResult>& results, bool detail) {
    std::vector<std::pair<QString, Tally>> rows;
    std::map<QString, std::size_t> index;
    Tally total;
    for (const PlannedRun& job : runs) {
        QString key = job.setup + QStringLiteral("  ") + job.group;
        if (detail && !job.phase.isEmpty()) {
            key += QStringLiteral("  ") + job.phase;
        }
        auto [it, added] = index.emplace(key, rows.size());
        if (added) {
            rows.emplace_back(key, Tally{});
        }
        for (Tally* t : {&rows[it->second].second, &total}) {
            ++t->runs;
            const auto found = results.find(job.id);
            if (found == results.end()) {
                ++t->missing;
                ++t->violations;
                continue;
            }
            const RunResult& r = found->second;
            t->ms += r.ms;
            if (r.exitCode == 0) {
                ++t->ended0;
            } else {
                ++t->endedNonZero;
            }
            if (r.powerLost) {
                ++t->powerLost;
            }
            if (r.powerLost && r.exitCode != 0 && r.recoveryExit == 0 && r.violations.isEmpty()) {
                ++t->recovered;
            }
            if (r.faultsFired < r.faultsPlanned) {
                ++t->notFired;
            }
            if (!r.violations.isEmpty()) {
                ++t->violations;
            }
        }
    }
    rows.emplace_back(QStringLiteral("total"), total);
    return rows;
}

QString tableText(const std::vector<std::pair<QString, Tally>>& rows) {
    qsizetype width = 5;
    for (const auto& [key, t] : rows) {
        width = std::max(width, key.size());
    }
    QStringList out;
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
               .arg(QStringLiteral("setup  fault  phase"), -int(width))
               .arg(QStringLiteral("runs"), 6)
               .arg(QStringLiteral("exit0"), 6)
               .arg(QStringLiteral("non0"), 6)
               .arg(QStringLiteral("power"), 6)
               .arg(QStringLiteral("recov"), 6)
               .arg(QStringLiteral("unfired"), 8)
               .arg(QStringLiteral("VIOL"), 6)
               .arg(QStringLiteral("s/run"), 6);
    for (const auto& [key, t] : rows) {
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                   .arg(key, -int(width))
                   .arg(t.runs, 6)
                   .arg(t.ended0, 6)
                   .arg(t.endedNonZero, 6)
                   .arg(t.powerLost, 6)
                   .arg(t.recovered, 6)
                   .arg(t.notFired, 8)
                   .arg(t.violations, 6)
                   .arg(t.runs > t.missing ? double(t.ms) / 1000.0 / (t.runs - t.missing) : 0.0, 6,
                        'f', 1);
    }
    return out.join(u'\n');
}

QString violationsText(const std::vector<PlannedRun>& runs, const std::map<int, RunResult>& results,
                       const std::vector<UnitSetup>& setups, const QString& self) {
    QStringList out;
    for (const PlannedRun& job : runs) {
        const auto found = results.find(job.id);
        QStringList seen;
        QStringList last;
        if (found == results.end()) {
            seen << QStringLiteral("no result: the worker died or hung on this run");
        } else {
            seen = found->second.violations;
            last = found->second.lastLines;
        }
        if (seen.isEmpty()) {
            continue;
        }
        QStringList faults;
        for (const sim::Fault& f : job.faults) {
            faults << faultText(f);
        }
        out << QStringLiteral("run %1 (%2, %3, %4 %5): %6")
                   .arg(job.id)
                   .arg(job.setup, job.group, job.phase, job.position,
                        faults.join(QStringLiteral(" + ")));
        for (const QString& v : seen) {
            out << QStringLiteral("  violation: ") + v;
        }
        for (const QString& l : last) {
            out << QStringLiteral("  | ") + l;
        }
        out << QStringLiteral("  rerun: %1 --only %2").arg(self).arg(job.id);
        if (const UnitSetup* setup = findSetup(setups, job.setup)) {
            const QString program = programCommand(job, *setup);
            out << (program.isEmpty()
                        ? QStringLiteral("  program: none (reduced build data exists only in "
                                         "the campaign)")
                        : QStringLiteral("  program: QT_QPA_PLATFORM=offscreen ") + program);
        }
    }
    return out.join(u'\n');
}

} // namespace corvane::campaign

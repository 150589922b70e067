#include "Faults.h"

namespace corvane::sim {

namespace {

struct ExchangeNameRow {
    Exchange kind;
    const char* name;
};
constexpr ExchangeNameRow kExchangeNames[] = {
    {Exchange::Any, "any"},
    {Exchange::ModbusRead, "modbus-read"},
    {Exchange::StatusRead, "status-read"},
    {Exchange::ModbusWrite, "modbus-write"},
    {Exchange::Fn103, "fn103"},
    {Exchange::Fn104Command, "fn104-command"},
    {Exchange::Fn104Data, "fn104-data"},
    {Exchange::BlModel, "bl-model"},
    {Exchange::BlInfo, "bl-info"},
    {Exchange::BlErase, "bl-erase"},
    {Exchange::BlProgram, "bl-program"},
    {Exchange::BlWriteByte, "bl-write-byte"},
    {Exchange::BlReset, "bl-reset"},
    {Exchange::Other, "other"},
};

struct FaultNameRow {
    FaultKind kind;
    const char* name;
};
constexpr FaultNameRow kFaultNames[] = {
    {FaultKind::Noise, "noise"},
    {FaultKind::DropReply, "drop"},
    {FaultKind::CorruptByte, "corrupt"},
    {FaultKind::DelayReply, "delay"},
    {FaultKind::ExceptionReply, "exception"},
    {FaultKind::StuckBusy, "stuck-busy"},
    {FaultKind::CyclingBusy, "cycling-busy"},
    {FaultKind::NoNews, "no-news"},
    {FaultKind::CorruptStatus, "corrupt-status"},
    {FaultKind::PowerLoss, "power-loss"},
};

bool isStatusFault(FaultKind k) {
    return k == FaultKind::StuckBusy || k == FaultKind::CyclingBusy || k == FaultKind::NoNews ||
           k == FaultKind::CorruptStatus;
}

} // namespace

QString exchangeName(Exchange kind) {
    for (const auto& row : kExchangeNames) {
        if (row.kind == kind) {
            return QString::fromLatin1(row.name);
        }
    }
    return QStringLiteral("?");
}

std::optional<Exchange> exchangeFromName(const QString& name) {
    for (const auto& row : kExchangeNames) {
        if (name == QLatin1String(row.name)) {
            return row.kind;
        }
    }
    return std::nullopt;
}

QString faultName(FaultKind kind) {
    for (const auto& row : kFaultNames) {
        if (row.kind == kind) {
            return QString::fromLatin1(row.name);
        }
    }
    return QStringLiteral("?");
}

std::optional<Fault> parseFault(const QString& text, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<Fault> {
        if (error) {
            *error = why;
        }
        return std::nullopt;
    };
    const QStringList parts = text.split(u',');
    const QStringList head = parts.first().split(u':');
    if (head.size() > 2) {
        return fail(QStringLiteral("\"%1\": too many ':'").arg(parts.first()));
    }

    Fault f;
    bool kindFound = false;
    for (const auto& row : kFaultNames) {
        if (head.first() == QLatin1String(row.name)) {
            f.kind = row.kind;
            kindFound = true;
        }
    }
    if (!kindFound) {
        return fail(QStringLiteral("unknown fault \"%1\"").arg(head.first()));
    }
    if (head.size() == 2) {
        const auto on = exchangeFromName(head.at(1));
        if (!on) {
            return fail(QStringLiteral("unknown exchange \"%1\"").arg(head.at(1)));
        }
        f.on = *on;
    } else if (isStatusFault(f.kind)) {
        f.on = Exchange::Fn104Command;
    }

    for (qsizetype i = 1; i < parts.size(); ++i) {
        const qsizetype eq = parts.at(i).indexOf(u'=');
        if (eq <= 0) {
            return fail(QStringLiteral("\"%1\": expected name=value").arg(parts.at(i)));
        }
        const QString key = parts.at(i).left(eq);
        const QString value = parts.at(i).mid(eq + 1);
        bool ok = false;
        if (key == QLatin1String("p")) {
            f.probability = value.toDouble(&ok);
            ok = ok && f.probability >= 0.0 && f.probability <= 1.0;
        } else {
            const int v = value.toInt(&ok);
            ok = ok && v >= 0;
            if (key == QLatin1String("after")) {
                f.after = v;
            } else if (key == QLatin1String("count")) {
                f.count = v;
            } else if (key == QLatin1String("param")) {
                f.param = v;
            } else {
                return fail(QStringLiteral("unknown setting \"%1\"").arg(key));
            }
        }
        if (!ok) {
            return fail(QStringLiteral("bad value in \"%1\"").arg(parts.at(i)));
        }
    }
    return f;
}

namespace {

struct DipPointRow {
    const char* name;
    DipPoint point;
    int processor;
    bool countRequired;
};
constexpr DipPointRow kDipPoints[] = {
    {"cpu2-data", DipPoint::SubData, 2, true},
    {"hmi-data", DipPoint::SubData, 3, true},
    {"cpu2-erase", DipPoint::SubErase, 2, false},
    {"hmi-erase", DipPoint::SubErase, 3, false},
    {"cpu2-program", DipPoint::SubProgram, 2, false},
    {"hmi-program", DipPoint::SubProgram, 3, false},
    {"cpu1-erase", DipPoint::Cpu1Erase, 1, true},
    {"cpu1-program", DipPoint::Cpu1Program, 1, true},
};

} // namespace

std::optional<PowerDip> parsePowerDip(const QString& text, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<PowerDip> {
        if (error) {
            *error = why;
        }
        return std::nullopt;
    };
    const QStringList parts = text.split(u',');
    const QStringList head = parts.first().split(u'=');
    const DipPointRow* row = nullptr;
    for (const auto& r : kDipPoints) {
        if (head.first() == QLatin1String(r.name)) {
            row = &r;
        }
    }
    if (!row || head.size() > 2) {
        return fail(QStringLiteral("unknown point \"%1\"").arg(parts.first()));
    }
    PowerDip dip;
    dip.point = row->point;
    dip.processor = row->processor;
    const bool stage = dip.point == DipPoint::SubErase || dip.point == DipPoint::SubProgram;
    dip.after = stage ? 1 : 0;
    if (head.size() == 2) {
        bool ok = false;
        dip.after = head.at(1).toInt(&ok);
        if (!ok || dip.after < 0) {
            return fail(QStringLiteral("\"%1\": K wants a number >= 0").arg(parts.first()));
        }
    } else if (row->countRequired) {
        return fail(QStringLiteral("\"%1\" wants =K").arg(parts.first()));
    }
    for (qsizetype i = 1; i < parts.size(); ++i) {
        bool ok = false;
        const QString& p = parts.at(i);
        if (!p.startsWith(QLatin1String("restart="))) {
            return fail(QStringLiteral("unknown setting \"%1\"").arg(p));
        }
        dip.restartMs = p.mid(8).toInt(&ok);
        if (!ok || dip.restartMs < 0) {
            return fail(QStringLiteral("bad value in \"%1\"").arg(p));
        }
    }
    return dip;
}

QString powerDipText(const PowerDip& dip) {
    QString name = QStringLiteral("?");
    for (const auto& r : kDipPoints) {
        if (r.point == dip.point && (r.processor == dip.processor || r.processor == 1)) {
            name = QString::fromLatin1(r.name);
        }
    }
    return QStringLiteral("%1=%2,restart=%3").arg(name).arg(dip.after).arg(dip.restartMs);
}

void FaultInjector::record(long serial, Exchange kind, const QString& what) {
    m_log.push_back(
        QStringLiteral("exchange %1 (%2): %3").arg(serial).arg(exchangeName(kind), what));
}

FaultInjector::FaultInjector(FaultPlan plan)
    : m_rng(plan.seed) {
    for (const Fault& f : plan.faults) {
        m_plan.push_back({f, 0, 0});
    }
}

FaultInjector::Fired FaultInjector::decide(Exchange kind, long serial, bool modbus,
                                           bool statusCommand, bool serialLine) {
    Fired out;
    for (Planned& p : m_plan) {
        const Fault& f = p.fault;
        if (f.on != Exchange::Any && f.on != kind) {
            continue;
        }
        const bool applicable = (f.kind != FaultKind::ExceptionReply || modbus) &&
                                (!isStatusFault(f.kind) || statusCommand) &&
                                (f.kind != FaultKind::Noise || serialLine);
        if (!applicable) {
            continue;
        }
        ++p.seen;
        if (p.seen <= f.after || p.fired >= f.count) {
            continue;
        }
        if (f.probability < 1.0) {
            std::uniform_real_distribution<double> draw(0.0, 1.0);
            if (draw(m_rng) >= f.probability) {
                continue;
            }
        }
        std::optional<Fault>* slot = nullptr;
        switch (f.kind) {
        case FaultKind::Noise:
            slot = &out.noise;
            break;
        case FaultKind::DropReply:
            slot = &out.drop;
            break;
        case FaultKind::CorruptByte:
            slot = &out.corrupt;
            break;
        case FaultKind::DelayReply:
            slot = &out.delay;
            break;
        case FaultKind::ExceptionReply:
            slot = &out.exception;
            break;
        case FaultKind::StuckBusy:
        case FaultKind::CyclingBusy:
        case FaultKind::NoNews:
        case FaultKind::CorruptStatus:
            slot = &out.status;
            break;
        case FaultKind::PowerLoss:
            slot = &out.powerLoss;
            break;
        }
        if (slot->has_value()) {
            continue; // one fault of a kind per exchange; this one waits for the next
        }
        ++p.fired;
        *slot = f;
        out.any = true;
        record(serial, kind, faultName(f.kind));
    }
    return out;
}

} // namespace corvane::sim

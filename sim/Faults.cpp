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
    for (const auto& row : kExchangeNames)
        if (row.kind == kind)
            return QString::fromLatin1(row.name);
    return QStringLiteral("?");
}

std::optional<Exchange> exchangeFromName(const QString& name) {
    for (const auto& row : kExchangeNames)
        if (name == QLatin1String(row.name))
            return row.kind;
    return std::nullopt;
}

QString faultName(FaultKind kind) {
    for (const auto& row : kFaultNames)
        if (row.kind == kind)
            return QString::fromLatin1(row.name);
    return QStringLiteral("?");
}

std::optional<Fault> parseFault(const QString& text, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<Fault> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QStringList parts = text.split(u',');
    const QStringList head = parts.first().split(u':');
    if (head.size() > 2)
        return fail(QStringLiteral("\"%1\": too many ':'").arg(parts.first()));

    Fault f;
    bool kindFound = false;
    for (const auto& row : kFaultNames) {
        if (head.first() == QLatin1String(row.name)) {
            f.kind = row.kind;
            kindFound = true;
        }
    }
    if (!kindFound)
        return fail(QStringLiteral("unknown fault \"%1\"").arg(head.first()));
    if (head.size() == 2) {
        const auto on = exchangeFromName(head.at(1));
        if (!on)
            return fail(QStringLiteral("unknown exchange \"%1\"").arg(head.at(1)));
        f.on = *on;
    } else if (isStatusFault(f.kind)) {
        f.on = Exchange::Fn104Command;
    }

    for (qsizetype i = 1; i < parts.size(); ++i) {
        const qsizetype eq = parts.at(i).indexOf(u'=');
        if (eq <= 0)
            return fail(QStringLiteral("\"%1\": expected name=value").arg(parts.at(i)));
        const QString key = parts.at(i).left(eq);
        const QString value = parts.at(i).mid(eq + 1);
        bool ok = false;
        if (key == QLatin1String("p")) {
            f.probability = value.toDouble(&ok);
            ok = ok && f.probability >= 0.0 && f.probability <= 1.0;
        } else {
            const int v = value.toInt(&ok);
            ok = ok && v >= 0;
            if (key == QLatin1String("after"))
                f.after = v;
            else if (key == QLatin1String("count"))
                f.count = v;
            else if (key == QLatin1String("param"))
                f.param = v;
            else
                return fail(QStringLiteral("unknown setting \"%1\"").arg(key));
        }
        if (!ok)
            return fail(QStringLiteral("bad value in \"%1\"").arg(parts.at(i)));
    }
    return f;
}

FaultInjector::FaultInjector(FaultPlan plan)
    : m_rng(plan.seed) {
    for (const Fault& f : plan.faults)
        m_plan.push_back({f, 0, 0});
}

FaultInjector::Fired FaultInjector::decide(Exchange kind, long serial, bool modbus,
                                           bool statusCommand, bool serialLine) {
    Fired out;
    for (Planned& p : m_plan) {
        const Fault& f = p.fault;
        if (f.on != Exchange::Any && f.on != kind)
            continue;
        const bool applicable = (f.kind != FaultKind::ExceptionReply || modbus) &&
                                (!isStatusFault(f.kind) || statusCommand) &&
                                (f.kind != FaultKind::Noise || serialLine);
        if (!applicable)
            continue;
        ++p.seen;
        if (p.seen <= f.after || p.fired >= f.count)
            continue;
        if (f.probability < 1.0) {
            std::uniform_real_distribution<double> draw(0.0, 1.0);
            if (draw(m_rng) >= f.probability)
                continue;
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
        if (slot->has_value())
            continue; // one fault of a kind per exchange; this one waits for the next
        ++p.fired;
        *slot = f;
        out.any = true;
        m_log.push_back(QStringLiteral("exchange %1 (%2): %3")
                            .arg(serial)
                            .arg(exchangeName(kind), faultName(f.kind)));
    }
    return out;
}

} // namespace corvane::sim

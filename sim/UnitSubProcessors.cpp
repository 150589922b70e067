// CPU-2 and the HMI: boot-mode entry, erase and programming as timed operations that post
// their status words in the window.
#include "UnitModel.h"
#include "UnitModelDetail.h"

#include <algorithm>

namespace corvane::sim {

using namespace unit;

void UnitModel::startOp(Sub& s, OpKind kind, const FaultInjector::Fired& fired, TimePoint now) {
    Op op;
    op.kind = kind;
    op.start = now;
    op.applied = progStart(s.index);
    const double kib = static_cast<double>(progEnd(s.index) + 1 - progStart(s.index)) / 1024.0;
    switch (kind) {
    case OpKind::BootEntry:
        op.durationMs = s.bootMode ? 0.0 : ms(m_sc.timing.subBootEntryMs);
        break;
    case OpKind::Erase:
        op.durationMs = ms(m_sc.timing.subEraseMsPerKiB * kib);
        break;
    case OpKind::Program:
        op.durationMs = ms(m_sc.timing.subProgramMsPerKiB * kib);
        break;
    default:
        break;
    }
    if (fired.status) {
        op.fault = fired.status->kind;
        if (op.fault == FaultKind::CorruptStatus) {
            op.kind = OpKind::Corrupt;
        }
        std::uniform_real_distribution<double> where(0.2, 0.8);
        op.stuckAt = where(m_faults.rng());
    }
    s.op = op;
}

void UnitModel::applyUpTo(Sub& s, std::uint32_t end) {
    for (std::uint32_t a = s.op.applied; a < end; ++a) {
        if (s.op.kind == OpKind::Erase) {
            s.flash[a] = 0xFF;
        } else if (s.op.kind == OpKind::Program) {
            s.flash[a] &= s.staging[a]; // flash programming only clears bits
        }
    }
    s.op.applied = std::max(s.op.applied, end);
}

void UnitModel::advance(Sub& s, TimePoint now, bool countRead) {
    Op& op = s.op;
    if (op.kind == OpKind::None || op.done || s.silent) {
        return;
    }
    if (countRead) {
        ++op.reads;
    }
    if (op.fault == FaultKind::NoNews) {
        return;
    }
    double frac = opFraction(op, now);
    const std::uint32_t from = progStart(s.index);
    const std::uint32_t to = progEnd(s.index);
    const std::uint32_t span = to + 1 - from;
    const std::uint16_t busyWord = op.kind == OpKind::Program ? kBusyProgramming : kBusyErasing;
    auto addressAt = [&](double f) {
        return std::min<std::uint32_t>(from + static_cast<std::uint32_t>(f * span), to + 1);
    };

    if (op.fault == FaultKind::CyclingBusy) {
        // Busy at an address that moves on every status read and wraps round: the operation
        // looks alive but never ends. Nothing more is erased or programmed.
        const std::uint32_t step = std::max<std::uint32_t>(1, span / 7);
        s.window[0] = busyWord;
        s.window[1] =
            static_cast<std::uint16_t>(from + (static_cast<std::uint32_t>(op.reads) * step) % span);
        return;
    }
    if (op.fault == FaultKind::StuckBusy) {
        frac = std::min(frac, op.stuckAt);
        const std::uint32_t at = addressAt(frac);
        applyUpTo(s, at);
        s.window[0] = busyWord;
        s.window[1] = static_cast<std::uint16_t>(std::min(at, to));
        return;
    }
    const std::uint32_t at = addressAt(frac);
    applyUpTo(s, at);
    if (frac < 1.0) {
        if ((op.kind == OpKind::Erase || op.kind == OpKind::Program) &&
            (frac > 0.0 || m_sc.timing.enabled)) {
            s.window[0] = busyWord;
            s.window[1] = static_cast<std::uint16_t>(std::min(at, to));
        }
        return;
    }

    completeOp(s);
}

double UnitModel::opFraction(const Op& op, TimePoint now) const {
    double frac = 0.0;
    if (m_sc.timing.enabled) {
        const double elapsed = std::chrono::duration<double, std::milli>(now - op.start).count();
        frac = op.durationMs <= 0.0 ? 1.0 : elapsed / op.durationMs;
    } else if (op.kind == OpKind::BootEntry || op.kind == OpKind::Corrupt) {
        frac = op.reads >= 1 ? 1.0 : 0.0;
    } else {
        const int n = m_sc.untimedBusyReads;
        frac = op.reads > n ? 1.0 : static_cast<double>(op.reads) / (n + 1);
    }
    return std::clamp(frac, 0.0, 1.0);
}

void UnitModel::completeOp(Sub& s) {
    const std::uint32_t from = progStart(s.index);
    const std::uint32_t to = progEnd(s.index);
    s.op.done = true;
    switch (s.op.kind) {
    case OpKind::BootEntry:
        s.bootMode = true;
        s.window[0] = kFinished;
        s.window[1] = 0;
        break;
    case OpKind::Erase:
        ++s.erases;
        s.window[0] = kFinished;
        s.window[1] = static_cast<std::uint16_t>(to);
        break;
    case OpKind::Program: {
        const bool verified =
            std::equal(s.flash.begin() + from, s.flash.begin() + to + 1, s.staging.begin() + from);
        const auto id = verified ? identify(s.index) : std::nullopt;
        if (!verified) {
            note(QStringLiteral("%1 programming did not verify (flash not erased?)")
                     .arg(s.index == 2 ? QStringLiteral("CPU-2") : QStringLiteral("HMI")));
            s.window[0] = kCorrupt;
        } else {
            s.window[0] = kFinished;
            s.programmed = true;
            if (id) {
                // A sub-processor starts the image it has just verified.
                s.bootMode = false;
                if (!s.keepsVersion) {
                    s.rm = id->first;
                    s.version = id->second;
                }
            }
        }
        s.window[1] = static_cast<std::uint16_t>(to);
        break;
    }
    case OpKind::Corrupt:
        s.window[0] = kCorrupt;
        s.window[1] = 0;
        break;
    case OpKind::None:
        break;
    }
}

void UnitModel::advanceAll(TimePoint now) {
    if (!m_sc.timing.enabled) {
        return;
    }
    advance(m_cpu2, now, false);
    if (m_hmi.present) {
        advance(m_hmi, now, false);
    }
}
} // namespace corvane::sim

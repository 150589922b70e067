// CPU-1: its bootloader and boot-mode marker, restarts of the unit and power loss.
#include "UnitModel.h"
#include "UnitModelDetail.h"

#include <algorithm>

namespace corvane::sim {

using namespace unit;

// ---- CPU-1 states ---------------------------------------------------------------------------

void UnitModel::enterBootloader() {
    if (kBootMarker < progStart(1)) {
        m_cpu1.flash[kBootMarker] = 0xFF;
    }
    m_cpu1.inBootloader = true;
    m_rtu.clear();
    m_boot.clear();
}

void UnitModel::restartCpu1(TimePoint now, bool withBootTime) {
    m_rtu.clear();
    m_boot.clear();
    const bool bootModeOn = kBootMarker < progStart(1) && m_cpu1.flash[kBootMarker] != 0;
    const auto id = identify(1);
    if (bootModeOn || !id) {
        m_cpu1.inBootloader = true;
        return;
    }
    m_cpu1.inBootloader = false;
    m_cpu1.rm = id->first;
    m_cpu1.version = id->second;
    if (m_cpu1.blocksProgrammed > 0 && holdsCarried(1)) {
        m_cpu1.programmed = true;
    }
    if (withBootTime && m_sc.timing.enabled) {
        m_silentUntil = std::max(m_silentUntil, now + dur(m_sc.timing.cpu1BootMs));
    }
}

void UnitModel::restartUnit(TimePoint now) {
    advanceAll(now);
    restartSub(m_cpu2, false);
    restartSub(m_hmi, false);
    m_restartSeen = true;
    restartCpu1(now, true);
}

void UnitModel::restartSub(Sub& s, bool powerUp) {
    s.op = Op{};
    s.window.fill(0);
    std::fill(s.staging.begin(), s.staging.end(), 0xFF); // CPU-1's RAM
    s.dataTaken = false;
    if (s.bootMode && !powerUp) {
        return; // the restart command leaves a sub-processor in boot mode there
    }
    // Its boot loader starts the firmware in its flash, if there is a whole one.
    const auto id = identify(s.index);
    s.bootMode = !id;
    if (id && !s.keepsVersion) {
        s.rm = id->first;
        s.version = id->second;
    }
}

void UnitModel::powerLoss(TimePoint now, int silentMs) {
    powerDip(now, silentMs);
    // CPU-1's firmware then takes its start-up time, as after any restart.
    if (!m_cpu1.inBootloader && m_sc.timing.enabled) {
        m_silentUntil += dur(m_sc.timing.cpu1BootMs);
    }
}

// ---- Power dips -----------------------------------------------------------------------------

void UnitModel::powerDip(TimePoint now, int offMs) {
    note(QStringLiteral("power lost for %1 ms").arg(offMs));
    advanceAll(now); // a timed operation got as far as this moment
    restartSub(m_cpu2, true);
    restartSub(m_hmi, true);
    restartCpu1(now, false);
    m_silentUntil = std::max(m_silentUntil, now + std::chrono::milliseconds(offMs));
}

bool UnitModel::dipAt(DipPoint point, int processor, Exchange kind, long serial, TimePoint now) {
    for (PlannedDip& p : m_dips) {
        const bool cpu1Point =
            p.dip.point == DipPoint::Cpu1Erase || p.dip.point == DipPoint::Cpu1Program;
        if (p.fired || p.dip.point != point || (!cpu1Point && p.dip.processor != processor)) {
            continue;
        }
        if (++p.seen <= p.dip.after) {
            continue;
        }
        p.fired = true;
        m_faults.record(serial, kind, QStringLiteral("power-dip"));
        powerDip(now, p.dip.restartMs);
        return true;
    }
    return false;
}

bool UnitModel::dipMeets(const ModbusRequest& rq, std::span<const std::uint8_t> pdu, long serial,
                         TimePoint now) {
    if (m_dips.empty()) {
        return false;
    }
    const int n = rq.kind == Exchange::Fn104Data || rq.kind == Exchange::StatusRead
                      ? windowAt(word(pdu, 1))
                      : 0;
    if (n == 0) {
        return false;
    }
    if (rq.kind == Exchange::Fn104Data) {
        return dipAt(DipPoint::SubData, n, rq.kind, serial, now);
    }
    Sub& s = sub(n);
    if (m_sc.timing.enabled) {
        advance(s, now, false);
    }
    if (s.op.done || (s.op.kind != OpKind::Erase && s.op.kind != OpKind::Program)) {
        return false;
    }
    return dipAt(s.op.kind == OpKind::Erase ? DipPoint::SubErase : DipPoint::SubProgram, n, rq.kind,
                 serial, now);
}

// ---- Bootloader -----------------------------------------------------------------------------

std::optional<Bytes> UnitModel::serveBootloader(std::span<const std::uint8_t> body, TimePoint now,
                                                FaultInjector::Fired& fired, double& processingMs) {
    if (!bodySumOk(body)) {
        note(QStringLiteral("bootloader frame with a wrong BCC ignored"));
        return std::nullopt;
    }
    const std::uint8_t cmd = body[0];
    const std::uint8_t len = body[1];
    const auto data = body.subspan(2, body.size() - 3);

    Exchange kind = Exchange::Other;
    if (cmd == 0x00 && len == 2 && data.empty()) {
        kind = Exchange::BlModel;
    } else if (cmd == 0x00 && len == 0 && data.empty()) {
        kind = Exchange::BlReset;
    } else if (cmd == 0x08 && len == 4 && data.empty()) {
        kind = Exchange::BlInfo;
    } else if (cmd == 0x03 && len == 8 && data.size() == 3) {
        kind = Exchange::BlErase;
    } else if (cmd == 0x02 && len == 2 && data.size() == 131) {
        kind = Exchange::BlProgram;
    } else if (cmd == 0x05 && len == 1 && data.size() == 4) {
        kind = Exchange::BlWriteByte;
    }

    const long serial = countExchange(kind);
    if ((kind == Exchange::BlErase && dipAt(DipPoint::Cpu1Erase, 1, kind, serial, now)) ||
        (kind == Exchange::BlProgram && dipAt(DipPoint::Cpu1Program, 1, kind, serial, now))) {
        return std::nullopt; // lost with the power
    }
    fired = m_faults.decide(kind, serial, false, false, true);
    if (fired.powerLoss) {
        powerLoss(now, fired.powerLoss->param > 0 ? fired.powerLoss->param : 3000);
        return std::nullopt;
    }

    auto address = [&]() -> std::uint32_t {
        return static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
               (static_cast<std::uint32_t>(data[2]) << 16);
    };
    switch (kind) {
    case Exchange::BlModel:
        return Bytes{static_cast<std::uint8_t>(m_sc.modelRm >> 8),
                     static_cast<std::uint8_t>(m_sc.modelRm & 0xFF)};
    case Exchange::BlInfo:
        return Bytes{static_cast<std::uint8_t>(m_sc.bootloaderRm >> 8),
                     static_cast<std::uint8_t>(m_sc.bootloaderRm & 0xFF),
                     static_cast<std::uint8_t>(m_sc.bootloaderVersion >> 8),
                     static_cast<std::uint8_t>(m_sc.bootloaderVersion & 0xFF)};
    case Exchange::BlErase: {
        // Eight 64-byte rows; the bootloader protects itself and the end of the flash.
        const std::uint32_t at = address();
        if (at % 64 != 0 || at < progStart(1) || at + 512 > kFlashSize) {
            note(QStringLiteral("bootloader erase at %1 refused").arg(hex4(at)));
            return std::nullopt;
        }
        std::fill(m_cpu1.flash.begin() + at, m_cpu1.flash.begin() + at + 512, 0xFF);
        ++m_cpu1.eraseSteps;
        processingMs = m_sc.timing.eraseRowMs;
        return Bytes{data[0], data[1], data[2], 0, 0, 0, 0, 0};
    }
    case Exchange::BlProgram: {
        const std::uint32_t at = address();
        if (at % 128 != 0 || at < progStart(1) || at + 128 > kFlashSize) {
            note(QStringLiteral("bootloader program at %1 refused").arg(hex4(at)));
            return std::nullopt;
        }
        for (std::uint32_t k = 0; k < 128; ++k) {
            m_cpu1.flash[at + k] &= data[3 + k]; // programming only clears bits
        }
        ++m_cpu1.blocksProgrammed;
        processingMs = m_sc.timing.programBlockMs;
        return Bytes{data[0], data[1]};
    }
    case Exchange::BlWriteByte: {
        const std::uint32_t at = address();
        if (at != kBootMarker || at >= progStart(1)) {
            note(QStringLiteral("bootloader byte write at %1 refused").arg(hex4(at)));
            return std::nullopt;
        }
        m_cpu1.flash[at] = data[3];
        return Bytes{data[3]};
    }
    case Exchange::BlReset:
        restartCpu1(now, true);
        return Bytes{};
    default:
        note(QStringLiteral("unknown bootloader command %1 length %2 with %3 data bytes")
                 .arg(cmd)
                 .arg(len)
                 .arg(data.size()));
        return std::nullopt;
    }
}
} // namespace corvane::sim

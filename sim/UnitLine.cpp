// The line: wire and processing times, frames on the serial line (RTU and bootloader framing),
// reply faults, and Modbus TCP.
#include "UnitModel.h"
#include "UnitModelDetail.h"

#include <algorithm>

namespace corvane::sim {

using namespace unit;

double UnitModel::ms(double v) const {
    return v * m_sc.timing.scale;
}

std::chrono::nanoseconds UnitModel::dur(double msValue) const {
    if (!m_sc.timing.enabled) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ms(msValue) * 1e6));
}

std::chrono::nanoseconds UnitModel::wireTime(std::size_t bytes) const {
    if (!m_sc.timing.enabled) {
        return std::chrono::nanoseconds(0);
    }
    const double seconds = static_cast<double>(bytes) * 10.0 / m_sc.timing.baudRate;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * m_sc.timing.scale * 1e9));
}

// ---- Serial line ----------------------------------------------------------------------------

std::vector<Outgoing> UnitModel::finishSerial(Bytes wire, const FaultInjector::Fired& fired,
                                              TimePoint ready) {
    if (fired.drop) {
        return {};
    }
    auto& rng = m_faults.rng();
    if (fired.corrupt && !wire.empty()) {
        std::uniform_int_distribution<std::size_t> where(0, wire.size() - 1);
        std::uniform_int_distribution<int> flip(1, 255);
        wire[where(rng)] ^= static_cast<std::uint8_t>(flip(rng));
    }
    if (fired.noise) {
        std::uniform_int_distribution<int> howMany(1, 8);
        std::uniform_int_distribution<int> value(0, 255);
        const int n = fired.noise->param > 0 ? fired.noise->param : howMany(rng);
        Bytes noisy;
        while (static_cast<int>(noisy.size()) < n) {
            // Noise a master can skip: never the slave address (a Modbus reply starts there)
            // nor DLE (a bootloader reply starts there).
            const auto b = static_cast<std::uint8_t>(value(rng));
            if (b == m_sc.slaveAddress || b == kDle) {
                continue;
            }
            noisy.push_back(b);
        }
        wire.insert(wire.begin(), noisy.begin(), noisy.end());
    }
    TimePoint due = ready;
    if (m_sc.timing.enabled) {
        const TimePoint start = std::max(ready, m_txWireEnd);
        due = start + wireTime(wire.size());
        m_txWireEnd = due;
    }
    if (fired.delay) {
        due += std::chrono::milliseconds(fired.delay->param > 0 ? fired.delay->param : 4000);
    }
    return {Outgoing{std::move(wire), due}};
}

std::vector<Outgoing> UnitModel::serialBytes(std::span<const std::uint8_t> bytes, TimePoint now) {
    std::vector<Outgoing> out;
    if (silentAt(now) || bytes.empty()) {
        return out;
    }
    m_lastRx = now;
    m_idleHandled = false;
    m_idlePass = false;
    TimePoint ready = now;
    if (m_sc.timing.enabled) {
        m_rxWireEnd = std::max(m_rxWireEnd, now) + wireTime(bytes.size());
        ready = m_rxWireEnd;
    }

    if (m_cpu1.inBootloader) {
        for (const Bytes& body : m_boot.feed(bytes)) {
            if (silentAt(now) || !m_cpu1.inBootloader) {
                break;
            }
            FaultInjector::Fired fired;
            double processing = m_sc.timing.bootloaderProcessingMs;
            const auto reply = serveBootloader(body, now, fired, processing);
            if (!reply) {
                continue;
            }
            auto sent = finishSerial(encodeBootFrame(body[0], body[1], *reply), fired,
                                     ready + dur(processing));
            out.insert(out.end(), sent.begin(), sent.end());
        }
        return out;
    }

    for (const Bytes& frame : m_rtu.feed(bytes)) {
        if (silentAt(now) || m_cpu1.inBootloader) {
            break;
        }
        if (frame[0] == m_sc.slaveAddress) {
            serveRtuFrame(frame, now, ready, out);
        }
    }
    return out;
}

std::optional<TimePoint> UnitModel::nextSerialTick() const {
    if (m_idleHandled) {
        return std::nullopt;
    }
    if (m_cpu1.inBootloader) {
        return m_lastRx + kStaleGap;
    }
    return m_idlePass ? m_lastRx + kStaleGap : m_lastRx + kIdleGap;
}

std::vector<Outgoing> UnitModel::serialTick(TimePoint now) {
    std::vector<Outgoing> out;
    if (m_idleHandled) {
        return out;
    }
    const auto gap = now - m_lastRx;
    if (m_cpu1.inBootloader) {
        if (gap >= kStaleGap) {
            m_boot.clear();
            m_idleHandled = true;
        }
        return out;
    }
    if (gap < kIdleGap) {
        return out;
    }
    const bool stale = gap >= kStaleGap;
    const auto frames = m_rtu.idle(stale);
    m_idlePass = true;
    if (stale || m_rtu.buffered() == 0) {
        m_idleHandled = true;
    }
    for (const Bytes& frame : frames) {
        if (!silentAt(now) && frame[0] == m_sc.slaveAddress) {
            serveRtuFrame(frame, now, now, out);
        }
    }
    return out;
}

void UnitModel::serveRtuFrame(const Bytes& frame, TimePoint now, TimePoint ready,
                              std::vector<Outgoing>& out) {
    const auto pdu = std::span<const std::uint8_t>(frame).subspan(1, frame.size() - 3);
    ModbusOutcome outcome = serveModbus(pdu, true, now);
    if (!outcome.pdu) {
        return;
    }
    Bytes wire{m_sc.slaveAddress};
    wire.insert(wire.end(), outcome.pdu->begin(), outcome.pdu->end());
    appendCrc(wire);
    auto sent =
        finishSerial(std::move(wire), outcome.fired, ready + dur(m_sc.timing.modbusProcessingMs));
    out.insert(out.end(), sent.begin(), sent.end());
}

// ---- Modbus TCP -----------------------------------------------------------------------------

std::optional<Outgoing> UnitModel::tcpAdu(std::span<const std::uint8_t> adu, TimePoint now) {
    // CPU-1's firmware serves the network; its bootloader does not.
    if (adu.size() < 8 || silentAt(now) || m_cpu1.inBootloader) {
        return std::nullopt;
    }
    const std::uint8_t unit = adu[6];
    if (unit != m_sc.slaveAddress && unit != 0 && unit != 0xFF) {
        return std::nullopt;
    }
    double processing = m_sc.timing.modbusProcessingMs;
    ModbusOutcome outcome = serveModbus(adu.subspan(7), false, now);
    if (!outcome.pdu || outcome.fired.drop) {
        return std::nullopt;
    }
    Bytes reply{adu[0], adu[1], 0, 0};
    putWord(reply, static_cast<std::uint16_t>(outcome.pdu->size() + 1));
    reply.push_back(unit);
    reply.insert(reply.end(), outcome.pdu->begin(), outcome.pdu->end());
    auto& rng = m_faults.rng();
    if (outcome.fired.corrupt) {
        std::uniform_int_distribution<std::size_t> where(0, reply.size() - 1);
        std::uniform_int_distribution<int> flip(1, 255);
        reply[where(rng)] ^= static_cast<std::uint8_t>(flip(rng));
    }
    TimePoint due = now + dur(processing);
    if (outcome.fired.delay) {
        due += std::chrono::milliseconds(outcome.fired.delay->param > 0 ? outcome.fired.delay->param
                                                                        : 4000);
    }
    return Outgoing{std::move(reply), due};
}
} // namespace corvane::sim

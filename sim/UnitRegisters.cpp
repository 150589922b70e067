// The Modbus side of CPU-1's firmware: the register map, functions 3, 6, 16 and 103, and the
// memory-block windows (function 104) through which CPU-2 and the HMI are programmed.
#include "UnitModel.h"
#include "UnitModelDetail.h"

namespace corvane::sim {

using namespace unit;

int UnitModel::windowAt(int reg) const {
    const int len = windowLength();
    for (int n : {3, 2}) {
        const Sub& s = n == 2 ? m_cpu2 : m_hmi;
        const int start = windowStart(n);
        if (s.present && reg >= start && reg < start + len) {
            return n;
        }
    }
    return 0;
}

// ---- Modbus ---------------------------------------------------------------------------------

std::optional<std::uint16_t> UnitModel::readRegister(int reg) const {
    auto subRm = [this](const Sub& s) -> std::uint16_t {
        if (!s.present || s.silent) {
            return 0;
        }
        return s.bootMode ? m_sc.bootRmNumber : s.rm;
    };
    auto subVersion = [](const Sub& s) -> std::uint16_t {
        if (!s.present || s.silent || s.bootMode) {
            return 0;
        }
        return s.version;
    };
    switch (reg) {
    case 0:
        return m_cpu1.rm;
    case 1:
        return m_cpu1.version;
    case 8:
        return subRm(m_hmi);
    case 9:
        return subVersion(m_hmi);
    case 10:
        return subRm(m_cpu2);
    case 11:
        return subVersion(m_cpu2);
    default:
        break;
    }
    if (reg >= 0 && reg < 16) {
        return 0;
    }
    if (const int n = windowAt(reg); n != 0) {
        const Sub& s = n == 2 ? m_cpu2 : m_hmi;
        return s.window[static_cast<std::size_t>(reg - windowStart(n))];
    }
    if (reg >= kGeneralFirst && reg <= kGeneralLast) {
        return m_general[static_cast<std::size_t>(reg - kGeneralFirst)];
    }
    return std::nullopt;
}

UnitModel::ModbusRequest UnitModel::classifyModbus(std::span<const std::uint8_t> pdu,
                                                   bool serialLine) const {
    ModbusRequest rq;
    const std::uint8_t fn = pdu[0];
    rq.fixedLayout = pdu.size() == 5;
    rq.blockLayout = pdu.size() >= 6 && pdu.size() == 6 + static_cast<std::size_t>(pdu[5]);
    auto subName = [this](int reg) {
        const int n = windowAt(reg);
        return n == 2   ? QStringLiteral("CPU-2")
               : n == 3 ? QStringLiteral("HMI")
                        : QStringLiteral("?");
    };
    if (fn == 3 && rq.fixedLayout) {
        const int reg = word(pdu, 1);
        rq.kind = windowAt(reg) != 0 ? Exchange::StatusRead : Exchange::ModbusRead;
        rq.detail =
            rq.kind == Exchange::StatusRead ? subName(reg) : QStringLiteral("reg %1").arg(reg);
    } else if ((fn == 6 && rq.fixedLayout) || (fn == 16 && rq.blockLayout)) {
        rq.kind = Exchange::ModbusWrite;
    } else if (fn == 103 && rq.fixedLayout && serialLine) {
        rq.kind = Exchange::Fn103;
        const std::uint16_t value = word(pdu, 3);
        rq.detail = value == kUpgradeMode    ? QStringLiteral("upgrade-mode")
                    : value == kToBootloader ? QStringLiteral("bootloader")
                    : value == kRestart
                        ? QStringLiteral("restart")
                        : QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
    } else if (fn == 104 && rq.blockLayout && serialLine && pdu.size() >= 8) {
        const std::uint16_t marker = word(pdu, pdu.size() - 2);
        if (marker == kCommandMarker) {
            rq.kind = Exchange::Fn104Command;
            const std::uint16_t cmd = pdu.size() >= 12 ? word(pdu, 10) : 0;
            rq.statusCommand = cmd == kEnterBootMode || cmd == kErase || cmd == kStartProgramming;
            rq.detail = subName(word(pdu, 1)) + u' ' +
                        (cmd == kEnterBootMode ? QStringLiteral("boot-entry")
                         : cmd == kErase       ? QStringLiteral("erase")
                         : cmd == kStartProgramming
                             ? QStringLiteral("program")
                             : QStringLiteral("0x%1").arg(cmd, 4, 16, QLatin1Char('0')));
        } else if (marker == kDataMarker) {
            rq.kind = Exchange::Fn104Data;
            rq.detail = subName(word(pdu, 1));
        }
    }
    return rq;
}

UnitModel::ModbusOutcome UnitModel::serveModbus(std::span<const std::uint8_t> pdu, bool serialLine,
                                                TimePoint now) {
    ModbusOutcome out;
    if (pdu.empty()) {
        return out;
    }
    const std::uint8_t fn = pdu[0];

    // What kind of exchange is this? Faults are chosen by it before anything is done.
    const ModbusRequest rq = classifyModbus(pdu, serialLine);
    const long serial = countExchange(rq.kind, rq.detail);
    if (dipMeets(rq, pdu, serial, now)) {
        return out; // lost with the power
    }
    out.fired = m_faults.decide(rq.kind, serial, true, rq.statusCommand, serialLine);
    if (out.fired.powerLoss) {
        powerLoss(now, out.fired.powerLoss->param > 0 ? out.fired.powerLoss->param : 3000);
        return out;
    }
    if (out.fired.exception) {
        const int code = out.fired.exception->param > 0 ? out.fired.exception->param : 4;
        out.pdu = exceptionPdu(fn, static_cast<std::uint8_t>(code));
        return out;
    }

    switch (fn) {
    case 3:
        out.pdu = rq.fixedLayout ? readHolding(pdu, now) : exceptionPdu(fn, 3);
        break;
    case 6:
        out.pdu = rq.fixedLayout ? writeSingle(pdu) : exceptionPdu(fn, 3);
        break;
    case 16:
        out.pdu = rq.blockLayout ? writeMultiple(pdu) : exceptionPdu(fn, 3);
        break;
    case 103:
        if (!serialLine) {
            out.pdu = exceptionPdu(fn, 1);
        } else {
            out.pdu = rq.fixedLayout ? controlCommand(pdu, now) : exceptionPdu(fn, 3);
        }
        break;
    case 104:
        out.pdu = serialLine ? serveWindow(pdu, out.fired, now) : exceptionPdu(fn, 1);
        break;
    default:
        out.pdu = exceptionPdu(fn, 1);
        break;
    }
    return out;
}

Bytes UnitModel::readHolding(std::span<const std::uint8_t> pdu, TimePoint now) {
    constexpr std::uint8_t fn = 3;
    const std::uint16_t first = word(pdu, 1);
    const std::uint16_t count = word(pdu, 3);
    if (count < 1 || count > 125) {
        return exceptionPdu(fn, 3);
    }
    Bytes reply{3, static_cast<std::uint8_t>(2 * count)};
    // Reading a window's status words lets its sub-processor post news.
    for (int n : {2, 3}) {
        if (!sub(n).present) {
            continue;
        }
        const int st = windowStart(n);
        if (first <= st + 1 && first + count > st) {
            advance(sub(n), now, true);
        }
    }
    for (int r = first; r < first + count; ++r) {
        const auto v = readRegister(r);
        if (!v) {
            return exceptionPdu(fn, 2);
        }
        putWord(reply, *v);
    }
    return reply;
}

Bytes UnitModel::writeSingle(std::span<const std::uint8_t> pdu) {
    const std::uint16_t reg = word(pdu, 1);
    if (reg < kGeneralFirst || reg > kGeneralLast) {
        return exceptionPdu(6, 2);
    }
    m_general[static_cast<std::size_t>(reg - kGeneralFirst)] = word(pdu, 3);
    return Bytes(pdu.begin(), pdu.end());
}

Bytes UnitModel::writeMultiple(std::span<const std::uint8_t> pdu) {
    constexpr std::uint8_t fn = 16;
    const std::uint16_t first = word(pdu, 1);
    const std::uint16_t count = word(pdu, 3);
    if (count < 1 || count > 123 || pdu[5] != 2 * count) {
        return exceptionPdu(fn, 3);
    }
    if (first < kGeneralFirst || first + count - 1 > kGeneralLast) {
        return exceptionPdu(fn, 2);
    }
    for (int i = 0; i < count; ++i) {
        m_general[static_cast<std::size_t>(first - kGeneralFirst + i)] =
            word(pdu, 6 + 2 * static_cast<std::size_t>(i));
    }
    Bytes reply{fn};
    putWord(reply, first);
    putWord(reply, count);
    return reply;
}

Bytes UnitModel::controlCommand(std::span<const std::uint8_t> pdu, TimePoint now) {
    constexpr std::uint8_t fn = 103;
    const std::uint16_t reg = word(pdu, 1);
    const std::uint16_t value = word(pdu, 3);
    if (reg != kControlRegister) {
        return exceptionPdu(fn, 2);
    }
    if (value != kUpgradeMode && value != kToBootloader && value != kRestart) {
        return exceptionPdu(fn, 3);
    }
    if (value == kUpgradeMode) {
        m_upgradeModeSeen = true;
    } else if (value == kToBootloader) {
        enterBootloader();
    } else {
        restartUnit(now);
    }
    return Bytes(pdu.begin(), pdu.end()); // the echo, like function 6
}

Bytes UnitModel::serveWindow(std::span<const std::uint8_t> pdu, const FaultInjector::Fired& fired,
                             TimePoint now) {
    constexpr std::uint8_t fn = 104;
    if (pdu.size() < 6 || pdu.size() != 6 + static_cast<std::size_t>(pdu[5])) {
        return exceptionPdu(fn, 3);
    }
    const std::uint16_t first = word(pdu, 1);
    const std::uint16_t count = word(pdu, 3);
    if (pdu[5] != 2 * count) {
        return exceptionPdu(fn, 3);
    }
    int n = 0;
    for (int k : {2, 3}) {
        if (sub(k).present && windowStart(k) == first) {
            n = k;
        }
    }
    if (n == 0) {
        return exceptionPdu(fn, 2);
    }
    const int len = windowLength();
    if (count != len) {
        return exceptionPdu(fn, 3);
    }

    std::array<std::uint16_t, 16> regs{};
    for (int i = 0; i < len; ++i) {
        regs[static_cast<std::size_t>(i)] = word(pdu, 6 + 2 * static_cast<std::size_t>(i));
    }
    const std::uint16_t marker = regs[static_cast<std::size_t>(len - 1)];
    Sub& s = sub(n);
    const QString name = n == 2 ? QStringLiteral("CPU-2") : QStringLiteral("HMI");

    if (marker == kDataMarker) {
        // Registers 3..L-2 carry the image: 12 bytes with 10 registers, 24 with 16.
        const std::uint32_t chunk = 2U * static_cast<std::uint32_t>(len - 4);
        const std::uint32_t at = progStart(n) + regs[2];
        if (at + chunk - 1 > progEnd(n)) {
            note(QStringLiteral("%1 data block at offset %2 lies beyond the program range")
                     .arg(name, hex4(regs[2])));
            return exceptionPdu(fn, 3);
        }
        s.dataTaken = true;
        if (s.bootMode) {
            for (std::uint32_t k = 0; k < chunk / 2; ++k) {
                s.staging[at + 2 * k] = static_cast<std::uint8_t>(regs[3 + k] >> 8);
                s.staging[at + 2 * k + 1] = static_cast<std::uint8_t>(regs[3 + k] & 0xFF);
            }
            ++s.dataBlocks;
        } else if (++s.blocksDropped == 1) {
            // CPU-1 acknowledges the block all the same (a unit in the field did): it goes
            // nowhere.
            note(QStringLiteral("%1 data blocks acknowledged while not in boot mode, dropped")
                     .arg(name));
        }
    } else if (marker == kCommandMarker) {
        const std::uint16_t cmd = regs[2];
        if (cmd != kEnterBootMode && cmd != kErase && cmd != kStartProgramming) {
            return exceptionPdu(fn, 3);
        }
        if (s.silent) {
            // CPU-1 takes the block; the sub-processor never answers.
        } else if (cmd == kEnterBootMode) {
            if (s.op.kind != OpKind::BootEntry || s.op.done) {
                startOp(s, OpKind::BootEntry, fired, now);
            }
        } else {
            // The command carries the image CRC as the master computed it: the CRC-16 with its
            // two bytes exchanged (register high byte = CRC low byte). CPU-1 checks it against
            // the blocks it took, passed on or not, so a transfer that went (partly) nowhere
            // ends in "corrupt data", as on a unit in the field. With no block taken and the
            // sub-processor out of boot mode, the command is simply ignored.
            auto crcMatches = [&] {
                const std::size_t from = progStart(n);
                const std::uint16_t crc = crc16(
                    std::span<const std::uint8_t>(s.staging).subspan(from, progEnd(n) + 1 - from));
                const auto sent = static_cast<std::uint16_t>(((crc & 0xFF) << 8) | (crc >> 8));
                if (regs[3] != sent) {
                    note(QStringLiteral("%1 image CRC %2 in the command, %3 received")
                             .arg(name, hex4(regs[3]), hex4(sent)));
                }
                return regs[3] == sent;
            };
            if ((s.bootMode || s.dataTaken) && !crcMatches()) {
                startOp(s, OpKind::Corrupt, fired, now);
            } else if (!s.bootMode) {
                note(QStringLiteral("%1 %2 command ignored: not in boot mode")
                         .arg(name, cmd == kErase ? QStringLiteral("erase")
                                                  : QStringLiteral("programming")));
                s.op = Op{};
            } else {
                startOp(s, cmd == kErase ? OpKind::Erase : OpKind::Program, fired, now);
            }
        }
    } else {
        return exceptionPdu(fn, 3);
    }

    // The block overwrites the window, status words included (the master sends zeros there).
    std::copy(regs.begin(), regs.begin() + len, s.window.begin());
    Bytes reply{fn};
    putWord(reply, first);
    putWord(reply, count);
    return reply;
}
} // namespace corvane::sim

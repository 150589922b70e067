#include "UnitModel.h"

#include <algorithm>
#include <cstring>

namespace corvane::sim {

namespace {

constexpr std::size_t kFlashSize = 65536;
constexpr std::uint32_t kBootMarker = 0x3FF; // bootloader's boot-mode byte: 0 = run firmware
constexpr int kMaxNotes = 200;

// Frame ends on a quiet line. The idle gap is wall time, not scaled: it only decides when an
// unknown-function frame is complete; bytes that may begin a frame are kept until stale.
constexpr auto kIdleGap = std::chrono::milliseconds(5);
constexpr auto kStaleGap = std::chrono::milliseconds(500);

// Control register commands (function 103).
constexpr std::uint16_t kUpgradeMode = 0x1966;
constexpr std::uint16_t kToBootloader = 0x222D;
constexpr std::uint16_t kRestart = 0x1BC5;
constexpr int kControlRegister = 12;

// Window blocks (function 104).
constexpr std::uint16_t kCommandMarker = 0x5C;
constexpr std::uint16_t kDataMarker = 0xA6;
constexpr std::uint16_t kEnterBootMode = 0x222D;
constexpr std::uint16_t kErase = 0x1A9B;
constexpr std::uint16_t kStartProgramming = 0x1997;

// Status words a sub-processor posts.
constexpr std::uint16_t kFinished = 0x8000;
constexpr std::uint16_t kCorrupt = 0x4000;
constexpr std::uint16_t kBusyErasing = 0x0001;
constexpr std::uint16_t kBusyProgramming = 0x0002;

constexpr int kGeneralFirst = 100;
constexpr int kGeneralLast = 199;

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void fillPattern(Bytes& out, std::size_t from, std::size_t to, std::uint64_t seed) {
    std::uint64_t state = seed;
    for (std::size_t a = from; a < to; a += 8) {
        const std::uint64_t v = splitmix(state);
        for (std::size_t k = 0; k < 8 && a + k < to; ++k)
            out[a + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
}

std::uint16_t word(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

void putWord(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

Bytes exceptionPdu(std::uint8_t fn, std::uint8_t code) {
    return Bytes{static_cast<std::uint8_t>(fn | 0x80), code};
}

QString hex4(std::uint32_t v) {
    return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

Scenario resolveScenario(Scenario s, const CarriedFirmware& carried) {
    if (s.buildData.isEmpty())
        s.buildData = carried.folder;
    if (s.cpu1.rm == 0) {
        if (!carried.cpu1Images.empty())
            s.cpu1.rm = carried.cpu1Images.begin()->first;
        else
            s.cpu1.rm = carried.rm[1];
    }
    if (s.cpu2.rm == 0)
        s.cpu2.rm = carried.rm[2];
    if (s.hmi.rm == 0)
        s.hmi.rm = carried.rm[3];
    if (!s.hasHmi) {
        const auto it = carried.productHasHmi.find(s.cpu1.rm);
        s.hasHmi = it == carried.productHasHmi.end() ? true : it->second;
    }
    if (s.modelRm == 0)
        s.modelRm = s.cpu1.rm;
    if (s.bootRmNumber == 0)
        s.bootRmNumber = carried.bootRmNumber;
    s.untimedBusyReads = std::max(0, s.untimedBusyReads);
    if (s.timing.scale < 0.0)
        s.timing.scale = 0.0;
    if (s.timing.baudRate == 0)
        s.timing.baudRate = 115200;
    return s;
}

UnitModel::UnitModel(const Scenario& resolved, const FaultPlan& faults,
                     const CarriedFirmware& carried, TimePoint now)
    : m_sc(resolved)
    , m_carried(carried)
    , m_faults(faults)
    , m_rtu(resolved.slaveAddress)
    , m_lastRx(now)
    , m_rxWireEnd(now)
    , m_txWireEnd(now) {
    // CPU-1: bootloader area below the program range, then the firmware of the scenario.
    m_cpu1.rm = m_sc.cpu1.rm;
    m_cpu1.version = m_sc.cpu1.version;
    m_cpu1.flash.assign(kFlashSize, 0xFF);
    fillPattern(m_cpu1.flash, 0, progStart(1), 0xB007B007ULL);
    const bool cpu1Carried =
        m_carried.cpu1Images.count(m_cpu1.rm) != 0 && m_cpu1.version == m_carried.version[1];
    m_cpu1.initialRange = initialImage(1, m_sc.startInBootloader, cpu1Carried);
    std::copy(m_cpu1.initialRange.begin(), m_cpu1.initialRange.end(),
              m_cpu1.flash.begin() + progStart(1));
    m_cpu1.initialValid = !m_sc.startInBootloader;
    if (kBootMarker < progStart(1))
        m_cpu1.flash[kBootMarker] = m_sc.startInBootloader ? 0xFF : 0x00;
    m_cpu1.inBootloader = m_sc.startInBootloader;

    for (int n = 2; n <= 3; ++n) {
        Sub& s = sub(n);
        const ProcessorSetup& setup = n == 2 ? m_sc.cpu2 : m_sc.hmi;
        s.index = n;
        s.present = n == 2 || m_sc.hasHmi.value_or(true);
        s.silent = setup.silent;
        s.keepsVersion = setup.keepsVersion;
        s.bootMode = setup.inBootMode;
        s.rm = setup.rm;
        s.version = setup.version;
        s.flash.assign(kFlashSize, 0xFF);
        fillPattern(s.flash, 0, progStart(n), 0xB007B007ULL + static_cast<std::uint64_t>(n));
        const bool carriedMatch = !m_carried.subImages[n].isEmpty() && s.rm == m_carried.rm[n] &&
                                  s.version == m_carried.version[n];
        s.initialRange = initialImage(n, s.bootMode, carriedMatch);
        std::copy(s.initialRange.begin(), s.initialRange.end(), s.flash.begin() + progStart(n));
        s.initialValid = !s.bootMode;
        s.staging.assign(kFlashSize, 0xFF);
    }
}

Bytes UnitModel::initialImage(int processor, bool erased, bool carriedMatch) {
    const std::size_t from = progStart(processor);
    const std::size_t to = progEnd(processor) + 1;
    Bytes range(to - from, 0xFF);
    if (erased)
        return range;
    if (carriedMatch) {
        const QByteArray& img =
            processor == 1 ? m_carried.cpu1Images.at(m_cpu1.rm) : m_carried.subImages[processor];
        std::memcpy(range.data(), img.constData() + from, range.size());
        return range;
    }
    const ProcessorSetup& setup = processor == 1   ? m_sc.cpu1
                                  : processor == 2 ? m_sc.cpu2
                                                   : m_sc.hmi;
    fillPattern(range, 0, range.size(),
                (static_cast<std::uint64_t>(processor) << 40) ^
                    (static_cast<std::uint64_t>(setup.rm) << 16) ^ setup.version);
    return range;
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> UnitModel::identify(int processor) const {
    const std::size_t from = progStart(processor);
    const std::size_t len = progEnd(processor) + 1 - from;
    if (processor == 1) {
        const std::uint8_t* range = m_cpu1.flash.data() + from;
        for (const auto& [rm, img] : m_carried.cpu1Images)
            if (std::memcmp(range, img.constData() + from, len) == 0)
                return std::make_pair(rm, m_carried.version[1]);
        if (m_cpu1.initialValid && std::memcmp(range, m_cpu1.initialRange.data(), len) == 0)
            return std::make_pair(m_sc.cpu1.rm, m_sc.cpu1.version);
        return std::nullopt;
    }
    const Sub& s = processor == 2 ? m_cpu2 : m_hmi;
    const std::uint8_t* range = s.flash.data() + from;
    const QByteArray& img = m_carried.subImages[processor];
    if (!img.isEmpty() && std::memcmp(range, img.constData() + from, len) == 0)
        return std::make_pair(m_carried.rm[processor], m_carried.version[processor]);
    const ProcessorSetup& setup = processor == 2 ? m_sc.cpu2 : m_sc.hmi;
    if (s.initialValid && std::memcmp(range, s.initialRange.data(), len) == 0)
        return std::make_pair(setup.rm, setup.version);
    return std::nullopt;
}

bool UnitModel::holdsCarried(int processor) const {
    const std::size_t from = progStart(processor);
    const std::size_t len = progEnd(processor) + 1 - from;
    if (processor == 1) {
        const auto it = m_carried.cpu1Images.find(m_sc.cpu1.rm);
        return it != m_carried.cpu1Images.end() &&
               std::memcmp(m_cpu1.flash.data() + from, it->second.constData() + from, len) == 0;
    }
    const Sub& s = processor == 2 ? m_cpu2 : m_hmi;
    const QByteArray& img = m_carried.subImages[processor];
    return !img.isEmpty() && std::memcmp(s.flash.data() + from, img.constData() + from, len) == 0;
}

double UnitModel::ms(double v) const {
    return v * m_sc.timing.scale;
}

std::chrono::nanoseconds UnitModel::dur(double msValue) const {
    if (!m_sc.timing.enabled)
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ms(msValue) * 1e6));
}

std::chrono::nanoseconds UnitModel::wireTime(std::size_t bytes) const {
    if (!m_sc.timing.enabled)
        return std::chrono::nanoseconds(0);
    const double seconds = static_cast<double>(bytes) * 10.0 / m_sc.timing.baudRate;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * m_sc.timing.scale * 1e9));
}

int UnitModel::windowAt(int reg) const {
    const int len = windowLength();
    for (int n : {3, 2}) {
        const Sub& s = n == 2 ? m_cpu2 : m_hmi;
        const int start = windowStart(n);
        if (s.present && reg >= start && reg < start + len)
            return n;
    }
    return 0;
}

long UnitModel::countExchange(Exchange kind, QString detail) {
    ++m_counts[static_cast<std::size_t>(kind)];
    if (m_trace.size() < SimulatedUnit::kMaxTrace)
        m_trace.push_back({kind, std::move(detail)});
    return ++m_serial;
}

void UnitModel::note(const QString& text) {
    if (static_cast<int>(m_notes.size()) < kMaxNotes)
        m_notes.push_back(text);
    else if (static_cast<int>(m_notes.size()) == kMaxNotes)
        m_notes.push_back(QStringLiteral("(further notes left out)"));
}

int UnitModel::exchanges(Exchange kind) const {
    if (kind == Exchange::Any) {
        int total = 0;
        for (int c : m_counts)
            total += c;
        return total;
    }
    return m_counts[static_cast<std::size_t>(kind)];
}

// ---- Modbus ---------------------------------------------------------------------------------

std::optional<std::uint16_t> UnitModel::readRegister(int reg) const {
    auto subRm = [this](const Sub& s) -> std::uint16_t {
        if (!s.present || s.silent)
            return 0;
        return s.bootMode ? m_sc.bootRmNumber : s.rm;
    };
    auto subVersion = [](const Sub& s) -> std::uint16_t {
        if (!s.present || s.silent || s.bootMode)
            return 0;
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
    if (reg >= 0 && reg < 16)
        return 0;
    if (const int n = windowAt(reg); n != 0) {
        const Sub& s = n == 2 ? m_cpu2 : m_hmi;
        return s.window[static_cast<std::size_t>(reg - windowStart(n))];
    }
    if (reg >= kGeneralFirst && reg <= kGeneralLast)
        return m_general[static_cast<std::size_t>(reg - kGeneralFirst)];
    return std::nullopt;
}

UnitModel::ModbusOutcome UnitModel::serveModbus(std::span<const std::uint8_t> pdu, bool serialLine,
                                                TimePoint now) {
    ModbusOutcome out;
    if (pdu.empty())
        return out;
    const std::uint8_t fn = pdu[0];

    // What kind of exchange is this? Faults are chosen by it before anything is done.
    Exchange kind = Exchange::Other;
    QString detail;
    bool statusCommand = false;
    const bool fixedLayout = pdu.size() == 5;
    const bool blockLayout = pdu.size() >= 6 && pdu.size() == 6 + static_cast<std::size_t>(pdu[5]);
    auto subName = [this](int reg) {
        const int n = windowAt(reg);
        return n == 2   ? QStringLiteral("CPU-2")
               : n == 3 ? QStringLiteral("HMI")
                        : QStringLiteral("?");
    };
    if (fn == 3 && fixedLayout) {
        const int reg = word(pdu, 1);
        kind = windowAt(reg) != 0 ? Exchange::StatusRead : Exchange::ModbusRead;
        detail = kind == Exchange::StatusRead ? subName(reg) : QStringLiteral("reg %1").arg(reg);
    } else if ((fn == 6 && fixedLayout) || (fn == 16 && blockLayout)) {
        kind = Exchange::ModbusWrite;
    } else if (fn == 103 && fixedLayout && serialLine) {
        kind = Exchange::Fn103;
        const std::uint16_t value = word(pdu, 3);
        detail = value == kUpgradeMode    ? QStringLiteral("upgrade-mode")
                 : value == kToBootloader ? QStringLiteral("bootloader")
                 : value == kRestart      ? QStringLiteral("restart")
                                     : QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
    } else if (fn == 104 && blockLayout && serialLine && pdu.size() >= 8) {
        const std::uint16_t marker = word(pdu, pdu.size() - 2);
        if (marker == kCommandMarker) {
            kind = Exchange::Fn104Command;
            const std::uint16_t cmd = pdu.size() >= 12 ? word(pdu, 10) : 0;
            statusCommand = cmd == kEnterBootMode || cmd == kErase || cmd == kStartProgramming;
            detail = subName(word(pdu, 1)) + u' ' +
                     (cmd == kEnterBootMode ? QStringLiteral("boot-entry")
                      : cmd == kErase       ? QStringLiteral("erase")
                      : cmd == kStartProgramming
                          ? QStringLiteral("program")
                          : QStringLiteral("0x%1").arg(cmd, 4, 16, QLatin1Char('0')));
        } else if (marker == kDataMarker) {
            kind = Exchange::Fn104Data;
            detail = subName(word(pdu, 1));
        }
    }
    const long serial = countExchange(kind, detail);
    out.fired = m_faults.decide(kind, serial, true, statusCommand, serialLine);
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
    case 3: {
        if (!fixedLayout) {
            out.pdu = exceptionPdu(fn, 3);
            break;
        }
        const std::uint16_t first = word(pdu, 1);
        const std::uint16_t count = word(pdu, 3);
        if (count < 1 || count > 125) {
            out.pdu = exceptionPdu(fn, 3);
            break;
        }
        Bytes reply{3, static_cast<std::uint8_t>(2 * count)};
        // Reading a window's status words lets its sub-processor post news.
        for (int n : {2, 3}) {
            if (!sub(n).present)
                continue;
            const int st = windowStart(n);
            if (first <= st + 1 && first + count > st)
                advance(sub(n), now, true);
        }
        bool ok = true;
        for (int r = first; r < first + count; ++r) {
            const auto v = readRegister(r);
            if (!v) {
                ok = false;
                break;
            }
            putWord(reply, *v);
        }
        out.pdu = ok ? reply : exceptionPdu(fn, 2);
        break;
    }
    case 6: {
        if (!fixedLayout) {
            out.pdu = exceptionPdu(fn, 3);
            break;
        }
        const std::uint16_t reg = word(pdu, 1);
        if (reg < kGeneralFirst || reg > kGeneralLast) {
            out.pdu = exceptionPdu(fn, 2);
            break;
        }
        m_general[static_cast<std::size_t>(reg - kGeneralFirst)] = word(pdu, 3);
        out.pdu = Bytes(pdu.begin(), pdu.end());
        break;
    }
    case 16: {
        if (!blockLayout) {
            out.pdu = exceptionPdu(fn, 3);
            break;
        }
        const std::uint16_t first = word(pdu, 1);
        const std::uint16_t count = word(pdu, 3);
        if (count < 1 || count > 123 || pdu[5] != 2 * count) {
            out.pdu = exceptionPdu(fn, 3);
            break;
        }
        if (first < kGeneralFirst || first + count - 1 > kGeneralLast) {
            out.pdu = exceptionPdu(fn, 2);
            break;
        }
        for (int i = 0; i < count; ++i)
            m_general[static_cast<std::size_t>(first - kGeneralFirst + i)] =
                word(pdu, 6 + 2 * static_cast<std::size_t>(i));
        out.pdu = Bytes{16};
        putWord(*out.pdu, first);
        putWord(*out.pdu, count);
        break;
    }
    case 103: {
        if (!serialLine) {
            out.pdu = exceptionPdu(fn, 1);
            break;
        }
        if (!fixedLayout) {
            out.pdu = exceptionPdu(fn, 3);
            break;
        }
        const std::uint16_t reg = word(pdu, 1);
        const std::uint16_t value = word(pdu, 3);
        if (reg != kControlRegister) {
            out.pdu = exceptionPdu(fn, 2);
            break;
        }
        if (value != kUpgradeMode && value != kToBootloader && value != kRestart) {
            out.pdu = exceptionPdu(fn, 3);
            break;
        }
        out.pdu = Bytes(pdu.begin(), pdu.end()); // the echo, like function 6
        if (value == kUpgradeMode) {
            m_upgradeModeSeen = true;
        } else if (value == kToBootloader) {
            enterBootloader();
        } else {
            restartUnit(now);
        }
        break;
    }
    case 104:
        if (!serialLine) {
            out.pdu = exceptionPdu(fn, 1);
            break;
        }
        out.pdu = serveWindow(pdu, out.fired, now);
        break;
    default:
        out.pdu = exceptionPdu(fn, 1);
        break;
    }
    return out;
}

Bytes UnitModel::serveWindow(std::span<const std::uint8_t> pdu, const FaultInjector::Fired& fired,
                             TimePoint now) {
    constexpr std::uint8_t fn = 104;
    if (pdu.size() < 6 || pdu.size() != 6 + static_cast<std::size_t>(pdu[5]))
        return exceptionPdu(fn, 3);
    const std::uint16_t first = word(pdu, 1);
    const std::uint16_t count = word(pdu, 3);
    if (pdu[5] != 2 * count)
        return exceptionPdu(fn, 3);
    int n = 0;
    for (int k : {2, 3})
        if (sub(k).present && windowStart(k) == first)
            n = k;
    if (n == 0)
        return exceptionPdu(fn, 2);
    const int len = windowLength();
    if (count != len)
        return exceptionPdu(fn, 3);

    std::array<std::uint16_t, 16> regs{};
    for (int i = 0; i < len; ++i)
        regs[static_cast<std::size_t>(i)] = word(pdu, 6 + 2 * static_cast<std::size_t>(i));
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
        for (std::uint32_t k = 0; k < chunk / 2; ++k) {
            s.staging[at + 2 * k] = static_cast<std::uint8_t>(regs[3 + k] >> 8);
            s.staging[at + 2 * k + 1] = static_cast<std::uint8_t>(regs[3 + k] & 0xFF);
        }
        ++s.dataBlocks;
    } else if (marker == kCommandMarker) {
        const std::uint16_t cmd = regs[2];
        if (cmd != kEnterBootMode && cmd != kErase && cmd != kStartProgramming)
            return exceptionPdu(fn, 3);
        if (s.silent) {
            // CPU-1 takes the block; the sub-processor never answers.
        } else if (cmd == kEnterBootMode) {
            if (s.op.kind != OpKind::BootEntry || s.op.done)
                startOp(s, OpKind::BootEntry, fired, now);
        } else if (!s.bootMode) {
            note(QStringLiteral("%1 %2 command ignored: not in boot mode")
                     .arg(name,
                          cmd == kErase ? QStringLiteral("erase") : QStringLiteral("programming")));
            s.op = Op{};
        } else {
            // The command carries the image CRC as the master computed it: the CRC-16 with its
            // two bytes exchanged (register high byte = CRC low byte).
            const std::size_t from = progStart(n);
            const std::uint16_t crc = crc16(
                std::span<const std::uint8_t>(s.staging).subspan(from, progEnd(n) + 1 - from));
            const auto sent = static_cast<std::uint16_t>(((crc & 0xFF) << 8) | (crc >> 8));
            if (regs[3] != sent) {
                note(QStringLiteral("%1 image CRC %2 in the command, %3 received")
                         .arg(name, hex4(regs[3]), hex4(sent)));
                startOp(s, OpKind::Corrupt, fired, now);
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
        if (op.fault == FaultKind::CorruptStatus)
            op.kind = OpKind::Corrupt;
        std::uniform_real_distribution<double> where(0.2, 0.8);
        op.stuckAt = where(m_faults.rng());
    }
    s.op = op;
}

void UnitModel::applyUpTo(Sub& s, std::uint32_t end) {
    for (std::uint32_t a = s.op.applied; a < end; ++a) {
        if (s.op.kind == OpKind::Erase)
            s.flash[a] = 0xFF;
        else if (s.op.kind == OpKind::Program)
            s.flash[a] &= s.staging[a]; // flash programming only clears bits
    }
    s.op.applied = std::max(s.op.applied, end);
}

void UnitModel::advance(Sub& s, TimePoint now, bool countRead) {
    Op& op = s.op;
    if (op.kind == OpKind::None || op.done || s.silent)
        return;
    if (countRead)
        ++op.reads;
    if (op.fault == FaultKind::NoNews)
        return;

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
    frac = std::clamp(frac, 0.0, 1.0);

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

    op.done = true;
    switch (op.kind) {
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
    if (!m_sc.timing.enabled)
        return;
    advance(m_cpu2, now, false);
    if (m_hmi.present)
        advance(m_hmi, now, false);
}

// ---- CPU-1 states ---------------------------------------------------------------------------

void UnitModel::enterBootloader() {
    if (kBootMarker < progStart(1))
        m_cpu1.flash[kBootMarker] = 0xFF;
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
    if (m_cpu1.blocksProgrammed > 0 && holdsCarried(1))
        m_cpu1.programmed = true;
    if (withBootTime && m_sc.timing.enabled)
        m_silentUntil = std::max(m_silentUntil, now + dur(m_sc.timing.cpu1BootMs));
}

void UnitModel::restartUnit(TimePoint now) {
    advanceAll(now);
    for (int n = 2; n <= 3; ++n) {
        Sub& s = sub(n);
        s.op = Op{};
        s.window.fill(0);
        std::fill(s.staging.begin(), s.staging.end(), 0xFF); // CPU-1's RAM
        if (!s.bootMode) {
            if (const auto id = identify(n)) {
                if (!s.keepsVersion) {
                    s.rm = id->first;
                    s.version = id->second;
                }
            } else {
                s.bootMode = true;
            }
        }
    }
    m_restartSeen = true;
    restartCpu1(now, true);
}

void UnitModel::powerLoss(TimePoint now, int silentMs) {
    note(QStringLiteral("power lost for %1 ms").arg(silentMs));
    const TimePoint back = now + std::chrono::milliseconds(silentMs);
    const bool restartSeen = m_restartSeen;
    restartUnit(now);
    m_restartSeen = restartSeen;
    m_silentUntil = std::max(m_silentUntil, back);
    if (!m_cpu1.inBootloader && m_sc.timing.enabled)
        m_silentUntil = back + dur(m_sc.timing.cpu1BootMs);
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
    if (cmd == 0x00 && len == 2 && data.empty())
        kind = Exchange::BlModel;
    else if (cmd == 0x00 && len == 0 && data.empty())
        kind = Exchange::BlReset;
    else if (cmd == 0x08 && len == 4 && data.empty())
        kind = Exchange::BlInfo;
    else if (cmd == 0x03 && len == 8 && data.size() == 3)
        kind = Exchange::BlErase;
    else if (cmd == 0x02 && len == 2 && data.size() == 131)
        kind = Exchange::BlProgram;
    else if (cmd == 0x05 && len == 1 && data.size() == 4)
        kind = Exchange::BlWriteByte;

    const long serial = countExchange(kind);
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
        for (std::uint32_t k = 0; k < 128; ++k)
            m_cpu1.flash[at + k] &= data[3 + k]; // programming only clears bits
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

// ---- Serial line ----------------------------------------------------------------------------

std::vector<Outgoing> UnitModel::finishSerial(Bytes wire, const FaultInjector::Fired& fired,
                                              TimePoint ready) {
    if (fired.drop)
        return {};
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
            if (b == m_sc.slaveAddress || b == kDle)
                continue;
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
    if (fired.delay)
        due += std::chrono::milliseconds(fired.delay->param > 0 ? fired.delay->param : 4000);
    return {Outgoing{std::move(wire), due}};
}

std::vector<Outgoing> UnitModel::serialBytes(std::span<const std::uint8_t> bytes, TimePoint now) {
    std::vector<Outgoing> out;
    if (silentAt(now) || bytes.empty())
        return out;
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
            if (silentAt(now) || !m_cpu1.inBootloader)
                break;
            FaultInjector::Fired fired;
            double processing = m_sc.timing.bootloaderProcessingMs;
            const auto reply = serveBootloader(body, now, fired, processing);
            if (!reply)
                continue;
            auto sent = finishSerial(encodeBootFrame(body[0], body[1], *reply), fired,
                                     ready + dur(processing));
            out.insert(out.end(), sent.begin(), sent.end());
        }
        return out;
    }

    for (const Bytes& frame : m_rtu.feed(bytes)) {
        if (silentAt(now) || m_cpu1.inBootloader)
            break;
        if (frame[0] == m_sc.slaveAddress)
            serveRtuFrame(frame, now, ready, out);
    }
    return out;
}

std::optional<TimePoint> UnitModel::nextSerialTick() const {
    if (m_idleHandled)
        return std::nullopt;
    if (m_cpu1.inBootloader)
        return m_lastRx + kStaleGap;
    return m_idlePass ? m_lastRx + kStaleGap : m_lastRx + kIdleGap;
}

std::vector<Outgoing> UnitModel::serialTick(TimePoint now) {
    std::vector<Outgoing> out;
    if (m_idleHandled)
        return out;
    const auto gap = now - m_lastRx;
    if (m_cpu1.inBootloader) {
        if (gap >= kStaleGap) {
            m_boot.clear();
            m_idleHandled = true;
        }
        return out;
    }
    if (gap < kIdleGap)
        return out;
    const bool stale = gap >= kStaleGap;
    const auto frames = m_rtu.idle(stale);
    m_idlePass = true;
    if (stale || m_rtu.buffered() == 0)
        m_idleHandled = true;
    for (const Bytes& frame : frames) {
        if (!silentAt(now) && frame[0] == m_sc.slaveAddress)
            serveRtuFrame(frame, now, now, out);
    }
    return out;
}

void UnitModel::serveRtuFrame(const Bytes& frame, TimePoint now, TimePoint ready,
                              std::vector<Outgoing>& out) {
    const auto pdu = std::span<const std::uint8_t>(frame).subspan(1, frame.size() - 3);
    ModbusOutcome outcome = serveModbus(pdu, true, now);
    if (!outcome.pdu)
        return;
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
    if (adu.size() < 8 || silentAt(now) || m_cpu1.inBootloader)
        return std::nullopt;
    const std::uint8_t unit = adu[6];
    if (unit != m_sc.slaveAddress && unit != 0 && unit != 0xFF)
        return std::nullopt;
    double processing = m_sc.timing.modbusProcessingMs;
    ModbusOutcome outcome = serveModbus(adu.subspan(7), false, now);
    if (!outcome.pdu || outcome.fired.drop)
        return std::nullopt;
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
    if (outcome.fired.delay)
        due += std::chrono::milliseconds(outcome.fired.delay->param > 0 ? outcome.fired.delay->param
                                                                        : 4000);
    return Outgoing{std::move(reply), due};
}

// ---- Queries --------------------------------------------------------------------------------

QByteArray UnitModel::flash(int processor, TimePoint now) {
    advanceAll(now);
    const Bytes& f = processor == 1 ? m_cpu1.flash : sub(processor).flash;
    return QByteArray(reinterpret_cast<const char*>(f.data()), static_cast<qsizetype>(f.size()));
}

bool UnitModel::cpu1InBootloader(TimePoint now) {
    (void)now;
    return m_cpu1.inBootloader;
}

bool UnitModel::inBootMode(int processor, TimePoint now) {
    advanceAll(now);
    return processor != 1 && sub(processor).present && sub(processor).bootMode;
}

std::uint16_t UnitModel::reportedRm(int processor, TimePoint now) {
    advanceAll(now);
    if (processor == 1)
        return m_cpu1.inBootloader ? 0 : m_cpu1.rm;
    return readRegister(processor == 2 ? 10 : 8).value_or(0);
}

std::uint16_t UnitModel::reportedVersion(int processor, TimePoint now) {
    advanceAll(now);
    if (processor == 1)
        return m_cpu1.inBootloader ? 0 : m_cpu1.version;
    return readRegister(processor == 2 ? 11 : 9).value_or(0);
}

Summary UnitModel::summary(TimePoint now) {
    advanceAll(now);
    Summary s;
    ProcessorReport& c1 = s.processors[1];
    c1.present = true;
    c1.running = !m_cpu1.inBootloader;
    c1.rm = reportedRm(1, now);
    c1.version = reportedVersion(1, now);
    c1.programmed = m_cpu1.programmed;
    c1.holdsCarriedImage = holdsCarried(1);
    c1.eraseSteps = m_cpu1.eraseSteps;
    c1.blocksProgrammed = m_cpu1.blocksProgrammed;
    for (int n = 2; n <= 3; ++n) {
        const Sub& sb = sub(n);
        ProcessorReport& r = s.processors[static_cast<std::size_t>(n)];
        r.present = sb.present;
        r.running = sb.present && !sb.silent && !sb.bootMode;
        r.rm = reportedRm(n, now);
        r.version = reportedVersion(n, now);
        r.programmed = sb.programmed;
        r.holdsCarriedImage = sb.present && holdsCarried(n);
        r.eraseSteps = sb.erases;
        r.blocksProgrammed = sb.dataBlocks;
    }
    s.upgradeModeSeen = m_upgradeModeSeen;
    s.restartSeen = m_restartSeen;
    s.exchanges = m_counts;
    s.faultsInjected = m_faults.log();
    s.notes = m_notes;
    return s;
}

} // namespace corvane::sim

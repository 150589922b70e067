// UnitModel: the unit as built from its scenario (flash contents, what each processor runs and
// reports), the exchange count and the queries. The protocols are served in UnitRegisters.cpp
// (register map, windows), UnitSubProcessors.cpp, UnitCpu1.cpp and UnitLine.cpp.
#include "UnitModel.h"
#include "UnitModelDetail.h"

#include <algorithm>
#include <cstring>

namespace corvane::sim {

using namespace unit;

namespace {

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
        for (std::size_t k = 0; k < 8 && a + k < to; ++k) {
            out[a + k] = static_cast<std::uint8_t>(v >> (8 * k));
        }
    }
}

} // namespace

Scenario resolveScenario(Scenario s, const CarriedFirmware& carried) {
    if (s.buildData.isEmpty()) {
        s.buildData = carried.folder;
    }
    if (s.cpu1.rm == 0) {
        if (!carried.cpu1Images.empty()) {
            s.cpu1.rm = carried.cpu1Images.begin()->first;
        } else {
            s.cpu1.rm = carried.rm[1];
        }
    }
    if (s.cpu2.rm == 0) {
        s.cpu2.rm = carried.rm[2];
    }
    if (s.hmi.rm == 0) {
        s.hmi.rm = carried.rm[3];
    }
    if (!s.hasHmi) {
        const auto it = carried.productHasHmi.find(s.cpu1.rm);
        s.hasHmi = it == carried.productHasHmi.end() ? true : it->second;
    }
    if (s.modelRm == 0) {
        s.modelRm = s.cpu1.rm;
    }
    if (s.bootRmNumber == 0) {
        s.bootRmNumber = carried.bootRmNumber;
    }
    s.untimedBusyReads = std::max(0, s.untimedBusyReads);
    if (s.timing.scale < 0.0) {
        s.timing.scale = 0.0;
    }
    if (s.timing.baudRate == 0) {
        s.timing.baudRate = 115200;
    }
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
    for (const PowerDip& d : faults.powerDips) {
        m_dips.push_back({d});
    }
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
    if (kBootMarker < progStart(1)) {
        m_cpu1.flash[kBootMarker] = m_sc.startInBootloader ? 0xFF : 0x00;
    }
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
    if (erased) {
        return range;
    }
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
        for (const auto& [rm, img] : m_carried.cpu1Images) {
            if (std::memcmp(range, img.constData() + from, len) == 0) {
                return std::make_pair(rm, m_carried.version[1]);
            }
        }
        if (m_cpu1.initialValid && std::memcmp(range, m_cpu1.initialRange.data(), len) == 0) {
            return std::make_pair(m_sc.cpu1.rm, m_sc.cpu1.version);
        }
        return std::nullopt;
    }
    const Sub& s = processor == 2 ? m_cpu2 : m_hmi;
    const std::uint8_t* range = s.flash.data() + from;
    const QByteArray& img = m_carried.subImages[processor];
    if (!img.isEmpty() && std::memcmp(range, img.constData() + from, len) == 0) {
        return std::make_pair(m_carried.rm[processor], m_carried.version[processor]);
    }
    const ProcessorSetup& setup = processor == 2 ? m_sc.cpu2 : m_sc.hmi;
    if (s.initialValid && std::memcmp(range, s.initialRange.data(), len) == 0) {
        return std::make_pair(setup.rm, setup.version);
    }
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

long UnitModel::countExchange(Exchange kind, QString detail) {
    ++m_counts[static_cast<std::size_t>(kind)];
    if (m_trace.size() < SimulatedUnit::kMaxTrace) {
        m_trace.push_back({kind, std::move(detail)});
    }
    return ++m_serial;
}

void UnitModel::note(const QString& text) {
    if (static_cast<int>(m_notes.size()) < kMaxNotes) {
        m_notes.push_back(text);
    } else if (static_cast<int>(m_notes.size()) == kMaxNotes) {
        m_notes.push_back(QStringLiteral("(further notes left out)"));
    }
}

int UnitModel::exchanges(Exchange kind) const {
    if (kind == Exchange::Any) {
        int total = 0;
        for (int c : m_counts) {
            total += c;
        }
        return total;
    }
    return m_counts[static_cast<std::size_t>(kind)];
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
    if (processor == 1) {
        return m_cpu1.inBootloader ? 0 : m_cpu1.rm;
    }
    return readRegister(processor == 2 ? 10 : 8).value_or(0);
}

std::uint16_t UnitModel::reportedVersion(int processor, TimePoint now) {
    advanceAll(now);
    if (processor == 1) {
        return m_cpu1.inBootloader ? 0 : m_cpu1.version;
    }
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

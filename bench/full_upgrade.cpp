// full_upgrade: a complete upgrade of CPU-1, CPU-2 and the HMI of a simulated unit with its
// timing model on, driven through the real updater window (offscreen) with the window's own
// waits, on the default link (10 ms read interval), on the fast link as it was (chunks ended by
// 0.5 ms of quiet) and on the fast link (--fast: chunks end at every read). Prints per link the
// time of every phase, the exchanges, the ratio of the total to the floor and the CPU time the
// updater used; then all side by side.
//
//   full_upgrade [--scale X] [--link default,fast-before,fast|all]
//     X multiplies the unit's modelled times (default 1)

#include "UpgradeRig.h"

#include "SmoothControls.h"
#include "main.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <set>

using namespace corvane::e2e;
namespace sim = corvane::sim;

namespace {

// The waits the upgrade sequence prescribes, in ms.
constexpr double kCpu1RestartMs = 8000;
constexpr double kControlCommandMs = 150; // after the upgrade-mode and the restart command
constexpr double kTransferStartMs = 100;  // before a sub-processor's data blocks
constexpr double kBootEntryPollMs = 100;  // after each boot-mode command
constexpr double kBitsPerByte = 10;
constexpr double kStatusReadBytes = 8 + 9; // a read of the two status words and its reply

struct LinkMode {
    const char* name;
    bool fastLink;                  // the window's --fast
    std::optional<ChunkEnd> chunks; // set on the window's link; unset: the link's own
};
const LinkMode kModes[] = {
    {"default", false, std::nullopt},
    {"fast-before", true, ChunkEnd::QuietInterval},
    {"fast", true, std::nullopt},
};

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::set<QString> threadIds() {
    const QStringList ids =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return {ids.begin(), ids.end()};
}

// User + system time of one thread of this process, from /proc.
double taskCpuSeconds(const QString& tid) {
    QFile f(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
    if (!f.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray stat = f.readAll();
    // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
    const qsizetype close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 13) {
        return 0;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
}

struct LineTimes {
    QString caption;
    double start = 0; // s since "Load Firmware"
};

struct ModeResult {
    bool ok = false;
    double total = 0;
    std::size_t exchanges = 0;
    double floor = 0;
    double updaterCpu = 0;
};

ModeResult runMode(const LinkMode& mode, double scale);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A complete three-processor upgrade of the simulated unit with its timing model on."));
    parser.addHelpOption();
    const QCommandLineOption scaleOpt(
        QStringLiteral("scale"),
        QStringLiteral("Multiply the unit's modelled times by X (default 1; the updater's own "
                       "waits stay as they are)."),
        QStringLiteral("X"), QStringLiteral("1"));
    parser.addOption(scaleOpt);
    const QCommandLineOption linkOpt(
        QStringLiteral("link"),
        QStringLiteral("The links, comma-separated: default, fast-before (the fast link's 0.5 ms "
                       "quiet interval), fast; or all (default)."),
        QStringLiteral("L"), QStringLiteral("all"));
    parser.addOption(linkOpt);
    parser.process(app);
    bool ok = false;
    const double scale = parser.value(scaleOpt).toDouble(&ok);
    if (!ok || scale < 0) {
        std::fprintf(stderr, "full_upgrade: --scale wants a number >= 0\n");
        return 2;
    }
    QStringList wanted = parser.value(linkOpt).split(QLatin1Char(','));
    if (wanted == QStringList{QStringLiteral("all")}) {
        wanted = {QStringLiteral("default"), QStringLiteral("fast-before"), QStringLiteral("fast")};
    }
    std::vector<std::pair<const char*, ModeResult>> results;
    for (const LinkMode& mode : kModes) {
        if (wanted.removeAll(QLatin1String(mode.name)) > 0) {
            results.emplace_back(mode.name, runMode(mode, scale));
        }
    }
    if (!wanted.isEmpty() || results.empty()) {
        std::fprintf(stderr, "full_upgrade: --link wants default, fast-before, fast or all\n");
        return 2;
    }
    std::printf("\n%-12s %10s %10s %12s %12s %14s %12s\n", "link", "total (s)", "exchanges",
                "floor (s)", "total/floor", "ms over/exch.", "updater CPU");
    bool allGood = true;
    for (const auto& [name, r] : results) {
        std::printf("%-12s %10.2f %10zu %12.2f %12.3f %14.3f %10.2f s%s\n", name, r.total,
                    r.exchanges, r.floor, r.floor > 0 ? r.total / r.floor : 0.0,
                    r.exchanges > 0 ? 1000 * (r.total - r.floor) / double(r.exchanges) : 0.0,
                    r.updaterCpu, r.ok ? "" : "  (did not complete)");
        allGood = allGood && r.ok;
    }
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    std::printf("\nPeak memory (ru_maxrss, whole process with the simulated unit): %.1f MiB\n",
                static_cast<double>(u.ru_maxrss) / 1024.0);
    return allGood ? 0 : 1;
}

namespace {

// The threads that have started since `before` was taken.
std::set<QString> threadsSince(const std::set<QString>& before) {
    std::set<QString> started;
    for (const QString& id : threadIds()) {
        if (!before.contains(id)) {
            started.insert(id);
        }
    }
    return started;
}

// What the scan left: its time, and the counters the upgrade's own figures start from.
struct ScanFigures {
    double seconds = 0;
    std::size_t requests = 0;
    std::uint64_t written = 0;
    std::uint64_t read = 0;
    sim::Summary atLoad;
};

std::optional<ScanFigures> scanUnit(UpgradeRig& rig, TForm3& form) {
    QElapsedTimer clock;
    clock.start();
    if (!rig.scan(120000) || !form.Load_Button->isVisibleTo(&form)) {
        std::fprintf(stderr, "full_upgrade: the unit was not found or offers nothing to do\n");
        return std::nullopt;
    }
    ScanFigures scan;
    scan.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    scan.requests = rig.wire().requestCount();
    scan.written = rig.wire().bytesWritten();
    scan.read = rig.wire().bytesRead();
    scan.atLoad = rig.unit().summary();
    return scan;
}

// The upgrade as it was timed: when each progress line first showed, and the CPU time of the
// whole process, of the simulated unit's threads and of the listener that took the times.
struct UpgradeTimes {
    std::vector<LineTimes> lines;
    double total = 0;
    double cpuTotal = 0;
    double unitCpu = 0;
    double watcherCpu = 0;
    QStringList finalLines;
};

// "Load Firmware" to the end of the upgrade. Follows the engine's events: when each progress
// line first showed. The listener's own CPU time is measured and left out of the updater's.
std::optional<UpgradeTimes> timedUpgrade(UpgradeRig& rig, TForm3& form,
                                         const std::set<QString>& unitThreads) {
    UpgradeTimes t;
    QElapsedTimer sinceLoad;
    bool watching = false;
    const QMetaObject::Connection listener = QObject::connect(
        &form.engine(), &UpgradeEngine::reported, &form, [&](const EngineEvent& e) {
            if (!watching) {
                return;
            }
            const double cpu0 = threadCpuSeconds();
            const std::vector<ProgressLineState>& list = form.engine().progressLines().lines();
            const double now = static_cast<double>(sinceLoad.nsecsElapsed()) / 1e9;
            if (std::holds_alternative<ev::UpgradeStarted>(e)) {
                t.lines.clear();
            }
            for (std::size_t i = t.lines.size(); i < list.size(); ++i) {
                t.lines.push_back({list[i].caption, now});
            }
            t.watcherCpu += threadCpuSeconds() - cpu0;
        });

    const double cpuAtLoad = processCpuSeconds();
    double unitCpuAtLoad = 0;
    for (const QString& id : unitThreads) {
        unitCpuAtLoad += taskCpuSeconds(id);
    }
    sinceLoad.start();
    watching = true;
    const bool ended = rig.load(3600 * 1000);
    t.total = static_cast<double>(sinceLoad.nsecsElapsed()) / 1e9;
    // The listener refers to this function's locals.
    QObject::disconnect(listener);
    if (!ended) {
        std::fprintf(stderr, "full_upgrade: the upgrade did not end within an hour\n");
        return std::nullopt;
    }
    t.cpuTotal = processCpuSeconds() - cpuAtLoad;
    t.unitCpu = -unitCpuAtLoad;
    for (const QString& id : unitThreads) {
        t.unitCpu += taskCpuSeconds(id);
    }
    t.finalLines = rig.lines();
    for (std::size_t i = 0; i < t.lines.size() && i < std::size_t(t.finalLines.size()); ++i) {
        t.lines[i].caption = t.finalLines.at(qsizetype(i));
    }
    return t;
}

// Phases: from a line's appearance to the next one's.
void printPhases(const ScanFigures& scan, const UpgradeTimes& t) {
    std::printf("\nScan: %.2f s, %zu exchanges\n", scan.seconds, scan.requests);
    std::printf("\n%-52s %10s\n", "Phase (progress line)", "Time (s)");
    double firstLine = t.lines.empty() ? t.total : t.lines.front().start;
    std::printf("  %-50s %10.3f\n", "(until the first line: upgrade-mode command)", firstLine);
    for (std::size_t i = 0; i < t.lines.size(); ++i) {
        const double end = i + 1 < t.lines.size() ? t.lines[i + 1].start : t.total;
        std::printf("  %-50s %10.3f\n", qPrintable(t.lines[i].caption), end - t.lines[i].start);
    }
    std::printf("  %-50s %10.3f\n", "Total, \"Load Firmware\" to \"Quit\"", t.total);
}

// The upgrade's own exchanges and bytes, and the floor: the bytes on the wire, the unit's
// processing and the waits that the sequence cannot go below.
struct FloorFigures {
    std::size_t requests = 0;
    double written = 0;
    double read = 0;
    double bootloader = 0;
    double erase = 0;
    double program = 0;
    double modbus = 0;
    double dataBlocks = 0;
    double statusReads = 0;
    double bootEntryPolls = 0;
    double overlappingPolls = 0;
    double wire = 0;
    double subOps = 0; // s, at the model's scale
    double restart = 0;
    double bootEntry = 0;
    double device = 0;
    double fixed = 0;
    double floor = 0;
};

FloorFigures floorOf(UpgradeRig& rig, const ScanFigures& scan, const sim::TimingModel& model,
                     double scale, const QStringList& finalLines) {
    FloorFigures f;
    f.requests = rig.wire().requestCount() - scan.requests;
    f.written = static_cast<double>(rig.wire().bytesWritten() - scan.written);
    f.read = static_cast<double>(rig.wire().bytesRead() - scan.read);
    const sim::Summary done = rig.unit().summary();
    auto count = [&](sim::Exchange k) {
        const auto i = static_cast<std::size_t>(k);
        return static_cast<double>(done.exchanges[i] - scan.atLoad.exchanges[i]);
    };
    using X = sim::Exchange;
    const double modbusRequests = count(X::ModbusRead) + count(X::StatusRead) +
                                  count(X::ModbusWrite) + count(X::Fn103) + count(X::Fn104Command) +
                                  count(X::Fn104Data);
    const double otherBootRequests =
        count(X::BlModel) + count(X::BlInfo) + count(X::BlWriteByte) + count(X::BlReset);
    f.bootloader = otherBootRequests + count(X::BlErase) + count(X::BlProgram);
    f.erase = count(X::BlErase);
    f.program = count(X::BlProgram);
    f.modbus = modbusRequests;
    f.dataBlocks = count(X::Fn104Data);
    f.statusReads = count(X::StatusRead);

    // Status reads while a sub-processor erases or programs run alongside its work (subOps)
    // and are left out, all but the one per stage that sees it finished, so the floor is the
    // same on every link (a quicker link polls more often).
    f.bootEntryPolls = count(X::Fn104Command) - 4; // the other window commands
    f.overlappingPolls = std::max(0.0, count(X::StatusRead) - f.bootEntryPolls - 4);
    f.wire = (f.written + f.read - f.overlappingPolls * kStatusReadBytes) * kBitsPerByte /
             model.baudRate * scale;
    const sim::CarriedFirmware& carried = rig.unit().carried();
    double subOps = 0;
    for (int n = 2; n <= 3; ++n) {
        const double kib =
            double(carried.progEnd[std::size_t(n)] - carried.progStart[std::size_t(n)] + 1) /
            1024.0;
        subOps += (model.subEraseMsPerKiB + model.subProgramMsPerKiB) * kib / 1000.0;
    }
    f.subOps = subOps * scale;
    // Entering boot mode runs inside the prescribed waits between the boot-mode polls, unless
    // it takes longer.
    f.bootEntry =
        std::max(2 * model.subBootEntryMs * scale, f.bootEntryPolls * kBootEntryPollMs) / 1000.0;
    // The check after the restart waits for CPU-1's firmware to start.
    const bool verified = finalLines.contains(QStringLiteral("Verifying Firmware......OK"));
    f.restart = verified ? model.cpu1BootMs / 1000.0 * scale : 0.0;
    f.device = ((modbusRequests - f.overlappingPolls) * model.modbusProcessingMs +
                otherBootRequests * model.bootloaderProcessingMs +
                count(X::BlErase) * model.eraseRowMs + count(X::BlProgram) * model.programBlockMs) /
                   1000.0 * scale +
               f.subOps + f.restart;
    f.fixed =
        (kCpu1RestartMs + 2 * kControlCommandMs + 2 * kTransferStartMs) / 1000.0 + f.bootEntry;
    f.floor = f.wire + f.device + f.fixed;
    return f;
}

void printFloor(const FloorFigures& f, const UpgradeTimes& t, bool eachRead, double intervalMs) {
    std::printf("\nExchanges: %zu (bootloader %.0f: erase %.0f, program %.0f; Modbus %.0f: "
                "data blocks %.0f, status reads %.0f)\n",
                f.requests, f.bootloader, f.erase, f.program, f.modbus, f.dataBlocks,
                f.statusReads);
    std::printf("Bytes: %.0f sent, %.0f received\n", f.written, f.read);
    std::printf("Floor: wire %.2f s + unit processing %.2f s + fixed waits %.2f s = %.2f s\n",
                f.wire, f.device, f.fixed, f.floor);
    std::printf("  left out: %.0f status reads during the sub-processors' erase and programming\n",
                f.overlappingPolls);
    std::printf("  unit: sub-processor erase and programming %.2f s, CPU-1's start before the "
                "check %.2f s\n",
                f.subOps, f.restart);
    std::printf("  fixed waits: CPU-1 restart %.0f ms, 2 control commands x %.0f ms, 2 transfers "
                "x %.0f ms, boot entry %.0f ms (%.0f boot-mode polls x %.0f ms)\n",
                kCpu1RestartMs, kControlCommandMs, kTransferStartMs, f.bootEntry * 1000,
                f.bootEntryPolls, kBootEntryPollMs);
    std::printf("  (CPU-1's own start after its reset runs inside the %.0f s wait)\n",
                kCpu1RestartMs / 1000);
    std::printf("Total / floor: %.3f, %.3f ms per exchange above the floor\n",
                f.floor > 0 ? t.total / f.floor : 0.0,
                f.requests > 0 ? 1000 * (t.total - f.floor) / double(f.requests) : 0.0);
    if (eachRead) {
        std::printf("  chunks end at every read: an exchange ends with its reply's last byte\n");
    } else {
        std::printf("  the %.2f ms quiet interval ends every reply: %zu x %.2f ms = %.2f s\n",
                    intervalMs, f.requests, intervalMs,
                    static_cast<double>(f.requests) * intervalMs / 1000);
    }
    std::printf("CPU time during the upgrade: updater %.2f s (window and receive threads), "
                "simulated unit %.2f s, this listener %.3f s\n",
                t.cpuTotal - t.unitCpu - t.watcherCpu, t.unitCpu, t.watcherCpu);
}

ModeResult runMode(const LinkMode& mode, double scale) {
    const bool fastLink = mode.fastLink;
    ModeResult result;
    sim::Scenario scenario; // an outdated unit of the first carried product
    scenario.timing.enabled = true;
    scenario.timing.scale = scale;
    const sim::TimingModel model = scenario.timing;

    const std::set<QString> before = threadIds();
    RigOptions options;
    options.fastWaits = false;
    options.fastLink = fastLink;
    UpgradeRig rig(scenario, {}, options);
    const std::set<QString> unitThreads = threadsSince(before);

    const double intervalMs = (fastLink ? kFastReadIntervalUs : kReadIntervalUs) / 1000.0;
    TForm3& form = rig.openWindow();
    if (mode.chunks) {
        form.VexaComms1()->setChunkEnd(*mode.chunks);
    }
    const bool eachRead = form.VexaComms1()->chunkEnd() == ChunkEnd::EachRead;
    if (eachRead) {
        std::printf("\n==== %s link (chunks end at every read) ====\n", mode.name);
    } else {
        std::printf("\n==== %s link (chunks end after %.2f ms of quiet) ====\n", mode.name,
                    intervalMs);
    }
    std::printf("Full upgrade of a simulated unit: CPU-1, CPU-2 and HMI; timing model x%.3g "
                "(%u baud)\n",
                scale, model.baudRate);
    std::fflush(stdout);

    const auto scan = scanUnit(rig, form);
    if (!scan) {
        return result;
    }
    const auto times = timedUpgrade(rig, form, unitThreads);
    if (!times) {
        return result;
    }
    printPhases(*scan, *times);
    const FloorFigures f = floorOf(rig, *scan, model, scale, times->finalLines);
    printFloor(f, *times, eachRead, intervalMs);

    bool good = form.engine().outcome().exit == RunExit::Success;
    for (int n = 1; n <= 3; ++n) {
        good = good && rig.flashRange(n) == rig.carriedRange(n);
    }
    std::printf("\nResult: %s\n",
                good ? "every processor holds the carried image" : "the upgrade did not complete");
    (void)rig.closeWindow();
    std::fflush(stdout);
    result.ok = good;
    result.total = times->total;
    result.exchanges = f.requests;
    result.floor = f.floor;
    result.updaterCpu = times->cpuTotal - times->unitCpu - times->watcherCpu;
    return result;
}

} // namespace

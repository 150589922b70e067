// full_upgrade: a complete upgrade of CPU-1, CPU-2 and the HMI of a simulated unit with its
// timing model on, driven through the real updater window (offscreen) with the window's own
// waits, once on the default link (10 ms read interval) and once on the fast link (--fast).
// Prints per link the time of every phase, the exchanges, the ratio of the total to the
// protocol's floor and the CPU time the updater used; then both side by side.
//
//   full_upgrade [--scale X] [--link default|fast|both]
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
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
    const qsizetype close = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 13)
        return 0;
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
    double intervalMs = 0;
    double updaterCpu = 0;
};

ModeResult runMode(bool fastLink, double scale);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
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
    const QCommandLineOption linkOpt(QStringLiteral("link"),
                                     QStringLiteral("The link: default, fast or both (default)."),
                                     QStringLiteral("L"), QStringLiteral("both"));
    parser.addOption(linkOpt);
    parser.process(app);
    bool ok = false;
    const double scale = parser.value(scaleOpt).toDouble(&ok);
    if (!ok || scale < 0) {
        std::fprintf(stderr, "full_upgrade: --scale wants a number >= 0\n");
        return 2;
    }
    const QString link = parser.value(linkOpt);
    if (link != QLatin1String("default") && link != QLatin1String("fast") &&
        link != QLatin1String("both")) {
        std::fprintf(stderr, "full_upgrade: --link wants default, fast or both\n");
        return 2;
    }
    std::vector<std::pair<const char*, ModeResult>> results;
    for (const bool fast : {false, true}) {
        if (link != QLatin1String("both") && (link == QLatin1String("fast")) != fast)
            continue;
        results.emplace_back(fast ? "fast" : "default", runMode(fast, scale));
    }
    std::printf("\n%-8s %10s %10s %10s %12s %12s %12s\n", "link", "interval", "total (s)",
                "exchanges", "floor (s)", "total/floor", "updater CPU");
    bool allGood = true;
    for (const auto& [name, r] : results) {
        std::printf("%-8s %7.2f ms %10.2f %10zu %12.2f %12.2f %10.2f s%s\n", name, r.intervalMs,
                    r.total, r.exchanges, r.floor, r.floor > 0 ? r.total / r.floor : 0.0,
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

ModeResult runMode(bool fastLink, double scale) {
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
    std::set<QString> unitThreads;
    for (const QString& id : threadIds())
        if (!before.contains(id))
            unitThreads.insert(id);

    const double intervalMs = (fastLink ? kFastReadIntervalUs : kReadIntervalUs) / 1000.0;
    result.intervalMs = intervalMs;
    std::printf("\n==== %s link (read interval %.2f ms) ====\n", fastLink ? "Fast" : "Default",
                intervalMs);
    std::printf("Full upgrade of a simulated unit: CPU-1, CPU-2 and HMI; timing model x%.3g "
                "(%u baud)\n",
                scale, model.baudRate);
    std::fflush(stdout);

    TForm3& form = rig.openWindow();
    QElapsedTimer clock;
    clock.start();
    if (!rig.scan(120000) || !form.Load_Button->isVisibleTo(&form)) {
        std::fprintf(stderr, "full_upgrade: the unit was not found or offers nothing to do\n");
        return result;
    }
    const double scanSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const std::size_t scanRequests = rig.wire().requestCount();
    const std::uint64_t scanWritten = rig.wire().bytesWritten();
    const std::uint64_t scanRead = rig.wire().bytesRead();
    const sim::Summary atLoad = rig.unit().summary();

    // Watches the progress list: when each line first showed. The watcher's own CPU time is
    // measured and left out of the updater's.
    std::vector<LineTimes> lines;
    double watcherCpu = 0;
    QTimer watcher;
    watcher.setTimerType(Qt::PreciseTimer);
    watcher.setInterval(2);
    QElapsedTimer sinceLoad;
    QObject::connect(&watcher, &QTimer::timeout, &form, [&] {
        const double cpu0 = threadCpuSeconds();
        const auto& list = *form.Progress_ListBox;
        const double now = static_cast<double>(sinceLoad.nsecsElapsed()) / 1e9;
        for (int i = static_cast<int>(lines.size()); i < list.count(); ++i)
            lines.push_back({list.item(i).caption, now});
        for (int i = 0; i < list.count() && i < static_cast<int>(lines.size()); ++i)
            lines[std::size_t(i)].caption = list.item(i).caption;
        watcherCpu += threadCpuSeconds() - cpu0;
    });

    const double cpuAtLoad = processCpuSeconds();
    double unitCpuAtLoad = 0;
    for (const QString& id : unitThreads)
        unitCpuAtLoad += taskCpuSeconds(id);
    sinceLoad.start();
    watcher.start();
    if (!rig.load(3600 * 1000)) {
        std::fprintf(stderr, "full_upgrade: the upgrade did not end within an hour\n");
        return result;
    }
    const double total = static_cast<double>(sinceLoad.nsecsElapsed()) / 1e9;
    watcher.stop();
    const double cpuTotal = processCpuSeconds() - cpuAtLoad;
    double unitCpu = -unitCpuAtLoad;
    for (const QString& id : unitThreads)
        unitCpu += taskCpuSeconds(id);
    const QStringList finalLines = rig.lines();
    for (std::size_t i = 0; i < lines.size() && i < std::size_t(finalLines.size()); ++i)
        lines[i].caption = finalLines.at(qsizetype(i));

    // Phases: from a line's appearance to the next one's.
    std::printf("\nScan: %.2f s, %zu exchanges\n", scanSeconds, scanRequests);
    std::printf("\n%-52s %10s\n", "Phase (progress line)", "Time (s)");
    double firstLine = lines.empty() ? total : lines.front().start;
    std::printf("  %-50s %10.3f\n", "(until the first line: upgrade-mode command)", firstLine);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const double end = i + 1 < lines.size() ? lines[i + 1].start : total;
        std::printf("  %-50s %10.3f\n", qPrintable(lines[i].caption), end - lines[i].start);
    }
    std::printf("  %-50s %10.3f\n", "Total, \"Load Firmware\" to \"Quit\"", total);

    // Exchanges and bytes of the upgrade alone.
    const std::size_t requests = rig.wire().requestCount() - scanRequests;
    const double written = static_cast<double>(rig.wire().bytesWritten() - scanWritten);
    const double read = static_cast<double>(rig.wire().bytesRead() - scanRead);
    const sim::Summary done = rig.unit().summary();
    auto count = [&](sim::Exchange k) {
        const auto i = static_cast<std::size_t>(k);
        return static_cast<double>(done.exchanges[i] - atLoad.exchanges[i]);
    };
    using X = sim::Exchange;
    const double modbusRequests = count(X::ModbusRead) + count(X::StatusRead) +
                                  count(X::ModbusWrite) + count(X::Fn103) + count(X::Fn104Command) +
                                  count(X::Fn104Data);
    const double otherBootRequests =
        count(X::BlModel) + count(X::BlInfo) + count(X::BlWriteByte) + count(X::BlReset);

    // The floor: every byte on the wire, the unit's processing, the fixed waits.
    const double wire = (written + read) * kBitsPerByte / model.baudRate * scale;
    const sim::CarriedFirmware& carried = rig.unit().carried();
    double subOps = 0;
    for (int n = 2; n <= 3; ++n) {
        const double kib =
            double(carried.progEnd[std::size_t(n)] - carried.progStart[std::size_t(n)] + 1) /
            1024.0;
        subOps +=
            (model.subBootEntryMs + (model.subEraseMsPerKiB + model.subProgramMsPerKiB) * kib) /
            1000.0;
    }
    const double device =
        (modbusRequests * model.modbusProcessingMs +
         otherBootRequests * model.bootloaderProcessingMs + count(X::BlErase) * model.eraseRowMs +
         count(X::BlProgram) * model.programBlockMs) /
            1000.0 * scale +
        subOps * scale;
    // Boot-mode commands are the window commands that are neither erase nor programming.
    const double bootEntryPolls = count(X::Fn104Command) - 4;
    const double fixed = (kCpu1RestartMs + 2 * kControlCommandMs + 2 * kTransferStartMs +
                          bootEntryPolls * kBootEntryPollMs) /
                         1000.0;
    const double floor = wire + device + fixed;

    std::printf("\nExchanges: %zu (bootloader %.0f: erase %.0f, program %.0f; Modbus %.0f: "
                "data blocks %.0f, status reads %.0f)\n",
                requests, otherBootRequests + count(X::BlErase) + count(X::BlProgram),
                count(X::BlErase), count(X::BlProgram), modbusRequests, count(X::Fn104Data),
                count(X::StatusRead));
    std::printf("Bytes: %.0f sent, %.0f received\n", written, read);
    std::printf("Floor: wire %.2f s + unit processing %.2f s + fixed waits %.2f s = %.2f s\n", wire,
                device, fixed, floor);
    std::printf("  fixed waits: CPU-1 restart %.0f ms, 2 control commands x %.0f ms, 2 transfers "
                "x %.0f ms, %.0f boot-mode polls x %.0f ms\n",
                kCpu1RestartMs, kControlCommandMs, kTransferStartMs, bootEntryPolls,
                kBootEntryPollMs);
    std::printf("  (CPU-1's own start after its reset runs inside the %.0f s wait)\n",
                kCpu1RestartMs / 1000);
    std::printf("Total / floor: %.2f\n", floor > 0 ? total / floor : 0.0);
    std::printf("  the link's %.2f ms read interval ends every reply: %zu x %.2f ms = %.2f s\n",
                intervalMs, requests, intervalMs,
                static_cast<double>(requests) * intervalMs / 1000);
    std::printf("CPU time during the upgrade: updater %.2f s (window and receive threads), "
                "simulated unit %.2f s, this watcher %.3f s\n",
                cpuTotal - unitCpu - watcherCpu, unitCpu, watcherCpu);

    bool good =
        finalLines.value(finalLines.size() - 1) == QStringLiteral("Restarting System....Done");
    for (int n = 1; n <= 3; ++n)
        good = good && rig.flashRange(n) == rig.carriedRange(n);
    std::printf("\nResult: %s\n",
                good ? "every processor holds the carried image" : "the upgrade did not complete");
    (void)rig.closeWindow();
    std::fflush(stdout);
    result.ok = good;
    result.total = total;
    result.exchanges = requests;
    result.floor = floor;
    result.updaterCpu = cpuTotal - unitCpu - watcherCpu;
    return result;
}

} // namespace

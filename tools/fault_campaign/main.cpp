// The fault campaign: complete unattended upgrades of the simulated unit with faults, the
// invariants checked on every run, several units upgraded at once by worker processes (this
// program run again on a share of the run list), and a table of what happened.

#include "Report.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

using namespace corvane::campaign;

namespace {

void say(const QString& text) {
    std::fputs(qPrintable(text + u'\n'), stdout);
    std::fflush(stdout);
}

struct Slice {
    QString name;
    // setup name -> what is planned for it
    std::vector<std::pair<QString, PlanOptions>> parts;
    std::function<bool(const PlannedRun&)> keep; // null: every planned run
};

// The full-size runs of the CI slice: a power loss in the middle of each long step (a
// full-size run costs several seconds, and its recovery run as much again).
bool ciKeeps(const PlannedRun& r) {
    if (r.setup != QLatin1String("full")) {
        return true;
    }
    return r.position == QLatin1String("middle") || r.phase == QLatin1String("HMI programming") ||
           r.phase == QLatin1String("restart");
}

std::optional<Slice> sliceNamed(const QString& name) {
    PlanOptions everything;
    PlanOptions discoveryOnly;
    discoveryOnly.crossKinds = false;
    discoveryOnly.powerLoss = false;
    discoveryOnly.late = false;
    discoveryOnly.randomSeeds = 0;
    PlanOptions powerOnly = discoveryOnly;
    powerOnly.discovery = false;
    powerOnly.powerLoss = true;

    Slice s;
    s.name = name;
    if (name == QLatin1String("ci") || name == QLatin1String("asan")) {
        PlanOptions boot = discoveryOnly;
        boot.powerLoss = true;
        boot.late = true;
        s.parts = {{QStringLiteral("three"), everything},
                   {QStringLiteral("boot"), boot},
                   {QStringLiteral("subs"), discoveryOnly},
                   {QStringLiteral("full"), powerOnly}};
        s.keep = ciKeeps;
    } else if (name == QLatin1String("full")) {
        PlanOptions many = everything;
        many.randomSeeds = 1000;
        PlanOptions bootAll = everything;
        bootAll.randomSeeds = 300;
        bootAll.firstSeed = 5001;
        PlanOptions subs = everything;
        subs.randomSeeds = 300;
        subs.firstSeed = 7001;
        PlanOptions fullSize = powerOnly;
        fullSize.randomSeeds = 10;
        fullSize.firstSeed = 9001;
        s.parts = {{QStringLiteral("three"), many},
                   {QStringLiteral("boot"), bootAll},
                   {QStringLiteral("subs"), subs},
                   {QStringLiteral("full"), fullSize}};
    } else {
        return std::nullopt;
    }
    return s;
}

// The ASan slice: every 12th run of the CI slice, full-size runs left out (too slow there).
std::vector<PlannedRun> thinned(const std::vector<PlannedRun>& runs) {
    std::vector<PlannedRun> out;
    for (const PlannedRun& r : runs) {
        if (r.setup != QLatin1String("full") && r.id % 12 == 0) {
            out.push_back(r);
        }
    }
    return out;
}

// The command line as the modes below read it.
struct CommandLine {
    QString slice;
    int workers = 1;
    bool list = false;
    bool detail = false;
    std::optional<int> only;           // --only N
    std::optional<QString> workerList; // --worker FILE: this process is a worker
    QString runIds;                    // the worker's --runs
    RunnerOptions runner;
};

// Exits as the parser does on --help or an unknown option.
CommandLine readCommandLine(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Complete unattended upgrades of the simulated unit with faults; checks on every run "
        "that it ends by itself, that exit 0 means byte-exact flash and the carried versions, "
        "that a failed run says why, and that a unit cut by a power loss is recovered by a "
        "second clean run."));
    parser.addHelpOption();
    const QCommandLineOption sliceOpt(QStringLiteral("slice"),
                                      QStringLiteral("Run list: ci, asan or full (default)."),
                                      QStringLiteral("NAME"), QStringLiteral("full"));
    const QCommandLineOption workersOpt(
        QStringLiteral("workers"),
        QStringLiteral("Units upgraded at once (default 8: a run mostly "
                       "waits out reply time-outs)."),
        QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption onlyOpt(QStringLiteral("only"),
                                     QStringLiteral("Run only run N of the slice, here, and "
                                                    "print its whole output."),
                                     QStringLiteral("N"));
    const QCommandLineOption listOpt(QStringLiteral("list"), QStringLiteral("Print the run list."));
    const QCommandLineOption detailOpt(QStringLiteral("detail"),
                                       QStringLiteral("Also a table row per phase."));
    const QCommandLineOption intervalOpt(
        QStringLiteral("read-interval"),
        QStringLiteral("The link's read interval in ms (default 1)."), QStringLiteral("MS"),
        QStringLiteral("1"));
    const QCommandLineOption fastOpt(QStringLiteral("fast"),
                                     QStringLiteral("Every run on the window's fast link."));
    const QCommandLineOption workerOpt(QStringLiteral("worker"),
                                       QStringLiteral("(internal) run list file of a worker."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption runsOpt(QStringLiteral("runs"),
                                     QStringLiteral("(internal) ids a worker runs."),
                                     QStringLiteral("IDS"));
    parser.addOptions({sliceOpt, workersOpt, onlyOpt, listOpt, detailOpt, intervalOpt, fastOpt,
                       workerOpt, runsOpt});
    parser.process(app);

    CommandLine c;
    c.slice = parser.value(sliceOpt);
    c.workers = std::max(1, parser.value(workersOpt).toInt());
    c.list = parser.isSet(listOpt);
    c.detail = parser.isSet(detailOpt);
    if (parser.isSet(onlyOpt)) {
        c.only = parser.value(onlyOpt).toInt();
    }
    if (parser.isSet(workerOpt)) {
        c.workerList = parser.value(workerOpt);
    }
    c.runIds = parser.value(runsOpt);
    c.runner.readIntervalMs = parser.value(intervalOpt).toInt();
    c.runner.fastLink = parser.isSet(fastOpt);
    return c;
}

// A worker: runs its ids from the parent's list, one result line each.
int runWorker(const QString& listPath, const QString& runIds, const std::vector<UnitSetup>& setups,
              const ReducedBuildData& reduced, const RunnerOptions& options) {
    QFile f(listPath);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return 2;
    }
    std::map<int, PlannedRun> runsById;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
        if (auto s = decodeRun(line)) {
            runsById[s->id] = *s;
        }
    }
    for (const QString& idText : runIds.split(u',', Qt::SkipEmptyParts)) {
        const auto it = runsById.find(idText.toInt());
        if (it == runsById.end()) {
            continue;
        }
        const UnitSetup* setup = findSetup(setups, it->second.setup);
        if (!setup) {
            continue;
        }
        say(QStringLiteral("START ") + idText);
        say(QStringLiteral("RESULT ") + encodeResult(runOne(it->second, *setup, reduced, options)));
    }
    return 0;
}

// The command that repeats a run of this campaign, for the violations' text.
QString selfCommand(const QString& slice, const RunnerOptions& options) {
    QString self = QStringLiteral("fault_campaign --slice ") + slice;
    if (options.readIntervalMs != 1) {
        self += QStringLiteral(" --read-interval %1").arg(options.readIntervalMs);
    }
    if (options.fastLink) {
        self += QStringLiteral(" --fast");
    }
    return self;
}

// The slice's runs, planned on the trace of a clean upgrade of each of its setups. Nothing
// (after saying why) when a clean upgrade fails: no fault could be placed on it.
std::optional<std::vector<PlannedRun>> planSlice(const Slice& slice,
                                                 const std::vector<UnitSetup>& setups,
                                                 const ReducedBuildData& reduced,
                                                 const RunnerOptions& options) {
    std::vector<PlannedRun> runs;
    for (const auto& [name, plan] : slice.parts) {
        const UnitSetup* setup = findSetup(setups, name);
        QString why;
        const auto trace = cleanTrace(*setup, reduced, options, &why);
        if (trace.empty()) {
            say(QStringLiteral("VIOLATION: ") + why);
            return std::nullopt;
        }
        planRuns(runs, *setup, trace, plan);
    }
    if (slice.keep) {
        std::vector<PlannedRun> kept;
        for (const PlannedRun& r : runs) {
            if (slice.keep(r)) {
                kept.push_back(r);
            }
        }
        runs = std::move(kept);
    }
    if (slice.name == QLatin1String("asan")) {
        runs = thinned(runs);
    }
    return runs;
}

// What the modes after planning share.
struct Campaign {
    QString slice;
    const std::vector<UnitSetup>& setups;
    const ReducedBuildData& reduced;
    RunnerOptions options;
    QString self;
    std::vector<PlannedRun> runs;
};

int printList(const std::vector<PlannedRun>& runs) {
    for (const PlannedRun& r : runs) {
        QStringList faults;
        for (const auto& f : r.faults) {
            faults << faultText(f);
        }
        say(QStringLiteral("%1 %2 %3 %4 %5: %6")
                .arg(r.id)
                .arg(r.setup, r.group, r.phase, r.position, faults.join(u' ')));
    }
    say(QStringLiteral("%1 runs").arg(runs.size()));
    return 0;
}

// --only N: the run here, in this process, with its whole output.
int runOnly(const Campaign& c, int id) {
    const auto it =
        std::find_if(c.runs.begin(), c.runs.end(), [&](const PlannedRun& r) { return r.id == id; });
    if (it == c.runs.end()) {
        std::fputs("no such run in this slice\n", stderr);
        return 2;
    }
    const RunResult r = runOne(*it, *findSetup(c.setups, it->setup), c.reduced, c.options);
    std::map<int, RunResult> one{{r.id, r}};
    say(encodeRun(*it).replace(u'\t', u' '));
    say(QStringLiteral("exit %1, recovery %2, faults fired %3 of %4, %5 ms")
            .arg(r.exitCode)
            .arg(r.recoveryExit)
            .arg(r.faultsFired)
            .arg(r.faultsPlanned)
            .arg(r.ms));
    for (const QString& l : r.lastLines) {
        say(QStringLiteral("| ") + l);
    }
    const QString v = violationsText({*it}, one, c.setups, c.self);
    say(v.isEmpty() ? QStringLiteral("no violation") : v);
    return r.violations.isEmpty() ? 0 : 1;
}

struct Worker {
    std::unique_ptr<QProcess> process;
    std::deque<int> queue; // ids not yet started
    int current = -1;
    QByteArray out;
    QByteArray errTail;
    QElapsedTimer quiet;
};

// Runs the list in worker processes, a share each, and gathers their results. A run that takes
// its worker down is recorded with why, and the rest of that worker's share goes on in a new one.
class Supervisor {
public:
    Supervisor(const std::vector<PlannedRun>& runs, QString listPath, const RunnerOptions& options,
               int workerCount, const QElapsedTimer& clock)
        : m_listPath(std::move(listPath))
        , m_options(options)
        , m_planned(runs.size())
        , m_clock(clock)
        , m_watchdogMs(2 * options.boundMs + 30000)
        , m_workers(static_cast<std::size_t>(workerCount)) {
        for (std::size_t i = 0; i < runs.size(); ++i) {
            m_workers[i % m_workers.size()].queue.push_back(runs[i].id);
        }
    }

    std::map<int, RunResult> run() {
        for (Worker& w : m_workers) {
            launch(w);
        }
        for (;;) {
            bool anyRunning = false;
            for (Worker& w : m_workers) {
                if (!w.process) {
                    continue;
                }
                anyRunning = true;
                readOutput(w);
                checkEnded(w);
            }
            if (!anyRunning) {
                break;
            }
        }
        return std::move(m_results);
    }

private:
    // Starts a worker on the ids left in its queue; none left: it stays stopped.
    void launch(Worker& w) {
        w.process.reset();
        w.current = -1;
        w.out.clear();
        if (w.queue.empty()) {
            return;
        }
        QStringList ids;
        for (int id : w.queue) {
            ids << QString::number(id);
        }
        w.process = std::make_unique<QProcess>();
        QStringList args{
            QStringLiteral("--worker"),        m_listPath,
            QStringLiteral("--runs"),          ids.join(u','),
            QStringLiteral("--read-interval"), QString::number(m_options.readIntervalMs)};
        if (m_options.fastLink) {
            args << QStringLiteral("--fast");
        }
        w.process->start(QCoreApplication::applicationFilePath(), args);
        w.quiet.start();
    }

    // Keeps the tail of the worker's error output (it explains a crash) and takes its complete
    // output lines.
    void readOutput(Worker& w) {
        QProcess& p = *w.process;
        p.waitForReadyRead(10);
        const QByteArray err = p.readAllStandardError();
        if (!err.isEmpty()) {
            w.errTail += err;
            if (w.errTail.size() > 4000) {
                w.errTail = w.errTail.right(4000);
            }
        }
        w.out += p.readAllStandardOutput();
        qsizetype nl;
        while ((nl = w.out.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(w.out.left(nl));
            w.out.remove(0, nl + 1);
            w.quiet.restart();
            takeLine(w, line);
        }
    }

    void takeLine(Worker& w, const QString& line) {
        if (line.startsWith(QLatin1String("START "))) {
            w.current = line.mid(6).toInt();
            w.errTail.clear();
        } else if (line.startsWith(QLatin1String("RESULT "))) {
            if (auto r = decodeResult(line.mid(7))) {
                m_results[r->id] = *r;
                if (!w.queue.empty() && w.queue.front() == r->id) {
                    w.queue.pop_front();
                }
                if (++m_reported % 50 == 0) {
                    say(QStringLiteral("%1 of %2 runs, %3 s")
                            .arg(m_reported)
                            .arg(m_planned)
                            .arg(m_clock.elapsed() / 1000));
                }
            }
            w.current = -1;
        }
    }

    // A worker that ended, or has said nothing for longer than the watchdog allows.
    void checkEnded(Worker& w) {
        QProcess& p = *w.process;
        const bool ended = p.state() == QProcess::NotRunning;
        const bool hung = !ended && w.quiet.elapsed() > m_watchdogMs;
        if (hung) {
            p.kill();
            p.waitForFinished(5000);
        }
        if (!ended && !hung) {
            return;
        }
        if (w.current >= 0) {
            recordLostRun(w, hung);
            launch(w);
        } else {
            w.queue.clear(); // ended cleanly, or died between runs: nothing started
            w.process.reset();
        }
    }

    // The run in progress took its worker down: a crash, a sanitizer report or a hang.
    void recordLostRun(Worker& w, bool hung) {
        QString why = hung ? QStringLiteral("hung (no result for %1 s)").arg(m_watchdogMs / 1000)
                           : QStringLiteral("worker died (exit %1)").arg(w.process->exitCode());
        const QStringList tail = QString::fromLocal8Bit(w.errTail).split(u'\n', Qt::SkipEmptyParts);
        if (!tail.isEmpty()) {
            why += QStringLiteral(": ") +
                   tail.mid(std::max<qsizetype>(0, tail.size() - 6)).join(QStringLiteral(" / "));
        }
        RunResult r;
        r.id = w.current;
        r.violations << why;
        m_results[r.id] = r;
        if (!w.queue.empty() && w.queue.front() == w.current) {
            w.queue.pop_front();
        }
    }

    QString m_listPath;
    RunnerOptions m_options;
    std::size_t m_planned;
    const QElapsedTimer& m_clock;
    int m_watchdogMs;
    std::vector<Worker> m_workers;
    std::map<int, RunResult> m_results;
    int m_reported = 0;
};

// The table, the violations and the closing line; exit 0 only when every run has a result
// without a violation.
int report(const Campaign& c, const std::map<int, RunResult>& results, bool detail, int workerCount,
           const QElapsedTimer& clock) {
    say(QString());
    say(tableText(tally(c.runs, results, false)));
    if (detail) {
        say(QString());
        say(tableText(tally(c.runs, results, true)));
    }
    const QString v = violationsText(c.runs, results, c.setups, c.self);
    int bad = 0;
    for (const PlannedRun& r : c.runs) {
        const auto it = results.find(r.id);
        if (it == results.end() || !it->second.violations.isEmpty()) {
            ++bad;
        }
    }
    if (!v.isEmpty()) {
        say(QString());
        say(QStringLiteral("Violations:"));
        say(v);
    }
    say(QString());
    say(QStringLiteral("campaign %1: %2 runs, %3 with violations, %4 s with %5 workers")
            .arg(c.slice)
            .arg(c.runs.size())
            .arg(bad)
            .arg(clock.elapsed() / 1000)
            .arg(workerCount));
    return bad == 0 ? 0 : 1;
}

// The whole slice in worker processes, then the report.
int runCampaign(const Campaign& c, int workerCount, bool detail, const QElapsedTimer& clock) {
    say(QStringLiteral("%1 runs planned (%2 ms for the clean reference runs)")
            .arg(c.runs.size())
            .arg(clock.elapsed()));
    QTemporaryFile listFile;
    if (!listFile.open()) {
        return 2;
    }
    for (const PlannedRun& r : c.runs) {
        listFile.write((encodeRun(r) + u'\n').toUtf8());
    }
    listFile.flush();
    Supervisor supervisor(c.runs, listFile.fileName(), c.options, workerCount, clock);
    const std::map<int, RunResult> results = supervisor.run();
    return report(c, results, detail, workerCount, clock);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("fault_campaign"));
    const CommandLine cl = readCommandLine(app);
    if (cl.runner.readIntervalMs < 1) {
        std::fputs("--read-interval wants a number of ms >= 1\n", stderr);
        return 2;
    }
    const std::vector<UnitSetup> setups = unitSetups();
    ReducedBuildData reduced;
    if (!reduced.ok()) {
        std::fputs("cannot write the reduced build data\n", stderr);
        return 2;
    }
    if (cl.workerList) {
        return runWorker(*cl.workerList, cl.runIds, setups, reduced, cl.runner);
    }

    const auto slice = sliceNamed(cl.slice);
    if (!slice) {
        std::fputs("--slice wants ci, asan or full\n", stderr);
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    auto runs = planSlice(*slice, setups, reduced, cl.runner);
    if (!runs) {
        return 1;
    }
    const QString self = selfCommand(slice->name, cl.runner);
    const Campaign c{slice->name, setups, reduced, cl.runner, self, std::move(*runs)};
    if (cl.list) {
        return printList(c.runs);
    }
    if (cl.only) {
        return runOnly(c, *cl.only);
    }
    return runCampaign(c, cl.workers, cl.detail, clock);
}

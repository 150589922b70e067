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

#include <cstdio>
#include <deque>
#include <functional>

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
    if (r.setup != QLatin1String("full"))
        return true;
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

// The ASan slice: every 16th run of the CI slice, full-size runs left out (too slow there).
std::vector<PlannedRun> thinned(const std::vector<PlannedRun>& runs) {
    std::vector<PlannedRun> out;
    for (const PlannedRun& r : runs)
        if (r.setup != QLatin1String("full") && r.id % 12 == 0)
            out.push_back(r);
    return out;
}

struct Worker {
    std::unique_ptr<QProcess> process;
    std::deque<int> queue; // ids not yet started
    int current = -1;
    QByteArray out;
    QByteArray errTail;
    QElapsedTimer quiet;
};

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("fault_campaign"));

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

    RunnerOptions options;
    options.readIntervalMs = parser.value(intervalOpt).toInt();
    options.fastLink = parser.isSet(fastOpt);
    if (options.readIntervalMs < 1) {
        std::fputs("--read-interval wants a number of ms >= 1\n", stderr);
        return 2;
    }
    const std::vector<UnitSetup> setups = unitSetups();
    ReducedBuildData reduced;
    if (!reduced.ok()) {
        std::fputs("cannot write the reduced build data\n", stderr);
        return 2;
    }

    // A worker: runs its ids from the parent's list, one result line each.
    if (parser.isSet(workerOpt)) {
        QFile f(parser.value(workerOpt));
        if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
            return 2;
        std::map<int, PlannedRun> runsById;
        for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts))
            if (auto s = decodeRun(line))
                runsById[s->id] = *s;
        for (const QString& idText : parser.value(runsOpt).split(u',', Qt::SkipEmptyParts)) {
            const auto it = runsById.find(idText.toInt());
            if (it == runsById.end())
                continue;
            const UnitSetup* setup = findSetup(setups, it->second.setup);
            if (!setup)
                continue;
            say(QStringLiteral("START ") + idText);
            say(QStringLiteral("RESULT ") +
                encodeResult(runOne(it->second, *setup, reduced, options)));
        }
        return 0;
    }

    const auto slice = sliceNamed(parser.value(sliceOpt));
    if (!slice) {
        std::fputs("--slice wants ci, asan or full\n", stderr);
        return 2;
    }
    QString self = QStringLiteral("fault_campaign --slice ") + slice->name;
    if (options.readIntervalMs != 1)
        self += QStringLiteral(" --read-interval %1").arg(options.readIntervalMs);
    if (options.fastLink)
        self += QStringLiteral(" --fast");

    QElapsedTimer clock;
    clock.start();
    std::vector<PlannedRun> runs;
    for (const auto& [name, plan] : slice->parts) {
        const UnitSetup* setup = findSetup(setups, name);
        QString why;
        const auto trace = cleanTrace(*setup, reduced, options, &why);
        if (trace.empty()) {
            say(QStringLiteral("VIOLATION: ") + why);
            return 1;
        }
        planRuns(runs, *setup, trace, plan);
    }
    if (slice->keep) {
        std::vector<PlannedRun> kept;
        for (const PlannedRun& r : runs)
            if (slice->keep(r))
                kept.push_back(r);
        runs = std::move(kept);
    }
    if (slice->name == QLatin1String("asan"))
        runs = thinned(runs);

    if (parser.isSet(listOpt)) {
        for (const PlannedRun& r : runs) {
            QStringList faults;
            for (const auto& f : r.faults)
                faults << faultText(f);
            say(QStringLiteral("%1 %2 %3 %4 %5: %6")
                    .arg(r.id)
                    .arg(r.setup, r.group, r.phase, r.position, faults.join(u' ')));
        }
        say(QStringLiteral("%1 runs").arg(runs.size()));
        return 0;
    }

    if (parser.isSet(onlyOpt)) {
        const int id = parser.value(onlyOpt).toInt();
        const auto it =
            std::find_if(runs.begin(), runs.end(), [&](const PlannedRun& r) { return r.id == id; });
        if (it == runs.end()) {
            std::fputs("no such run in this slice\n", stderr);
            return 2;
        }
        const RunResult r = runOne(*it, *findSetup(setups, it->setup), reduced, options);
        std::map<int, RunResult> one{{r.id, r}};
        say(encodeRun(*it).replace(u'\t', u' '));
        say(QStringLiteral("exit %1, recovery %2, faults fired %3 of %4, %5 ms")
                .arg(r.exitCode)
                .arg(r.recoveryExit)
                .arg(r.faultsFired)
                .arg(r.faultsPlanned)
                .arg(r.ms));
        for (const QString& l : r.lastLines)
            say(QStringLiteral("| ") + l);
        const QString v = violationsText({*it}, one, setups, self);
        say(v.isEmpty() ? QStringLiteral("no violation") : v);
        return r.violations.isEmpty() ? 0 : 1;
    }

    say(QStringLiteral("%1 runs planned (%2 ms for the clean reference runs)")
            .arg(runs.size())
            .arg(clock.elapsed()));
    QTemporaryFile listFile;
    if (!listFile.open())
        return 2;
    for (const PlannedRun& r : runs)
        listFile.write((encodeRun(r) + u'\n').toUtf8());
    listFile.flush();

    const int workerCount = std::max(1, parser.value(workersOpt).toInt());
    std::vector<Worker> workers(static_cast<std::size_t>(workerCount));
    for (std::size_t i = 0; i < runs.size(); ++i)
        workers[i % workers.size()].queue.push_back(runs[i].id);

    std::map<int, RunResult> results;
    std::map<int, QString> deaths;
    const int watchdogMs = 2 * options.boundMs + 30000;
    auto launch = [&](Worker& w) {
        w.process.reset();
        w.current = -1;
        w.out.clear();
        if (w.queue.empty())
            return;
        QStringList ids;
        for (int id : w.queue)
            ids << QString::number(id);
        w.process = std::make_unique<QProcess>();
        QStringList args{
            QStringLiteral("--worker"),        listFile.fileName(),
            QStringLiteral("--runs"),          ids.join(u','),
            QStringLiteral("--read-interval"), QString::number(options.readIntervalMs)};
        if (options.fastLink)
            args << QStringLiteral("--fast");
        w.process->start(QCoreApplication::applicationFilePath(), args);
        w.quiet.start();
    };
    for (Worker& w : workers)
        launch(w);

    int reported = 0;
    for (;;) {
        bool anyRunning = false;
        for (Worker& w : workers) {
            if (!w.process)
                continue;
            anyRunning = true;
            QProcess& p = *w.process;
            p.waitForReadyRead(10);
            const QByteArray err = p.readAllStandardError();
            if (!err.isEmpty()) {
                w.errTail += err;
                if (w.errTail.size() > 4000)
                    w.errTail = w.errTail.right(4000);
            }
            w.out += p.readAllStandardOutput();
            qsizetype nl;
            while ((nl = w.out.indexOf('\n')) >= 0) {
                const QString line = QString::fromUtf8(w.out.left(nl));
                w.out.remove(0, nl + 1);
                w.quiet.restart();
                if (line.startsWith(QLatin1String("START "))) {
                    w.current = line.mid(6).toInt();
                    w.errTail.clear();
                } else if (line.startsWith(QLatin1String("RESULT "))) {
                    if (auto r = decodeResult(line.mid(7))) {
                        results[r->id] = *r;
                        if (!w.queue.empty() && w.queue.front() == r->id)
                            w.queue.pop_front();
                        if (++reported % 50 == 0)
                            say(QStringLiteral("%1 of %2 runs, %3 s")
                                    .arg(reported)
                                    .arg(runs.size())
                                    .arg(clock.elapsed() / 1000));
                    }
                    w.current = -1;
                }
            }
            const bool ended = p.state() == QProcess::NotRunning;
            const bool hung = !ended && w.quiet.elapsed() > watchdogMs;
            if (hung) {
                p.kill();
                p.waitForFinished(5000);
            }
            if (ended || hung) {
                if (w.current >= 0) {
                    // The run in progress took its worker down: a crash, a sanitizer report
                    // or a hang. The others of its share go on in a new worker.
                    QString why =
                        hung ? QStringLiteral("hung (no result for %1 s)").arg(watchdogMs / 1000)
                             : QStringLiteral("worker died (exit %1)").arg(p.exitCode());
                    const QStringList tail =
                        QString::fromLocal8Bit(w.errTail).split(u'\n', Qt::SkipEmptyParts);
                    if (!tail.isEmpty())
                        why +=
                            QStringLiteral(": ") + tail.mid(std::max<qsizetype>(0, tail.size() - 6))
                                                       .join(QStringLiteral(" / "));
                    RunResult r;
                    r.id = w.current;
                    r.violations << why;
                    results[r.id] = r;
                    if (!w.queue.empty() && w.queue.front() == w.current)
                        w.queue.pop_front();
                    launch(w);
                } else {
                    w.queue.clear(); // ended cleanly, or died between runs: nothing started
                    w.process.reset();
                }
            }
        }
        if (!anyRunning)
            break;
    }

    say(QString());
    say(tableText(tally(runs, results, false)));
    if (parser.isSet(detailOpt)) {
        say(QString());
        say(tableText(tally(runs, results, true)));
    }
    const QString v = violationsText(runs, results, setups, self);
    int bad = 0;
    for (const PlannedRun& r : runs)
        if (!results.count(r.id) || !results[r.id].violations.isEmpty())
            ++bad;
    if (!v.isEmpty()) {
        say(QString());
        say(QStringLiteral("Violations:"));
        say(v);
    }
    say(QString());
    say(QStringLiteral("campaign %1: %2 runs, %3 with violations, %4 s with %5 workers")
            .arg(slice->name)
            .arg(runs.size())
            .arg(bad)
            .arg(clock.elapsed() / 1000)
            .arg(workerCount));
    return bad == 0 ? 0 : 1;
}

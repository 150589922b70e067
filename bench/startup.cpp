// startup: what an unattended run costs before it has done anything: wall time and peak
// resident memory of `corvane-updater --auto --simulate` with a unit that needs nothing (the
// whole run is start-up, one scan and one review), over several runs. Given a second program
// (an older build), both are run in turn, interleaved, and compared.
//
//   startup [-n RUNS] [PROGRAM [OTHER_PROGRAM]]

#include "support/Scenarios.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Sample {
    double seconds = 0;
    long peakKiB = 0;
    int exitCode = -1;
};

// One run of program with args; its output goes nowhere.
Sample runOnce(const QString& program, const QStringList& args) {
    std::vector<QByteArray> storage{program.toLocal8Bit()};
    for (const QString& a : args) {
        storage.push_back(a.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // No display at all, as on a production line's headless PC.
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("QT_QPA_PLATFORM");
        if (std::freopen("/dev/null", "w", stdout) == nullptr ||
            std::freopen("/dev/null", "w", stderr) == nullptr) {
            ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Sample s;
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        s.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        s.peakKiB = usage.ru_maxrss;
        s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void report(const char* name, const std::vector<Sample>& samples) {
    std::vector<double> seconds;
    std::vector<double> kib;
    int failed = 0;
    for (const Sample& s : samples) {
        seconds.push_back(s.seconds);
        kib.push_back(static_cast<double>(s.peakKiB));
        failed += s.exitCode != 0 ? 1 : 0;
    }
    std::printf("%-8s runs %zu, failed %d: wall median %.3f s (min %.3f, max %.3f); peak memory "
                "median %.1f MiB (min %.1f, max %.1f)\n",
                name, samples.size(), failed, median(seconds),
                *std::min_element(seconds.begin(), seconds.end()),
                *std::max_element(seconds.begin(), seconds.end()), median(kib) / 1024.0,
                *std::min_element(kib.begin(), kib.end()) / 1024.0,
                *std::max_element(kib.begin(), kib.end()) / 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    int runs = 10;
    if (args.size() >= 2 && args.first() == QLatin1String("-n")) {
        runs = std::max(1, args.at(1).toInt());
        args = args.mid(2);
    }
    QStringList programs = args;
    if (programs.isEmpty()) {
        programs << QStringLiteral(CORVANE_UPDATER_EXE);
    }

    const corvane::sim::CarriedFirmware& c = corvane::test::carried();
    const QStringList runArgs{QStringLiteral("--auto"), QStringLiteral("--simulate"),
                              QStringLiteral("--cpu1"), corvane::test::versionArg(c.version[1]),
                              QStringLiteral("--cpu2"), corvane::test::versionArg(c.version[2]),
                              QStringLiteral("--hmi"),  corvane::test::versionArg(c.version[3])};
    std::printf("corvane-updater --auto --simulate with nothing to upgrade, no display; %d runs "
                "each, interleaved\n",
                runs);
    std::vector<std::vector<Sample>> samples(static_cast<std::size_t>(programs.size()));
    for (int i = 0; i < runs; ++i) {
        for (qsizetype p = 0; p < programs.size(); ++p) {
            samples[static_cast<std::size_t>(p)].push_back(runOnce(programs.at(p), runArgs));
        }
    }
    for (qsizetype p = 0; p < programs.size(); ++p) {
        std::printf("%s\n", qPrintable(programs.at(p)));
        report(p == 0 ? "this" : "other", samples[static_cast<std::size_t>(p)]);
    }
    return 0;
}

#pragma once
// The program's command line.

#include "SimulatedUnit.h"
#include "StationOptions.h"

#include <QString>
#include <QStringList>

struct AppOptions {
    QStringList ports; // --port PATH, repeatable: probed first, in this order
    bool showHelp = false;
    bool showVersion = false;
    // --simulate: a simulated unit inside the program, on a pseudo-terminal tried first.
    bool simulate = false;
    corvane::sim::Scenario simScenario;
    corvane::sim::FaultPlan simFaults;
    // --auto: an unattended run that reports on standard output and ends with an exit code.
    bool autoRun = false;
    // --log FILE: a transcript of the run, written as it goes; empty: none.
    QString logPath;
    // --fast: a reply ends after a short quiet time on the line instead of 10 ms.
    bool fastLink = false;
    // --no-verify: the upgrade ends with the unit's restart, without checking its versions.
    bool verify = true;

    // --identify: find the unit, report what it runs and what would be programmed, change
    // nothing.
    bool identify = false;
    // --json: standard output carries JSON Lines only; the report goes to standard error.
    bool json = false;
    StationOptions station;

    // --help-simulate: the simulated unit's options.
    bool showSimulateHelp = false;
    QString simulateHelpText;

    // Field kit: --doctor checks this machine (--json: as JSON Lines); --verbose adds the
    // carried firmware's digests to --version.
    bool doctor = false;
    bool verbose = false;

    // --history FILE: every run is recorded there. --show [N] (the last N runs as a table) and
    // --export-csv OUT (all of them) read it instead of running.
    QString historyPath;
    int historyShow = 0;
    QString historyCsvPath;

    QString error;    // a command line that cannot be used, in words for the user
    QString helpText; // what --help prints

    // No window is wanted: the run reports on standard output (or standard error with --json).
    [[nodiscard]] bool windowless() const { return autoRun || identify || station.enabled; }
    [[nodiscard]] bool historyQuery() const { return historyShow > 0 || !historyCsvPath.isEmpty(); }
};

// Exit code of a run stopped by SIGINT or SIGTERM: 128 + the signal's number, as a shell
// reports a program killed by it.
[[nodiscard]] constexpr int signalExitCode(int signal) {
    return 128 + signal;
}

// arguments as QCoreApplication::arguments() gives them (program name first).
[[nodiscard]] AppOptions parseAppOptions(const QStringList& arguments);

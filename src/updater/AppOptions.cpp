#include "AppOptions.h"

#include "ScenarioOptions.h"

#include "serial/VexaComms.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

const QString kDescription = QStringLiteral(
    "Reprograms a Corvane unit attached through a USB serial adapter.\n"
    "Without --port the USB serial adapters made by FTDI are tried in turn.\n"
    "\n"
    "--auto presses \"Connect via USB\" and \"Load Firmware\" by itself and prints every\n"
    "scan result and progress line on standard output. --identify only finds the unit and\n"
    "reports what it runs. Neither needs a display.\n"
    "\n"
    "Exit codes of --auto and --identify:\n"
    "  0    every processor reports the carried firmware (upgraded and verified,\n"
    "       or already current)\n"
    "  1    the upgrade failed, or left a processor without the carried firmware\n"
    "  2    bad command line\n"
    "  3    no unit found (also: the port could not be opened)\n"
    "  4    the unit, or one of its processors, cannot be upgraded (nothing started)\n"
    "  5    the window was closed\n"
    "  6    no progress for 3 minutes\n"
    "  7    the program is damaged: its carried firmware is not what it was built\n"
    "       with; reinstall it\n"
    "  8    --station: some slots failed (the summary names each and its cause)\n"
    "  9    --doctor: something on this machine stands in the way of a run\n"
    "  10   --identify: an upgrade is due\n"
    "  130  stopped by SIGINT (Ctrl-C), 143 stopped by SIGTERM: the exchange in progress\n"
    "       ends, the port is closed and the unit's state is printed; run again to finish.\n"
    "SIGHUP (a closed terminal) and SIGPIPE (a closed pipe) do not stop a run.\n"
    "\n"
    "The serial port must be readable by the user: on Debian, membership of the dialout\n"
    "group (sudo usermod -aG dialout $USER, then log in again), or the package's udev\n"
    "rule. --doctor checks this machine: adapters, access, ports in use, ModemManager,\n"
    "brltty, low latency, the udev rule and the carried firmware, each with its fix.");

const QString kSimulateDescription = QStringLiteral(
    "--simulate starts a simulated unit inside the program and tries it first, so the whole\n"
    "upgrade can be seen without a unit. These options describe that unit (versions are\n"
    "written 2.15 or 215) and need --simulate.");

// What --station and --json cannot be combined with; empty when the combination is usable.
QString stationConflict(const AppOptions& o) {
    if (o.station.simulatedUnits > 0 && !o.station.enabled)
        return QStringLiteral("--simulate N (a number of units) needs --station");
    if (!o.station.enabled)
        return o.json && !o.windowless() && !o.doctor && !o.showHelp
                   ? QStringLiteral("--json needs --auto, --identify, --station or --doctor")
                   : QString();
    if (o.autoRun || o.identify)
        return QStringLiteral("--station runs --auto itself, once per slot");
    if (!o.logPath.isEmpty())
        return QStringLiteral("--station writes one transcript per slot: use --log-dir DIR");
    return {};
}

} // namespace

AppOptions parseAppOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the program's version and exits."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Tries the serial device PATH first (repeatable; tried in the order "
                       "given, before the FTDI adapters)."),
        QStringLiteral("PATH"));
    const QCommandLineOption autoRun(
        QStringLiteral("auto"),
        QStringLiteral("Runs the upgrade unattended and reports on standard output."));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Starts a simulated unit inside the program and tries it first (its "
                       "options: --help-simulate)."));
    const QCommandLineOption log(
        QStringLiteral("log"),
        QStringLiteral("Writes a transcript of the run to FILE as it goes: version, build data, "
                       "ports, the scan, every frame sent and received, progress and result."),
        QStringLiteral("FILE"));
    const QCommandLineOption fast(
        QStringLiteral("fast"),
        QStringLiteral("Fast link: a reply ends on its last byte instead of after %1 ms of quiet "
                       "on the line; a full upgrade takes about half the time. For the window, "
                       "--auto and --simulate alike.")
            .arg(kReadIntervalUs / 1000.0));
    const QCommandLineOption noVerify(
        QStringLiteral("no-verify"),
        QStringLiteral("Ends the upgrade with the unit's restart, without waiting for the unit "
                       "and checking that every processor reports the carried firmware."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(port);
    parser.addOption(autoRun);
    parser.addOption(simulate);
    parser.addOption(log);
    parser.addOption(fast);
    parser.addOption(noVerify);

    // --identify
    const QCommandLineOption identify(
        QStringLiteral("identify"),
        QStringLiteral("Finds the unit, prints each processor's installed and carried "
                       "firmware and what would be programmed; changes nothing."));
    parser.addOption(identify);
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("With --auto, --identify, --station or --doctor: standard output carries "
                       "JSON Lines only (docs/json-lines.schema.json); the report goes to "
                       "standard error."));
    parser.addOption(json);
    const StationOptionSet station;
    station.addTo(parser);

    // Field kit: --doctor [--json], --version --verbose.
    const QCommandLineOption doctor(
        QStringLiteral("doctor"),
        QStringLiteral("Checks this machine before a run and prints one line per finding with "
                       "its fix; exit code 0 when nothing stands in the way, 9 otherwise. Ports "
                       "named with --port are checked too."));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("With --version: also the build data and each carried image's RM "
                       "number, version and SHA-256."));
    parser.addOption(doctor);
    parser.addOption(verbose);

    // --help-simulate, and the simulated unit's options, accepted but listed only there.
    const QCommandLineOption simulateHelp(QStringLiteral("help-simulate"),
                                          QStringLiteral("Shows the simulated unit's options."));
    parser.addOption(simulateHelp);
    const corvane::sim::ScenarioOptions scenario(
        QString(), QStringLiteral("the build data compiled into the program"));
    QCommandLineParser simulateParser;
    simulateParser.setApplicationDescription(kSimulateDescription);
    for (QCommandLineOption option : scenario.options()) {
        simulateParser.addOption(option);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    AppOptions options;
    options.helpText = parser.helpText();
    options.simulateHelpText = simulateParser.helpText();
    if (!parser.parse(takeSimulatedUnitCount(arguments, &options.station.simulatedUnits))) {
        options.error = parser.errorText();
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.error = QStringLiteral("Unexpected argument: %1")
                            .arg(parser.positionalArguments().constFirst());
        return options;
    }
    options.showHelp = parser.isSet(help);
    options.showVersion = parser.isSet(version);
    options.autoRun = parser.isSet(autoRun);
    options.simulate = parser.isSet(simulate);
    options.fastLink = parser.isSet(fast);
    options.verify = !parser.isSet(noVerify);
    options.identify = parser.isSet(identify);
    options.showSimulateHelp = parser.isSet(simulateHelp);
    options.doctor = parser.isSet(doctor);
    options.json = parser.isSet(json);
    options.verbose = parser.isSet(verbose);
    if (options.verbose && !options.showVersion) {
        options.error = QStringLiteral("--verbose goes with --version");
        return options;
    }
    if (options.doctor &&
        (options.autoRun || options.identify || options.simulate || parser.isSet("station"))) {
        options.error = QStringLiteral("--doctor checks this machine: it does not go with --auto, "
                                       "--identify, --station or --simulate");
        return options;
    }
    if (options.autoRun && options.identify) {
        options.error = QStringLiteral("--auto and --identify exclude each other");
        return options;
    }
    if (parser.isSet(log)) {
        options.logPath = parser.value(log);
        if (options.logPath.trimmed().isEmpty()) {
            options.error = QStringLiteral("--log needs a file name, e.g. --log run.txt");
            return options;
        }
    }
    for (const QString& path : parser.values(port)) {
        if (path.trimmed().isEmpty()) {
            options.error = QStringLiteral("--port needs a device path, e.g. /dev/ttyUSB0");
            return options;
        }
        if (!options.ports.contains(path))
            options.ports << path;
    }
    const QStringList given = scenario.givenOptions(parser);
    if (!options.simulate && !given.isEmpty()) {
        options.error = QStringLiteral("--%1 describes the simulated unit: it needs --simulate")
                            .arg(given.constFirst());
        return options;
    }
    if (options.simulate) {
        QString why;
        if (!scenario.read(parser, options.simScenario, options.simFaults, &why)) {
            options.error = why;
            return options;
        }
    }
    if (!station.read(parser, options.simulate, options.station, &options.error))
        return options;
    options.error = stationConflict(options);
    return options;
}

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
    "Exit codes (of --auto and --identify unless noted):\n"
    "  0    every processor reports the carried firmware (upgraded and verified,\n"
    "       or already current)\n"
    "  1    the upgrade failed, or left a processor without the carried firmware\n"
    "  2    bad command line\n"
    "  3    no unit found (also: the port could not be opened)\n"
    "  4    the unit, or one of its processors, cannot be upgraded (nothing started)\n"
    "  5    the window was closed\n"
    "  6    no progress for 3 minutes\n"
    "  7    the program is damaged (any mode): its carried firmware is not what it\n"
    "       was built with; reinstall it\n"
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
    if (o.station.simulatedUnits > 0 && !o.station.enabled) {
        return QStringLiteral("--simulate N (a number of units) needs --station");
    }
    if (!o.station.enabled) {
        return o.json && !o.windowless() && !o.doctor && !o.showHelp
                   ? QStringLiteral("--json needs --auto, --identify, --station or --doctor")
                   : QString();
    }
    if (o.autoRun || o.identify) {
        return QStringLiteral("--station runs --auto itself, once per slot");
    }
    if (o.doctor) {
        return QStringLiteral("--doctor checks this machine: it does not go with --station");
    }
    if (!o.logPath.isEmpty()) {
        return QStringLiteral("--station writes one transcript per slot: use --log-dir DIR");
    }
    return {};
}

// --show without N: the last 20 runs.
constexpr int kShowDefault = 20;

// The options --help lists, in its order (the station's among them).
struct MainOptions {
    QCommandLineOption help{QStringList{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Shows this help and exits.")};
    QCommandLineOption version{QStringList{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Shows the program's version and exits.")};
    QCommandLineOption port{
        QStringLiteral("port"),
        QStringLiteral("Tries the serial device PATH first (repeatable; tried in the order "
                       "given, before the FTDI adapters)."),
        QStringLiteral("PATH")};
    QCommandLineOption autoRun{
        QStringLiteral("auto"),
        QStringLiteral("Runs the upgrade unattended and reports on standard output.")};
    QCommandLineOption simulate{
        QStringLiteral("simulate"),
        QStringLiteral("Starts a simulated unit inside the program and tries it first (its "
                       "options: --help-simulate).")};
    QCommandLineOption log{
        QStringLiteral("log"),
        QStringLiteral("Writes a transcript of the run to FILE as it goes: version, build data, "
                       "ports, the scan, every frame sent and received, progress and result."),
        QStringLiteral("FILE")};
    QCommandLineOption fast{
        QStringLiteral("fast"),
        QStringLiteral("Fast link: a reply ends on its last byte instead of after %1 ms of quiet "
                       "on the line; a full upgrade takes about half the time. For the window, "
                       "--auto and --simulate alike.")
            .arg(kReadIntervalUs / 1000.0)};
    QCommandLineOption noVerify{
        QStringLiteral("no-verify"),
        QStringLiteral("Ends the upgrade with the unit's restart, without waiting for the unit "
                       "and checking that every processor reports the carried firmware.")};
    QCommandLineOption identify{
        QStringLiteral("identify"),
        QStringLiteral("Finds the unit, prints each processor's installed and carried "
                       "firmware and what would be programmed; changes nothing.")};
    QCommandLineOption json{
        QStringLiteral("json"),
        QStringLiteral("With --auto, --identify, --station or --doctor: standard output carries "
                       "JSON Lines only (docs/json-lines.schema.json); the report goes to "
                       "standard error.")};
    QCommandLineOption doctor{
        QStringLiteral("doctor"),
        QStringLiteral("Checks this machine before a run and prints one line per finding with "
                       "its fix; exit code 0 when nothing stands in the way, 9 otherwise. Ports "
                       "named with --port are checked too.")};
    QCommandLineOption verbose{
        QStringLiteral("verbose"),
        QStringLiteral("With --version: also the build data and each carried image's RM "
                       "number, version and SHA-256.")};
    QCommandLineOption history{
        QStringLiteral("history"),
        QStringLiteral("Records every run in the SQLite database FILE (created when missing; "
                       "several processes may share it). With --station, every slot's run."),
        QStringLiteral("FILE")};
    QCommandLineOption show{QStringLiteral("show"),
                            QStringLiteral("With --history: prints the last N runs (default "
                                           "%1) as a table; N follows the option.")
                                .arg(kShowDefault)};
    QCommandLineOption exportCsv{
        QStringLiteral("export-csv"),
        QStringLiteral("With --history: writes every run to OUT as CSV (- for standard output)."),
        QStringLiteral("OUT")};
    QCommandLineOption simulateHelp{QStringLiteral("help-simulate"),
                                    QStringLiteral("Shows the simulated unit's options.")};

    void addTo(QCommandLineParser& parser, const StationOptionSet& station) const {
        parser.addOptions(
            {help, version, port, autoRun, simulate, log, fast, noVerify, identify, json});
        station.addTo(parser);
        parser.addOptions({doctor, verbose, history, show, exportCsv, simulateHelp});
    }
};

// What the run is to do; a message for modes that exclude each other.
QString readModes(const QCommandLineParser& parser, const MainOptions& o, AppOptions& options) {
    options.showHelp = parser.isSet(o.help);
    options.showVersion = parser.isSet(o.version);
    options.autoRun = parser.isSet(o.autoRun);
    options.simulate = parser.isSet(o.simulate);
    options.fastLink = parser.isSet(o.fast);
    options.verify = !parser.isSet(o.noVerify);
    options.identify = parser.isSet(o.identify);
    options.showSimulateHelp = parser.isSet(o.simulateHelp);
    options.doctor = parser.isSet(o.doctor);
    options.json = parser.isSet(o.json);
    options.verbose = parser.isSet(o.verbose);
    if (options.verbose && !options.showVersion) {
        return QStringLiteral("--verbose goes with --version");
    }
    if (options.doctor && (options.autoRun || options.identify || options.simulate)) {
        return QStringLiteral("--doctor checks this machine: it does not go with --auto, "
                              "--identify, --station or --simulate");
    }
    if (options.autoRun && options.identify) {
        return QStringLiteral("--auto and --identify exclude each other");
    }
    return {};
}

// --log FILE and every --port PATH (each once, in the order given).
QString readPaths(const QCommandLineParser& parser, const MainOptions& o, AppOptions& options) {
    if (parser.isSet(o.log)) {
        options.logPath = parser.value(o.log);
        if (options.logPath.trimmed().isEmpty()) {
            return QStringLiteral("--log needs a file name, e.g. --log run.txt");
        }
    }
    for (const QString& path : parser.values(o.port)) {
        if (path.trimmed().isEmpty()) {
            return QStringLiteral("--port needs a device path, e.g. /dev/ttyUSB0");
        }
        if (!options.ports.contains(path)) {
            options.ports << path;
        }
    }
    return {};
}

// --history FILE, --show [N], --export-csv OUT. N is the one positional argument the command
// line takes; it is removed from positional.
QString readHistoryOptions(const QCommandLineParser& parser, const MainOptions& o,
                           QStringList& positional, AppOptions& options) {
    options.historyPath = parser.value(o.history);
    options.historyCsvPath = parser.value(o.exportCsv);
    if (parser.isSet(o.show)) {
        options.historyShow = kShowDefault;
        bool number = false;
        const int n = positional.isEmpty() ? 0 : positional.constFirst().toInt(&number);
        if (number && n > 0) {
            options.historyShow = n;
            positional.removeFirst();
        }
    }
    if (parser.isSet(o.history) && options.historyPath.trimmed().isEmpty()) {
        return QStringLiteral("--history needs a file name, e.g. --history runs.db");
    }
    if (parser.isSet(o.exportCsv) && options.historyCsvPath.isEmpty()) {
        return QStringLiteral("--export-csv needs a file name (- for standard output)");
    }
    if (options.historyQuery() && options.historyPath.isEmpty()) {
        return QStringLiteral("--show and --export-csv read a history: name it with "
                              "--history FILE");
    }
    if (options.historyQuery() && (parser.isSet(o.autoRun) || parser.isSet(o.identify))) {
        return QStringLiteral("--show and --export-csv only read the history: they exclude "
                              "--auto and --identify");
    }
    return {};
}

// The simulated unit's options: only with --simulate.
QString readScenario(const QCommandLineParser& parser,
                     const corvane::sim::ScenarioOptions& scenario, AppOptions& options) {
    const QStringList given = scenario.givenOptions(parser);
    if (!options.simulate && !given.isEmpty()) {
        return QStringLiteral("--%1 describes the simulated unit: it needs --simulate")
            .arg(given.constFirst());
    }
    QString why;
    if (options.simulate && !scenario.read(parser, options.simScenario, options.simFaults, &why)) {
        return why;
    }
    return {};
}

} // namespace

AppOptions parseAppOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const MainOptions main;
    const StationOptionSet station;
    main.addTo(parser, station);

    // The simulated unit's options: accepted here, listed only by --help-simulate.
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
    QStringList positional = parser.positionalArguments();
    options.error = readHistoryOptions(parser, main, positional, options);
    if (options.error.isEmpty() && !positional.isEmpty()) {
        options.error = QStringLiteral("Unexpected argument: %1").arg(positional.constFirst());
    }
    if (options.error.isEmpty()) {
        options.error = readModes(parser, main, options);
    }
    if (options.error.isEmpty()) {
        options.error = readPaths(parser, main, options);
    }
    if (options.error.isEmpty()) {
        options.error = readScenario(parser, scenario, options);
    }
    if (options.error.isEmpty() &&
        station.read(parser, options.simulate, options.station, &options.error)) {
        options.error = stationConflict(options);
    }
    return options;
}

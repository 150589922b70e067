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
    "  10   --identify: an upgrade is due\n"
    "  130  stopped by SIGINT (Ctrl-C), 143 stopped by SIGTERM: the exchange in progress\n"
    "       ends, the port is closed and the unit's state is printed; run again to finish.\n"
    "SIGHUP (a closed terminal) and SIGPIPE (a closed pipe) do not stop a run.\n"
    "\n"
    "The serial port must be readable by the user: on Debian, membership of the dialout\n"
    "group (sudo usermod -aG dialout $USER, then log in again).");

const QString kSimulateDescription = QStringLiteral(
    "--simulate starts a simulated unit inside the program and tries it first, so the whole\n"
    "upgrade can be seen without a unit. These options describe that unit (versions are\n"
    "written 2.15 or 215) and need --simulate.");

// --history FILE, --show [N], --export-csv OUT. N is the one positional argument the command
// line takes; it is removed from positional.
constexpr int kShowDefault = 20;

void readHistoryOptions(const QCommandLineParser& parser, QStringList& positional,
                        AppOptions& options) {
    options.historyPath = parser.value(QStringLiteral("history"));
    options.historyCsvPath = parser.value(QStringLiteral("export-csv"));
    if (parser.isSet(QStringLiteral("show"))) {
        options.historyShow = kShowDefault;
        bool number = false;
        const int n = positional.isEmpty() ? 0 : positional.constFirst().toInt(&number);
        if (number && n > 0) {
            options.historyShow = n;
            positional.removeFirst();
        }
    }
    if (parser.isSet(QStringLiteral("history")) && options.historyPath.trimmed().isEmpty())
        options.error = QStringLiteral("--history needs a file name, e.g. --history runs.db");
    else if (parser.isSet(QStringLiteral("export-csv")) && options.historyCsvPath.isEmpty())
        options.error = QStringLiteral("--export-csv needs a file name (- for standard output)");
    else if (options.historyQuery() && options.historyPath.isEmpty())
        options.error = QStringLiteral("--show and --export-csv read a history: name it with "
                                       "--history FILE");
    else if (options.historyQuery() &&
             (parser.isSet(QStringLiteral("auto")) || parser.isSet(QStringLiteral("identify"))))
        options.error = QStringLiteral("--show and --export-csv only read the history: they "
                                       "exclude --auto and --identify");
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
        QStringLiteral("Fast link: a reply ends after %1 ms of quiet on the line instead of "
                       "%2 ms; a full upgrade takes about half the time. For the window, --auto "
                       "and --simulate alike.")
            .arg(kFastReadIntervalUs / 1000.0)
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

    parser.addOptions({
        {QStringLiteral("history"),
         QStringLiteral("Records every run in the SQLite database FILE (created when missing; "
                        "several processes may share it)."),
         QStringLiteral("FILE")},
        {QStringLiteral("show"),
         QStringLiteral("With --history: prints the last N runs (default %1) as a table; N "
                        "follows the option.")
             .arg(kShowDefault)},
        {QStringLiteral("export-csv"),
         QStringLiteral("With --history: writes every run to OUT as CSV (- for standard "
                        "output)."),
         QStringLiteral("OUT")},
    });

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
    if (!parser.parse(arguments)) {
        options.error = parser.errorText();
        return options;
    }
    QStringList positional = parser.positionalArguments();
    readHistoryOptions(parser, positional, options);
    if (!options.error.isEmpty())
        return options;
    if (!positional.isEmpty()) {
        options.error = QStringLiteral("Unexpected argument: %1").arg(positional.constFirst());
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
        if (!scenario.read(parser, options.simScenario, options.simFaults, &why))
            options.error = why;
    }
    return options;
}

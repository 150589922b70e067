#include "AppOptions.h"

#include "ScenarioOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

AppOptions parseAppOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reprograms a Corvane unit attached through a USB serial adapter.\n"
        "Without --port the USB serial adapters made by FTDI are tried in turn.\n"
        "\n"
        "--simulate starts a simulated unit inside the program and tries it first, so the\n"
        "whole upgrade can be seen without a unit; the options marked \"Simulated unit\"\n"
        "describe it (versions are written 2.15 or 215).\n"
        "--auto presses \"Connect via USB\" and \"Load Firmware\" by itself and prints every\n"
        "scan result and progress line on standard output (also without a display, with\n"
        "QT_QPA_PLATFORM=offscreen). Exit codes of --auto: 0 upgraded, or nothing to\n"
        "upgrade; 1 the upgrade failed; 2 bad command line; 3 no unit found; 4 the unit\n"
        "cannot be upgraded; 5 the window was closed; 6 no progress for 3 minutes."));
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
        QStringLiteral("Runs the upgrade unattended and reports on standard output (see above)."));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Starts a simulated unit inside the program and tries it first."));
    const QCommandLineOption log(
        QStringLiteral("log"),
        QStringLiteral("Writes a transcript of the run to FILE as it goes: version, build data, "
                       "ports, the scan, every frame sent and received, progress and result."),
        QStringLiteral("FILE"));
    const corvane::sim::ScenarioOptions scenario(
        QStringLiteral("Simulated unit: "),
        QStringLiteral("the build data compiled into the program"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(port);
    parser.addOption(autoRun);
    parser.addOption(simulate);
    parser.addOption(log);
    parser.addOptions(scenario.options());

    AppOptions options;
    options.helpText = parser.helpText();
    if (!parser.parse(arguments)) {
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

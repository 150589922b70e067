#include "AppOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

AppOptions parseAppOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reprograms a Corvane unit attached through a USB serial adapter.\n"
                       "Without --port the USB serial adapters made by FTDI are tried in turn."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the program's version and exits."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Tries the serial device PATH first (repeatable; tried in the order "
                       "given, before the FTDI adapters)."),
        QStringLiteral("PATH"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(port);

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
    for (const QString& path : parser.values(port)) {
        if (path.trimmed().isEmpty()) {
            options.error = QStringLiteral("--port needs a device path, e.g. /dev/ttyUSB0");
            return options;
        }
        if (!options.ports.contains(path))
            options.ports << path;
    }
    return options;
}

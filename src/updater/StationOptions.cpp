#include "StationOptions.h"

#include "ScenarioOptions.h"

#include <QRegularExpression>

namespace {

const QString kStationDescription = QStringLiteral(
    "--station programs every unit attached at once: one corvane-updater --auto --json\n"
    "process per port (the FTDI adapters and every --port), so that a unit that hangs or a\n"
    "process that dies never stops the others. Each port is a slot named by its USB physical\n"
    "path (the link to it in /dev/serial/by-path, e.g. usb-0:1.3), or by its device path\n"
    "when it has none; the folder is read from the environment variable\n"
    "%1 when set.\n"
    "--fast and --no-verify are passed on to every run. On a terminal the station shows a\n"
    "table, one row per slot; otherwise one line per event with the slot in front; --json\n"
    "gives the runs' JSON Lines with a \"slot\" field and the station's own objects.\n"
    "\n"
    "--station --simulate N runs N simulated units inside the station, each on its own\n"
    "pseudo-terminal, slots sim-1 ... sim-N; the scenario options (--help-simulate) apply\n"
    "to all of them, --slot-scenario to one.\n"
    "\n"
    "Exit codes: 0 every slot's run succeeded, %2 some slot failed (its run failed, found\n"
    "no unit, was stopped by Ctrl-C, or its process died), 2 bad command line, 3 no port\n"
    "to try. Ctrl-C (SIGINT) or SIGTERM stops every run after its exchange in progress and\n"
    "prints the summary.");

} // namespace

StationOptionSet::StationOptionSet()
    : m_station(QStringLiteral("station"),
                QStringLiteral("Programs every attached unit at once, one slot per port (its "
                               "options: --help-station)."))
    , m_help(QStringLiteral("help-station"), QStringLiteral("Shows the station's options.")) {
    m_finer << QCommandLineOption(QStringLiteral("log-dir"),
                                  QStringLiteral("Writes one transcript per slot and run into "
                                                 "DIR (SLOT-runN-TIME.txt)."),
                                  QStringLiteral("DIR"))
            << QCommandLineOption(QStringLiteral("loop"),
                                  QStringLiteral("After each run, waits until the slot's unit "
                                                 "is taken away and a new one answers, then "
                                                 "programs it; until Ctrl-C."))
            << QCommandLineOption(
                   QStringLiteral("slot-scenario"),
                   QStringLiteral("With --simulate N: scenario options of slot N's unit, e.g. "
                                  "3:--hmi-silent or \"2:--fault corrupt-status\" "
                                  "(repeatable)."),
                   QStringLiteral("N:OPTIONS"))
            << QCommandLineOption(QStringLiteral("silence-limit"),
                                  QStringLiteral("A run that reports nothing for SECONDS is "
                                                 "taken as hung and killed (default 240)."),
                                  QStringLiteral("SECONDS"));
}

void StationOptionSet::addTo(QCommandLineParser& parser) const {
    parser.addOption(m_station);
    parser.addOption(m_help);
    for (QCommandLineOption option : m_finer) {
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

QString StationOptionSet::helpText() const {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        kStationDescription.arg(QLatin1String(kByPathVariable)).arg(kStationSlotsFailed));
    parser.addOption(m_station);
    for (const QCommandLineOption& option : m_finer) {
        parser.addOption(option);
    }
    return parser.helpText();
}

QStringList StationOptionSet::givenFinerOptions(const QCommandLineParser& parser) const {
    QStringList given;
    for (const QCommandLineOption& option : m_finer) {
        if (parser.isSet(option)) {
            given << option.names().constFirst();
        }
    }
    return given;
}

bool StationOptionSet::read(const QCommandLineParser& parser, bool simulate,
                            StationOptions& options, QString* error) const {
    options.enabled = parser.isSet(m_station);
    options.showHelp = parser.isSet(m_help);
    options.helpText = helpText();
    const QStringList finer = givenFinerOptions(parser);
    if (!options.enabled) {
        if (!finer.isEmpty()) {
            *error = QStringLiteral("--%1 is an option of the station: it needs --station")
                         .arg(finer.constFirst());
            return false;
        }
        return true;
    }
    if (simulate && options.simulatedUnits == 0) {
        options.simulatedUnits = 1;
    }
    options.loop = parser.isSet(m_finer[1]);
    if (parser.isSet(m_finer[0])) {
        options.logDir = parser.value(m_finer[0]);
        if (options.logDir.trimmed().isEmpty()) {
            *error = QStringLiteral("--log-dir needs a folder, e.g. --log-dir logs");
            return false;
        }
    }
    if (parser.isSet(m_finer[3])) {
        bool ok = false;
        options.silenceLimitS = parser.value(m_finer[3]).toInt(&ok);
        if (!ok || options.silenceLimitS < 1) {
            *error = QStringLiteral("--silence-limit needs a number of seconds, e.g. 240");
            return false;
        }
    }
    for (const QString& text : parser.values(m_finer[2])) {
        int slot = 0;
        QStringList arguments;
        if (!parseSlotScenario(text, &slot, &arguments)) {
            *error = QStringLiteral("--slot-scenario %1: expected N:OPTIONS, e.g. "
                                    "3:--hmi-silent")
                         .arg(text);
            return false;
        }
        if (!simulate || slot > options.simulatedUnits) {
            *error = QStringLiteral("--slot-scenario %1: there is no simulated unit %2 (give "
                                    "--simulate N)")
                         .arg(text)
                         .arg(slot);
            return false;
        }
        corvane::sim::Scenario scenario;
        corvane::sim::FaultPlan faults;
        QString why;
        if (!applyScenarioArguments(arguments, scenario, faults, &why)) {
            *error = QStringLiteral("--slot-scenario %1: %2").arg(text, why);
            return false;
        }
        options.slotScenarios[slot] += arguments;
    }
    return true;
}

QStringList takeSimulatedUnitCount(QStringList arguments, int* units) {
    *units = 0;
    static const QRegularExpression number(QStringLiteral("^\\d{1,3}$"));
    const qsizetype at = arguments.indexOf(QStringLiteral("--simulate"));
    if (at >= 0 && at + 1 < arguments.size() && number.match(arguments[at + 1]).hasMatch()) {
        *units = arguments[at + 1].toInt();
        arguments.removeAt(at + 1);
    }
    return arguments;
}

bool parseSlotScenario(const QString& text, int* slot, QStringList* arguments) {
    const qsizetype colon = text.indexOf(u':');
    if (colon <= 0) {
        return false;
    }
    bool ok = false;
    *slot = text.left(colon).toInt(&ok);
    if (!ok || *slot < 1) {
        return false;
    }
    *arguments =
        text.mid(colon + 1).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    return !arguments->isEmpty();
}

bool applyScenarioArguments(const QStringList& arguments, corvane::sim::Scenario& scenario,
                            corvane::sim::FaultPlan& faults, QString* error) {
    const corvane::sim::ScenarioOptions set;
    QCommandLineParser parser;
    parser.addOptions(set.options());
    if (!parser.parse(QStringList{QStringLiteral("slot")} + arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument %1").arg(parser.positionalArguments()[0]);
        return false;
    }
    return set.read(parser, scenario, faults, error);
}

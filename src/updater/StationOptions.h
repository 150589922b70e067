#pragma once
// The station's command line (--station and the options listed by --help-station).

#include "SimulatedUnit.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <map>

// The exit code of a station in which a slot failed (or a run was cut by Ctrl-C).
inline constexpr int kStationSlotsFailed = 8;

// Environment variable naming the folder of the serial ports' physical-path links.
inline constexpr const char* kByPathVariable = "CORVANE_SERIAL_BY_PATH";
inline constexpr const char* kByPathDefault = "/dev/serial/by-path";

struct StationOptions {
    bool enabled = false;   // --station
    int simulatedUnits = 0; // --station --simulate N
    QString logDir;         // --log-dir DIR: one transcript per slot and run
    bool loop = false;      // --loop
    // --slot-scenario N:OPTIONS: the simulated unit of slot N (1-based), on top of the
    // scenario options given to all.
    std::map<int, QStringList> slotScenarios;
    // A child silent for this long is taken as hung and killed.
    int silenceLimitS = 240;
    bool showHelp = false; // --help-station
    QString helpText;
};

class StationOptionSet {
public:
    StationOptionSet();

    // --station goes into the main help; the finer options are accepted there but listed only
    // by --help-station.
    void addTo(QCommandLineParser& parser) const;
    [[nodiscard]] QString helpText() const;
    // After parsing: the station's options; false with a message for a value that cannot be
    // used. simulate: --simulate was given.
    [[nodiscard]] bool read(const QCommandLineParser& parser, bool simulate,
                            StationOptions& options, QString* error) const;
    // Names of the finer options the command line gave.
    [[nodiscard]] QStringList givenFinerOptions(const QCommandLineParser& parser) const;

private:
    QCommandLineOption m_station;
    QCommandLineOption m_help;
    QList<QCommandLineOption> m_finer; // log-dir, loop, slot-scenario, silence-limit
};

// Takes the unit count out of "--simulate N" (N a number); units is 0 when there is none.
[[nodiscard]] QStringList takeSimulatedUnitCount(QStringList arguments, int* units);

// "3:--hmi-silent --fault drop" -> slot 3 and its scenario arguments; false when malformed.
[[nodiscard]] bool parseSlotScenario(const QString& text, int* slot, QStringList* arguments);

// Reads scenario arguments on top of scenario and faults; false with a message when they
// cannot be used.
[[nodiscard]] bool applyScenarioArguments(const QStringList& arguments,
                                          corvane::sim::Scenario& scenario,
                                          corvane::sim::FaultPlan& faults, QString* error);

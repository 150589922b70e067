#pragma once
// The command-line options that describe a simulated unit: its firmware, faults and timing.
// corvane-sim and any other program that runs a simulated unit share them.

#include "SimulatedUnit.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

namespace corvane::sim {

class ScenarioOptions {
public:
    // descriptionPrefix goes in front of every option's help text (e.g. "With --simulate: ").
    // buildDataDefault names the build data used without --build-data (default: the folder
    // configured at build time).
    explicit ScenarioOptions(const QString& descriptionPrefix = QString(),
                             const QString& buildDataDefault = QString());

    // In the order the help lists them.
    [[nodiscard]] const QList<QCommandLineOption>& options() const { return m_options; }

    // Reads the options of a parser that has parsed the command line into scenario and plan
    // (options not given keep the values already there). False with a message in error for a
    // value that cannot be used.
    [[nodiscard]] bool read(const QCommandLineParser& parser, Scenario& scenario, FaultPlan& plan,
                            QString* error) const;

    // Names of the options of this set that the command line gave.
    [[nodiscard]] QStringList givenOptions(const QCommandLineParser& parser) const;

private:
    QList<QCommandLineOption> m_options;
};

// "2.15" -> 215, "215" -> 215.
[[nodiscard]] std::optional<std::uint16_t> parseVersionText(const QString& text);
// A 16-bit number in decimal, or hexadecimal with 0x.
[[nodiscard]] std::optional<std::uint16_t> parseWord(const QString& text);

} // namespace corvane::sim

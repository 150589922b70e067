#pragma once
// The unattended run's report on standard output: every scan result, the review of each
// processor, every progress line as it changes (transfers with their rate and time left), the
// messages the window would show as boxes, and after a stop the state the unit is left in.
// It only shows the engine's events; the engine decides how the run goes and ends.

#include "upgrade/UpgradeEngine.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>

// The line an unattended run prints about the link it found the unit on: where a reply ends
// (on its last byte, or after the read interval's quiet) and whether the adapter granted its
// low-latency mode.
[[nodiscard]] QString linkReport(const LinkInfo& link);

// "CPU-1: installed RM4001 v2.15, carried RM4001 v2.45, to be programmed".
[[nodiscard]] QString reviewLine(int processor, const ProcessorReview& review);

// "CPU-2: carried image SHA-256 286d...": for each processor the unit has, the digest of the
// image a run writes to it.
[[nodiscard]] QStringList carriedImageLines(const std::array<ProcessorReview, 4>& processors);

class CliView : public QObject {
    Q_OBJECT
public:
    using Output = std::function<void(const QString& line)>;

    CliView(UpgradeEngine& engine, Output output, QObject* parent = nullptr);

    // A stop was asked for (SIGINT/SIGTERM): says so before the engine winds the run up.
    void stopRequested(int signal);

private:
    void onEvent(const EngineEvent& event);
    void reportProgress();
    void print(const QString& line);

    struct Transfer {
        QElapsedTimer since;
        qint64 bytes = 0;
    };

    UpgradeEngine& m_engine;
    Output m_output;
    ProgressReporter m_reporter;
    bool m_connectingShown = false;
    // Transfer lines of the progress list by index: since when they run, and their size.
    std::map<std::size_t, Transfer> m_transfers;
};

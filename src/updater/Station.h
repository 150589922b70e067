#pragma once
// A station: every attached unit programmed at once, one slot per port, each run by its own
// updater process (StationSlot). It ends when every slot has run once, or with --loop when a
// stop (Ctrl-C, SIGTERM) has wound every run up; its exit code is 0 only when every run
// succeeded.

#include "StationSlot.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

struct AppOptions;

// One slot to be: its name and its port.
struct SlotTarget {
    QString name;
    QString port;
};

// The ports a station serves: the ones the scan would try (every --port, then the FTDI
// adapters), without the same device twice.
[[nodiscard]] QStringList stationPorts(const QStringList& preferred);

// The station's exit code for these runs: 0 when every run succeeded, else
// kStationSlotsFailed.
[[nodiscard]] int stationExitCode(const std::vector<SlotRun>& runs);

class Station : public QObject {
    Q_OBJECT
public:
    Station(const std::vector<SlotTarget>& slotTargets, SlotChildSetup setup, bool loop,
            QObject* parent = nullptr);
    ~Station() override;

    [[nodiscard]] const std::vector<std::unique_ptr<StationSlot>>& slotList() const {
        return m_slots;
    }
    [[nodiscard]] const std::vector<SlotRun>& runs() const { return m_runs; }
    [[nodiscard]] bool stopping() const { return m_stopSignal != 0; }
    [[nodiscard]] int stopSignal() const { return m_stopSignal; }

    // A simulated slot's unit: what it holds after a run (slot index, 1-based).
    void setUnitHolding(std::function<QJsonObject(int slot)> holding) {
        m_unitHolding = std::move(holding);
    }

    void start();
    // SIGINT/SIGTERM: passed on to every child; no new run starts. A child still alive
    // after graceMs is killed.
    void stop(int signal, int graceMs = 60000);

signals:
    // Every child's run has ended (with --loop: after a stop).
    void finished(int exitCode);
    // A run ended: the station decides what the slot does next after this.
    void runRecorded(StationSlot* slot, const SlotRun& run);

private:
    void onRunEnded(StationSlot* slot, const SlotRun& run);
    void checkFinished();

    std::vector<std::unique_ptr<StationSlot>> m_slots;
    std::vector<SlotRun> m_runs;
    std::function<QJsonObject(int slot)> m_unitHolding;
    bool m_loop = false;
    bool m_finished = false;
    int m_stopSignal = 0;
    QTimer m_grace;
};

// --station: the whole program run as a station, under the application object; returns the
// exit code.
[[nodiscard]] int runStation(AppOptions& options);

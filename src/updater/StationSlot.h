#pragma once
// One slot of a station: a port and the updater processes run on it. A run is one child
// `corvane-updater --auto --json --port P` whose JSON Lines tell the slot how it goes; its
// result object, or the way the process ended, gives the slot's result. With --loop the slot
// then probes its port (`--identify --json`) until the unit is taken away and a new one
// answers. Nothing here blocks: every child is a QProcess read as its lines come.

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class QProcess;

// One run of a slot, as the summary reports it.
struct SlotRun {
    QString slot;
    int slotIndex = 0; // 1, 2, ... in the station's order
    int run = 0;       // 1, 2, ... per slot
    QString port;
    QString logFile;
    qint64 pid = 0;
    qint64 ms = 0; // from the child's start to its end
    bool ended = false;
    bool haveResult = false; // the child's result object came
    int exitCode = -1;       // the child's exit code; -1 when a signal ended it
    QString signal;          // the signal that ended the child ("SIGKILL"), if one did
    // The result's exit class and cause, or the station's own cause when the child ended
    // without a result: "killed", "hung", "no-result", "start-failed".
    QString exitClass;
    QString cause;
    QString summary;
    QString failedProcessor; // "CPU-2"; empty for the unit as a whole
    int productRm = 0;
    QJsonArray processors;     // the result's processors
    QJsonObject simulatedUnit; // a simulated slot: what its unit holds after the run
    QString lastStage;         // the stage in progress at the end ("CPU-2 transfer 42%")
    bool counted = true;       // false: --loop found an empty socket; not in the summary

    [[nodiscard]] bool ok() const { return ended && haveResult && exitCode == 0; }
};

// What a slot shows now (the live table's row).
struct SlotLive {
    QString phase; // "starting", "scanning", "programming", "waiting for removal", ...
    int productRm = 0;
    QString stage; // "CPU-2 transfer"
    double percent = -1;
    double rate = -1; // bytes/s
    double secondsLeft = -1;
    QString result; // the last run's: "ok", "failed: ..."
};

// What every child of a station is given.
struct SlotChildSetup {
    QString program;    // the updater itself
    QStringList passOn; // --fast, --no-verify, ...
    QString logDir;     // empty: no transcripts
    int silenceLimitMs = 240000;
    int probePauseMs = 1000; // --loop: between presence probes
};

// "usb-0:1.3" -> "usb-0_1.3": a slot name as part of a file name.
[[nodiscard]] QString slotFileName(const QString& slot);

// "SIGKILL" for 9; "signal N" when the system has no name for it.
[[nodiscard]] QString signalAbbreviation(int signal);

class StationSlot : public QObject {
    Q_OBJECT
public:
    enum class Phase { Idle, Running, WaitingRemoval, WaitingUnit, Stopped };

    StationSlot(int index, QString name, QString port, SlotChildSetup setup,
                QObject* parent = nullptr);
    ~StationSlot() override;

    [[nodiscard]] int index() const { return m_index; }
    [[nodiscard]] const QString& name() const { return m_name; }
    [[nodiscard]] const QString& port() const { return m_port; }
    [[nodiscard]] Phase phase() const { return m_phase; }
    [[nodiscard]] const SlotLive& live() const { return m_live; }
    [[nodiscard]] const SlotRun& currentRun() const { return m_run; }
    // A child (run or probe) is alive.
    [[nodiscard]] bool busy() const;

    void startRun();
    // --loop: wait until the unit is taken away (unless the run found none) and a new one
    // answers, then run.
    void awaitNextUnit(bool removalFirst = true);
    // Passes the signal to the running child (its own SIGINT handling winds the run up); no
    // new child starts afterwards.
    void stop(int signal);
    // The last resort after a stop that did not end a child in time.
    void kill();

signals:
    // An object of the run's JSON Lines, as the child wrote it and parsed.
    void childObject(StationSlot* slot, const QByteArray& line, const QJsonObject& object);
    void runStarted(StationSlot* slot);
    void runEnded(StationSlot* slot, const SlotRun& run);
    void liveChanged(StationSlot* slot);
    void idle(StationSlot* slot); // no child runs and none will start unless asked

private:
    void readOutput();
    void readErrors();
    void take(const QJsonObject& object);
    void runFinished(int exitCode, bool crashed);
    void checkSilence();
    void probe();
    void probeFinished(bool present);
    void setPhase(Phase phase, const QString& text);

    int m_index;
    QString m_name;
    QString m_port;
    SlotChildSetup m_setup;
    Phase m_phase = Phase::Idle;
    bool m_stopping = false;
    bool m_hung = false;
    int m_runs = 0;
    SlotRun m_run;
    SlotLive m_live;
    std::unique_ptr<QProcess> m_child;
    std::unique_ptr<QProcess> m_probe;
    QElapsedTimer m_started;
    QElapsedTimer m_lastOutput;
    QTimer m_watchdog;
    QTimer m_probeTimer;
    QStringList m_errorTail; // the child's last lines on standard error
    QByteArray m_errorPartial;
};

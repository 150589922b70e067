#pragma once
// The updater without a window: device discovery, the review's decision, the upgrade of the
// three processors and the check after the unit's restart. It owns the serial link, the
// program images and the updater's state, runs discovery and the upgrade as numbered steps
// posted to itself one at a time, and reports everything it does as typed events
// (EngineEvents.h). The window, the command line and the transcript are views of those events.

#include "EngineEvents.h"
#include "Outcome.h"
#include "ProgressLines.h"
#include "VersionReview.h"

#include "firmware/ScreenTexts.h"
#include "firmware/UnitState.h"
#include "platform/PortList.h"
#include "programming/ProgressSink.h"
#include "serial/VexaComms.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ImageStore;
class ModbusTCP_Client;
class ProductTable;
class Programmer;
class RegisterFacade;
class ResourceSource;
class UnitIdentifier;

// Step messages: discovery and the upgrade advance by events posted to the engine.
inline constexpr QEvent::Type WM_SCAN_STEP = static_cast<QEvent::Type>(QEvent::User + 1);
inline constexpr QEvent::Type WM_UPGRADE_STEP = static_cast<QEvent::Type>(QEvent::User + 2);

class StepEvent : public QEvent {
public:
    StepEvent(QEvent::Type type, int step)
        : QEvent(type)
        , m_step(step) {}
    [[nodiscard]] int step() const { return m_step; }

private:
    int m_step;
};

// The upgrade's fixed waits. Tests shorten them; the program uses the defaults.
struct SequencerTimings {
    int cpu1RestartMs = 8000;  // after CPU-1's reset, before the unit is read again
    int bootEntryPollMs = 100; // between a boot-mode request and the status read
    // A sub-processor whose busy status (word and address) has not changed for this long is
    // taken as stuck and the run ends, instead of polling it for ever.
    int stuckStatusMs = 60000;
    // Re-reads of the unit after CPU-1's restart before the run ends (CPU-2's register window
    // depends on CPU-1's new version), and the pause between them.
    int cpu1RereadAttempts = 5;
    int cpu1RereadPollMs = 1000;
    // Verification after the unit's restart: how long to wait for it to answer again, and the
    // pause between identification polls.
    int verifyTimeoutMs = 30000;
    int verifyPollMs = 500;
    // Overall limit of one sub-processor erase or programming stage, whatever its status says:
    // stageBaseMs plus stageMsPerKiB for every KiB (rounded up) of the processor's program
    // range. The defaults are 40 to 80 times the 25 ms/KiB erase and 50 ms/KiB programming a
    // sub-processor needs, plus a minute: a 48 KiB range gets 156 s.
    int stageBaseMs = 60000;
    int stageMsPerKiB = 2000;
};

// The overall limit of a sub-processor erase or programming stage over first..last (inclusive).
[[nodiscard]] qint64 stageDeadlineMs(const SequencerTimings& timings, std::uint32_t first,
                                     std::uint32_t last);

// Bar value (0..100, more past the range) for the address a sub-processor reports while it
// erases or programs its range first..last (inclusive).
[[nodiscard]] double programProgress(std::uint32_t address, std::uint32_t first,
                                     std::uint32_t last);

// The ports a scan tries, in order: `preferred` (each once), then the entries of `all` whose
// manufacturer text contains `maker`.
[[nodiscard]] QStringList candidatePorts(const QStringList& preferred,
                                         const std::vector<corvane::PortEntry>& all,
                                         const QString& maker = corvane::kAdapterMaker);

// What the engine is built on. Empty members mean the real thing.
struct EngineDeps {
    // Makes the serial device for each open of the link (tests: fakes); empty: POSIX device.
    TVexaComms::DeviceFactory deviceFactory;
    // Ports named on the command line: probed first, in this order.
    QStringList preferredPorts;
    // The machine's serial ports with their manufacturer text; empty: the system's list.
    std::function<std::vector<corvane::PortEntry>()> listPorts;
    // Build data and product table; null: the ones compiled into the program.
    const ResourceSource* resources = nullptr;
    const ProductTable* products = nullptr;
    // --fast: the link ends a reply after kFastReadIntervalUs of quiet instead of 10 ms.
    bool fastLink = false;
    // After "Restarting System....Done", wait for the unit and check that every processor
    // reports the carried firmware (off: the run ends with the restart).
    bool verifyAfterRestart = true;
    SequencerTimings timings;
    // Requests refused since a stop was asked for (the gated serial device counts them); a
    // step that had one refused did not happen as its lines say.
    std::function<int()> refusedRequests;
};

// Who drives the engine: the window's buttons, or the engine itself after the review.
enum class EngineMode {
    Interactive, // the window presses the buttons
    Auto,        // upgrade what the review offers, then finish
    Identify,    // finish at the review
};

class UpgradeEngine : public QObject {
    Q_OBJECT
public:
    explicit UpgradeEngine(EngineDeps deps = {}, QObject* parent = nullptr);
    ~UpgradeEngine() override;

    // Build-data problems found at start-up, in order: errors first, then the warnings of
    // the image store. A program with any error must not offer to program.
    struct StartupMessage {
        ev::MessageKind kind = ev::MessageKind::Error;
        QString text;
    };
    [[nodiscard]] const std::vector<StartupMessage>& startupMessages() const {
        return m_startupMessages;
    }
    [[nodiscard]] bool startupRefused() const { return m_startupRefused; }

    void setMode(EngineMode mode) { m_mode = mode; }
    [[nodiscard]] EngineMode mode() const { return m_mode; }
    // Unattended modes: a run in which no event comes for this long ends as stalled.
    void setStallLimitMs(int ms) { m_stallLimitMs = ms; }

    // Discovery.
    void startScan(); // the USB scan from its first step
    void Attempt_Connection();
    void Run_Scan_Step(int step);
    void Get_CommPort_List(const QString& mfg_str);
    // Identifies a unit over Modbus TCP at address, port 502.
    void connectNetwork(const QString& address);

    // The review: CPU-1's checks, then ReviewOpened with every processor's finding (the
    // hidden Button3's click). In the unattended modes the engine then goes on by itself.
    void openReview();
    void Refresh_Update_Flags();
    void Update_Version_Labels();
    void setAllMode(bool on);

    // The upgrade, from step 0 with CPU-2 next after CPU-1.
    void startUpgrade();
    void Run_Upgrade_Step(int step);

    // SIGINT/SIGTERM: no further step starts; once the step in progress has returned, the run
    // ends with RunFinished (RunExit::Stopped) and the state the unit is left in.
    void requestStop(int signal);
    // The window closes: every wait ends at once, the link is retired (its port closes and
    // cannot be reopened) and released once no step is on the stack.
    void shutdown();
    [[nodiscard]] bool isShutDown() const { return m_shutDown; }
    // A step or handler that may exchange with the unit or wait in a delay is on the stack.
    [[nodiscard]] bool handlerRunning() const { return m_handlerDepth > 0; }
    [[nodiscard]] bool isFinished() const { return m_finished; }

    // State.
    int pollcnt = 0;
    int CPU_Num = 0;
    QStringList Port_List; // candidate ports (device paths) in probing order
    int Port_Index = 0;
    QStringList Memo2; // the scan log, never shown

    [[nodiscard]] UnitState& unit() { return *m_unit; }
    [[nodiscard]] const UnitState& unit() const { return *m_unit; }
    [[nodiscard]] ScreenTexts& texts() { return m_texts; }
    [[nodiscard]] VersionReview& review() { return m_review; }
    [[nodiscard]] const VersionReview& review() const { return m_review; }
    [[nodiscard]] const ProductTable& products() const { return *m_products; }
    [[nodiscard]] ImageStore& imageStore() { return *m_store; }
    [[nodiscard]] RegisterFacade& facade() { return *m_facade; }
    // The serial link; null once it has been released.
    [[nodiscard]] TVexaComms* VexaComms1() const { return m_link.get(); }
    [[nodiscard]] const ProgressLines& progressLines() const { return m_lines; }
    [[nodiscard]] const RunLedger& ledger() const { return m_tracker.ledger(); }
    [[nodiscard]] bool productHasHmi() const;
    [[nodiscard]] std::array<ProcessorReview, 4> reviewOfProcessors() const;

    // The run as far as it has got: the outcome of a finished run, or what an unfinished one
    // would end with now (Interrupted).
    [[nodiscard]] RunOutcome outcome() const;

    [[nodiscard]] SequencerTimings sequencerTimings() const { return m_timings; }
    void setSequencerTimings(const SequencerTimings& timings) { m_timings = timings; }

signals:
    // Every event, in order, synchronously: a view may show a modal box before it returns.
    void reported(const EngineEvent& event);

protected:
    bool event(QEvent* event) override;

private:
    class BarSink;

    void buildComponents();
    void loadBuildData();
    void postStep(QEvent::Type type, int step);
    void emitEvent(const EngineEvent& event);
    // Runs fn as a handler that may exchange with the unit: errors become a message, and the
    // link is only released once no such handler is on the stack.
    void runHandler(const std::function<void()>& fn);
    void handlerReturned();

    // Discovery (Discovery.cpp).
    void probePort();
    void scanLog(const QString& port, ScanLog kind, const QString& detail = {});
    void rejectPort(const QString& port, std::optional<ScanError> error, ScanLog ending);
    void acceptUnit(const QString& port, int rm, bool throughBootloader);
    void scanExhausted();
    void reviewUnit();
    void identifyOverNetwork(const QString& address);
    void afterReview(const ev::ReviewOpened& review);
    [[nodiscard]] QString noUnitReason() const;
    [[nodiscard]] LinkInfo linkInfo() const;

    // The upgrade (Sequencer.cpp).
    void runUpgradeStepGuarded(int step);
    void stepStart();
    void stepBootloaderInfo();
    void stepModelCheck();
    void stepCpu1Erase();
    void stepCpu1Transfer();
    void stepBootModeExit();
    void stepCpu1Restart();
    void stepCpu1Reread();
    void stepDecide();
    void stepBootModeEntry();
    void stepSubTransfer();
    void stepSubCommand(int step);
    void stepNextProcessor();
    void stepSystemRestart();
    void stepEnd();
    void statusPoll(int step, int nextStep, Stage stage);
    void postUpgrade(int step) { postStep(WM_UPGRADE_STEP, step); }
    void startStage(Stage stage, int processor, bool withBar = false);
    void endStage(Stage stage, int processor, StageResult result, Cause cause = Cause::None,
                  std::uint32_t detail = 0);
    void note(Note kind, int processor = 0, const QString& text = {});
    [[nodiscard]] bool rereadAfterCpu1Restart();
    void verifyAfterRestart();

    // Outcome (UpgradeEngine.cpp).
    void finishRun(RunExit exit, Cause cause, int processor, const QString& summary);
    void windUpAfterStop();
    void checkStall();
    void releaseLinkWhenIdle();
    [[nodiscard]] RunOutcome upgradeOutcome() const;
    [[nodiscard]] QString leftProcessorRefusal(int* processor, Cause* cause) const;

    EngineDeps m_deps;
    EngineMode m_mode = EngineMode::Interactive;
    std::unique_ptr<UnitState> m_unit;
    ScreenTexts m_texts;
    VersionReview m_review;
    const ResourceSource* m_resources = nullptr;
    const ProductTable* m_products = nullptr;
    std::unique_ptr<ImageStore> m_store;
    std::unique_ptr<TVexaComms> m_link;
    std::unique_ptr<ModbusTCP_Client> m_tcpClient;
    std::unique_ptr<RegisterFacade> m_facade;
    std::unique_ptr<UnitIdentifier> m_identifier;
    std::unique_ptr<BarSink> m_barSink;
    std::unique_ptr<Programmer> m_programmer;
    std::vector<StartupMessage> m_startupMessages;
    bool m_startupRefused = false;

    SequencerTimings m_timings;
    ProgressLines m_lines;
    OutcomeTracker m_tracker;
    RunLedger m_ledgerAtStop;

    // Scan.
    ScanError m_scanError = ScanError::TimedOut;
    int m_unopenedPorts = 0;
    QString m_lastOpenFailure;
    LinkInfo m_foundOn;

    // The stage a progress report belongs to.
    Stage m_stage = Stage::BootloaderEntry;
    int m_stageProcessor = 1;
    double m_lastPercent = -1;
    // The last busy status of a sub-processor operation and since when it has not changed.
    std::array<std::uint16_t, 2> m_lastBusyStatus{};
    QElapsedTimer m_busySince;
    // Since when the current sub-processor erase or programming stage runs, and its limit.
    QElapsedTimer m_stageSince;
    qint64 m_stageLimitMs = 0;

    // Outcome.
    bool m_upgradeEnded = false;
    bool m_adapterNoted = false;
    bool m_finished = false;
    RunOutcome m_outcome;

    // Stop, shutdown, stall.
    int m_handlerDepth = 0;
    int m_stopSignal = 0;
    bool m_windUpPending = false;
    bool m_shutDown = false;
    bool m_releasePending = false;
    int m_stallLimitMs = 180000;
    QElapsedTimer m_sinceActivity;
    QTimer m_stallTimer;
};

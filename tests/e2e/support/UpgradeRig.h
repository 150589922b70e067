#pragma once
// The updater window, offscreen, against a simulated unit on a real pseudo-terminal: presses
// its buttons as a technician would, answers its message boxes, and records the wire.

#include "WireRecord.h"

#include "support/TestEnv.h"

#include "SimulatedUnit.h"

#include "upgrade/UpgradeEngine.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class ResourceSource;
class TForm3;

namespace corvane::e2e {

// Waits that cost seconds instead of minutes: CPU-1's restart, the boot-mode poll, the
// stuck-status limit, the re-read and verification polls, the stage limits.
[[nodiscard]] SequencerTimings quickTimings();

struct RigOptions {
    // The window's --fast link, with its own read interval (readIntervalMs is then not used).
    bool fastLink = fastLinkRequested();
    // Shortens the engine's fixed waits to `timings` and the link's read interval to
    // readIntervalMs; off: the program's own.
    bool fastWaits = true;
    int readIntervalMs = 1;
    SequencerTimings timings = quickTimings();
    // Check every processor's version after the unit's restart (the program's default).
    bool verify = true;
    // Answer message boxes (off when something else does).
    bool answerModals = true;
    // Build data of the engine; null: the data compiled into the program.
    const ResourceSource* resources = nullptr;
};

// An unattended run of the engine on its own, as --auto (or --identify) runs it.
struct UnattendedRun {
    int exitCode = -1;  // -1: not finished within the bound
    QStringList output; // the report, then the "Result: " line
    QStringList lines;  // the progress list at the end
    RunOutcome outcome;
};

class UpgradeRig : public QObject {
public:
    explicit UpgradeRig(sim::Scenario scenario, sim::FaultPlan faults = {},
                        RigOptions options = {});
    ~UpgradeRig() override;

    [[nodiscard]] sim::SimulatedUnit& unit() { return *m_unit; }
    [[nodiscard]] WireRecord& wire() { return *m_wire; }
    [[nodiscard]] const QString& port() const { return m_port; }

    // What the engine is built on: the unit's port only, the wire recorded, the options' waits.
    [[nodiscard]] EngineDeps engineDeps() const;
    // The link's read interval for the options (a link built from engineDeps()).
    void quickenLink(TVexaComms& link) const;

    // A new window on the unit's port; a window still open is closed first.
    TForm3& openWindow();
    // The engine without a window, driven by itself with the command line's report until it
    // finishes or boundMs pass; meanwhile runs once the scan has started.
    UnattendedRun runUnattended(EngineMode mode = EngineMode::Auto, int stallLimitMs = 60000,
                                int boundMs = 120000,
                                const std::function<void(UpgradeEngine&)>& meanwhile = {});
    [[nodiscard]] TForm3& form() { return *m_form; }
    [[nodiscard]] bool hasWindow() const { return m_form != nullptr; }

    // Presses "Connect via USB" and waits for the review or the retry box.
    bool scan(int timeoutMs = 30000);
    // Presses "Load Firmware" and waits for the upgrade panel's Quit button.
    bool load(int timeoutMs = 120000);
    // Closes the window and waits until it has let go of the port.
    bool closeWindow(int timeoutMs = 10000);

    [[nodiscard]] QStringList lines() const;
    [[nodiscard]] double barOf(int line) const;
    // Texts of the message boxes answered so far.
    [[nodiscard]] const QStringList& messages() const { return m_messages; }
    // Requests written since "Load Firmware" was pressed.
    [[nodiscard]] std::vector<RequestKind> kindsSinceLoad() const;

    // The carried image of processor n and the unit's flash, over n's program range.
    [[nodiscard]] QByteArray carriedRange(int n) const;
    [[nodiscard]] QByteArray flashRange(int n) const;

private:
    void answerModal();

    std::unique_ptr<sim::SimulatedUnit> m_unit;
    std::shared_ptr<WireRecord> m_wire;
    RigOptions m_options;
    QString m_port;
    std::unique_ptr<TForm3> m_form;
    QTimer m_modalTimer;
    QStringList m_messages;
    std::size_t m_loadMark = 0;
};

} // namespace corvane::e2e

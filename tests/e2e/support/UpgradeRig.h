#pragma once
// The updater window, offscreen, against a simulated unit on a real pseudo-terminal: presses
// its buttons as a technician would, answers its message boxes, and records the wire.

#include "WireRecord.h"

#include "SimulatedUnit.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class ResourceSource;
class TForm3;

namespace corvane::e2e {

// True when the environment asks for the fast link (CORVANE_E2E_LINK=fast): CTest runs every
// end-to-end suite once on each link.
[[nodiscard]] bool fastLinkRequested();

struct RigOptions {
    // The window's --fast link, with its own read interval (readIntervalMs is then not used).
    bool fastLink = fastLinkRequested();
    // Shortens the window's fixed waits (CPU-1's restart, the boot-mode poll, the stuck-status
    // limit) and the link's read interval, so that a run costs seconds instead of minutes.
    bool fastWaits = true;
    int readIntervalMs = 1;
    int cpu1RestartMs = 50;
    int bootEntryPollMs = 5;
    int stuckStatusMs = 1500;
    int cpu1RereadPollMs = 20;
    int verifyTimeoutMs = 10000;
    int verifyPollMs = 20;
    int stageBaseMs = 20000;
    int stageMsPerKiB = 100;
    // Check every processor's version after the unit's restart (the program's default).
    bool verify = true;
    // Answer message boxes (off when something else, such as an unattended run, does).
    bool answerModals = true;
    // Build data of the window; null: the data compiled into the program.
    const ResourceSource* resources = nullptr;
};

// Processes events until pred() holds or ms have passed; returns pred().
bool waitUntil(const std::function<bool()>& pred, int ms);

class UpgradeRig : public QObject {
public:
    explicit UpgradeRig(sim::Scenario scenario, sim::FaultPlan faults = {},
                        RigOptions options = {});
    ~UpgradeRig() override;

    [[nodiscard]] sim::SimulatedUnit& unit() { return *m_unit; }
    [[nodiscard]] WireRecord& wire() { return *m_wire; }
    [[nodiscard]] const QString& port() const { return m_port; }

    // A new window on the unit's port; a window still open is closed first.
    TForm3& openWindow();
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

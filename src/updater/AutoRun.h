#pragma once
// Unattended run of the updater window: presses "Connect via USB", answers the message boxes,
// presses "Load Firmware" when it is offered, and reports every scan result and progress line
// as it appears. Ends by closing the window, with an exit code for scripts and production
// lines.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <vector>

class TForm3;

namespace corvane {
enum class LowLatency;
}

// Exit codes of an unattended run. 2 is the command line's own.
enum class AutoRunExit : int {
    Success = 0,       // upgraded and verified, or every processor already current
    UpgradeFailed = 1, // an error line, or the sequence ended without the restart
    NoUnitFound = 3,   // the scan ended with the retry box
    Refused = 4,       // the review refused the unit, or a processor cannot be upgraded
    Interrupted = 5,   // the window closed before the run ended
    Stalled = 6,       // nothing moved for the stall limit
    UpgradeDue = 10,   // --identify: at least one processor would be programmed
};

// One line of the progress list as a report sees it.
struct ProgressLineState {
    QString caption;
    bool barVisible = false;
    double barValue = 0;
};

// Turns successive looks at the progress list into report lines: a line when it appears or its
// caption changes, and again whenever its bar reaches another whole step (10 % by default).
class ProgressReporter {
public:
    explicit ProgressReporter(int barStepPercent = 10);

    [[nodiscard]] QStringList update(const std::vector<ProgressLineState>& lines);
    // As update(), with the index in `lines` of each line reported.
    struct Report {
        std::size_t index = 0;
        QString text;
    };
    [[nodiscard]] std::vector<Report> updateIndexed(const std::vector<ProgressLineState>& lines);
    void reset() { m_seen.clear(); }

    // "caption" or "caption 40%" (the bar's value truncated to whole percent).
    [[nodiscard]] static QString lineText(const ProgressLineState& line);

private:
    struct Seen {
        QString caption;
        long barStep = 0;
        bool barPrinted = false;
    };
    [[nodiscard]] long stepOf(double value) const;

    int m_stepPercent;
    std::vector<Seen> m_seen;
};

// The line an unattended run prints about the link it found the unit on: the read interval
// and whether the adapter granted its low-latency mode.
[[nodiscard]] QString linkReport(const QString& port, corvane::LowLatency answer,
                                 std::uint32_t readIntervalUs);

// " (12.5 KiB/s, about 40 s left)" for a transfer of totalBytes that has reached percent in
// elapsedSeconds; the rate alone once it is complete; empty while nothing can be told yet.
[[nodiscard]] QString transferEstimate(double percent, double elapsedSeconds, double totalBytes);

// A progress line that reports a failure of the run ("...Error Detected", "Error (No Reply)",
// "Data Corrupt", "... Upgrade Aborted", "Error detected. Terminating upgrade.", "HMI reports
// RM9000 v0.00, expected RM6204 v1.12").
[[nodiscard]] bool isErrorLine(const QString& caption);
// True when the sequence ended with the unit restarted (and, when it was checked, every
// processor reporting the carried firmware) and no line reported a failure.
[[nodiscard]] bool upgradeSucceeded(const QStringList& captions);
// The line that made a run fail: the first error line, else the last line ("no progress" for
// an empty list).
[[nodiscard]] QString failureLine(const QStringList& captions);

class AutoRun : public QObject {
    Q_OBJECT
public:
    using Output = std::function<void(const QString& line)>;

    AutoRun(TForm3& form, Output output, QObject* parent = nullptr);
    ~AutoRun() override;

    // Presses "Connect via USB" as soon as the event loop runs.
    void start();

    // A run in which nothing changes for this long ends with AutoRunExit::Stalled.
    void setStallLimitMs(int ms) { m_stallLimitMs = ms; }

    // Identification only: the run ends at the review, "Load Firmware" is not pressed; exit 0
    // when nothing would be programmed, UpgradeDue when something would.
    void setIdentifyOnly(bool on) { m_identifyOnly = on; }
    // The Result: line is kept for the caller to print last (resultLine()) instead of being
    // printed when the run ends.
    void setHoldResultLine(bool on) { m_holdResult = on; }
    [[nodiscard]] QString resultLine() const { return m_resultLine; }
    // SIGINT/SIGTERM: no further step starts; once the exchange in progress has ended the
    // unit's state is reported and the run ends with 128 + signal.
    void requestStop(int signal);

    [[nodiscard]] bool isFinished() const { return m_finished; }
    [[nodiscard]] int exitCode() const { return static_cast<int>(m_exit); }

signals:
    void finished(int exitCode);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Phase { Idle, Scanning, Upgrading };

    void tick();
    void answerModal();
    void watchScan();
    void reviewReached();
    // Ends the run (Refused) when a processor is silent or cannot be upgraded while nothing is
    // flagged; false when every processor holds the carried firmware.
    bool refuseLeftProcessor();
    void watchUpgrade();
    [[nodiscard]] std::vector<ProgressLineState> snapshot() const;
    void noteActivity(const QString& fingerprint);
    void finish(AutoRunExit code, const QString& result);
    void print(const QString& line);
    void printScanLine(const QString& line);
    void identified();
    void windUpAfterStop();
    [[nodiscard]] QString noUnitReason() const;
    [[nodiscard]] QString withEstimate(std::size_t index, const QString& text);

    QPointer<TForm3> m_form;
    Output m_output;
    QTimer m_timer;
    Phase m_phase = Phase::Idle;
    ProgressReporter m_reporter;
    qsizetype m_scanLogShown = 0;
    QStringList m_refusals;
    QString m_lastFingerprint;
    QElapsedTimer m_sinceActivity;
    int m_stallLimitMs = 180000;
    bool m_finished = false;
    AutoRunExit m_exit = AutoRunExit::Interrupted;

    bool m_identifyOnly = false;
    bool m_holdResult = false;
    QString m_resultLine;
    int m_stopSignal = 0;
    QStringList m_captionsAtStop; // the progress list when the stop was asked for
    qsizetype m_openFailuresShown = 0;
    std::vector<QElapsedTimer> m_lineSince; // per progress line: since it appeared
};

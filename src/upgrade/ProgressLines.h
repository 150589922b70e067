#pragma once
// The progress list without a window: the lines the upgrade has shown so far, each a caption
// with an optional bar, built from the engine's events by the caption table. Reports (the
// command line's Progress: lines, the transcript) follow it line by line.

#include <QString>
#include <QStringList>

#include <vector>

// One line of the progress list.
struct ProgressLineState {
    QString caption;
    bool barVisible = false;
    double barValue = 0;
};

class ProgressLines {
public:
    void clear() { m_lines.clear(); }
    void addLine(const QString& caption) { m_lines.push_back({caption, false, 0}); }
    void setLastCaption(const QString& caption);
    void showLastBar(bool visible);
    void setLastBar(double value);
    void scrollToLast() {}

    [[nodiscard]] const std::vector<ProgressLineState>& lines() const { return m_lines; }
    [[nodiscard]] QStringList captions() const;

private:
    std::vector<ProgressLineState> m_lines;
};

// Turns successive states of the progress list into report lines: a line when it appears or
// its caption changes, and again whenever its bar reaches another whole step (10 % by default).
class ProgressReporter {
public:
    explicit ProgressReporter(int barStepPercent = 10);

    struct Report {
        std::size_t index = 0; // of the line in the list
        QString text;
    };
    [[nodiscard]] std::vector<Report> update(const std::vector<ProgressLineState>& lines);
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

// " (12.5 KiB/s, about 40 s left)" for a transfer of totalBytes that has reached percent in
// elapsedSeconds; the rate alone once it is complete; empty while nothing can be told yet.
[[nodiscard]] QString transferEstimate(double percent, double elapsedSeconds, double totalBytes);

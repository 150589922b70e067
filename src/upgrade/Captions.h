#pragma once
// The one table from the engine's events to the texts the technician reads: the progress
// list's lines, the scan log's endings, the scan screen's error texts and the review's
// refusal box. Views show these texts; nothing decides by reading them.

#include "EngineEvents.h"

#include <QString>

#include <optional>
#include <vector>

// One change to a progress list: a line added (its bar shown at 0 when withBar), the last
// line's caption, bar visibility or bar value, the list emptied.
struct ProgressOp {
    enum class Kind { Clear, Add, SetCaption, ShowBar, SetBar };
    Kind kind = Kind::Add;
    QString text;
    double value = 0;
    bool flag = false;
};

// The changes an event makes to the progress list, in order. Events that are not about the
// progress list give none.
[[nodiscard]] std::vector<ProgressOp> progressOps(const EngineEvent& event);

// The progress line that says why the run failed, when this event writes one ("Erasing
// CPU-2......Data Corrupt", "HMI Not Responding. Upgrade Aborted", ...).
[[nodiscard]] std::optional<QString> failureLine(const EngineEvent& event);

// Applies ops to any list with the progress list's operations (the window's list box, the
// engine's own model). Every added line is scrolled to.
template <typename List>
void applyProgressOps(List& list, const std::vector<ProgressOp>& ops) {
    for (const ProgressOp& op : ops) {
        switch (op.kind) {
        case ProgressOp::Kind::Clear:
            list.clear();
            break;
        case ProgressOp::Kind::Add:
            list.addLine(op.text);
            if (op.flag) {
                list.showLastBar(true);
                list.setLastBar(0);
            }
            list.scrollToLast();
            break;
        case ProgressOp::Kind::SetCaption:
            list.setLastCaption(op.text);
            break;
        case ProgressOp::Kind::ShowBar:
            list.showLastBar(op.flag);
            break;
        case ProgressOp::Kind::SetBar:
            list.setLastBar(op.value);
            break;
        }
    }
}

// The caption a stage's line starts with ("Erasing CPU-2......").
[[nodiscard]] QString stageCaption(Stage stage, int processor);

// "port" + the log line's ending (" open.", " found CV. (B)", ...).
[[nodiscard]] QString scanLogText(const QString& port, ScanLog kind);
// The scan screen's error text (lines broken with \r).
[[nodiscard]] QString scanErrorText(ScanError error);
// The review's refusal box (lines broken with \r); empty when accepted.
[[nodiscard]] QString refusalText(Cpu1Verdict verdict);

// The fixed texts of the scan screen and the network path.
extern const QString kScanningText;
extern const QString kScanCompleteText;
extern const QString kNetConnectingText;
extern const QString kAdapterDisconnectedText;
[[nodiscard]] QString netNotRespondingText(const QString& address);
[[nodiscard]] QString netRefusedText(int rm); // rm 0: no reply; else not a Corvane

// Label texts break lines with carriage returns; a report line keeps them on one line.
[[nodiscard]] QString oneLine(const QString& text);

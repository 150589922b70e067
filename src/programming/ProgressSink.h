#pragma once
// The upgrade progress list as the programming protocols and the sequencer see it: lines with
// a caption and an optional bar (0..100) at the right edge.

#include <QString>

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void addLine(const QString& caption) = 0;
    virtual void setLastCaption(const QString& caption) = 0; // "complete the line"
    virtual void showLastBar(bool visible) = 0;
    virtual void setLastBar(double value) = 0; // not clamped
    virtual void scrollToLast() = 0;
};

#include "ProgressLines.h"

#include <algorithm>
#include <cmath>

void ProgressLines::setLastCaption(const QString& caption) {
    if (!m_lines.empty()) {
        m_lines.back().caption = caption;
    }
}

void ProgressLines::showLastBar(bool visible) {
    if (!m_lines.empty()) {
        m_lines.back().barVisible = visible;
    }
}

void ProgressLines::setLastBar(double value) {
    if (!m_lines.empty()) {
        m_lines.back().barValue = value;
    }
}

QStringList ProgressLines::captions() const {
    QStringList out;
    out.reserve(static_cast<qsizetype>(m_lines.size()));
    for (const ProgressLineState& line : m_lines) {
        out << line.caption;
    }
    return out;
}

ProgressReporter::ProgressReporter(int barStepPercent)
    : m_stepPercent(barStepPercent > 0 ? barStepPercent : 10) {}

long ProgressReporter::stepOf(double value) const {
    if (!std::isfinite(value)) {
        return 0;
    }
    return static_cast<long>(std::floor(value / m_stepPercent));
}

QString ProgressReporter::lineText(const ProgressLineState& line) {
    if (!line.barVisible) {
        return line.caption;
    }
    const double value = std::isfinite(line.barValue) ? std::trunc(line.barValue) : 0.0;
    return line.caption + QLatin1Char(' ') + QString::number(value, 'f', 0) + QLatin1Char('%');
}

std::vector<ProgressReporter::Report>
ProgressReporter::update(const std::vector<ProgressLineState>& lines) {
    std::vector<Report> out;
    // A list that got shorter was emptied and started again.
    if (lines.size() < m_seen.size()) {
        m_seen.clear();
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ProgressLineState& line = lines[i];
        const long step = stepOf(line.barValue);
        if (i == m_seen.size()) {
            m_seen.push_back({line.caption, step, line.barVisible});
            out.push_back({i, lineText(line)});
            continue;
        }
        Seen& seen = m_seen[i];
        const bool captionChanged = seen.caption != line.caption;
        const bool barMoved = line.barVisible && (!seen.barPrinted || seen.barStep != step);
        if (captionChanged || barMoved) {
            out.push_back({i, lineText(line)});
            seen.caption = line.caption;
            if (line.barVisible) {
                seen.barStep = step;
                seen.barPrinted = true;
            }
        }
    }
    return out;
}

QString transferEstimate(double percent, double elapsedSeconds, double totalBytes) {
    if (!std::isfinite(percent) || !std::isfinite(elapsedSeconds) || !std::isfinite(totalBytes) ||
        percent <= 0 || elapsedSeconds <= 0 || totalBytes <= 0) {
        return {};
    }
    const double done = std::min(percent, 100.0) / 100.0;
    const double rate = done * totalBytes / elapsedSeconds / 1024.0;
    const QString rateText = QStringLiteral("%1 KiB/s").arg(rate, 0, 'f', 1);
    if (done >= 1.0) {
        return QStringLiteral(" (") + rateText + QLatin1Char(')');
    }
    const auto left = static_cast<long long>(std::ceil(elapsedSeconds * (1.0 - done) / done));
    const QString leftText =
        left < 60
            ? QStringLiteral("%1 s").arg(left)
            : QStringLiteral("%1 min %2 s").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral(" (%1, about %2 left)").arg(rateText, leftText);
}

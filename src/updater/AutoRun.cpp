#include "AutoRun.h"

#include "MessageDialog.h"
#include "MsgDlg.h"
#include "SmoothControls.h"
#include "main.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>

#include <cmath>

namespace {

constexpr int kTickMs = 10;

const QString kRestartDone = QStringLiteral("Restarting System....Done");

// Label texts break lines with carriage returns; a report line keeps them on one line.
QString oneLine(const QString& text) {
    return text.split(QLatin1Char('\r'), Qt::SkipEmptyParts).join(QLatin1Char(' '));
}

} // namespace

ProgressReporter::ProgressReporter(int barStepPercent)
    : m_stepPercent(barStepPercent > 0 ? barStepPercent : 10) {}

long ProgressReporter::stepOf(double value) const {
    if (!std::isfinite(value))
        return 0;
    return static_cast<long>(std::floor(value / m_stepPercent));
}

QString ProgressReporter::lineText(const ProgressLineState& line) {
    if (!line.barVisible)
        return line.caption;
    const double value = std::isfinite(line.barValue) ? std::trunc(line.barValue) : 0.0;
    return line.caption + QLatin1Char(' ') + QString::number(value, 'f', 0) + QLatin1Char('%');
}

QStringList ProgressReporter::update(const std::vector<ProgressLineState>& lines) {
    QStringList out;
    // A list that got shorter was emptied and started again.
    if (lines.size() < m_seen.size())
        m_seen.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const ProgressLineState& line = lines[i];
        const long step = stepOf(line.barValue);
        if (i == m_seen.size()) {
            m_seen.push_back({line.caption, step, line.barVisible});
            out << lineText(line);
            continue;
        }
        Seen& seen = m_seen[i];
        const bool captionChanged = seen.caption != line.caption;
        const bool barMoved = line.barVisible && (!seen.barPrinted || seen.barStep != step);
        if (captionChanged || barMoved) {
            out << lineText(line);
            seen.caption = line.caption;
            if (line.barVisible) {
                seen.barStep = step;
                seen.barPrinted = true;
            }
        }
    }
    return out;
}

bool isErrorLine(const QString& caption) {
    return caption.contains(QLatin1String("Error")) ||
           caption.contains(QLatin1String("Data Corrupt")) ||
           caption.contains(QLatin1String("Upgrade Aborted"));
}

bool upgradeSucceeded(const QStringList& captions) {
    if (captions.isEmpty() || captions.constLast() != kRestartDone)
        return false;
    for (const QString& c : captions)
        if (isErrorLine(c))
            return false;
    return true;
}

AutoRun::AutoRun(TForm3& form, Output output, QObject* parent)
    : QObject(parent)
    , m_form(&form)
    , m_output(std::move(output)) {
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &AutoRun::tick);
    form.installEventFilter(this);
}

AutoRun::~AutoRun() {
    if (m_form)
        m_form->removeEventFilter(this);
}

void AutoRun::start() {
    QTimer::singleShot(0, this, [this] {
        if (m_finished)
            return;
        if (!m_form || m_form->isClosing()) {
            finish(AutoRunExit::Interrupted,
                   QStringLiteral("Result: the window closed before the run started."));
            return;
        }
        m_phase = Phase::Scanning;
        m_sinceActivity.start();
        m_timer.start();
        print(QStringLiteral("Connecting via USB..."));
        m_form->Connect_ToggleButton->click();
    });
}

bool AutoRun::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_form && event->type() == QEvent::Close && !m_finished) {
        // Whatever the window still showed is reported before the run is called off.
        if (m_phase == Phase::Upgrading)
            watchUpgrade();
        if (!m_finished)
            finish(AutoRunExit::Interrupted,
                   QStringLiteral("Result: the window closed before the run ended."));
    }
    return QObject::eventFilter(watched, event);
}

void AutoRun::print(const QString& line) {
    if (m_output)
        m_output(line);
}

void AutoRun::tick() {
    if (m_finished)
        return;
    if (!m_form) {
        finish(AutoRunExit::Interrupted,
               QStringLiteral("Result: the window closed before the run ended."));
        return;
    }
    if (QApplication::activeModalWidget()) {
        answerModal();
        return;
    }
    if (m_phase == Phase::Scanning)
        watchScan();
    else if (m_phase == Phase::Upgrading)
        watchUpgrade();
    if (m_finished)
        return;

    const TForm3& f = *m_form;
    QString fingerprint = QString::number(f.Memo2.size()) + QLatin1Char('/') +
                          QString::number(static_cast<int>(m_phase));
    for (const ProgressLineState& line : snapshot())
        fingerprint +=
            QLatin1Char('|') + line.caption + QLatin1Char(':') + QString::number(line.barValue);
    noteActivity(fingerprint);
}

void AutoRun::noteActivity(const QString& fingerprint) {
    if (fingerprint != m_lastFingerprint) {
        m_lastFingerprint = fingerprint;
        m_sinceActivity.restart();
        return;
    }
    if (m_sinceActivity.isValid() && m_sinceActivity.elapsed() > m_stallLimitMs)
        finish(AutoRunExit::Stalled,
               QStringLiteral("Result: nothing happened for %1 s; the run is abandoned.")
                   .arg(m_stallLimitMs / 1000.0));
}

void AutoRun::answerModal() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<TMsg_Form*>(modal)) {
        const QString text = oneLine(box->Label1->text());
        print(QStringLiteral("Message: ") + text);
        if (m_phase == Phase::Scanning)
            m_refusals << text;
        box->OK_Button->click();
        return;
    }
    if (auto* dialog = qobject_cast<MessageDialogForm*>(modal)) {
        const QString text = oneLine(dialog->message());
        print(QStringLiteral("Message: ") + text);
        if (QAbstractButton* ok = dialog->buttonFor(TMsgDlgBtn::mbOK))
            ok->click();
        else
            dialog->reject();
        // An error box during the upgrade means the step that raised it did not go on.
        if (m_phase == Phase::Upgrading)
            finish(AutoRunExit::UpgradeFailed,
                   QStringLiteral("Result: the upgrade failed: ") + text);
        return;
    }
    if (auto* other = qobject_cast<QDialog*>(modal)) {
        print(QStringLiteral("Message: ") + other->windowTitle());
        other->reject();
    }
}

void AutoRun::watchScan() {
    TForm3& f = *m_form;
    for (; m_scanLogShown < f.Memo2.size(); ++m_scanLogShown)
        print(QStringLiteral("Scan: ") + f.Memo2.at(m_scanLogShown));
    if (f.Start_Panel->isVisibleTo(&f)) {
        reviewReached();
        return;
    }
    if (f.Retry_Panel->isVisibleTo(&f)) {
        print(QStringLiteral("Scan: ") + oneLine(f.Label1->text()));
        finish(AutoRunExit::NoUnitFound,
               QStringLiteral("Result: no unit found: ") + oneLine(f.Scan_Error_Label->text()));
    }
}

void AutoRun::reviewReached() {
    TForm3& f = *m_form;
    static const char* const names[4] = {"", "CPU-1", "CPU-2", "HMI"};
    for (int n = 1; n <= 3; ++n) {
        const bool flagged = f.unit().PMem_Store[static_cast<std::size_t>(n)].Upgrade_Flag;
        print(QStringLiteral("%1: installed %2, carried %3%4")
                  .arg(QLatin1String(names[n]), f.CurrentVer_Label[n]->text(),
                       f.NewVer_Label[n]->text(),
                       flagged ? QStringLiteral(", to be programmed") : QString()));
    }
    if (!m_refusals.isEmpty()) {
        finish(AutoRunExit::Refused,
               QStringLiteral("Result: the unit cannot be upgraded: ") + m_refusals.constLast());
        return;
    }
    if (!f.Load_Button->isVisibleTo(&f)) {
        finish(AutoRunExit::Success,
               QStringLiteral("Result: nothing to upgrade; no processor needs new firmware."));
        return;
    }
    print(QStringLiteral("Loading firmware..."));
    m_phase = Phase::Upgrading;
    m_reporter.reset();
    f.Load_Button->click();
}

std::vector<ProgressLineState> AutoRun::snapshot() const {
    std::vector<ProgressLineState> lines;
    if (!m_form)
        return lines;
    const corvane::ui::ProgressListBox& list = *m_form->Progress_ListBox;
    lines.reserve(static_cast<std::size_t>(list.count()));
    for (int i = 0; i < list.count(); ++i) {
        const auto& item = list.item(i);
        lines.push_back({item.caption, item.barVisible, item.barValue});
    }
    return lines;
}

void AutoRun::watchUpgrade() {
    if (!m_form)
        return;
    for (const QString& line : m_reporter.update(snapshot()))
        print(line);
    TForm3& f = *m_form;
    if (!f.Quit_Button2->isVisibleTo(&f))
        return;
    const QStringList captions = f.Progress_ListBox->captions();
    if (upgradeSucceeded(captions))
        finish(AutoRunExit::Success, QStringLiteral("Result: upgrade complete."));
    else
        finish(AutoRunExit::UpgradeFailed,
               QStringLiteral("Result: the upgrade failed: ") +
                   (captions.isEmpty() ? QStringLiteral("no progress") : captions.constLast()));
}

void AutoRun::finish(AutoRunExit code, const QString& result) {
    if (m_finished)
        return;
    m_finished = true;
    m_exit = code;
    m_timer.stop();
    m_resultLine = result;
    print(result);
    emit finished(static_cast<int>(code));
    if (m_form && !m_form->isClosing())
        m_form->close();
}

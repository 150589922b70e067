#include "AutoRun.h"

#include "MessageDialog.h"
#include "MsgDlg.h"
#include "RunSignals.h"
#include "SmoothControls.h"
#include "main.h"

#include "common/gen_lib.h"
#include "platform/SerialDevice.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QThread>

#include <cmath>

namespace {

constexpr int kTickMs = 10;

const QString kRestartDone = QStringLiteral("Restarting System....Done");
const QString kVerifiedOk = QStringLiteral("Verifying Firmware......OK");
const QString kProgressPrefix = QStringLiteral("Progress: ");
const QString kTransferCaption = QStringLiteral("Sending New Firmware");

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
    for (const Report& r : updateIndexed(lines))
        out << r.text;
    return out;
}

std::vector<ProgressReporter::Report>
ProgressReporter::updateIndexed(const std::vector<ProgressLineState>& lines) {
    std::vector<Report> out;
    // A list that got shorter was emptied and started again.
    if (lines.size() < m_seen.size())
        m_seen.clear();
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

QString linkReport(const QString& port, corvane::LowLatency answer, std::uint32_t readIntervalUs) {
    using corvane::LowLatency;
    const QString interval = QString::number(readIntervalUs / 1000.0, 'g', 4);
    QString adapter;
    switch (answer) {
    case LowLatency::Granted:
        adapter = QStringLiteral("the adapter granted its low-latency mode.");
        break;
    case LowLatency::NotGranted:
        adapter = QStringLiteral("the adapter did not grant its low-latency mode: its latency "
                                 "timer (16 ms by default on common adapters) then dominates "
                                 "each exchange.");
        break;
    case LowLatency::NotOffered:
        adapter = QStringLiteral("the driver offers no low-latency mode: an adapter's latency "
                                 "timer (16 ms by default on common adapters), if it has one, "
                                 "then dominates each exchange.");
        break;
    case LowLatency::PseudoTerminal:
        adapter = QStringLiteral("a pseudo-terminal, not an adapter: no latency timer, and no "
                                 "low-latency mode to grant.");
        break;
    case LowLatency::Unknown:
        adapter = QStringLiteral("the port is not open, so the adapter was not asked for its "
                                 "low-latency mode.");
        break;
    }
    return QStringLiteral("Link: %1, a reply ends after %2 ms of quiet; %3")
        .arg(port, interval, adapter);
}

QString transferEstimate(double percent, double elapsedSeconds, double totalBytes) {
    if (!std::isfinite(percent) || !std::isfinite(elapsedSeconds) || !std::isfinite(totalBytes) ||
        percent <= 0 || elapsedSeconds <= 0 || totalBytes <= 0)
        return {};
    const double done = std::min(percent, 100.0) / 100.0;
    const double rate = done * totalBytes / elapsedSeconds / 1024.0;
    const QString rateText = QStringLiteral("%1 KiB/s").arg(rate, 0, 'f', 1);
    if (done >= 1.0)
        return QStringLiteral(" (") + rateText + QLatin1Char(')');
    const auto left = static_cast<long long>(std::ceil(elapsedSeconds * (1.0 - done) / done));
    const QString leftText =
        left < 60
            ? QStringLiteral("%1 s").arg(left)
            : QStringLiteral("%1 min %2 s").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral(" (%1, about %2 left)").arg(rateText, leftText);
}

bool isErrorLine(const QString& caption) {
    return caption.contains(QLatin1String("Error")) ||
           caption.contains(QLatin1String("Data Corrupt")) ||
           caption.contains(QLatin1String("Upgrade Aborted")) ||
           caption.contains(QLatin1String(", expected RM"));
}

bool upgradeSucceeded(const QStringList& captions) {
    if (captions.isEmpty() || !captions.contains(kRestartDone))
        return false;
    if (captions.constLast() != kRestartDone && captions.constLast() != kVerifiedOk)
        return false;
    for (const QString& c : captions)
        if (isErrorLine(c))
            return false;
    return true;
}

QString failureLine(const QStringList& captions) {
    for (const QString& c : captions)
        if (isErrorLine(c))
            return c;
    return captions.isEmpty() ? QStringLiteral("no progress") : captions.constLast();
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
    // Once a stop is asked for, no further step of the scan or the upgrade starts.
    if (watched == m_form && m_stopSignal != 0 && !m_finished &&
        (event->type() == WM_SCAN_STEP || event->type() == WM_UPGRADE_STEP))
        return true;
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
    if (m_stopSignal != 0) {
        windUpAfterStop();
        return;
    }
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
        if (m_phase == Phase::Upgrading && m_stopSignal == 0)
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
        printScanLine(f.Memo2.at(m_scanLogShown));
    if (f.Start_Panel->isVisibleTo(&f)) {
        reviewReached();
        return;
    }
    if (f.Retry_Panel->isVisibleTo(&f)) {
        print(QStringLiteral("Scan: ") + oneLine(f.Label1->text()));
        finish(AutoRunExit::NoUnitFound,
               QStringLiteral("Result: no unit found: ") + noUnitReason());
    }
}

void AutoRun::printScanLine(const QString& line) {
    print(QStringLiteral("Scan: ") + line);
    // The window's log only says " unable to open."; the reason, with what to do, follows.
    if (!m_form || !line.endsWith(QLatin1String(" unable to open.")))
        return;
    if (m_openFailuresShown < m_form->openFailures.size())
        print(QStringLiteral("Scan: ") + m_form->openFailures.at(m_openFailuresShown++));
}

QString AutoRun::noUnitReason() const {
    const TForm3& f = *m_form;
    if (f.Port_List.isEmpty())
        return QStringLiteral("no serial port to try. Attach the unit's USB serial adapter, or "
                              "name its port with --port.");
    if (f.openFailures.size() >= f.Port_List.size()) {
        if (f.Port_List.size() == 1)
            return f.openFailures.constLast();
        return QStringLiteral("none of the %1 ports could be opened (reasons above).")
            .arg(f.Port_List.size());
    }
    return oneLine(f.Scan_Error_Label->text());
}

void AutoRun::reviewReached() {
    TForm3& f = *m_form;
    if (const TVexaComms* link = f.VexaComms1())
        print(linkReport(link->CommPort(), link->lowLatency(), link->InterCharTimeOutUs()));
    static const char* const names[4] = {"", "CPU-1", "CPU-2", "HMI"};
    for (int n = 1; n <= 3; ++n) {
        const bool flagged = f.unit().PMem_Store[static_cast<std::size_t>(n)].Upgrade_Flag;
        print(QStringLiteral("%1: installed %2, carried %3%4")
                  .arg(QLatin1String(names[n]), f.CurrentVer_Label[n]->text(),
                       f.NewVer_Label[n]->text(),
                       flagged ? QStringLiteral(", to be programmed") : QString()));
    }
    if (m_identifyOnly) {
        identified();
        return;
    }
    if (!m_refusals.isEmpty()) {
        finish(AutoRunExit::Refused,
               QStringLiteral("Result: the unit cannot be upgraded: ") + m_refusals.constLast());
        return;
    }
    if (!f.Load_Button->isVisibleTo(&f)) {
        if (refuseLeftProcessor())
            return;
        finish(AutoRunExit::Success,
               QStringLiteral("Result: nothing to upgrade; no processor needs new firmware."));
        return;
    }
    print(QStringLiteral("Loading firmware..."));
    m_phase = Phase::Upgrading;
    m_reporter.reset();
    m_lineSince.clear();
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
    for (const ProgressReporter::Report& r : m_reporter.updateIndexed(snapshot()))
        print(kProgressPrefix + withEstimate(r.index, r.text));
    TForm3& f = *m_form;
    if (!f.Quit_Button2->isVisibleTo(&f))
        return;
    const QStringList captions = f.Progress_ListBox->captions();
    if (upgradeSucceeded(captions))
        finish(AutoRunExit::Success, QStringLiteral("Result: upgrade complete."));
    else
        finish(AutoRunExit::UpgradeFailed,
               QStringLiteral("Result: the upgrade failed: ") + failureLine(captions));
}

void AutoRun::finish(AutoRunExit code, const QString& result) {
    if (m_finished)
        return;
    m_finished = true;
    m_exit = code;
    m_timer.stop();
    m_resultLine = result;
    if (!m_holdResult)
        print(result);
    emit finished(static_cast<int>(code));
    if (m_form && !m_form->isClosing())
        m_form->close();
}

QString AutoRun::withEstimate(std::size_t index, const QString& text) {
    if (!m_form)
        return text;
    const corvane::ui::ProgressListBox& list = *m_form->Progress_ListBox;
    const int count = list.count();
    if (m_lineSince.size() > static_cast<std::size_t>(count))
        m_lineSince.clear(); // the list was emptied and started again
    while (m_lineSince.size() < static_cast<std::size_t>(count)) {
        m_lineSince.emplace_back();
        m_lineSince.back().start();
    }
    if (index >= static_cast<std::size_t>(count))
        return text;
    const auto& item = list.item(static_cast<int>(index));
    if (!item.barVisible || !item.caption.startsWith(kTransferCaption))
        return text;
    // The long transfers: CPU-1's, and CPU-2's or the HMI's through CPU-1.
    int n = 1;
    if (item.caption.contains(QLatin1String("CPU-2")))
        n = 2;
    else if (item.caption.contains(QLatin1String("HMI")))
        n = 3;
    const TPMem_Rec& rec = m_form->unit().PMem_Store[static_cast<std::size_t>(n)];
    const double bytes = rec.Max_Prog_Addr >= rec.Prog_Mem_Start
                             ? static_cast<double>(rec.Max_Prog_Addr - rec.Prog_Mem_Start) + 1.0
                             : 0.0;
    const double seconds = static_cast<double>(m_lineSince[index].elapsed()) / 1000.0;
    return text + transferEstimate(std::trunc(item.barValue), seconds, bytes);
}

bool AutoRun::refuseLeftProcessor() {
    // Nothing is flagged: that is only success when every processor the product has holds the
    // carried firmware (a silent or too old one would be left as it is).
    for (int n = 1; n <= 3; ++n) {
        const ProcessorFinding found = m_form->review().finding(n);
        if (found.state == ProcessorState::Current || found.state == ProcessorState::Absent)
            continue;
        finish(AutoRunExit::Refused,
               QStringLiteral("Result: the unit cannot be upgraded: ") + found.line);
        return true;
    }
    return false;
}

void AutoRun::identified() {
    TForm3& f = *m_form;
    if (!m_refusals.isEmpty()) {
        finish(AutoRunExit::Refused,
               QStringLiteral("Result: the unit cannot be upgraded: ") + m_refusals.constLast());
        return;
    }
    static const char* const names[4] = {"", "CPU-1", "CPU-2", "HMI"};
    QStringList due;
    for (int n = 1; n <= 3; ++n)
        if (f.unit().PMem_Store[static_cast<std::size_t>(n)].Upgrade_Flag)
            due << QLatin1String(names[n]);
    if (due.isEmpty() || !f.Load_Button->isVisibleTo(&f)) {
        if (refuseLeftProcessor())
            return;
        finish(AutoRunExit::Success,
               QStringLiteral("Result: up to date; no processor needs new firmware."));
        return;
    }
    finish(AutoRunExit::UpgradeDue, QStringLiteral("Result: an upgrade is due: ") +
                                        due.join(QStringLiteral(", ")) +
                                        QStringLiteral(" would be programmed."));
}

void AutoRun::requestStop(int signal) {
    if (m_finished || m_stopSignal != 0)
        return;
    m_stopSignal = signal;
    if (m_form)
        m_captionsAtStop = m_form->Progress_ListBox->captions();
    // A fixed wait (CPU-1's restart) need not run out: nothing follows it.
    abandonDelays();
    print(QStringLiteral("Stopping: %1 received; the exchange in progress ends, then the port "
                         "is closed.")
              .arg(signalName(signal)));
    if (!m_timer.isActive())
        m_timer.start();
}

void AutoRun::windUpAfterStop() {
    if (QApplication::activeModalWidget()) {
        answerModal();
        return;
    }
    // Wait until the step in progress (an exchange, a delay, a box) has returned.
    if ((m_form && m_form->handlerRunning()) || QThread::currentThread()->loopLevel() > 1)
        return;
    const bool upgrading = m_phase == Phase::Upgrading;
    QStringList captions;
    if (upgrading && m_form) {
        // A step that ended on a refused request reports an error that the unit never had.
        for (const ProgressReporter::Report& r : m_reporter.updateIndexed(snapshot()))
            if (!isErrorLine(r.text))
                print(kProgressPrefix + withEstimate(r.index, r.text));
        // When the step in progress had a request refused, its last line did not happen as
        // it now reads ("Restarting CPU-1......Done" without the reset): judge by the list as
        // it was at the stop.
        captions = RunSignals::refusedRequests() > 0 ? m_captionsAtStop
                                                     : m_form->Progress_ListBox->captions();
    }
    print(QStringLiteral("State: ") + unitStateAfterStop(upgrading, captions));
    finish(static_cast<AutoRunExit>(128 + m_stopSignal),
           QStringLiteral("Result: stopped by %1 before the run ended.")
               .arg(signalName(m_stopSignal)));
}

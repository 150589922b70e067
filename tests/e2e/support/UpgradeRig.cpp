#include "UpgradeRig.h"

#include "MessageDialog.h"
#include "MsgDlg.h"
#include "SmoothControls.h"
#include "main.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

namespace corvane::e2e {

bool waitUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < ms)
        QTest::qWait(2);
    return pred();
}

bool fastLinkRequested() {
    return qEnvironmentVariable("CORVANE_E2E_LINK") == QLatin1String("fast");
}

UpgradeRig::UpgradeRig(sim::Scenario scenario, sim::FaultPlan faults, RigOptions options)
    : m_unit(std::make_unique<sim::SimulatedUnit>(std::move(scenario), std::move(faults)))
    , m_wire(std::make_shared<WireRecord>())
    , m_options(options) {
    m_port = m_unit->openPty();
    m_modalTimer.setInterval(10);
    QObject::connect(&m_modalTimer, &QTimer::timeout, this, [this] { answerModal(); });
    if (m_options.answerModals)
        m_modalTimer.start();
}

UpgradeRig::~UpgradeRig() {
    if (m_form)
        (void)closeWindow();
    m_unit->stop();
}

TForm3& UpgradeRig::openWindow() {
    if (m_form)
        (void)closeWindow();
    UpdaterDeps deps;
    deps.preferredPorts = {m_port};
    deps.listPorts = [] { return std::vector<corvane::PortEntry>{}; };
    deps.deviceFactory = recordingDeviceFactory(m_wire);
    deps.resources = m_options.resources;
    deps.fastLink = m_options.fastLink;
    deps.verifyAfterRestart = m_options.verify;
    m_form = createUpdaterForms(std::move(deps));
    if (m_options.fastWaits) {
        if (!m_options.fastLink)
            m_form->VexaComms1()->setInterCharTimeOut(
                static_cast<std::uint32_t>(m_options.readIntervalMs));
        SequencerTimings waits;
        waits.cpu1RestartMs = m_options.cpu1RestartMs;
        waits.bootEntryPollMs = m_options.bootEntryPollMs;
        waits.stuckStatusMs = m_options.stuckStatusMs;
        waits.cpu1RereadPollMs = m_options.cpu1RereadPollMs;
        waits.verifyTimeoutMs = m_options.verifyTimeoutMs;
        waits.verifyPollMs = m_options.verifyPollMs;
        waits.stageBaseMs = m_options.stageBaseMs;
        waits.stageMsPerKiB = m_options.stageMsPerKiB;
        m_form->setSequencerTimings(waits);
    }
    m_form->show();
    return *m_form;
}

bool UpgradeRig::scan(int timeoutMs) {
    TForm3& f = *m_form;
    f.Connect_ToggleButton->click();
    return waitUntil(
        [&] {
            return !QApplication::activeModalWidget() &&
                   (f.Start_Panel->isVisibleTo(&f) || f.Retry_Panel->isVisibleTo(&f));
        },
        timeoutMs);
}

bool UpgradeRig::load(int timeoutMs) {
    TForm3& f = *m_form;
    if (!f.Load_Button->isVisibleTo(&f))
        return false;
    m_loadMark = m_wire->requestCount();
    f.Load_Button->click();
    return waitUntil([&] { return f.Quit_Button2->isVisibleTo(&f); }, timeoutMs);
}

bool UpgradeRig::closeWindow(int timeoutMs) {
    if (!m_form)
        return true;
    m_form->close();
    const bool released = waitUntil([&] { return m_form->VexaComms1() == nullptr; }, timeoutMs);
    m_form.reset();
    return released;
}

QStringList UpgradeRig::lines() const {
    return m_form ? m_form->Progress_ListBox->captions() : QStringList();
}

double UpgradeRig::barOf(int line) const {
    return m_form->Progress_ListBox->item(line).barValue;
}

std::vector<RequestKind> UpgradeRig::kindsSinceLoad() const {
    const std::vector<RequestKind> all = m_wire->kinds();
    if (m_loadMark >= all.size())
        return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(m_loadMark), all.end()};
}

QByteArray UpgradeRig::carriedRange(int n) const {
    const sim::CarriedFirmware& c = m_unit->carried();
    const auto idx = static_cast<std::size_t>(n);
    const QByteArray image =
        n == 1 ? c.cpu1Images.at(m_unit->scenario().cpu1.rm) : c.subImages.at(idx);
    return image.mid(qsizetype(c.progStart[idx]), qsizetype(c.progEnd[idx] - c.progStart[idx] + 1));
}

QByteArray UpgradeRig::flashRange(int n) const {
    const sim::CarriedFirmware& c = m_unit->carried();
    const auto idx = static_cast<std::size_t>(n);
    return m_unit->flash(n).mid(qsizetype(c.progStart[idx]),
                                qsizetype(c.progEnd[idx] - c.progStart[idx] + 1));
}

void UpgradeRig::answerModal() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (auto* box = qobject_cast<TMsg_Form*>(modal)) {
        m_messages << box->Label1->text();
        box->OK_Button->click();
    } else if (auto* dialog = qobject_cast<MessageDialogForm*>(modal)) {
        m_messages << dialog->message();
        if (QAbstractButton* ok = dialog->buttonFor(TMsgDlgBtn::mbOK))
            ok->click();
        else
            dialog->reject();
    }
}

} // namespace corvane::e2e

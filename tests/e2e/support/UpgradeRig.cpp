#include "UpgradeRig.h"

#include "CliView.h"
#include "MessageDialog.h"
#include "MsgDlg.h"
#include "SmoothControls.h"
#include "main.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

namespace corvane::e2e {

UpgradeRig::UpgradeRig(sim::Scenario scenario, sim::FaultPlan faults, RigOptions options)
    : m_unit(std::make_unique<sim::SimulatedUnit>(std::move(scenario), std::move(faults)))
    , m_wire(std::make_shared<WireRecord>())
    , m_options(options) {
    m_port = m_unit->openPty();
    m_modalTimer.setInterval(10);
    QObject::connect(&m_modalTimer, &QTimer::timeout, this, [this] { answerModal(); });
    if (m_options.answerModals) {
        m_modalTimer.start();
    }
}

UpgradeRig::~UpgradeRig() {
    if (m_form) {
        (void)closeWindow();
    }
    m_unit->stop();
}

SequencerTimings quickTimings() {
    SequencerTimings t;
    t.cpu1RestartMs = 50;
    t.bootEntryPollMs = 5;
    t.stuckStatusMs = 1500;
    t.cpu1RereadPollMs = 20;
    t.verifyTimeoutMs = 10000;
    t.verifyPollMs = 20;
    t.stageBaseMs = 20000;
    t.stageMsPerKiB = 100;
    return t;
}

EngineDeps UpgradeRig::engineDeps() const {
    EngineDeps deps;
    deps.preferredPorts = {m_port};
    deps.listPorts = [] { return std::vector<corvane::PortEntry>{}; };
    deps.deviceFactory = recordingDeviceFactory(m_wire);
    deps.resources = m_options.resources;
    deps.fastLink = m_options.fastLink;
    deps.verifyAfterRestart = m_options.verify;
    if (m_options.fastWaits) {
        deps.timings = m_options.timings;
    }
    return deps;
}

void UpgradeRig::quickenLink(TVexaComms& link) const {
    if (m_options.fastWaits && !m_options.fastLink) {
        link.setInterCharTimeOut(static_cast<std::uint32_t>(m_options.readIntervalMs));
    }
}

TForm3& UpgradeRig::openWindow() {
    if (m_form) {
        (void)closeWindow();
    }
    m_form = createUpdaterForms(engineDeps());
    quickenLink(*m_form->VexaComms1());
    m_form->show();
    return *m_form;
}

UnattendedRun UpgradeRig::runUnattended(EngineMode mode, int stallLimitMs, int boundMs,
                                        const std::function<void(UpgradeEngine&)>& meanwhile) {
    if (m_form) {
        (void)closeWindow();
    }
    UnattendedRun run;
    UpgradeEngine engine(engineDeps());
    quickenLink(*engine.VexaComms1());
    engine.setMode(mode);
    engine.setStallLimitMs(stallLimitMs);
    {
        CliView view(engine, [&run](const QString& line) { run.output << line; });
        engine.startScan();
        if (meanwhile) {
            meanwhile(engine);
        }
        if (waitUntil([&] { return engine.isFinished(); }, boundMs)) {
            run.exitCode = engine.outcome().exitCode();
        }
        run.outcome = engine.outcome();
        run.lines = engine.progressLines().captions();
        run.output << QStringLiteral("Result: ") + run.outcome.summary;
    }
    engine.shutdown();
    (void)waitUntil([&] { return engine.VexaComms1() == nullptr; }, 10000);
    return run;
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
    if (!f.Load_Button->isVisibleTo(&f)) {
        return false;
    }
    m_loadMark = m_wire->requestCount();
    f.Load_Button->click();
    return waitUntil([&] { return f.Quit_Button2->isVisibleTo(&f); }, timeoutMs);
}

bool UpgradeRig::closeWindow(int timeoutMs) {
    if (!m_form) {
        return true;
    }
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
    if (m_loadMark >= all.size()) {
        return {};
    }
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
    if (!modal || !modal->isVisible()) {
        return;
    }
    if (auto* box = qobject_cast<TMsg_Form*>(modal)) {
        m_messages << box->Label1->text();
        box->OK_Button->click();
    } else if (auto* dialog = qobject_cast<MessageDialogForm*>(modal)) {
        m_messages << dialog->message();
        if (QAbstractButton* ok = dialog->buttonFor(TMsgDlgBtn::mbOK)) {
            ok->click();
        } else {
            dialog->reject();
        }
    }
}

} // namespace corvane::e2e

#include "UpgradeEngine.h"

#include "Captions.h"

#include "common/CPU_Timer.h"
#include "common/gen_lib.h"
#include "firmware/Identification.h"
#include "firmware/ImageStore.h"
#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"
#include "modbus/ModbusTCP_Client.h"
#include "modbus/RegisterFacade.h"
#include "programming/Programmer.h"

#include <QCoreApplication>

// Hands the programming protocols' bar to the engine: every value becomes a progress event of
// the stage in progress.
class UpgradeEngine::BarSink final : public ProgressSink {
public:
    explicit BarSink(UpgradeEngine& engine)
        : m_engine(engine) {}
    void addLine(const QString&) override {}
    void setLastCaption(const QString&) override {}
    void showLastBar(bool) override {}
    void setLastBar(double value) override {
        UpgradeEngine& e = m_engine;
        const int n = e.m_stageProcessor;
        const TPMem_Rec& rec = e.m_unit->PMem_Store[static_cast<std::size_t>(n)];
        const qint64 total = rec.Max_Prog_Addr >= rec.Prog_Mem_Start
                                 ? qint64{rec.Max_Prog_Addr} - rec.Prog_Mem_Start + 1
                                 : 0;
        e.emitEvent(ev::StageProgress{e.m_stage, n, value,
                                      static_cast<qint64>(total * std::min(value, 100.0) / 100.0),
                                      total});
    }
    void scrollToLast() override {}

private:
    UpgradeEngine& m_engine;
};

qint64 stageDeadlineMs(const SequencerTimings& timings, std::uint32_t first, std::uint32_t last) {
    const std::uint64_t bytes = last >= first ? std::uint64_t{last} - first + 1 : 0;
    const std::uint64_t kib = (bytes + 1023) / 1024;
    return qint64{timings.stageBaseMs} + qint64{timings.stageMsPerKiB} * static_cast<qint64>(kib);
}

double programProgress(std::uint32_t address, std::uint32_t first, std::uint32_t last) {
    if (address < first || last < first) {
        return 0; // below the range, or an unusable range (the programming steps refuse it)
    }
    const std::uint32_t span = last - first + 1;
    if (span == 0) {
        return 0;
    }
    // Unsigned 32-bit arithmetic, quotient truncated; an address past the range gives > 100.
    return static_cast<double>((address - first) * 100u / span);
}

UpgradeEngine::UpgradeEngine(EngineDeps deps, QObject* parent)
    : QObject(parent)
    , m_deps(std::move(deps))
    , m_unit(std::make_unique<UnitState>())
    , m_review(*m_unit, m_texts, [this] { return productHasHmi(); })
    , m_timings(m_deps.timings) {
    // A new engine starts with delays working again (a shut-down one stops them).
    resumeDelays();
    Timer_Init();
    buildComponents();
    loadBuildData();
    m_stallTimer.setInterval(100);
    connect(&m_stallTimer, &QTimer::timeout, this, &UpgradeEngine::checkStall);
}

UpgradeEngine::~UpgradeEngine() {
    Port_List.clear();
    if (m_link) {
        m_link->CloseComm();
    }
}

void UpgradeEngine::buildComponents() {
    m_resources = m_deps.resources ? m_deps.resources : &embeddedResources();
    if (m_deps.products) {
        m_products = m_deps.products;
    } else {
        try {
            m_products = &Product_Table();
        } catch (const std::exception& e) {
            static const ProductTable none;
            m_products = &none;
            m_startupMessages.push_back({ev::MessageKind::Error, QString::fromUtf8(e.what())});
            m_startupRefused = true;
        }
    }
    m_store = std::make_unique<ImageStore>(*m_unit, m_texts, *m_resources, *m_products);

    m_link = std::make_unique<TVexaComms>(nullptr, m_deps.deviceFactory);
    m_link->setBaudRate(115200);
    m_link->setParity(TParity::None);
    m_link->setDataBits(8);
    m_link->setStopBits(TStopBits::sb1);
    m_link->setRxBufferSize(16384);
    m_link->setInterCharTimeOutUs(m_deps.fastLink ? kFastReadIntervalUs : kReadIntervalUs);
    m_tcpClient = std::make_unique<ModbusTCP_Client>();
    m_facade = std::make_unique<RegisterFacade>(m_link.get(), m_tcpClient.get());
    m_identifier = std::make_unique<UnitIdentifier>(*m_unit, m_texts, *m_facade);
    m_barSink = std::make_unique<BarSink>(*this);
    m_programmer = std::make_unique<Programmer>(*m_link, *m_unit, m_barSink.get());
    // A sub-processor exchange that is answered again after a silence may have met a unit
    // that restarted in between: one read of the processor's RM number tells.
    m_programmer->setRestartCheck(m_programmer->bootModeRestartCheck());
    // Figures of every timed block write (the window keeps them in hidden labels).
    m_programmer->setTimingObserver([this](const BlockTiming& t) {
        emitEvent(ev::BlockTimed{t.elapsed, t.longest, t.shortest});
    });
    m_facade->Base_Slave_Address = 1;
}

void UpgradeEngine::loadBuildData() {
    // An error in the build data is kept for the views to show; what follows it is skipped:
    // a program that cannot program must not offer to.
    auto guarded = [this](const std::function<void()>& step) {
        if (m_startupRefused) {
            return;
        }
        try {
            step();
        } catch (const std::exception& e) {
            m_startupMessages.push_back({ev::MessageKind::Error, QString::fromUtf8(e.what())});
            m_startupRefused = true;
        }
    };
    guarded([this] { m_store->loadParameterWords(); });
    m_store->onUnknownProduct = [this](const QString& text) {
        m_startupMessages.push_back({ev::MessageKind::Warning, text});
    };
    guarded([this] {
        for (int n = 1; n <= 3; ++n) {
            m_store->Init_Mem(n);
        }
    });
    m_startupRefused = m_startupRefused || m_store->closeRequested();

    m_unit->MB_MemBlk_Slv[2] = 23;
    m_unit->MB_MemBlk_Off[2] = 26;
    m_unit->MB_MemBlk_Slv[3] = 23;
    m_unit->MB_MemBlk_Off[3] = 16;
}

bool UpgradeEngine::productHasHmi() const {
    const int idx = m_unit->Product_Idx;
    if (idx < 0 || idx >= m_products->size()) {
        return true;
    }
    return m_products->row(idx).D;
}

// ---------------------------------------------------------------------------------------------
// Steps and handlers

void UpgradeEngine::postStep(QEvent::Type type, int step) {
    if (m_shutDown || m_stopSignal != 0) {
        return;
    }
    QCoreApplication::postEvent(this, new StepEvent(type, step));
}

bool UpgradeEngine::event(QEvent* e) {
    if (e->type() == WM_SCAN_STEP || e->type() == WM_UPGRADE_STEP) {
        const int step = static_cast<StepEvent*>(e)->step();
        // A shut-down or stopping engine runs no more steps.
        if (!m_shutDown && m_stopSignal == 0) {
            if (e->type() == WM_SCAN_STEP) {
                runHandler([this, step] { Run_Scan_Step(step); });
            } else {
                runHandler([this, step] { runUpgradeStepGuarded(step); });
            }
        }
        return true;
    }
    return QObject::event(e);
}

void UpgradeEngine::runHandler(const std::function<void()>& fn) {
    ++m_handlerDepth;
    try {
        fn();
    } catch (const std::exception& e) {
        if (!m_shutDown) {
            const QString text = QString::fromUtf8(e.what());
            emitEvent(ev::MessageShown{ev::MessageKind::Error, text});
            if (m_mode != EngineMode::Interactive) {
                finishRun(RunExit::UpgradeFailed, Cause::InternalError, 0,
                          QStringLiteral("the upgrade failed: ") + oneLine(text));
            }
        }
    }
    if (--m_handlerDepth == 0) {
        handlerReturned();
    }
}

void UpgradeEngine::handlerReturned() {
    if (m_releasePending) {
        releaseLinkWhenIdle();
    }
    if (m_windUpPending) {
        m_windUpPending = false;
        windUpAfterStop();
    }
}

void UpgradeEngine::emitEvent(const EngineEvent& event) {
    // After a stop, a step that had its next request refused reports failures the unit
    // never had: they are not reported.
    if (m_stopSignal != 0) {
        const auto* ended = std::get_if<ev::StageEnded>(&event);
        if ((ended && ended->result == StageResult::Failed) ||
            (std::holds_alternative<ev::Noted>(event) && failureLine(event))) {
            return;
        }
    }
    // A bar that would not move is not reported: a transfer's 2,560 blocks move it 100 times.
    if (const auto* p = std::get_if<ev::StageProgress>(&event)) {
        if (p->percent == m_lastPercent) {
            return;
        }
        m_lastPercent = p->percent;
    }
    m_tracker.record(event);
    applyProgressOps(m_lines, progressOps(event));
    if (!std::holds_alternative<ev::BlockTimed>(event)) {
        m_sinceActivity.restart();
    }
    emit reported(event);
}

void UpgradeEngine::startStage(Stage stage, int processor, bool withBar) {
    m_stage = stage;
    m_stageProcessor = processor;
    m_lastPercent = withBar ? 0 : -1;
    emitEvent(ev::StageStarted{stage, processor, withBar});
}

void UpgradeEngine::endStage(Stage stage, int processor, StageResult result, Cause cause,
                             std::uint32_t detail) {
    emitEvent(ev::StageEnded{stage, processor, result, cause, detail});
    if (cause == Cause::UnitRestarted) {
        note(Note::UnitRestarted, processor);
    }
}

void UpgradeEngine::note(Note kind, int processor, const QString& text) {
    emitEvent(ev::Noted{kind, processor, text});
}

// ---------------------------------------------------------------------------------------------
// The review

void UpgradeEngine::Refresh_Update_Flags() {
    m_review.Refresh_Update_Flags();
    emitEvent(ev::ReviewChanged{});
}

void UpgradeEngine::Update_Version_Labels() {
    m_review.Update_Version_Labels();
    emitEvent(ev::TextsChanged{});
    emitEvent(ev::ReviewChanged{});
}

void UpgradeEngine::setAllMode(bool on) {
    m_review.All_Mode = on;
    Refresh_Update_Flags();
}

std::array<ProcessorReview, 4> UpgradeEngine::reviewOfProcessors() const {
    std::array<ProcessorReview, 4> rows{};
    const UnitState& u = *m_unit;
    for (std::size_t n = 1; n <= 3; ++n) {
        ProcessorReview& r = rows[n];
        const ProcessorFinding found = m_review.finding(static_cast<int>(n));
        r.installedRm = u.RM_Number[n];
        r.installedVersion = u.FW_Version[n];
        r.carriedRm = u.New_RM_Number[n];
        r.carriedVersion = u.New_FW_Version[n];
        r.state = found.state;
        r.findingLine = found.line;
        r.inBootLoader =
            n == 1 ? u.BL_Active_Flag : u.RM_Number[n] != 0 && u.RM_Number[n] == u.Boot_RM_Number;
        r.toProgram = u.PMem_Store[n].Upgrade_Flag;
        r.installedText = m_texts.CurrentVer_Label[n].text;
        r.carriedText = m_texts.NewVer_Label[n].text;
    }
    return rows;
}

void UpgradeEngine::startUpgrade() {
    CPU_Num = 2;
    postUpgrade(0);
}

// ---------------------------------------------------------------------------------------------
// Outcome

RunOutcome UpgradeEngine::upgradeOutcome() const {
    const std::vector<ProgressLineState>& lines = m_lines.lines();
    return m_tracker.upgradeOutcome(m_deps.verifyAfterRestart,
                                    lines.empty() ? QString() : lines.back().caption);
}

RunOutcome UpgradeEngine::outcome() const {
    if (m_finished) {
        return m_outcome;
    }
    if (m_upgradeEnded) {
        return upgradeOutcome();
    }
    return m_tracker.outcomeWith(RunExit::Interrupted, Cause::Interrupted, 0,
                                 QStringLiteral("the run ended before it was finished."));
}

void UpgradeEngine::finishRun(RunExit exit, Cause cause, int processor, const QString& summary) {
    if (m_finished) {
        return;
    }
    const RunOutcome o = m_tracker.outcomeWith(exit, cause, processor, summary);
    m_finished = true;
    m_outcome = o;
    m_stallTimer.stop();
    emitEvent(ev::RunFinished{o});
}

QString UpgradeEngine::leftProcessorRefusal(int* processor, Cause* cause) const {
    // Nothing is flagged: that is only success when every processor the product has holds the
    // carried firmware (a silent or too old one would be left as it is).
    for (int n = 1; n <= 3; ++n) {
        const ProcessorFinding found = m_review.finding(n);
        if (found.state == ProcessorState::Current || found.state == ProcessorState::Absent) {
            continue;
        }
        *processor = n;
        *cause = found.state == ProcessorState::Silent           ? Cause::ProcessorSilent
                 : found.state == ProcessorState::NotUpgradeable ? Cause::NotUpgradeable
                                                                 : Cause::CannotBeProgrammed;
        return found.line;
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Stop, shutdown, stall

void UpgradeEngine::requestStop(int signal) {
    if (m_stopSignal != 0 || (m_finished && m_mode != EngineMode::Interactive)) {
        return;
    }
    m_stopSignal = signal;
    m_ledgerAtStop = m_tracker.ledger();
    // A fixed wait (CPU-1's restart) need not run out: nothing follows it.
    abandonDelays();
    if (m_handlerDepth > 0) {
        m_windUpPending = true;
    } else {
        QTimer::singleShot(0, this, &UpgradeEngine::windUpAfterStop);
    }
}

void UpgradeEngine::windUpAfterStop() {
    // When the step in progress had a request refused, its last lines did not happen as they
    // now read ("Restarting CPU-1......Done" without the reset): judge by the run at the stop.
    const int refused = m_deps.refusedRequests ? m_deps.refusedRequests() : 0;
    const RunLedger& ledger = refused > 0 ? m_ledgerAtStop : m_tracker.ledger();
    RunOutcome o = m_tracker.outcomeWith(
        RunExit::Stopped, Cause::Stopped, 0,
        QStringLiteral("stopped by %1 before the run ended.").arg(signalName(m_stopSignal)));
    o.signal = m_stopSignal;
    o.stateAfterStop = unitStateAfterStop(ledger);
    m_finished = true;
    m_outcome = o;
    m_stallTimer.stop();
    emitEvent(ev::RunFinished{o});
}

void UpgradeEngine::shutdown() {
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    m_stallTimer.stop();
    // A step may be waiting in a delay or an exchange right now: make those waits end at
    // once, retire the link (its port closes, which ends a reply wait, and can never be
    // reopened by what that step does next), and free it only after the step has returned.
    abandonDelays();
    if (m_link) {
        m_link->retire();
    }
    releaseLinkWhenIdle();
    if (m_mode != EngineMode::Interactive) {
        finishRun(RunExit::Interrupted, Cause::Interrupted, 0,
                  QStringLiteral("the run was shut down before it ended."));
    }
}

void UpgradeEngine::releaseLinkWhenIdle() {
    if (m_handlerDepth > 0) {
        m_releasePending = true;
        return;
    }
    m_releasePending = false;
    if (!m_link) {
        return;
    }
    m_programmer.reset();
    if (m_facade) {
        m_facade->setSerial(nullptr);
    }
    // An exchange that reopens the port (bootloader entry) may have run after the close.
    m_link->CloseComm();
    m_link.reset();
    emitEvent(ev::LinkReleased{});
}

void UpgradeEngine::checkStall() {
    if (m_finished || !m_sinceActivity.isValid() || m_sinceActivity.elapsed() <= m_stallLimitMs) {
        return;
    }
    const QString summary = QStringLiteral("nothing happened for %1 s; the run is abandoned.")
                                .arg(m_stallLimitMs / 1000.0);
    finishRun(RunExit::Stalled, Cause::Stalled, 0, summary);
    shutdown();
}

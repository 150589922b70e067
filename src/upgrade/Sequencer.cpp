// The upgrade sequence: CPU-1 through its bootloader, then CPU-2 and the HMI through CPU-1,
// then a restart of the unit and the check that every processor reports the carried firmware.
// One numbered step per posted message; each step reports its stage and posts its successor
// only after its own exchanges and delays.

#include "Captions.h"
#include "UpgradeEngine.h"

#include "common/gen_lib.h"
#include "firmware/Identification.h"
#include "firmware/ImageStore.h"
#include "programming/Programmer.h"
#include "programming/SubProgBlocks.h"

#include <array>
#include <exception>

namespace {

constexpr int kPollLimit = 100;

} // namespace

void UpgradeEngine::runUpgradeStepGuarded(int step) {
    try {
        Run_Upgrade_Step(step);
    } catch (const std::exception& e) {
        if (m_shutDown) {
            return;
        }
        // The run cannot go on from a step that did not finish: say so and end it.
        pollcnt = 0;
        note(Note::StepError, CPU_Num, QString::fromUtf8(e.what()));
        Run_Upgrade_Step(99);
    }
}

void UpgradeEngine::Run_Upgrade_Step(int step) {
    if (!m_link || !m_programmer) {
        return;
    }
    // Sub-processor steps work on CPU_Num 2 or 3; anything else does nothing but the final
    // check below.
    const bool subStep = step >= 10 && step <= 17;
    const int selected = subStep && (CPU_Num < 2 || CPU_Num > 3) ? -1 : step;

    switch (selected) {
    case 0:
        stepStart();
        break;
    case 7:
        stepBootloaderInfo();
        break;
    case 1:
        stepModelCheck();
        break;
    case 2:
        stepCpu1Erase();
        break;
    case 3:
        stepCpu1Transfer();
        break;
    case 4:
        stepBootModeExit();
        break;
    case 5:
        stepCpu1Restart();
        break;
    case 6:
        stepCpu1Reread();
        break;
    case 10:
        stepDecide();
        break;
    case 11:
        stepBootModeEntry();
        break;
    case 12:
        stepSubTransfer();
        break;
    case 13:
    case 15:
        stepSubCommand(step);
        break;
    case 14:
        statusPoll(14, 15, Stage::Erase);
        break;
    case 16:
        statusPoll(16, 17, Stage::Reprogram);
        break;
    case 17:
        postUpgrade(20);
        break;
    case 20:
        stepNextProcessor();
        break;
    case 21:
        stepSystemRestart();
        break;
    case 22:
        verifyAfterRestart();
        postUpgrade(99);
        break;
    case 99:
        stepEnd();
        break;
    default:
        break;
    }

    if (pollcnt >= kPollLimit) {
        pollcnt = 0;
        note(Note::PollLimit, CPU_Num);
        if (step != 99) {
            postUpgrade(99);
        }
    }
}

void UpgradeEngine::stepStart() {
    UnitState& u = *m_unit;
    if (!u.BL_Active_Flag) {
        (void)m_programmer->Send_MB_Upgrade_Mode(*m_link);
    }
    pollcnt = 0;
    m_upgradeEnded = false;
    m_adapterNoted = false;
    emitEvent(ev::UpgradeStarted{m_review.All_Mode});
    if (m_review.All_Mode) {
        note(Note::AllProcessors);
    }
    if (u.PMem_Store[1].Upgrade_Flag && !isProgrammable(u, 1)) {
        // No usable program range or image for CPU-1: nothing is sent to its bootloader.
        note(Note::CannotBeProgrammed, 1);
        postUpgrade(10);
    } else if (u.PMem_Store[1].Upgrade_Flag) {
        startStage(Stage::BootloaderEntry, 1);
        if (!u.BL_Active_Flag) {
            (void)m_programmer->Send_MB_BootEnable(*m_link);
        }
        endStage(Stage::BootloaderEntry, 1, StageResult::Done);
        postUpgrade(7);
    } else {
        note(Note::UpToDate, 1);
        postUpgrade(10);
    }
}

void UpgradeEngine::stepBootloaderInfo() {
    startStage(Stage::BootloaderInfo, 1);
    (void)m_programmer->Get_BootLoader_Ver(); // the first answer after entry is not used
    const int info = m_programmer->Get_BootLoader_Ver();
    if (info == -1) {
        endStage(Stage::BootloaderInfo, 1, StageResult::Failed, Cause::NoReply);
    } else {
        endStage(Stage::BootloaderInfo, 1, StageResult::Done, Cause::None,
                 static_cast<std::uint32_t>(info));
    }
    postUpgrade(1);
}

void UpgradeEngine::stepModelCheck() {
    startStage(Stage::ModelCheck, 1);
    const auto model = static_cast<std::uint32_t>(m_programmer->Get_Firmware_Ver());
    const bool ok = model == m_unit->RM_Number_Target;
    if (ok) {
        endStage(Stage::ModelCheck, 1, StageResult::Done);
    } else {
        endStage(Stage::ModelCheck, 1, StageResult::Failed,
                 model >= 65536 ? Cause::NoReply : Cause::IncompatibleModel);
    }
    postUpgrade(ok ? 2 : 99);
}

void UpgradeEngine::stepCpu1Erase() {
    startStage(Stage::Erase, 1, true);
    if (m_programmer->Erase_Program_Memory(1)) {
        endStage(Stage::Erase, 1, StageResult::Done);
        postUpgrade(3);
    } else {
        endStage(Stage::Erase, 1, StageResult::Failed, Cause::CommandFailed);
        postUpgrade(99);
    }
}

void UpgradeEngine::stepCpu1Transfer() {
    startStage(Stage::Transfer, 1, true);
    if (m_programmer->Send_Program_Data(1)) {
        endStage(Stage::Transfer, 1, StageResult::Done);
        postUpgrade(4);
    } else {
        endStage(Stage::Transfer, 1, StageResult::Failed, Cause::CommandFailed);
        postUpgrade(99);
    }
}

void UpgradeEngine::stepBootModeExit() {
    startStage(Stage::BootModeExit, 1);
    (void)m_programmer->Disable_Boot_Mode();
    endStage(Stage::BootModeExit, 1, StageResult::Done);
    postUpgrade(5);
}

void UpgradeEngine::stepCpu1Restart() {
    startStage(Stage::Cpu1Restart, 1);
    (void)m_programmer->Reset_Unit();
    Delay_MS(m_timings.cpu1RestartMs);
    endStage(Stage::Cpu1Restart, 1, StageResult::Done);
    postUpgrade(6);
}

void UpgradeEngine::stepCpu1Reread() {
    // CPU-2's register window follows CPU-1's version: without a fresh read its commands
    // would go to a window chosen from the old firmware.
    startStage(Stage::Cpu1Reread, 1);
    if (!rereadAfterCpu1Restart()) {
        endStage(Stage::Cpu1Reread, 1, StageResult::Failed, Cause::NotRespondingAfterRestart);
        postUpgrade(99);
        return;
    }
    emitEvent(ev::TextsChanged{});
    Refresh_Update_Flags();
    Update_Version_Labels();
    emitEvent(ev::UnitReported{false, reviewOfProcessors()});
    endStage(Stage::Cpu1Reread, 1, StageResult::Done);
    postUpgrade(10);
}

void UpgradeEngine::stepDecide() {
    const int n = CPU_Num;
    const auto idx = static_cast<std::size_t>(n);
    const UnitState& u = *m_unit;
    // A processor the unit reports as silent (RM number and version 0) is not up to date,
    // flagged or not; on a product without the HMI those zeros only mean it is absent.
    const bool silent =
        u.RM_Number[idx] == 0 && u.FW_Version[idx] == 0 && (n == 2 || productHasHmi());
    const ProcessorFinding found = m_review.finding(n);
    const bool left =
        found.state == ProcessorState::NotUpgradeable || found.state == ProcessorState::Different;
    const bool flagged = u.PMem_Store[idx].Upgrade_Flag;
    if (!flagged && !silent && left) {
        // Not flagged, yet not holding the carried firmware (too old to be upgraded).
        note(Note::NotUpgradeable, n, found.line);
        postUpgrade(20);
    } else if (!flagged && !silent) {
        note(Note::UpToDate, n);
        postUpgrade(20);
    } else if (u.RM_Number[idx] == 0) {
        note(Note::NotResponding, n);
        postUpgrade(20);
    } else if (!isProgrammable(u, n)) {
        note(Note::CannotBeProgrammed, n);
        postUpgrade(20);
    } else if (u.RM_Number[idx] == u.Boot_RM_Number) {
        note(Note::AlreadyInBootMode, n);
        postUpgrade(12);
    } else {
        startStage(Stage::BootModeEntry, n);
        postUpgrade(11);
    }
}

void UpgradeEngine::stepBootModeEntry() {
    const int n = CPU_Num;
    if (m_programmer->Send_MB_BootEnable2(*m_link, n) != 1) {
        endStage(Stage::BootModeEntry, n, StageResult::Failed, Cause::CommandFailed, 1);
        postUpgrade(99);
        return;
    }
    Delay_MS(m_timings.bootEntryPollMs);
    std::array<std::uint16_t, 2> status{};
    if (m_programmer->Get_MB_Status_Words(*m_link, n, status) != 1) {
        endStage(Stage::BootModeEntry, n, StageResult::Failed, Cause::StatusUnreadable, 2);
        postUpgrade(99);
    } else if (corvane::decodeStatusWords(status[0], status[1]) == corvane::SubStatus::Finished) {
        endStage(Stage::BootModeEntry, n, StageResult::Done);
        postUpgrade(12);
    } else {
        // No news yet, or busy entering boot mode: ask again. Both count towards the poll
        // limit, so a processor that never finishes ends the run.
        ++pollcnt;
        if (pollcnt < kPollLimit) {
            postUpgrade(11);
        } else {
            endStage(Stage::BootModeEntry, n, StageResult::Failed, Cause::Stuck);
        }
    }
}

void UpgradeEngine::stepSubTransfer() {
    const int n = CPU_Num;
    pollcnt = 0;
    startStage(Stage::Transfer, n, true);
    const int r = m_programmer->Send_MB_SendProgData2(*m_link, n);
    if (r == 1) {
        endStage(Stage::Transfer, n, StageResult::Done);
        postUpgrade(13);
    } else {
        endStage(Stage::Transfer, n, StageResult::Failed,
                 r == kProgUnitRestarted ? Cause::UnitRestarted : Cause::CommandFailed);
        postUpgrade(99);
    }
}

void UpgradeEngine::stepSubCommand(int step) {
    const int n = CPU_Num;
    const Stage stage = step == 13 ? Stage::Erase : Stage::Reprogram;
    startStage(stage, n, true);
    const int r = step == 13 ? m_programmer->Send_MB_Erase_Prog(*m_link, n)
                             : m_programmer->Send_MB_Start_Prog(*m_link, n);
    if (r == 1) {
        pollcnt = 0;
        m_busySince.invalidate(); // a new operation: no busy status seen yet
        const TPMem_Rec& rec = m_unit->PMem_Store[static_cast<std::size_t>(n)];
        m_stageLimitMs = stageDeadlineMs(m_timings, rec.Prog_Mem_Start, rec.Max_Prog_Addr);
        m_stageSince.start();
        postUpgrade(step + 1);
    } else {
        // The command was refused after its own retries, or the unit restarted under it: end
        // the run with a visible error instead of stopping without a way out.
        ++pollcnt;
        endStage(stage, n, StageResult::Failed,
                 r == kProgUnitRestarted ? Cause::UnitRestarted : Cause::CommandFailed);
        postUpgrade(99);
    }
}

void UpgradeEngine::statusPoll(int step, int nextStep, Stage stage) {
    const int n = CPU_Num;
    std::array<std::uint16_t, 2> status{};
    if (m_programmer->Get_MB_Status_Words(*m_link, n, status) != 1) {
        endStage(stage, n, StageResult::Failed, Cause::StatusUnreadable);
        postUpgrade(99);
        return;
    }
    const corvane::SubStatus decoded = corvane::decodeStatusWords(status[0], status[1]);
    // A window that went blank after showing busy was cleared by a restart of the unit: the
    // processor is no longer working on the operation, and polling on cannot change that.
    if (m_busySince.isValid() && corvane::statusShowsRestart(corvane::SubStatus::Busy, decoded)) {
        endStage(stage, n, StageResult::Failed, Cause::UnitRestarted);
        postUpgrade(99);
        return;
    }
    const bool settled =
        decoded == corvane::SubStatus::Finished || decoded == corvane::SubStatus::Corrupt;
    if (!settled && m_stageSince.isValid() && m_stageSince.elapsed() >= m_stageLimitMs) {
        // A status that keeps changing (a processor cycling, or running past its range) never
        // trips the stuck-status rule: the stage's overall limit ends the run.
        endStage(stage, n, StageResult::Failed, Cause::Stuck);
        pollcnt = kPollLimit;
        return;
    }
    if (decoded == corvane::SubStatus::NoNews) {
        ++pollcnt;
        if (pollcnt < kPollLimit) {
            postUpgrade(step);
        } else {
            endStage(stage, n, StageResult::Failed, Cause::Stuck);
        }
        return;
    }
    if (decoded == corvane::SubStatus::Finished) {
        pollcnt = 0;
        endStage(stage, n, StageResult::Done);
        postUpgrade(nextStep);
        return;
    }
    pollcnt = 0;
    if (decoded == corvane::SubStatus::Corrupt) {
        endStage(stage, n, StageResult::Failed, Cause::DataCorrupt);
        postUpgrade(99);
        return;
    }
    const TPMem_Rec& rec = m_unit->PMem_Store[static_cast<std::size_t>(n)];
    const double percent = programProgress(status[1], rec.Prog_Mem_Start, rec.Max_Prog_Addr);
    const qint64 total = rec.Max_Prog_Addr >= rec.Prog_Mem_Start
                             ? qint64{rec.Max_Prog_Addr} - rec.Prog_Mem_Start + 1
                             : 0;
    const qint64 done = status[1] > rec.Prog_Mem_Start
                            ? std::min<qint64>(qint64{status[1]} - rec.Prog_Mem_Start, total)
                            : 0;
    emitEvent(ev::StageProgress{stage, n, percent, done, total});
    // Busy resets the poll count, so a status stuck at one address would be polled for ever:
    // after the stuck-status limit the run ends through the poll limit's check.
    if (!m_busySince.isValid() || status != m_lastBusyStatus) {
        m_lastBusyStatus = status;
        m_busySince.start();
    } else if (m_busySince.elapsed() >= m_timings.stuckStatusMs) {
        endStage(stage, n, StageResult::Failed, Cause::Stuck);
        pollcnt = kPollLimit;
        return;
    }
    postUpgrade(step);
}

void UpgradeEngine::stepNextProcessor() {
    ++CPU_Num;
    if (CPU_Num >= 4) {
        startStage(Stage::SystemRestart, 0);
        postUpgrade(21);
    } else {
        postUpgrade(10);
    }
}

void UpgradeEngine::stepSystemRestart() {
    if (m_programmer->Send_MB_Restart(*m_link) == 1) {
        endStage(Stage::SystemRestart, 0, StageResult::Done);
        postUpgrade(m_deps.verifyAfterRestart ? 22 : 99);
    } else {
        endStage(Stage::SystemRestart, 0, StageResult::Failed, Cause::CommandFailed);
        postUpgrade(99);
    }
}

void UpgradeEngine::stepEnd() {
    if (m_link->hungUp() && !m_adapterNoted) {
        m_adapterNoted = true;
        note(Note::AdapterDisconnected);
    }
    m_upgradeEnded = true;
    const RunOutcome o = upgradeOutcome();
    emitEvent(ev::UpgradeEnded{o});
    if (m_mode != EngineMode::Interactive) {
        finishRun(o.exit, o.cause, o.processor, o.summary);
    }
}

bool UpgradeEngine::rereadAfterCpu1Restart() {
    for (int attempt = 0; attempt < m_timings.cpu1RereadAttempts && !m_shutDown; ++attempt) {
        if (m_link->hungUp() || (attempt > 0 && !Delay_MS(m_timings.cpu1RereadPollMs))) {
            break; // the adapter is gone, or the run is being stopped
        }
        if (m_identifier->Get_Firmware_Num() != 0 &&
            m_identifier->MB_Get_Other_FW_Nums(UnitIdentifier::kOtherNumsAttempts)) {
            return true;
        }
    }
    return false;
}

void UpgradeEngine::verifyAfterRestart() {
    startStage(Stage::Verification, 0);
    // CPU-1 restarts its firmware before it answers again: poll the identification, bounded.
    QElapsedTimer waited;
    waited.start();
    bool back = false;
    while (!m_shutDown) {
        if (m_identifier->Get_Firmware_Num() != 0 &&
            m_identifier->MB_Get_Other_FW_Nums(UnitIdentifier::kOtherNumsAttempts)) {
            back = true;
            break;
        }
        if (m_link->hungUp() || waited.elapsed() >= m_timings.verifyTimeoutMs ||
            !Delay_MS(m_timings.verifyPollMs)) {
            break;
        }
    }
    if (m_shutDown || (!back && (delaysAbandoned() || m_link->hungUp()))) {
        return; // stopped, or the adapter is gone (step 99 says so): no verdict
    }
    if (!back) {
        endStage(Stage::Verification, 0, StageResult::Failed, Cause::NoReply);
        return;
    }
    emitEvent(ev::UnitReported{true, reviewOfProcessors()});
    QStringList wrong;
    std::vector<int> wrongProcessors;
    for (int n = 1; n <= 3; ++n) {
        const ProcessorState state = m_review.finding(n).state;
        if (state != ProcessorState::Current && state != ProcessorState::Absent) {
            wrong << m_review.reportLine(n);
            wrongProcessors.push_back(n);
        }
    }
    if (wrong.isEmpty()) {
        endStage(Stage::Verification, 0, StageResult::Done);
        return;
    }
    endStage(Stage::Verification, 0, StageResult::Failed, Cause::VerifyMismatch);
    for (std::size_t i = 0; i < wrongProcessors.size(); ++i) {
        note(Note::VerifyReport, wrongProcessors[i], wrong.at(static_cast<qsizetype>(i)));
    }
}

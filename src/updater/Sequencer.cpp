// The upgrade sequence: CPU-1 through its bootloader, then CPU-2 and the HMI through CPU-1,
// then a restart of the unit. One numbered step per posted message; each step reports in the
// progress list and posts its successor only after its own exchanges and delays.

#include "main.h"

#include "common/gen_lib.h"
#include "firmware/Identification.h"
#include "firmware/ImageStore.h"
#include "programming/Programmer.h"
#include "programming/SubProgBlocks.h"

#include <QElapsedTimer>

#include <array>
#include <exception>

using corvane::ui::ProgressListBox;

namespace {

constexpr int kPollLimit = 100;

const QString kVerifying = QStringLiteral("Verifying Firmware......");
const QString kAdapterDisconnected =
    QStringLiteral("USB adapter disconnected. Reconnect the unit and run the upgrade again.");

} // namespace

qint64 stageDeadlineMs(const SequencerTimings& timings, std::uint32_t first, std::uint32_t last) {
    const std::uint64_t bytes = last >= first ? std::uint64_t{last} - first + 1 : 0;
    const std::uint64_t kib = (bytes + 1023) / 1024;
    return qint64{timings.stageBaseMs} + qint64{timings.stageMsPerKiB} * static_cast<qint64>(kib);
}

double programProgress(std::uint32_t address, std::uint32_t first, std::uint32_t last) {
    if (address < first || last < first)
        return 0; // below the range, or an unusable range (the programming steps refuse it)
    const std::uint32_t span = last - first + 1;
    if (span == 0)
        return 0;
    // Unsigned 32-bit arithmetic, quotient truncated; an address past the range gives > 100.
    return static_cast<double>((address - first) * 100u / span);
}

void TForm3::statusPoll(int step, int nextStep, const QString& prefix, const QString& name) {
    const int n = CPU_Num;
    ProgressListBox& list = *Progress_ListBox;
    std::array<std::uint16_t, 2> status{};
    if (m_programmer->Get_MB_Status_Words(*m_link, n, status) != 1) {
        list.showLastBar(false);
        list.setLastCaption(prefix + name + QStringLiteral("......Error Detected"));
        postStep(WM_UPGRADE_STEP, 99);
        return;
    }
    const corvane::SubStatus decoded = corvane::decodeStatusWords(status[0], status[1]);
    const bool settled =
        decoded == corvane::SubStatus::Finished || decoded == corvane::SubStatus::Corrupt;
    if (!settled && m_stageSince.isValid() && m_stageSince.elapsed() >= m_stageLimitMs) {
        // A status that keeps changing (a processor cycling, or running past its range) never
        // trips the stuck-status rule: the stage's overall limit ends the run.
        pollcnt = kPollLimit;
        return;
    }
    if (decoded == corvane::SubStatus::NoNews) {
        ++pollcnt;
        if (pollcnt < kPollLimit)
            postStep(WM_UPGRADE_STEP, step);
        return;
    }
    if (decoded == corvane::SubStatus::Finished) {
        pollcnt = 0;
        list.setLastBar(100);
        list.setLastCaption(prefix + name + QStringLiteral("......OK"));
        postStep(WM_UPGRADE_STEP, nextStep);
        return;
    }
    pollcnt = 0;
    if (decoded == corvane::SubStatus::Corrupt) {
        list.setLastCaption(prefix + name + QStringLiteral("......Data Corrupt"));
        postStep(WM_UPGRADE_STEP, 99);
        return;
    }
    const TPMem_Rec& rec = m_unit->PMem_Store[static_cast<std::size_t>(n)];
    list.setLastBar(programProgress(status[1], rec.Prog_Mem_Start, rec.Max_Prog_Addr));
    // Busy resets the poll count, so a status stuck at one address would be polled for ever:
    // after the stuck-status limit the run ends through the poll limit's check.
    if (!m_busySince.isValid() || status != m_lastBusyStatus) {
        m_lastBusyStatus = status;
        m_busySince.start();
    } else if (m_busySince.elapsed() >= m_timings.stuckStatusMs) {
        pollcnt = kPollLimit;
        return;
    }
    postStep(WM_UPGRADE_STEP, step);
}

void TForm3::runUpgradeStepGuarded(int step) {
    try {
        Run_Upgrade_Step(step);
    } catch (const std::exception& e) {
        if (m_closing || !Progress_ListBox)
            return;
        // The run cannot go on from a step that did not finish: say so and offer Quit.
        pollcnt = 0;
        Progress_ListBox->showLastBar(false);
        Progress_ListBox->addLine(QStringLiteral("Error Detected (") + QString::fromUtf8(e.what()) +
                                  QStringLiteral("). Upgrade Aborted"));
        Progress_ListBox->scrollToLast();
        Run_Upgrade_Step(99);
    }
}

bool TForm3::rereadAfterCpu1Restart() {
    for (int attempt = 0; attempt < m_timings.cpu1RereadAttempts && !m_closing; ++attempt) {
        if (m_link->hungUp() || (attempt > 0 && !Delay_MS(m_timings.cpu1RereadPollMs)))
            break; // the adapter is gone, or the run is being stopped
        if (m_identifier->Get_Firmware_Num() != 0 &&
            m_identifier->MB_Get_Other_FW_Nums(UnitIdentifier::kOtherNumsAttempts))
            return true;
    }
    return false;
}

void TForm3::verifyAfterRestart() {
    ProgressListBox& list = *Progress_ListBox;
    list.addLine(kVerifying);
    list.scrollToLast();
    // CPU-1 restarts its firmware before it answers again: poll the identification, bounded.
    QElapsedTimer waited;
    waited.start();
    bool back = false;
    while (!m_closing) {
        if (m_identifier->Get_Firmware_Num() != 0 &&
            m_identifier->MB_Get_Other_FW_Nums(UnitIdentifier::kOtherNumsAttempts)) {
            back = true;
            break;
        }
        if (m_link->hungUp() || waited.elapsed() >= m_timings.verifyTimeoutMs ||
            !Delay_MS(m_timings.verifyPollMs))
            break;
    }
    if (m_closing || (!back && (delaysAbandoned() || m_link->hungUp())))
        return; // stopped, or the adapter is gone (step 99 says so): no verdict
    if (!back) {
        list.setLastCaption(kVerifying + QStringLiteral("Error (No Reply)"));
        return;
    }
    QStringList wrong;
    for (int n = 1; n <= 3; ++n) {
        const ProcessorState state = m_review.finding(n).state;
        if (state != ProcessorState::Current && state != ProcessorState::Absent)
            wrong << m_review.reportLine(n);
    }
    if (wrong.isEmpty()) {
        list.setLastCaption(kVerifying + QStringLiteral("OK"));
    } else {
        list.setLastCaption(kVerifying + QStringLiteral("Failed"));
        for (const QString& line : wrong)
            list.addLine(line);
    }
    list.scrollToLast();
}

void TForm3::Run_Upgrade_Step(int step) {
    if (!m_link || !m_programmer)
        return;
    const QString name = CPU_Num == 2 ? QStringLiteral("CPU-2") : QStringLiteral("HMI");
    TVexaComms& link = *m_link;
    Programmer& prog = *m_programmer;
    ProgressListBox& list = *Progress_ListBox;
    UnitState& u = *m_unit;
    const bool subStep = step >= 10 && step <= 17;
    const int n = CPU_Num;
    auto post = [this](int next) { postStep(WM_UPGRADE_STEP, next); };
    auto addBarLine = [&list](const QString& caption) {
        list.addLine(caption);
        list.showLastBar(true);
        list.setLastBar(0);
        list.scrollToLast();
    };

    // Sub-processor steps work on CPU_Num 2 or 3; anything else does nothing but the final
    // check below.
    const int selected = subStep && (n < 2 || n > 3) ? -1 : step;

    switch (selected) {
    case 0:
        if (!u.BL_Active_Flag)
            (void)prog.Send_MB_Upgrade_Mode(link);
        pollcnt = 0;
        list.clear();
        if (m_review.All_Mode)
            list.addLine(QStringLiteral("Updating All Available CPUs....."));
        list.setFocus();
        if (u.PMem_Store[1].Upgrade_Flag && !isProgrammable(u, 1)) {
            // No usable program range or image for CPU-1: nothing is sent to its bootloader.
            list.addLine(QStringLiteral("CPU-1 Cannot Be Programmed. Upgrade Aborted"));
            list.scrollToLast();
            post(10);
        } else if (u.PMem_Store[1].Upgrade_Flag) {
            list.addLine(QStringLiteral("Enabling BootLoader....."));
            list.scrollToLast();
            if (!u.BL_Active_Flag)
                (void)prog.Send_MB_BootEnable(link);
            list.setLastCaption(QStringLiteral("Enabling BootLoader.....Done"));
            post(7);
        } else {
            list.addLine(QStringLiteral("CPU-1 Firmware Up To Date."));
            post(10);
        }
        break;

    case 7: {
        list.addLine(QStringLiteral("Retrieving Bootloader Info......"));
        list.scrollToLast();
        (void)prog.Get_BootLoader_Ver(); // the first answer after entry is not used
        const int info = prog.Get_BootLoader_Ver();
        if (info == -1) {
            list.setLastCaption(QStringLiteral("Retrieving Bootloader Info......Info Unavailable"));
        } else {
            const auto word = static_cast<std::uint32_t>(info);
            const int version = static_cast<int>(word & 0xFFFFu);
            list.setLastCaption(QStringLiteral("Retrieving Bootloader Info......") +
                                QString::asprintf("RM%d v%d.%.2d", static_cast<int>(word >> 16),
                                                  version / 100, version % 100));
        }
        post(1);
        break;
    }

    case 1: {
        list.addLine(QStringLiteral("Retrieving Model Number......"));
        list.scrollToLast();
        const auto model = static_cast<std::uint32_t>(prog.Get_Firmware_Ver());
        const bool ok = model == u.RM_Number_Target;
        if (ok)
            list.setLastCaption(QStringLiteral("Retrieving Model Number......OK"));
        else if (model >= 65536)
            list.setLastCaption(QStringLiteral("Retrieving Model Number......Error (No Reply)"));
        else
            list.setLastCaption(
                QStringLiteral("Retrieving Model Number......Error (Incompatible Model)"));
        list.scrollToLast();
        post(ok ? 2 : 99);
        break;
    }

    case 2:
        addBarLine(QStringLiteral("Erasing Program Memory......"));
        if (prog.Erase_Program_Memory(1)) {
            post(3);
        } else {
            list.setLastCaption(QStringLiteral("Erasing Program Memory......Error Detected"));
            post(99);
        }
        break;

    case 3:
        addBarLine(QStringLiteral("Sending New Firmware......"));
        if (prog.Send_Program_Data(1)) {
            post(4);
        } else {
            list.setLastCaption(QStringLiteral("Sending New Program Data......Error Detected"));
            post(99);
        }
        break;

    case 4:
        list.addLine(QStringLiteral("Disabling Boot Mode......"));
        list.scrollToLast();
        (void)prog.Disable_Boot_Mode();
        list.setLastCaption(QStringLiteral("Disabling Boot Mode......Done"));
        post(5);
        break;

    case 5:
        list.addLine(QStringLiteral("Restarting CPU-1......"));
        list.scrollToLast();
        (void)prog.Reset_Unit();
        Delay_MS(m_timings.cpu1RestartMs);
        list.setLastCaption(QStringLiteral("Restarting CPU-1......Done"));
        post(6);
        break;

    case 6:
        // CPU-2's register window follows CPU-1's version: without a fresh read its commands
        // would go to a window chosen from the old firmware.
        if (!rereadAfterCpu1Restart()) {
            list.addLine(QStringLiteral("CPU-1 Not Responding After Restart. Upgrade Aborted"));
            list.scrollToLast();
            post(99);
            break;
        }
        applyScreenTexts();
        Refresh_Update_Flags();
        Update_Version_Labels();
        post(10);
        break;

    case 10: {
        int next = 11;
        const auto idx = static_cast<std::size_t>(n);
        // A processor the unit reports as silent (RM number and version 0) is not up to date,
        // flagged or not; on a product without the HMI those zeros only mean it is absent.
        const bool silent =
            u.RM_Number[idx] == 0 && u.FW_Version[idx] == 0 && (n == 2 || productHasHmi());
        const ProcessorFinding found = m_review.finding(n);
        const bool left = found.state == ProcessorState::NotUpgradeable ||
                          found.state == ProcessorState::Different;
        if (!u.PMem_Store[idx].Upgrade_Flag && !silent && left) {
            // Not flagged, yet not holding the carried firmware (too old to be upgraded).
            list.addLine(found.line + QStringLiteral(". Upgrade Aborted"));
            next = 20;
        } else if (!u.PMem_Store[idx].Upgrade_Flag && !silent) {
            list.addLine(name + QStringLiteral(" Firmware Up To Date."));
            next = 20;
        } else if (u.RM_Number[idx] == 0) {
            list.addLine(name + QStringLiteral(" Not Responding. Upgrade Aborted"));
            next = 20;
        } else if (!isProgrammable(u, n)) {
            list.addLine(name + QStringLiteral(" Cannot Be Programmed. Upgrade Aborted"));
            next = 20;
        } else if (u.RM_Number[idx] == u.Boot_RM_Number) {
            list.addLine(name + QStringLiteral(" Already In Boot Mode."));
            next = 12;
        } else {
            list.addLine(QStringLiteral("Enabling ") + name + QStringLiteral(" Boot Mode......"));
        }
        list.scrollToLast();
        post(next);
        break;
    }

    case 11: {
        const QString line =
            QStringLiteral("Enabling ") + name + QStringLiteral(" Boot Mode......");
        if (prog.Send_MB_BootEnable2(link, n) != 1) {
            list.setLastCaption(line + QStringLiteral("Error Detected (1)"));
            post(99);
            break;
        }
        Delay_MS(m_timings.bootEntryPollMs);
        std::array<std::uint16_t, 2> status{};
        if (prog.Get_MB_Status_Words(link, n, status) != 1) {
            list.setLastCaption(line + QStringLiteral("Error Detected (2)"));
            post(99);
        } else if (corvane::decodeStatusWords(status[0], status[1]) ==
                   corvane::SubStatus::Finished) {
            list.setLastCaption(line + QStringLiteral("Done"));
            post(12);
        } else {
            // No news yet, or busy entering boot mode: ask again. Both count towards the
            // poll limit, so a processor that never finishes ends the run.
            ++pollcnt;
            if (pollcnt < kPollLimit)
                post(11);
        }
        break;
    }

    case 12:
        pollcnt = 0;
        addBarLine(QStringLiteral("Sending New Firmware for ") + name + QStringLiteral("......"));
        if (prog.Send_MB_SendProgData2(link, n) == 1) {
            post(13);
        } else {
            list.showLastBar(false);
            list.setLastCaption(QStringLiteral("Sending New Firmware for ") + name +
                                QStringLiteral("......Error Detected"));
            post(99);
        }
        break;

    case 13:
    case 15: {
        const QString prefix =
            step == 13 ? QStringLiteral("Erasing ") : QStringLiteral("Reprogramming ");
        addBarLine(prefix + name + QStringLiteral("......"));
        const int r =
            step == 13 ? prog.Send_MB_Erase_Prog(link, n) : prog.Send_MB_Start_Prog(link, n);
        if (r == 1) {
            pollcnt = 0;
            m_busySince.invalidate(); // a new operation: no busy status seen yet
            const TPMem_Rec& rec = u.PMem_Store[static_cast<std::size_t>(n)];
            m_stageLimitMs = stageDeadlineMs(m_timings, rec.Prog_Mem_Start, rec.Max_Prog_Addr);
            m_stageSince.start();
            post(step + 1);
        } else {
            // The command was refused after its own retries: end the run with a visible error
            // instead of stopping without a way out.
            ++pollcnt;
            list.showLastBar(false);
            list.setLastCaption(prefix + name + QStringLiteral("......Error Detected"));
            post(99);
        }
        break;
    }

    case 14:
        statusPoll(14, 15, QStringLiteral("Erasing "), name);
        break;

    case 16:
        statusPoll(16, 17, QStringLiteral("Reprogramming "), name);
        break;

    case 17:
        post(20);
        break;

    case 20:
        ++CPU_Num;
        if (CPU_Num >= 4) {
            list.addLine(QStringLiteral("Restarting System...."));
            list.scrollToLast();
            post(21);
        } else {
            post(10);
        }
        break;

    case 21:
        if (prog.Send_MB_Restart(link) == 1) {
            list.setLastCaption(QStringLiteral("Restarting System....Done"));
            post(m_deps.verifyAfterRestart ? 22 : 99);
        } else {
            list.setLastCaption(QStringLiteral("Restarting System....Error Detected"));
            post(99);
        }
        break;

    case 22:
        verifyAfterRestart();
        post(99);
        break;

    case 99:
        if (link.hungUp() &&
            (list.count() == 0 || list.item(list.count() - 1).caption != kAdapterDisconnected)) {
            list.addLine(kAdapterDisconnected);
            list.scrollToLast();
        }
        Quit_Button2->setVisible(true);
        Quit_Button2->setEnabled(true);
        Quit_Button2->setFocus();
        break;

    default:
        break;
    }

    if (pollcnt >= kPollLimit) {
        pollcnt = 0;
        list.addLine(QStringLiteral("Error detected. Terminating upgrade."));
        list.scrollToLast();
        if (step != 99)
            post(99);
    }
}

#pragma once
// The programming operations the window and the upgrade sequencer call: CPU-1's bootloader
// exchanges and the sub-processor commands relayed by CPU-1's running firmware. They run on
// the link's thread and keep dispatching its messages while they wait.

#include "firmware/UnitState.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <span>

class TVexaComms;
class ProgressSink;

// Result of an operation refused before anything was sent (bad arguments, a processor whose
// program range is not usable). Every caller treats all results but 1 as failure.
inline constexpr int kProgRefused = -3;

// Result of a sub-processor exchange after which the restart check (Programmer::
// setRestartCheck) said the unit had restarted under the run: a power dip or a reset takes the
// sub-processor out of boot mode and CPU-1's copy of the blocks sent so far with it, so
// nothing more was sent. A new run finishes the upgrade.
inline constexpr int kProgUnitRestarted = -4;

// A sub-processor exchange acknowledged after one or more attempts in a row that were not (no
// reply in time, a damaged or an exception reply): the unit may have been silent because it
// restarted.
struct AnswerAfterSilence {
    enum class Kind { DataBlock, Erase, StartProgramming };
    Kind kind = Kind::DataBlock;
    int processor = 0;        // 2 CPU-2, 3 HMI
    int unanswered = 0;       // failed attempts right before the acknowledged one
    std::uint32_t block = 0;  // DataBlock: 0-based index of the acknowledged block
    std::uint32_t blocks = 0; // DataBlock: blocks in the transfer
};
// Asked on the link's thread; may make its own exchanges. True = the unit restarted.
using RestartCheck = std::function<bool(TVexaComms& Port, const AnswerAfterSilence& answer)>;

// One bootloader request-reply exchange. Reply receives Len bytes on success.
// 1 = well-formed reply with a correct BCC; 0 = no complete reply in time; -1 = a reply that
// does not check (wrong BCC, body shorter than 2 + Len, cut); kProgRefused = Count above 131,
// Data shorter than Count or Reply shorter than Len (nothing sent); otherwise the link's own
// result (negative: closed).
[[nodiscard]] int BL_ReadData(TVexaComms& Port, std::uint8_t Cmd, std::uint8_t Len,
                              std::uint8_t Count, std::span<const std::uint8_t> Data,
                              std::uint16_t TimeOut, std::span<std::uint8_t> Reply);

// Figures of the last timed block write, in seconds.
struct BlockTiming {
    float elapsed = 0; // this exchange
    float longest = 0; // since the transfer began
    float shortest = 0;
};

// The "%.6f" text the figures are shown with.
[[nodiscard]] QString timingText(float seconds);

class Programmer {
public:
    Programmer(TVexaComms& link, UnitState& state, ProgressSink* progress = nullptr);

    void setProgressSink(ProgressSink* progress) { m_progress = progress; }
    // Called after every timed block write, whatever its result; must be quick.
    void setTimingObserver(std::function<void(const BlockTiming&)> observer) {
        m_timingObserver = std::move(observer);
    }
    [[nodiscard]] const BlockTiming& lastTiming() const { return m_timing; }

    // Installs the check asked after every sub-processor exchange of Send_MB_SendProgData2,
    // Send_MB_Erase_Prog and Send_MB_Start_Prog that was acknowledged after failed attempts;
    // when it answers true the operation ends with kProgUnitRestarted. Empty (the default):
    // nothing is asked and nothing extra is sent. A run without failed attempts never calls it.
    void setRestartCheck(RestartCheck check) { m_restartCheck = std::move(check); }
    // One read of processor n's RM number (register 10 for CPU-2, 8 for the HMI, slave
    // MB_FW_Slv, time-out 15): true when it answers with anything but Boot_RM_Number, i.e. n is
    // out of boot mode. False while it is in boot mode, when the read fails, and for n outside
    // 2..3. A sub-processor whose flash a restart left incomplete comes back in boot mode, so
    // it cannot tell that case.
    [[nodiscard]] bool subLeftBootMode(TVexaComms& Port, int n);
    // A RestartCheck that asks subLeftBootMode for the exchange's processor; it refers to this
    // programmer.
    [[nodiscard]] RestartCheck bootModeRestartCheck();

    // CPU-1's bootloader, on the link given at construction.
    // Model (RM) number, or 0xFFFF0000 (-65536) on failure.
    [[nodiscard]] int Get_Firmware_Ver();
    // Bootloader RM number << 16 | version x 100, or -1 on failure.
    [[nodiscard]] int Get_BootLoader_Ver();
    // Erase / program PMem_Store[n]'s range; false at the first failed step, and without
    // sending anything for n outside 1..3 or an unusable range.
    [[nodiscard]] bool Erase_Program_Memory(int n);
    [[nodiscard]] bool Send_Program_Data(int n);
    [[nodiscard]] bool Disable_Boot_Mode();
    // 0 when acknowledged, else the exchange's result minus 1.
    [[nodiscard]] int Reset_Unit();
    // Reopens Port at 115200 around the Modbus command that hands CPU-1 to its bootloader.
    [[nodiscard]] int Send_MB_BootEnable(TVexaComms& Port);

    // CPU-1's control register (Modbus result codes).
    [[nodiscard]] int Send_MB_Upgrade_Mode(TVexaComms& Port);
    [[nodiscard]] int Send_MB_Restart(TVexaComms& Port);

    // Sub-processor n (2 = CPU-2, 3 = HMI) through its memory-block window. n outside 2..3 or
    // an unusable range gives kProgRefused without sending; with a restart check installed,
    // the data transfer, the erase and the start command may end with kProgUnitRestarted.
    [[nodiscard]] int Send_MB_BootEnable2(TVexaComms& Port, int n);
    [[nodiscard]] int Send_MB_Erase_Prog(TVexaComms& Port, int n);
    [[nodiscard]] int Send_MB_Start_Prog(TVexaComms& Port, int n);
    [[nodiscard]] int Send_MB_SendProgData2(TVexaComms& Port, int n);
    // Status is written only when the result is 1.
    [[nodiscard]] int Get_MB_Status_Words(TVexaComms& Port, int n,
                                          std::array<std::uint16_t, 2>& Status);

    // MB_WriteMultiRegs with the exchange timed (figures to lastTiming and the observer).
    [[nodiscard]] int MB_WriteMultiRegs_Timed(TVexaComms& Port, std::uint8_t slave,
                                              std::uint8_t function, std::uint16_t first,
                                              std::uint16_t count,
                                              std::span<const std::uint16_t> values,
                                              std::uint16_t timeout);

private:
    [[nodiscard]] int controlCommand(TVexaComms& Port, std::uint16_t value);
    [[nodiscard]] int commandBlockWithRetries(TVexaComms& Port, int n, std::uint16_t code,
                                              bool withCrc, std::uint16_t timeout);
    // The restart check for an answer after `unanswered` failed attempts (false without one).
    [[nodiscard]] bool restartedBefore(TVexaComms& Port, const AnswerAfterSilence& answer);
    void setBar(std::uint32_t percent);

    TVexaComms& m_link;
    UnitState& m_state;
    ProgressSink* m_progress = nullptr;
    BlockTiming m_timing;
    std::function<void(const BlockTiming&)> m_timingObserver;
    RestartCheck m_restartCheck;
};

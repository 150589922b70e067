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
    // an unusable range gives kProgRefused without sending.
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
    void setBar(std::uint32_t percent);

    TVexaComms& m_link;
    UnitState& m_state;
    ProgressSink* m_progress = nullptr;
    BlockTiming m_timing;
    std::function<void(const BlockTiming&)> m_timingObserver;
};

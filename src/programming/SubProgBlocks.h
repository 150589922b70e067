#pragma once
// Sub-processor programming through CPU-1: the memory-block window of CPU-2 / the HMI, the
// command and data block layouts written into it, and the status words read from it.
// Pure functions, no I/O.

#include "firmware/UnitState.h"

#include <cstdint>
#include <span>
#include <vector>

// Function codes of the unit's own commands (user-defined range): the layouts of 6 and 16.
inline constexpr std::uint8_t kFuncControl = 103;    // 0x67, single register
inline constexpr std::uint8_t kFuncBlockWrite = 104; // 0x68, multiple registers
inline constexpr std::uint8_t kFuncReadRegs = 3;

// Values for CPU-1's control register.
inline constexpr std::uint16_t kCtrlUpgradeMode = 0x1966;
inline constexpr std::uint16_t kCtrlBootEnable = 0x222D;
inline constexpr std::uint16_t kCtrlRestart = 0x1BC5;

// Command codes of a command block.
inline constexpr std::uint16_t kBlockBootEnable = 0x222D;
inline constexpr std::uint16_t kBlockErase = 0x1A9B;
inline constexpr std::uint16_t kBlockStartProg = 0x1997;

// The window's last register tells CPU-1 which layout it holds.
inline constexpr std::uint16_t kCommandMarker = 0x5C;
inline constexpr std::uint16_t kDataMarker = 0xA6;

// CPU-1 firmware from 2.16 on takes 16-register windows; CPU-2's window moves up by 6.
inline constexpr std::uint16_t kWideWindowFirmware = 216;
inline constexpr std::uint16_t kNarrowWindowRegs = 10;
inline constexpr std::uint16_t kWideWindowRegs = 16;
inline constexpr std::uint16_t kCpu2WideShift = 6;

namespace corvane {

struct MemBlockWindow {
    std::uint8_t slave = 0;
    std::uint16_t first = 0;  // first register B(n)
    std::uint16_t length = 0; // L registers, all written by every block
    std::uint16_t chunk = 0;  // image bytes per data block: 2 * (L - 4)
};

// n: 2 = CPU-2, 3 = HMI. cpu1Firmware is CPU-1's installed version x 100 (0 = not read).
[[nodiscard]] MemBlockWindow memBlockWindow(std::uint16_t slave, std::uint16_t offset, int n,
                                            std::uint16_t cpu1Firmware);
[[nodiscard]] MemBlockWindow memBlockWindow(const UnitState& state, int n);

// Registers 0, 1 = 0 (they are the status words), 2 = code, 3 and 4 = parameters, last = marker.
[[nodiscard]] std::vector<std::uint16_t> commandBlock(std::uint16_t length, std::uint16_t code,
                                                      std::uint16_t first, std::uint16_t second);

// Register 2 = offset of address from start; then chunk image bytes from address, two per
// register with the lower address in the high half; last = marker. Bytes past the end of
// image are sent as 0.
[[nodiscard]] std::vector<std::uint16_t> dataBlock(std::uint16_t length,
                                                   std::span<const std::uint8_t> image,
                                                   std::uint32_t start, std::uint32_t address);

// Whole chunks in first..last; a shorter remainder is not sent.
[[nodiscard]] std::uint32_t dataBlockCount(std::uint32_t first, std::uint32_t last,
                                           std::uint16_t chunk);

// MB_CRC16 over Mem_Data[Prog_Mem_Start..Max_Prog_Addr], bytes exchanged as that routine
// returns it. Only meaningful for a valid range.
[[nodiscard]] std::uint16_t imageCrc(const TPMem_Rec& rec);

// A range the erase and program loops can work on: a processor whose last address is known
// (not 0) and Prog_Mem_Start <= Max_Prog_Addr <= 65535.
[[nodiscard]] bool programRangeValid(const TPMem_Rec& rec);

enum class SubStatus { NoNews, Finished, Corrupt, Busy };

// Status word (register 0) and program address (register 1). Bit 15 wins over bit 14.
[[nodiscard]] SubStatus decodeStatusWords(std::uint16_t status, std::uint16_t address);

// Two polls of one operation's status, earlier then now: "no news" after the operation showed
// busy means the window was blanked, which only a restart of the unit does (a power dip, a
// reset); the master writes nothing into the window while it polls.
[[nodiscard]] bool statusShowsRestart(SubStatus earlier, SubStatus now);

} // namespace corvane

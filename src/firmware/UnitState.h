#pragma once
// The updater's state about the carried firmware and the connected unit. The main window owns
// one; the image store, identification, the programming protocols and the sequencer share it.
// Per-processor arrays are indexed 1..3 (1 = CPU-1, 2 = CPU-2, 3 = HMI); element 0 is unused.

#include <array>
#include <cstdint>

inline constexpr int kImageSize = 65536;
inline constexpr int kBlockSize = 128;
inline constexpr int kBlockFlags = 513; // entries 0..511 cover the image, 512 covers nothing

struct TPMem_Rec {
    bool Upgrade_Flag = false;
    std::uint32_t Prog_Mem_Start = 0;
    std::uint32_t Max_Prog_Addr = 0; // inclusive; 0 until the processor number is known
    std::array<bool, kBlockFlags> Block_Used{};
    std::array<std::uint8_t, kImageSize> Mem_Data{};
};

template <typename T>
using PerProcessor = std::array<T, 4>;

struct UnitState {
    PerProcessor<TPMem_Rec> PMem_Store{};

    std::uint16_t Ext_Proc_Rev = 0;
    PerProcessor<std::uint16_t> Processor_Number{};
    PerProcessor<std::uint16_t> RM_Number{};  // reported by the unit; 0 = no answer
    std::uint16_t RM_Number_Target = 0;       // what CPU-1's bootloader must report
    PerProcessor<std::uint16_t> FW_Version{}; // version x 100; 0 = no answer / in bootloader
    PerProcessor<std::uint16_t> New_RM_Number{};
    PerProcessor<std::uint16_t> New_FW_Version{};

    std::uint16_t MB_FW_Slv = 0;
    std::uint16_t MB_FW_Off = 0;
    std::uint16_t MB_CTRL_Slv = 0;
    std::uint16_t MB_CTRL_Off = 0;
    PerProcessor<std::uint16_t> MB_MemBlk_Slv{};
    PerProcessor<std::uint16_t> MB_MemBlk_Off{};

    bool BL_Active_Flag = false;
    int Product_Idx = -1;
    std::uint16_t Boot_RM_Number = 0; // what CPU-2 or the HMI reports while in its bootloader
};

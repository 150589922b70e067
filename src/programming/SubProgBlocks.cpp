#include "SubProgBlocks.h"

#include "modbus/ModBusPro.h"

namespace corvane {

MemBlockWindow memBlockWindow(std::uint16_t slave, std::uint16_t offset, int n,
                              std::uint16_t cpu1Firmware) {
    const bool wide = cpu1Firmware >= kWideWindowFirmware;
    MemBlockWindow w;
    w.slave = static_cast<std::uint8_t>(slave);
    w.first = static_cast<std::uint16_t>(offset + ((n == 2 && wide) ? kCpu2WideShift : 0));
    w.length = wide ? kWideWindowRegs : kNarrowWindowRegs;
    w.chunk = static_cast<std::uint16_t>(2 * (w.length - 4));
    return w;
}

MemBlockWindow memBlockWindow(const UnitState& state, int n) {
    const std::size_t i = (n >= 1 && n <= 3) ? static_cast<std::size_t>(n) : 0;
    return memBlockWindow(state.MB_MemBlk_Slv[i], state.MB_MemBlk_Off[i], n, state.FW_Version[1]);
}

std::vector<std::uint16_t> commandBlock(std::uint16_t length, std::uint16_t code,
                                        std::uint16_t first, std::uint16_t second) {
    std::vector<std::uint16_t> regs(length < 6 ? 6 : length, 0);
    regs[2] = code;
    regs[3] = first;
    regs[4] = second;
    regs.back() = kCommandMarker;
    return regs;
}

std::vector<std::uint16_t> dataBlock(std::uint16_t length, std::span<const std::uint8_t> image,
                                     std::uint32_t start, std::uint32_t address) {
    std::vector<std::uint16_t> regs(length < 5 ? 5 : length, 0);
    regs[2] = static_cast<std::uint16_t>((address - start) & 0xFFFF);
    auto byteAt = [&](std::uint64_t a) -> std::uint16_t { return a < image.size() ? image[a] : 0; };
    const std::size_t dataRegs = regs.size() - 4;
    for (std::size_t k = 0; k < dataRegs; ++k) {
        const std::uint64_t a = std::uint64_t{address} + 2 * k;
        regs[3 + k] = static_cast<std::uint16_t>(byteAt(a) << 8 | byteAt(a + 1));
    }
    regs.back() = kDataMarker;
    return regs;
}

std::uint32_t dataBlockCount(std::uint32_t first, std::uint32_t last, std::uint16_t chunk) {
    if (last < first || chunk == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>((std::uint64_t{last} + 1 - first) / chunk);
}

std::uint16_t imageCrc(const TPMem_Rec& rec) {
    return MB_CRC16(rec.Mem_Data.data(), static_cast<std::uint16_t>(rec.Prog_Mem_Start),
                    static_cast<std::uint16_t>(rec.Max_Prog_Addr));
}

bool programRangeValid(const TPMem_Rec& rec) {
    return rec.Max_Prog_Addr != 0 && rec.Prog_Mem_Start <= rec.Max_Prog_Addr &&
           rec.Max_Prog_Addr < kImageSize;
}

SubStatus decodeStatusWords(std::uint16_t status, std::uint16_t address) {
    if (status & 0x8000) {
        return SubStatus::Finished;
    }
    if (status & 0x4000) {
        return SubStatus::Corrupt;
    }
    if (status == 0 && address == 0) {
        return SubStatus::NoNews;
    }
    return SubStatus::Busy;
}

bool statusShowsRestart(SubStatus earlier, SubStatus now) {
    return earlier == SubStatus::Busy && now == SubStatus::NoNews;
}

} // namespace corvane

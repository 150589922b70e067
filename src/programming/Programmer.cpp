#include "Programmer.h"

#include "BootFrames.h"
#include "ProgressSink.h"
#include "SubProgBlocks.h"

#include "common/CPU_Timer.h"
#include "common/gen_lib.h"
#include "modbus/LinkExchange.h"
#include "modbus/ModBusPro.h"
#include "serial/VexaComms.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace {

// Bootloader commands and their time-outs (100 ms reply-timer ticks).
constexpr std::uint8_t kBlGetModel = 0x00;
constexpr std::uint8_t kBlGetInfo = 0x08;
constexpr std::uint8_t kBlErase = 0x03;
constexpr std::uint8_t kBlProgram = 0x02;
constexpr std::uint8_t kBlWriteByte = 0x05;
constexpr std::uint8_t kBlReset = 0x00;
constexpr std::uint16_t kBlQueryTimeout = 10;
constexpr std::uint16_t kBlLongTimeout = 30;
// An erase step or program block is sent again with the same frame after a lost or damaged
// reply: erasing a row twice, or programming a block twice with the same bytes, leaves the
// same flash.
constexpr int kBlAttempts = 3;

constexpr std::uint16_t kBootEnableTimeout = 15;
constexpr std::uint16_t kControlTimeout = 30;
constexpr std::uint16_t kBootEnable2Timeout = 30;
constexpr std::uint16_t kCommandTimeout = 15;
constexpr std::uint16_t kDataBlockTimeout = 15;
constexpr std::uint16_t kStatusTimeout = 15;
constexpr int kAttempts = 5;
constexpr int kFailuresInARow = 5;

constexpr std::uint32_t kBootBaudRate = 115200;

// Identification registers of the sub-processors' RM numbers (the version follows each).
constexpr std::uint16_t kHmiRmRegister = 8;
constexpr std::uint16_t kCpu2RmRegister = 10;

// Reopen at the bootloader's speed. A port that cannot be opened again leaves the link closed,
// so the exchanges that follow fail with a negative result instead of raising.
void reopenAtBootSpeed(TVexaComms& port) {
    port.CloseComm();
    port.setBaudRate(kBootBaudRate);
    try {
        (void)port.OpenComm();
    } catch (const ECommsError&) {
    }
}

bool processorIndexValid(int n, int lowest) {
    return n >= lowest && n <= 3;
}

// A link that is closed or hung up cannot carry a retry.
bool linkUsable(const TVexaComms& port) {
    return port.isOpen() && !port.hungUp();
}

// One bootloader exchange, repeated with the same frame up to kBlAttempts times.
template <std::size_t N>
bool blExchangeWithRetries(TVexaComms& port, std::uint8_t cmd, std::uint8_t count,
                           std::span<const std::uint8_t> data, std::array<std::uint8_t, N>& reply) {
    for (int attempt = 0; attempt < kBlAttempts; ++attempt) {
        if (BL_ReadData(port, cmd, static_cast<std::uint8_t>(N), count, data, kBlLongTimeout,
                        reply) == 1) {
            return true;
        }
        if (!linkUsable(port)) {
            break;
        }
    }
    return false;
}

} // namespace

int BL_ReadData(TVexaComms& Port, std::uint8_t Cmd, std::uint8_t Len, std::uint8_t Count,
                std::span<const std::uint8_t> Data, std::uint16_t TimeOut,
                std::span<std::uint8_t> Reply) {
    if (Count > kBootMaxData || Data.size() < Count || Reply.size() < Len) {
        return kProgRefused;
    }
    const auto frame = corvane::bootRequestFrame(Cmd, Len, Data.first(Count));

    TRxCondition cond;
    corvane::bootReplyConditions(cond);
    const AttachedConditions attached(Port, cond);
    Port.ClearFlags();
    TappedExchange tapped(Port, [&] {
        char kind[48];
        std::snprintf(kind, sizeof kind, "bootloader cmd 0x%02X len %u count %u", unsigned{Cmd},
                      unsigned{Len}, unsigned{Count});
        return std::string(kind);
    });
    (void)Port.SendCommData(frame.data(), static_cast<std::uint16_t>(frame.size()), TimeOut);
    int r = Port.WaitForResult();
    if (r == 1 && attached.linkAlive()) {
        r = corvane::readBootReply(Port, Len, Reply);
    }
    return tapped.end(r);
}

QString timingText(float seconds) {
    return QString::asprintf("%.6f", double(seconds));
}

Programmer::Programmer(TVexaComms& link, UnitState& state, ProgressSink* progress)
    : m_link(link)
    , m_state(state)
    , m_progress(progress) {}

void Programmer::setBar(std::uint32_t percent) {
    if (m_progress) {
        m_progress->setLastBar(double(percent));
    }
}

int Programmer::Get_Firmware_Ver() {
    std::array<std::uint8_t, 2> reply{};
    if (BL_ReadData(m_link, kBlGetModel, 2, 0, {}, kBlQueryTimeout, reply) != 1) {
        return static_cast<int>(0xFFFF0000u);
    }
    return reply[0] * 256 + reply[1];
}

int Programmer::Get_BootLoader_Ver() {
    std::array<std::uint8_t, 4> reply{};
    if (BL_ReadData(m_link, kBlGetInfo, 4, 0, {}, kBlQueryTimeout, reply) != 1) {
        return -1;
    }
    const std::uint32_t v = std::uint32_t{reply[0]} << 24 | std::uint32_t{reply[1]} << 16 |
                            std::uint32_t{reply[2]} << 8 | reply[3];
    return static_cast<int>(v);
}

bool Programmer::Erase_Program_Memory(int n) {
    if (!processorIndexValid(n, 1)) {
        return false;
    }
    const auto& rec = m_state.PMem_Store[std::size_t(n)];
    if (!corvane::programRangeValid(rec)) {
        return false;
    }
    const auto steps = corvane::eraseStepAddresses(rec.Prog_Mem_Start, rec.Max_Prog_Addr);
    std::uint32_t done = 0;
    for (const auto address : steps) {
        const auto data = corvane::bootAddressBytes(address);
        std::array<std::uint8_t, 8> reply{};
        if (!blExchangeWithRetries(m_link, kBlErase, 3, data, reply)) {
            return false;
        }
        ++done;
        setBar(corvane::percentOf(done, static_cast<std::uint32_t>(steps.size())));
    }
    return true;
}

bool Programmer::Send_Program_Data(int n) {
    if (!processorIndexValid(n, 1)) {
        return false;
    }
    const auto& rec = m_state.PMem_Store[std::size_t(n)];
    if (!corvane::programRangeValid(rec)) {
        return false;
    }
    const auto blocks =
        corvane::programBlockNumbers(rec.Prog_Mem_Start, rec.Max_Prog_Addr, rec.Block_Used);
    std::uint32_t sent = 0;
    std::array<std::uint8_t, kBootMaxData> data{};
    for (const auto block : blocks) {
        const std::uint32_t address = block * kProgramBlockBytes;
        const auto addressBytes = corvane::bootAddressBytes(address);
        std::copy(addressBytes.begin(), addressBytes.end(), data.begin());
        std::copy_n(rec.Mem_Data.begin() + address, kProgramBlockBytes, data.begin() + 3);
        std::array<std::uint8_t, 2> reply{};
        if (!blExchangeWithRetries(m_link, kBlProgram, kBootMaxData, data, reply)) {
            return false;
        }
        ++sent;
        setBar(corvane::percentOf(sent, static_cast<std::uint32_t>(blocks.size())));
    }
    return true;
}

bool Programmer::Disable_Boot_Mode() {
    // Write 0x00 at 0x3FF, the bootloader's boot-mode marker.
    const std::array<std::uint8_t, 4> data{0xFF, 0x03, 0x00, 0x00};
    std::array<std::uint8_t, 1> reply{};
    return BL_ReadData(m_link, kBlWriteByte, 1, 4, data, kBlLongTimeout, reply) == 1;
}

int Programmer::Reset_Unit() {
    return BL_ReadData(m_link, kBlReset, 0, 0, {}, kBlLongTimeout, {}) - 1;
}

int Programmer::Send_MB_BootEnable(TVexaComms& Port) {
    reopenAtBootSpeed(Port);
    const int r =
        MB_WriteSingleReg(Port, static_cast<std::uint8_t>(m_state.MB_CTRL_Slv), kFuncControl,
                          m_state.MB_CTRL_Off, kCtrlBootEnable, kBootEnableTimeout);
    reopenAtBootSpeed(Port);
    return r;
}

int Programmer::controlCommand(TVexaComms& Port, std::uint16_t value) {
    const int r = MB_WriteSingleReg(Port, static_cast<std::uint8_t>(m_state.MB_CTRL_Slv),
                                    kFuncControl, m_state.MB_CTRL_Off, value, kControlTimeout);
    Delay_MS(150);
    return r;
}

int Programmer::Send_MB_Upgrade_Mode(TVexaComms& Port) {
    return controlCommand(Port, kCtrlUpgradeMode);
}

int Programmer::Send_MB_Restart(TVexaComms& Port) {
    return controlCommand(Port, kCtrlRestart);
}

bool Programmer::restartedBefore(TVexaComms& Port, const AnswerAfterSilence& answer) {
    return answer.unanswered > 0 && m_restartCheck && m_restartCheck(Port, answer);
}

bool Programmer::subLeftBootMode(TVexaComms& Port, int n) {
    if (!processorIndexValid(n, 2)) {
        return false;
    }
    std::array<std::uint16_t, 1> rm{};
    return MB_ReadRegs(Port, static_cast<std::uint8_t>(m_state.MB_FW_Slv), kFuncReadRegs,
                       n == 2 ? kCpu2RmRegister : kHmiRmRegister, 1, kStatusTimeout, rm) == 1 &&
           rm[0] != m_state.Boot_RM_Number;
}

RestartCheck Programmer::bootModeRestartCheck() {
    return [this](TVexaComms& Port, const AnswerAfterSilence& answer) {
        return subLeftBootMode(Port, answer.processor);
    };
}

int Programmer::commandBlockWithRetries(TVexaComms& Port, int n, std::uint16_t code, bool withCrc,
                                        std::uint16_t timeout) {
    if (!processorIndexValid(n, 2)) {
        return kProgRefused;
    }
    const auto& rec = m_state.PMem_Store[std::size_t(n)];
    if (!corvane::programRangeValid(rec)) {
        return kProgRefused;
    }
    const auto w = corvane::memBlockWindow(m_state, n);
    const std::uint16_t rm = m_state.New_RM_Number[std::size_t(n)];
    int r = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const auto block = withCrc
                               ? corvane::commandBlock(w.length, code, corvane::imageCrc(rec), rm)
                               : corvane::commandBlock(w.length, code, rm, 0);
        r = MB_WriteMultiRegs(Port, w.slave, kFuncBlockWrite, w.first, w.length, block, timeout);
        if (r == 1) {
            // Boot-mode entry comes before anything a restart could lose.
            AnswerAfterSilence answer;
            answer.kind = code == kBlockErase ? AnswerAfterSilence::Kind::Erase
                                              : AnswerAfterSilence::Kind::StartProgramming;
            answer.processor = n;
            answer.unanswered = attempt;
            if (code != kBlockBootEnable && restartedBefore(Port, answer)) {
                return kProgUnitRestarted;
            }
            break;
        }
    }
    return r;
}

int Programmer::Send_MB_BootEnable2(TVexaComms& Port, int n) {
    return commandBlockWithRetries(Port, n, kBlockBootEnable, false, kBootEnable2Timeout);
}

int Programmer::Send_MB_Erase_Prog(TVexaComms& Port, int n) {
    return commandBlockWithRetries(Port, n, kBlockErase, true, kCommandTimeout);
}

int Programmer::Send_MB_Start_Prog(TVexaComms& Port, int n) {
    return commandBlockWithRetries(Port, n, kBlockStartProg, true, kCommandTimeout);
}

int Programmer::Send_MB_SendProgData2(TVexaComms& Port, int n) {
    if (!processorIndexValid(n, 2)) {
        return kProgRefused;
    }
    const auto& rec = m_state.PMem_Store[std::size_t(n)];
    if (!corvane::programRangeValid(rec)) {
        return kProgRefused;
    }
    Timer_Reset();
    const auto w = corvane::memBlockWindow(m_state, n);
    const std::uint32_t start = rec.Prog_Mem_Start;
    const std::uint32_t blocks = corvane::dataBlockCount(start, rec.Max_Prog_Addr, w.chunk);

    int result = 1;
    std::uint32_t sent = 0;
    int failures = 0;
    std::uint32_t p = start;
    Timer_Start();
    Delay_MS(100);
    while (sent < blocks && failures < kFailuresInARow) {
        const auto block = corvane::dataBlock(w.length, rec.Mem_Data, start, p);
        result = MB_WriteMultiRegs_Timed(Port, w.slave, kFuncBlockWrite, w.first, w.length, block,
                                         kDataBlockTimeout);
        if (result == 1) {
            AnswerAfterSilence answer;
            answer.processor = n;
            answer.unanswered = failures;
            answer.block = sent;
            answer.blocks = blocks;
            if (restartedBefore(Port, answer)) {
                return kProgUnitRestarted; // the rest would go nowhere
            }
            failures = 0;
            ++sent;
            setBar(corvane::percentOf(sent, blocks));
            p += w.chunk;
        } else {
            ++failures; // the same block goes again
        }
    }
    return result;
}

int Programmer::Get_MB_Status_Words(TVexaComms& Port, int n, std::array<std::uint16_t, 2>& Status) {
    if (!processorIndexValid(n, 2)) {
        return kProgRefused;
    }
    const auto w = corvane::memBlockWindow(m_state, n);
    std::array<std::uint16_t, 2> words{0, 0};
    int r = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        r = MB_ReadRegs(Port, w.slave, kFuncReadRegs, w.first, 2, kStatusTimeout, words);
        if (r == 1) {
            Status = words;
            break;
        }
    }
    return r;
}

int Programmer::MB_WriteMultiRegs_Timed(TVexaComms& Port, std::uint8_t slave, std::uint8_t function,
                                        std::uint16_t first, std::uint16_t count,
                                        std::span<const std::uint16_t> values,
                                        std::uint16_t timeout) {
    ExchangeHooks hooks;
    hooks.beforeSend = [] { Timer_Start(); };
    hooks.afterWait = [this](int) {
        m_timing.elapsed = Timer_Elapsed();
        m_timing.longest = Timer_Max();
        m_timing.shortest = Timer_Min();
        if (m_timingObserver) {
            m_timingObserver(m_timing);
        }
    };
    return MB_WriteMultiRegs(Port, slave, function, first, count, values, timeout, &hooks);
}

#pragma once
// Shared pieces of the programming suites: a progress sink that records what it is told, and
// the unit state with the addresses this build configures.

#include "firmware/UnitState.h"
#include "programming/ProgressSink.h"

#include <QStringList>

#include <memory>
#include <vector>

namespace progtest {

class RecordingSink : public ProgressSink {
public:
    void addLine(const QString& caption) override { lines << caption; }
    void setLastCaption(const QString& caption) override {
        if (!lines.isEmpty()) {
            lines.last() = caption;
        }
    }
    void showLastBar(bool) override {}
    void setLastBar(double value) override { bars.push_back(value); }
    void scrollToLast() override {}

    QStringList lines;
    std::vector<double> bars;
};

// Slave 23 everywhere: control register 12, the HMI's window from 16, CPU-2's from 26.
inline std::unique_ptr<UnitState> configuredState() {
    auto s = std::make_unique<UnitState>();
    s->MB_CTRL_Slv = 23;
    s->MB_CTRL_Off = 12;
    s->MB_MemBlk_Slv[2] = 23;
    s->MB_MemBlk_Off[2] = 26;
    s->MB_MemBlk_Slv[3] = 23;
    s->MB_MemBlk_Off[3] = 16;
    s->FW_Version[1] = 245;
    s->New_RM_Number[1] = 1201;
    s->New_RM_Number[2] = 1302;
    s->New_RM_Number[3] = 258;
    const std::uint32_t starts[4] = {0, 0x0800, 0x1000, 0x1000};
    for (std::size_t n = 1; n <= 3; ++n) {
        auto& rec = s->PMem_Store[n];
        rec.Prog_Mem_Start = starts[n];
        rec.Max_Prog_Addr = 0xFFFF;
        for (std::size_t a = 0; a < rec.Mem_Data.size(); ++a) {
            rec.Mem_Data[a] = static_cast<std::uint8_t>((a * 31 + n * 7) ^ (a >> 8));
        }
        for (std::size_t k = 0; k < 512; ++k) {
            rec.Block_Used[k] = true;
        }
    }
    return s;
}

} // namespace progtest

// Whole transfers against the simulated unit on a pseudo-terminal: CPU-1 through its
// bootloader, CPU-2 and the HMI through CPU-1, each read back from the unit's flash and
// compared byte for byte with the image sent; dropped replies and a silent unit.
//
// The link's read interval is 1 ms here instead of the window's 10 ms: completion is seen once
// per chunk, so 10 ms would cost 10 ms per block (about a minute for 5,120 blocks) without
// testing anything more. The scripted-device suite runs at 10 ms.

#include "ProgTestRig.h"

#include "common/CPU_Timer.h"
#include "programming/Programmer.h"
#include "programming/SubProgBlocks.h"
#include "serial/VexaComms.h"

#include "sim/SimulatedUnit.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <memory>

using corvane::sim::Exchange;
using corvane::sim::Fault;
using corvane::sim::FaultKind;
using corvane::sim::FaultPlan;
using corvane::sim::Scenario;
using corvane::sim::SimulatedUnit;

namespace {

// A simulated unit, a link to it and a programmer whose images are the ones the unit carries.
struct SimRig {
    explicit SimRig(const Scenario& scenario, const FaultPlan& faults = {})
        : unit(scenario, faults)
        , state(std::make_unique<UnitState>())
        , prog(link, *state, &sink) {
        const auto& c = unit.carried();
        state->MB_CTRL_Slv = scenario.slaveAddress;
        state->MB_CTRL_Off = 12;
        state->MB_MemBlk_Slv[2] = scenario.slaveAddress;
        state->MB_MemBlk_Off[2] = 26;
        state->MB_MemBlk_Slv[3] = scenario.slaveAddress;
        state->MB_MemBlk_Off[3] = 16;
        state->FW_Version[1] = scenario.cpu1.version;
        cpu1Rm = c.cpu1Images.empty() ? 0 : c.cpu1Images.begin()->first;
        for (int n = 1; n <= 3; ++n) {
            auto& rec = state->PMem_Store[std::size_t(n)];
            const QByteArray image = n == 1 ? c.cpu1Images.at(cpu1Rm) : c.subImages[std::size_t(n)];
            std::copy(image.begin(), image.begin() + std::min<qsizetype>(image.size(), 65536),
                      rec.Mem_Data.begin());
            rec.Prog_Mem_Start = c.progStart[std::size_t(n)];
            rec.Max_Prog_Addr = c.progEnd[std::size_t(n)];
            for (std::size_t k = 0; k < 512; ++k) {
                rec.Block_Used[k] = true;
            }
            state->New_RM_Number[std::size_t(n)] = n == 1 ? cpu1Rm : c.rm[std::size_t(n)];
        }
        link.setCommPort(unit.openPty());
        link.setBaudRate(115200);
        link.setRxBufferSize(0x4000);
        link.setInterCharTimeOut(1);
        opened = link.OpenComm();
    }

    // Flash of processor n over its program range equals the image sent.
    [[nodiscard]] bool flashMatches(int n) const {
        const auto& rec = state->PMem_Store[std::size_t(n)];
        const QByteArray flash = unit.flash(n);
        if (flash.size() != 65536) {
            return false;
        }
        for (std::uint32_t a = rec.Prog_Mem_Start; a <= rec.Max_Prog_Addr; ++a) {
            if (static_cast<std::uint8_t>(flash[qsizetype(a)]) != rec.Mem_Data[a]) {
                qWarning("flash of processor %d differs first at 0x%04X", n, unsigned(a));
                return false;
            }
        }
        return true;
    }

    // Polls the status words until the operation ends; the decoded end (or NoNews when it
    // never ended within the polls).
    corvane::SubStatus waitFor(int n, int polls = 200) {
        for (int i = 0; i < polls; ++i) {
            std::array<std::uint16_t, 2> status{};
            if (prog.Get_MB_Status_Words(link, n, status) != 1) {
                return corvane::SubStatus::NoNews;
            }
            const auto s = corvane::decodeStatusWords(status[0], status[1]);
            if (s == corvane::SubStatus::Finished || s == corvane::SubStatus::Corrupt) {
                return s;
            }
        }
        return corvane::SubStatus::NoNews;
    }

    SimulatedUnit unit;
    TVexaComms link;
    std::unique_ptr<UnitState> state;
    progtest::RecordingSink sink;
    Programmer prog;
    std::uint16_t cpu1Rm = 0;
    bool opened = false;
};

Fault fault(FaultKind kind, Exchange on, int after, int count) {
    Fault f;
    f.kind = kind;
    f.on = on;
    f.after = after;
    f.count = count;
    return f;
}

} // namespace

class TestProgrammingSim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { Timer_Init(); }
    void cpu1ThroughBootloader();
    void cpu1EraseStopsWhenUnitFallsSilent();
    void cpu1SurvivesSingleReplyFaults();
    void cpu1FailsAfterThreeLossesOnOneBlock();
    void subProcessorTransfer_data();
    void subProcessorTransfer();
    void droppedDataReplies_data();
    void droppedDataReplies();
    void corruptTransferIsReported();
};

void TestProgrammingSim::cpu1ThroughBootloader() {
    Scenario sc;
    sc.cpu1.version = 215;
    SimRig rig(sc);
    QVERIFY(rig.opened);
    QVERIFY(rig.cpu1Rm != 0);
    const auto& rec = rig.state->PMem_Store[1];
    QCOMPARE(rec.Prog_Mem_Start, 0x0800u);
    QCOMPARE(rec.Max_Prog_Addr, 0xFFFFu);

    QCOMPARE(rig.prog.Send_MB_Upgrade_Mode(rig.link), 1);
    QCOMPARE(rig.prog.Send_MB_BootEnable(rig.link), 1);
    QVERIFY(rig.unit.cpu1InBootloader());
    QCOMPARE(rig.prog.Get_BootLoader_Ver(), (258 << 16) | 105);
    QCOMPARE(rig.prog.Get_Firmware_Ver(), int(rig.cpu1Rm));

    QVERIFY(rig.prog.Erase_Program_Memory(1));
    QCOMPARE(rig.unit.exchanges(Exchange::BlErase), 124);
    QCOMPARE(int(rig.sink.bars.size()), 124);
    QCOMPARE(rig.sink.bars[122], 99.0);
    QCOMPARE(rig.sink.bars.back(), 100.0);
    const QByteArray erased = rig.unit.flash(1);
    QCOMPARE(erased.mid(0x0800).count(char(0xFF)), qsizetype(0x10000 - 0x0800));

    rig.sink.bars.clear();
    QVERIFY(rig.prog.Send_Program_Data(1));
    QCOMPARE(rig.unit.exchanges(Exchange::BlProgram), 496);
    QCOMPARE(int(rig.sink.bars.size()), 496);
    QCOMPARE(rig.sink.bars.back(), 100.0);
    QVERIFY(rig.flashMatches(1));

    QVERIFY(rig.prog.Disable_Boot_Mode());
    QCOMPARE(rig.prog.Reset_Unit(), 0);
    QVERIFY(!rig.unit.cpu1InBootloader());
    const auto summary = rig.unit.summary();
    QVERIFY(summary.processors[1].holdsCarriedImage);
    QVERIFY(summary.upgradeModeSeen);
    QVERIFY2(summary.faultsInjected.empty(), qPrintable(summary.toText()));
}

// An erase step that stays unanswered is tried three times, then the loop stops: three reply
// time-outs (3.1 s each) and two settling waits, not one per remaining step.
void TestProgrammingSim::cpu1EraseStopsWhenUnitFallsSilent() {
    Scenario sc;
    sc.startInBootloader = true;
    FaultPlan plan;
    plan.faults.push_back(fault(FaultKind::DropReply, Exchange::BlErase, 3, 1000));
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!rig.prog.Erase_Program_Memory(1));
    QVERIFY2(clock.elapsed() < 16000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.unit.exchanges(Exchange::BlErase), 3 + 3);
    QCOMPARE(int(rig.sink.bars.size()), 3);
}

// Lost and damaged bootloader replies, one at a time, each on a different step: every one is
// answered by a retry with the same frame, the flash ends up holding the image and the bar
// only ever moves forward.
void TestProgrammingSim::cpu1SurvivesSingleReplyFaults() {
    Scenario sc;
    sc.startInBootloader = true;
    FaultPlan plan;
    plan.faults.push_back(fault(FaultKind::DropReply, Exchange::BlErase, 10, 1));
    plan.faults.push_back(fault(FaultKind::CorruptByte, Exchange::BlErase, 60, 1));
    plan.faults.push_back(fault(FaultKind::DropReply, Exchange::BlProgram, 100, 1));
    plan.faults.push_back(fault(FaultKind::CorruptByte, Exchange::BlProgram, 300, 1));
    // Two faults on one block: the third attempt carries it.
    plan.faults.push_back(fault(FaultKind::CorruptByte, Exchange::BlProgram, 400, 2));
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);

    QVERIFY(rig.prog.Erase_Program_Memory(1));
    QCOMPARE(rig.unit.exchanges(Exchange::BlErase), 124 + 2);
    QCOMPARE(int(rig.sink.bars.size()), 124);
    QVERIFY(std::is_sorted(rig.sink.bars.begin(), rig.sink.bars.end()));
    QCOMPARE(rig.sink.bars.back(), 100.0);

    rig.sink.bars.clear();
    QVERIFY(rig.prog.Send_Program_Data(1));
    QCOMPARE(rig.unit.exchanges(Exchange::BlProgram), 496 + 4);
    QCOMPARE(int(rig.sink.bars.size()), 496);
    QVERIFY(std::is_sorted(rig.sink.bars.begin(), rig.sink.bars.end()));
    QCOMPARE(rig.sink.bars.back(), 100.0);
    QCOMPARE(rig.unit.faultsInjected(), 6);
    QVERIFY(rig.flashMatches(1));
}

// Three lost replies in a row on one program block end the transfer there.
void TestProgrammingSim::cpu1FailsAfterThreeLossesOnOneBlock() {
    Scenario sc;
    sc.startInBootloader = true;
    FaultPlan plan;
    plan.faults.push_back(fault(FaultKind::DropReply, Exchange::BlProgram, 10, 3));
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    QVERIFY(rig.prog.Erase_Program_Memory(1));
    rig.sink.bars.clear();
    QVERIFY(!rig.prog.Send_Program_Data(1));
    QCOMPARE(rig.unit.exchanges(Exchange::BlProgram), 10 + 3);
    QCOMPARE(int(rig.sink.bars.size()), 10);
    QCOMPARE(rig.unit.faultsInjected(), 3);
}

void TestProgrammingSim::subProcessorTransfer_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("cpu1Version");
    QTest::addColumn<int>("blocks");
    QTest::newRow("CPU-2, 10-register window") << 2 << 215 << 5120;
    QTest::newRow("HMI, 16-register window") << 3 << 245 << 2560;
}

// Boot mode, the image into CPU-1, erase, programming, each command followed by status polls;
// then the sub-processor's flash is the image.
void TestProgrammingSim::subProcessorTransfer() {
    QFETCH(int, n);
    QFETCH(int, cpu1Version);
    QFETCH(int, blocks);
    Scenario sc;
    sc.cpu1.version = static_cast<std::uint16_t>(cpu1Version);
    sc.hasHmi = true;
    SimRig rig(sc);
    QVERIFY(rig.opened);
    QCOMPARE(rig.state->PMem_Store[std::size_t(n)].Prog_Mem_Start, 0x1000u);
    QCOMPARE(rig.state->PMem_Store[std::size_t(n)].Max_Prog_Addr, 0xFFFFu);

    QCOMPARE(rig.prog.Send_MB_Upgrade_Mode(rig.link), 1);
    QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, n), 1);
    QCOMPARE(rig.waitFor(n), corvane::SubStatus::Finished);
    QVERIFY(rig.unit.inBootMode(n));

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, n), 1);
    const qint64 transferMs = clock.elapsed();
    QCOMPARE(rig.unit.exchanges(Exchange::Fn104Data), blocks);
    QCOMPARE(int(rig.sink.bars.size()), blocks);
    QCOMPARE(rig.sink.bars.back(), 100.0);
    QVERIFY(rig.prog.lastTiming().longest >= rig.prog.lastTiming().shortest);
    qInfo("%d blocks in %lld ms; longest exchange %s s, shortest %s s", blocks, transferMs,
          qPrintable(timingText(rig.prog.lastTiming().longest)),
          qPrintable(timingText(rig.prog.lastTiming().shortest)));

    QCOMPARE(rig.prog.Send_MB_Erase_Prog(rig.link, n), 1);
    QCOMPARE(rig.waitFor(n), corvane::SubStatus::Finished);
    QCOMPARE(rig.prog.Send_MB_Start_Prog(rig.link, n), 1);
    QCOMPARE(rig.waitFor(n), corvane::SubStatus::Finished);
    QVERIFY(rig.flashMatches(n));
    const auto summary = rig.unit.summary();
    QVERIFY2(summary.processors[std::size_t(n)].holdsCarriedImage, qPrintable(summary.toText()));
    QVERIFY2(summary.notes.empty(), qPrintable(summary.toText()));
}

// Five unanswered data blocks in a row end the transfer with 0; four and then an
// acknowledgement carry on. A short range keeps the run small: the unit accepts blocks
// anywhere in its range.
void TestProgrammingSim::droppedDataReplies_data() {
    QTest::addColumn<int>("dropped");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("acknowledged");
    QTest::newRow("five dropped") << 5 << 0 << 10 + 5 << 10;
    QTest::newRow("four dropped, then acknowledged") << 4 << 1 << 20 + 4 << 20;
}

void TestProgrammingSim::droppedDataReplies() {
    QFETCH(int, dropped);
    QFETCH(int, result);
    QFETCH(int, requests);
    QFETCH(int, acknowledged);
    Scenario sc;
    sc.cpu1.version = 245;
    FaultPlan plan;
    plan.faults.push_back(fault(FaultKind::DropReply, Exchange::Fn104Data, 10, dropped));
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    auto& rec = rig.state->PMem_Store[2];
    rec.Max_Prog_Addr = rec.Prog_Mem_Start + 20 * 24 - 1;

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 2), result);
    // Each dropped reply costs one time-out of 15 ticks (about 1.6 s) and the settling wait
    // before the next attempt.
    QVERIFY2(clock.elapsed() < (2000 + TVexaComms::SettleQuietMs) * dropped + 2000,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.unit.exchanges(Exchange::Fn104Data), requests);
    QCOMPARE(rig.unit.faultsInjected(), dropped);
    QCOMPARE(int(rig.sink.bars.size()), acknowledged);
    QCOMPARE(rig.sink.bars.back(), double(acknowledged * 100 / 20));
}

// Data corrupted on the way to CPU-1 makes the erase command's image CRC disagree; the unit
// reports it with bit 14 and the transfer itself had no way to know.
void TestProgrammingSim::corruptTransferIsReported() {
    Scenario sc;
    sc.cpu1.version = 245;
    sc.hasHmi = true;
    SimRig rig(sc);
    QVERIFY(rig.opened);
    QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, 3), 1);
    QCOMPARE(rig.waitFor(3), corvane::SubStatus::Finished);
    auto& rec = rig.state->PMem_Store[3];
    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 3), 1);
    rec.Mem_Data[0x8000] ^= 0x5A; // the image the CRC is taken over no longer matches
    QCOMPARE(rig.prog.Send_MB_Erase_Prog(rig.link, 3), 1);
    QCOMPARE(rig.waitFor(3), corvane::SubStatus::Corrupt);
}

QTEST_GUILESS_MAIN(TestProgrammingSim)
#include "tst_programming_sim.moc"

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
#include "serial/LinkTap.h"
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
        state->MB_FW_Slv = scenario.slaveAddress;
        state->Boot_RM_Number = c.bootRmNumber;
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

// Every byte the link writes.
class WireRecorder : public LinkTap {
public:
    void exchangeBegun(std::string_view) override {}
    void exchangeEnded(int) override {}
    void frameSent(const std::uint8_t* bytes, std::size_t written) override {
        sent.append(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(written));
    }
    void chunkReceived(const std::uint8_t*, std::size_t) override {}
    QByteArray sent;
};

// The check of the boot-mode read, with what it was asked.
struct CheckLog {
    std::vector<AnswerAfterSilence> asked;
    std::vector<bool> said;
};
RestartCheck loggedCheck(Programmer& prog, CheckLog& log) {
    return [inner = prog.bootModeRestartCheck(), &log](TVexaComms& port,
                                                       const AnswerAfterSilence& answer) {
        log.asked.push_back(answer);
        log.said.push_back(inner(port, answer));
        return log.said.back();
    };
}

// A transfer of 20 blocks of 24 bytes (16-register window): the unit takes blocks anywhere in
// its range.
constexpr int kShortBlocks = 20;
void shortenRange(SimRig& rig, int n) {
    auto& rec = rig.state->PMem_Store[std::size_t(n)];
    rec.Max_Prog_Addr = rec.Prog_Mem_Start + kShortBlocks * 24 - 1;
}

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
    void restartUnderTransfer_data();
    void restartUnderTransfer();
    void noRestartCheckWithoutSilence();
    void lostReplyAsksTheCheckOnce();
    void restartAtEraseCommand();
    void restartDuringErase();
    void bootloaderExchangesAreTapped();
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

void TestProgrammingSim::restartUnderTransfer_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("kept"); // blocks acknowledged before the dip
    QTest::addColumn<bool>("withCheck");
    QTest::newRow("CPU-2, first block") << 2 << 0 << true;
    QTest::newRow("CPU-2, middle block") << 2 << kShortBlocks / 2 << true;
    QTest::newRow("CPU-2, last block") << 2 << kShortBlocks - 1 << true;
    QTest::newRow("HMI, middle block") << 3 << kShortBlocks / 2 << true;
    // What the field unit did: every block acknowledged, the transfer "succeeds".
    QTest::newRow("CPU-2, middle block, no check") << 2 << kShortBlocks / 2 << false;
}

// The unit's supply dips under the transfer: the block that meets it and its retries go
// unanswered while the unit restarts; the first acknowledged one after them asks the check,
// whose read finds the sub-processor out of boot mode, and the transfer stops there.
void TestProgrammingSim::restartUnderTransfer() {
    QFETCH(int, n);
    QFETCH(int, kept);
    QFETCH(bool, withCheck);
    Scenario sc;
    sc.cpu1.version = 245;
    sc.hasHmi = true;
    FaultPlan plan;
    plan.powerDips.push_back({corvane::sim::DipPoint::SubData, n, kept, 300});
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    shortenRange(rig, n);
    CheckLog log;
    if (withCheck) {
        rig.prog.setRestartCheck(loggedCheck(rig.prog, log));
    }
    QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, n), 1);
    QCOMPARE(rig.waitFor(n), corvane::SubStatus::Finished);

    const int result = rig.prog.Send_MB_SendProgData2(rig.link, n);
    const int dataRequests = rig.unit.exchanges(Exchange::Fn104Data);
    QVERIFY(!rig.unit.inBootMode(n));
    if (!withCheck) {
        QCOMPARE(result, 1);
        QVERIFY(dataRequests > kShortBlocks);
        QCOMPARE(int(rig.sink.bars.size()), kShortBlocks);
        return;
    }
    QCOMPARE(result, kProgUnitRestarted);
    QCOMPARE(int(log.asked.size()), 1);
    const AnswerAfterSilence& a = log.asked[0];
    QCOMPARE(int(a.kind), int(AnswerAfterSilence::Kind::DataBlock));
    QCOMPARE(a.processor, n);
    QCOMPARE(a.block, std::uint32_t(kept));
    QCOMPARE(a.blocks, std::uint32_t(kShortBlocks));
    QVERIFY(a.unanswered >= 1);
    QCOMPARE(dataRequests, kept + a.unanswered + 1);
    // The progress stays at the last block acknowledged before the dip.
    QCOMPARE(int(rig.sink.bars.size()), kept);
    // The check's read of the RM number is the last request: nothing follows it.
    const auto trace = rig.unit.exchangeTrace();
    QCOMPARE(int(trace.back().kind), int(Exchange::ModbusRead));
    QCOMPARE(trace.back().detail, n == 2 ? QStringLiteral("reg 10") : QStringLiteral("reg 8"));
    QCOMPARE(int(trace[trace.size() - 2].kind), int(Exchange::Fn104Data));
}

// With no failed attempt the check is never asked: a transfer, the erase command and the
// status polls put the same bytes on the wire with and without it.
void TestProgrammingSim::noRestartCheckWithoutSilence() {
    QByteArray wire[2];
    for (int withCheck = 0; withCheck < 2; ++withCheck) {
        Scenario sc;
        sc.cpu1.version = 245;
        SimRig rig(sc);
        QVERIFY(rig.opened);
        shortenRange(rig, 2);
        CheckLog log;
        if (withCheck == 1) {
            rig.prog.setRestartCheck(loggedCheck(rig.prog, log));
        }
        WireRecorder recorder;
        rig.link.setTap(&recorder);
        QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, 2), 1);
        QCOMPARE(rig.waitFor(2), corvane::SubStatus::Finished);
        QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 2), 1);
        QCOMPARE(rig.prog.Send_MB_Erase_Prog(rig.link, 2), 1);
        // The image CRC covers the short range, the unit's the whole one.
        QCOMPARE(rig.waitFor(2), corvane::SubStatus::Corrupt);
        rig.link.setTap(nullptr);
        QVERIFY(log.asked.empty());
        wire[withCheck] = recorder.sent;
    }
    // Boot-mode entry, the blocks and the erase command (41 bytes each), two status reads.
    QCOMPARE(wire[0].size(), qsizetype(41 * (1 + kShortBlocks + 1) + 8 * 2));
    QCOMPARE(wire[1], wire[0]);
}

// A reply lost on the line is not a restart: the check's read finds the sub-processor still
// in boot mode (one request more than without the check) and the transfer goes on.
void TestProgrammingSim::lostReplyAsksTheCheckOnce() {
    Scenario sc;
    sc.cpu1.version = 245;
    FaultPlan plan;
    plan.faults.push_back(fault(FaultKind::DropReply, Exchange::Fn104Data, 5, 1));
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    shortenRange(rig, 2);
    CheckLog log;
    rig.prog.setRestartCheck(loggedCheck(rig.prog, log));
    QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, 2), 1);
    QCOMPARE(rig.waitFor(2), corvane::SubStatus::Finished);
    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 2), 1);
    QCOMPARE(int(log.asked.size()), 1);
    QCOMPARE(log.asked[0].block, 5u);
    QCOMPARE(log.asked[0].unanswered, 1);
    QCOMPARE(log.said[0], false);
    QCOMPARE(rig.unit.exchanges(Exchange::Fn104Data), kShortBlocks + 1);
    QCOMPARE(rig.unit.exchanges(Exchange::ModbusRead), 1);
    QCOMPARE(int(rig.sink.bars.size()), kShortBlocks);
}

// The supply dips as the erase command arrives: its retry is acknowledged by a CPU-1 that has
// restarted, and the check ends the command there instead of leaving the run to poll a status
// that never comes.
void TestProgrammingSim::restartAtEraseCommand() {
    Scenario sc;
    sc.cpu1.version = 245;
    FaultPlan plan;
    Fault cut = fault(FaultKind::PowerLoss, Exchange::Fn104Command, 1, 1);
    cut.param = 300;
    plan.faults.push_back(cut);
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    CheckLog log;
    rig.prog.setRestartCheck(loggedCheck(rig.prog, log));
    QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, 2), 1);
    QCOMPARE(rig.waitFor(2), corvane::SubStatus::Finished);
    shortenRange(rig, 2);
    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 2), 1);
    QCOMPARE(rig.prog.Send_MB_Erase_Prog(rig.link, 2), kProgUnitRestarted);
    QCOMPARE(int(log.asked.size()), 1);
    QCOMPARE(int(log.asked[0].kind), int(AnswerAfterSilence::Kind::Erase));
    QVERIFY(log.asked[0].unanswered >= 1);
    QCOMPARE(rig.unit.faultsInjected(), 1);
}

// The supply dips while CPU-2 erases: the status read after the dip answers "no news" where the
// operation showed busy before, the sign of a restart (the sub-processor, its flash partly
// erased, is back in boot mode, so its RM number cannot tell).
void TestProgrammingSim::restartDuringErase() {
    Scenario sc;
    sc.cpu1.version = 245;
    FaultPlan plan;
    plan.powerDips.push_back({corvane::sim::DipPoint::SubErase, 2, 1, 300});
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, 2), 1);
    QCOMPARE(rig.waitFor(2), corvane::SubStatus::Finished);
    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 2), 1);
    QCOMPARE(rig.prog.Send_MB_Erase_Prog(rig.link, 2), 1);
    std::array<std::uint16_t, 2> status{};
    QCOMPARE(rig.prog.Get_MB_Status_Words(rig.link, 2, status), 1);
    const auto before = corvane::decodeStatusWords(status[0], status[1]);
    QCOMPARE(before, corvane::SubStatus::Busy);
    QCOMPARE(rig.prog.Get_MB_Status_Words(rig.link, 2, status), 1); // after a lost attempt
    const auto after = corvane::decodeStatusWords(status[0], status[1]);
    QVERIFY(corvane::statusShowsRestart(before, after));
    QVERIFY(!rig.prog.subLeftBootMode(rig.link, 2));
    QCOMPARE(rig.unit.exchanges(Exchange::StatusRead), 1 + 1 + 2);
}

// What the link's tap is told of a bootloader exchange, and its result.
void TestProgrammingSim::bootloaderExchangesAreTapped() {
    struct Tap : LinkTap {
        void exchangeBegun(std::string_view kind) override { kinds << QString::fromUtf8(kind); }
        void exchangeEnded(int result) override { results << result; }
        void frameSent(const std::uint8_t*, std::size_t) override {}
        void chunkReceived(const std::uint8_t*, std::size_t) override {}
        QStringList kinds;
        QList<int> results;
    } tap;
    Scenario sc;
    sc.startInBootloader = true;
    FaultPlan plan;
    plan.faults.push_back(fault(FaultKind::DropReply, Exchange::BlModel, 0, 1));
    SimRig rig(sc, plan);
    QVERIFY(rig.opened);
    rig.link.setTap(&tap);
    QCOMPARE(rig.prog.Get_BootLoader_Ver(), (258 << 16) | 105);
    QCOMPARE(rig.prog.Get_Firmware_Ver(), int(0xFFFF0000u));
    rig.link.setTap(nullptr);
    QCOMPARE(tap.kinds, (QStringList{QStringLiteral("bootloader cmd 0x08 len 4 count 0"),
                                     QStringLiteral("bootloader cmd 0x00 len 2 count 0")}));
    QCOMPARE(tap.results, (QList<int>{1, 0}));
}

QTEST_GUILESS_MAIN(TestProgrammingSim)
#include "tst_programming_sim.moc"

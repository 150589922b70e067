// Memory-block window rules, command and data block layouts, image CRC, status decoding.

#include "programming/SubProgBlocks.h"

#include <QTest>

#include <memory>
#include <vector>

using Regs = std::vector<std::uint16_t>;
Q_DECLARE_METATYPE(Regs)
Q_DECLARE_METATYPE(corvane::SubStatus)

class TestProgrammingBlocks : public QObject {
    Q_OBJECT
private slots:
    void windowRules_data();
    void windowRules();
    void windowFromState();
    void commandBlocks_data();
    void commandBlocks();
    void dataBlocks_data();
    void dataBlocks();
    void dataBlockCount_data();
    void dataBlockCount();
    void imageCrc();
    void rangeValid_data();
    void rangeValid();
    void restartFromStatus_data();
    void restartFromStatus();
    void statusDecoding_data();
    void statusDecoding();
};

void TestProgrammingBlocks::windowRules_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("firmware");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("chunk");
    QTest::newRow("CPU-2, firmware not read") << 2 << 26 << 0 << 26 << 10 << 12;
    QTest::newRow("CPU-2, 2.15") << 2 << 26 << 215 << 26 << 10 << 12;
    QTest::newRow("CPU-2, 2.16") << 2 << 26 << 216 << 32 << 16 << 24;
    QTest::newRow("CPU-2, 2.45") << 2 << 26 << 245 << 32 << 16 << 24;
    QTest::newRow("HMI, firmware not read") << 3 << 16 << 0 << 16 << 10 << 12;
    QTest::newRow("HMI, 2.15") << 3 << 16 << 215 << 16 << 10 << 12;
    QTest::newRow("HMI, 2.16") << 3 << 16 << 216 << 16 << 16 << 24;
    QTest::newRow("HMI, top firmware word") << 3 << 16 << 65535 << 16 << 16 << 24;
}

void TestProgrammingBlocks::windowRules() {
    QFETCH(int, n);
    QFETCH(int, offset);
    QFETCH(int, firmware);
    QFETCH(int, first);
    QFETCH(int, length);
    QFETCH(int, chunk);
    const auto w = corvane::memBlockWindow(23, static_cast<std::uint16_t>(offset), n,
                                           static_cast<std::uint16_t>(firmware));
    QCOMPARE(int(w.slave), 23);
    QCOMPARE(int(w.first), first);
    QCOMPARE(int(w.length), length);
    QCOMPARE(int(w.chunk), chunk);
}

// The two windows never overlap CPU-1's control register (12) or each other.
void TestProgrammingBlocks::windowFromState() {
    auto state = std::make_unique<UnitState>();
    state->MB_MemBlk_Slv[2] = 23;
    state->MB_MemBlk_Off[2] = 26;
    state->MB_MemBlk_Slv[3] = 23;
    state->MB_MemBlk_Off[3] = 16;
    for (const std::uint16_t fw :
         {std::uint16_t(0), std::uint16_t(215), std::uint16_t(216), std::uint16_t(245)}) {
        state->FW_Version[1] = fw;
        const auto cpu2 = corvane::memBlockWindow(*state, 2);
        const auto hmi = corvane::memBlockWindow(*state, 3);
        QCOMPARE(int(hmi.first), 16);
        QCOMPARE(int(cpu2.first), int(hmi.first + hmi.length));
        QCOMPARE(cpu2.length, hmi.length);
    }
    state->FW_Version[1] = 245;
    QCOMPARE(int(corvane::memBlockWindow(*state, 2).first + 16 - 1), 47);
}

void TestProgrammingBlocks::commandBlocks_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("p1");
    QTest::addColumn<int>("p2");
    QTest::addColumn<Regs>("regs");
    QTest::newRow("boot enable, HMI, RM 258, 16 registers")
        << 16 << 0x222D << 258 << 0
        << Regs{0, 0, 0x222D, 0x0102, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5C};
    QTest::newRow("erase, 10 registers")
        << 10 << 0x1A9B << 0xBEEF << 0x0456 << Regs{0, 0, 0x1A9B, 0xBEEF, 0x0456, 0, 0, 0, 0, 0x5C};
    QTest::newRow("start programming, 10 registers")
        << 10 << 0x1997 << 0x1234 << 0x0457 << Regs{0, 0, 0x1997, 0x1234, 0x0457, 0, 0, 0, 0, 0x5C};
}

void TestProgrammingBlocks::commandBlocks() {
    QFETCH(int, length);
    QFETCH(int, code);
    QFETCH(int, p1);
    QFETCH(int, p2);
    QFETCH(Regs, regs);
    QCOMPARE(corvane::commandBlock(static_cast<std::uint16_t>(length),
                                   static_cast<std::uint16_t>(code), static_cast<std::uint16_t>(p1),
                                   static_cast<std::uint16_t>(p2)),
             regs);
}

void TestProgrammingBlocks::dataBlocks_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("reg3");
    QTest::addColumn<int>("lastData");
    // The image holds (a * 7) & 0xFF at address a, and 0x12 0x34 at 0x1000.
    QTest::newRow("first block, 12 bytes") << 10 << 0x1000u << 0 << 0x1234 << 0x464D;
    QTest::newRow("second block, 12 bytes") << 10 << 0x100Cu << 12 << 0x545B << 0x9AA1;
    QTest::newRow("second block, 24 bytes") << 16 << 0x1018u << 24 << 0xA8AF << 0x4249;
    QTest::newRow("last block of 0x1000-0xFFFF, 24 bytes")
        << 16 << 0xFFE8u << 0xEFE8 << 0x585F << 0xF2F9;
}

void TestProgrammingBlocks::dataBlocks() {
    QFETCH(int, length);
    QFETCH(quint32, address);
    QFETCH(int, offset);
    QFETCH(int, reg3);
    QFETCH(int, lastData);
    std::vector<std::uint8_t> image(65536);
    for (std::size_t a = 0; a < image.size(); ++a) {
        image[a] = static_cast<std::uint8_t>(a * 7);
    }
    image[0x1000] = 0x12;
    image[0x1001] = 0x34;
    const auto regs =
        corvane::dataBlock(static_cast<std::uint16_t>(length), image, 0x1000, address);
    QCOMPARE(int(regs.size()), length);
    QCOMPARE(int(regs[0]), 0);
    QCOMPARE(int(regs[1]), 0);
    QCOMPARE(int(regs[2]), offset);
    QCOMPARE(int(regs[3]), reg3);
    QCOMPARE(int(regs[std::size_t(length) - 2]), lastData);
    QCOMPARE(int(regs.back()), 0xA6);
}

void TestProgrammingBlocks::dataBlockCount_data() {
    QTest::addColumn<quint32>("first");
    QTest::addColumn<quint32>("last");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<quint32>("count");
    QTest::newRow("0x1000-0xFFFF by 12") << 0x1000u << 0xFFFFu << 12 << 5120u;
    QTest::newRow("0x1000-0xFFFF by 24") << 0x1000u << 0xFFFFu << 24 << 2560u;
    QTest::newRow("remainder not sent") << 0x1000u << 0x1000u + 24 << 24 << 1u;
    QTest::newRow("shorter than a chunk") << 0x1000u << 0x100Au << 12 << 0u;
    QTest::newRow("reversed range") << 0x2000u << 0x1000u << 12 << 0u;
}

void TestProgrammingBlocks::dataBlockCount() {
    QFETCH(quint32, first);
    QFETCH(quint32, last);
    QFETCH(int, chunk);
    QFETCH(quint32, count);
    QCOMPARE(corvane::dataBlockCount(first, last, static_cast<std::uint16_t>(chunk)), count);
}

// The check value of CRC-16/MODBUS over "123456789" is 0x4B37; the image CRC carries it with
// its bytes exchanged, and covers exactly Prog_Mem_Start..Max_Prog_Addr.
void TestProgrammingBlocks::imageCrc() {
    auto rec = std::make_unique<TPMem_Rec>();
    rec->Mem_Data.fill(0xEE);
    const char digits[] = "123456789";
    for (int i = 0; i < 9; ++i) {
        rec->Mem_Data[std::size_t(0x1000 + i)] = static_cast<std::uint8_t>(digits[i]);
    }
    rec->Prog_Mem_Start = 0x1000;
    rec->Max_Prog_Addr = 0x1008;
    QCOMPARE(corvane::imageCrc(*rec), std::uint16_t(0x374B));

    rec->Max_Prog_Addr = 0x1009; // one byte more changes it
    QVERIFY(corvane::imageCrc(*rec) != std::uint16_t(0x374B));
}

void TestProgrammingBlocks::rangeValid_data() {
    QTest::addColumn<quint32>("start");
    QTest::addColumn<quint32>("last");
    QTest::addColumn<bool>("valid");
    QTest::newRow("CPU-1 range") << 0x0800u << 0xFFFFu << true;
    QTest::newRow("sub-processor range") << 0x1000u << 0xFFFFu << true;
    QTest::newRow("last address unknown") << 0x1000u << 0u << false;
    QTest::newRow("start above last") << 0x2000u << 0x1FFFu << false;
    QTest::newRow("last beyond the image") << 0x1000u << 0x10000u << false;
    QTest::newRow("single address") << 0x1FFFu << 0x1FFFu << true;
}

void TestProgrammingBlocks::rangeValid() {
    QFETCH(quint32, start);
    QFETCH(quint32, last);
    QFETCH(bool, valid);
    auto rec = std::make_unique<TPMem_Rec>();
    rec->Prog_Mem_Start = start;
    rec->Max_Prog_Addr = last;
    QCOMPARE(corvane::programRangeValid(*rec), valid);
}

void TestProgrammingBlocks::statusDecoding_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("address");
    QTest::addColumn<corvane::SubStatus>("decoded");
    using S = corvane::SubStatus;
    QTest::newRow("no news") << 0 << 0 << S::NoNews;
    QTest::newRow("finished") << 0x8000 << 0 << S::Finished;
    QTest::newRow("corrupt") << 0x4000 << 0x2000 << S::Corrupt;
    QTest::newRow("finished wins over corrupt") << 0xC000 << 0 << S::Finished;
    QTest::newRow("busy with an address") << 0x0001 << 0x1200 << S::Busy;
    QTest::newRow("status 0 but an address") << 0 << 0x1000 << S::Busy;
    QTest::newRow("other high bits are busy") << 0x3FFF << 0 << S::Busy;
}

void TestProgrammingBlocks::statusDecoding() {
    QFETCH(int, status);
    QFETCH(int, address);
    QFETCH(corvane::SubStatus, decoded);
    QCOMPARE(corvane::decodeStatusWords(static_cast<std::uint16_t>(status),
                                        static_cast<std::uint16_t>(address)),
             decoded);
}

void TestProgrammingBlocks::restartFromStatus_data() {
    QTest::addColumn<corvane::SubStatus>("earlier");
    QTest::addColumn<corvane::SubStatus>("now");
    QTest::addColumn<bool>("restarted");
    using S = corvane::SubStatus;
    QTest::newRow("busy, then blank") << S::Busy << S::NoNews << true;
    QTest::newRow("no news yet, still none") << S::NoNews << S::NoNews << false;
    QTest::newRow("no news, then busy") << S::NoNews << S::Busy << false;
    QTest::newRow("busy, busy") << S::Busy << S::Busy << false;
    QTest::newRow("busy, then finished") << S::Busy << S::Finished << false;
    QTest::newRow("busy, then corrupt") << S::Busy << S::Corrupt << false;
}

void TestProgrammingBlocks::restartFromStatus() {
    QFETCH(corvane::SubStatus, earlier);
    QFETCH(corvane::SubStatus, now);
    QFETCH(bool, restarted);
    QCOMPARE(corvane::statusShowsRestart(earlier, now), restarted);
}

QTEST_GUILESS_MAIN(TestProgrammingBlocks)
#include "tst_programming_blocks.moc"

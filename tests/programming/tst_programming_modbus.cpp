// The sub-processors' Modbus exchanges on a real pseudo-terminal against a scripted device:
// the boot-enable reopen, control commands, command blocks, status words and the data
// transfer, their frames byte for byte and their retry and failure rules.

#include "LinkRig.h"

#include "common/CPU_Timer.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using progtest::Bytes;
using progtest::hex;
using progtest::reply;
using progtest::Rig;
using progtest::toHex;

namespace {

// Register words of a multiple-write request (after the byte count, before the CRC).
std::vector<std::uint16_t> requestRegs(const Bytes& req) {
    std::vector<std::uint16_t> regs;
    for (std::size_t i = 7; i + 3 < req.size(); i += 2) {
        regs.push_back(static_cast<std::uint16_t>(req[i] << 8 | req[i + 1]));
    }
    return regs;
}

std::uint16_t swappedCrc(const TPMem_Rec& rec) {
    const std::uint16_t crc = progtest::crc16(rec.Mem_Data.data() + rec.Prog_Mem_Start,
                                              rec.Max_Prog_Addr + 1 - rec.Prog_Mem_Start);
    return static_cast<std::uint16_t>((crc << 8) | (crc >> 8));
}

} // namespace

class TestProgrammingModbus : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { Timer_Init(); }
    void bootEnableReopensAt115200();
    void controlCommands_data();
    void controlCommands();
    void commandBlocks_data();
    void commandBlocks();
    void commandBlockAttempts_data();
    void commandBlockAttempts();
    void statusWords_data();
    void statusWords();
    void dataTransferFrames();
    void transferTimingFigures();
    void dataTransferFailureRules_data();
    void dataTransferFailureRules();
    void dataTransferEndsWhenLinkCloses();
};

void TestProgrammingModbus::bootEnableReopensAt115200() {
    Rig rig([](const Bytes& req, int) { return reply(progtest::writeEcho(req)); });
    rig.link.CloseComm();
    rig.link.setBaudRate(9600);
    QVERIFY(rig.link.OpenComm());

    QCOMPARE(rig.prog.Send_MB_BootEnable(rig.link), 1);
    QCOMPARE(rig.link.BaudRate(), 115200u);
    QVERIFY(rig.link.isOpen());
    const auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 1);
    QCOMPARE(toHex(sent[0]), toHex(progtest::withCrc(hex("17 67 00 0C 22 2D"))));

    // The reopened link carries the bootloader exchange that follows.
    rig.link.CloseComm();
    QCOMPARE(rig.prog.Send_MB_BootEnable(rig.link), 1);
    QVERIFY(rig.link.isOpen());

    // A port that cannot be reopened gives a failure, not an exception.
    rig.link.setCommPort(QStringLiteral("/nonexistent/tty"));
    const int r = rig.prog.Send_MB_BootEnable(rig.link);
    QVERIFY(r < 0);
    QVERIFY(!rig.link.isOpen());
}

void TestProgrammingModbus::controlCommands_data() {
    QTest::addColumn<QString>("op");
    QTest::addColumn<bool>("exception");
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<int>("result");
    QTest::newRow("upgrade mode") << "upgrade" << false << hex("17 67 00 0C 19 66 7D 4D") << 1;
    QTest::newRow("upgrade mode refused")
        << "upgrade" << true << hex("17 67 00 0C 19 66 7D 4D") << 2;
    QTest::newRow("restart") << "restart" << false << progtest::withCrc(hex("17 67 00 0C 1B C5"))
                             << 1;
}

// One request each, and the 150 ms pause after it whatever the result.
void TestProgrammingModbus::controlCommands() {
    QFETCH(QString, op);
    QFETCH(bool, exception);
    QFETCH(Bytes, request);
    QFETCH(int, result);
    Rig rig([exception](const Bytes& req, int) {
        return reply(exception ? progtest::exceptionReply(req) : progtest::writeEcho(req));
    });
    QVERIFY(rig.opened);
    QElapsedTimer clock;
    clock.start();
    const int got = op == "upgrade" ? rig.prog.Send_MB_Upgrade_Mode(rig.link)
                                    : rig.prog.Send_MB_Restart(rig.link);
    QCOMPARE(got, result);
    QVERIFY2(clock.elapsed() >= 150, qPrintable(QString::number(clock.elapsed())));
    const auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 1);
    QCOMPARE(toHex(sent[0]), toHex(request));
}

void TestProgrammingModbus::commandBlocks_data() {
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("firmware");
    QTest::newRow("boot enable, HMI, 2.45") << "boot" << 3 << 245;
    QTest::newRow("boot enable, CPU-2, 2.15") << "boot" << 2 << 215;
    QTest::newRow("erase, CPU-2, 2.45") << "erase" << 2 << 245;
    QTest::newRow("erase, HMI, firmware not read") << "erase" << 3 << 0;
    QTest::newRow("start, CPU-2, 2.16") << "start" << 2 << 216;
    QTest::newRow("start, HMI, 2.15") << "start" << 3 << 215;
}

void TestProgrammingModbus::commandBlocks() {
    QFETCH(QString, op);
    QFETCH(int, n);
    QFETCH(int, firmware);
    Rig rig([](const Bytes& req, int) { return reply(progtest::writeEcho(req)); });
    QVERIFY(rig.opened);
    rig.state->FW_Version[1] = static_cast<std::uint16_t>(firmware);
    const auto& rec = rig.state->PMem_Store[std::size_t(n)];
    const std::uint16_t rm = rig.state->New_RM_Number[std::size_t(n)];

    int r = 0;
    std::vector<std::uint16_t> expected;
    const std::size_t len = firmware >= 216 ? 16 : 10;
    expected.assign(len, 0);
    expected.back() = 0x5C;
    if (op == "boot") {
        r = rig.prog.Send_MB_BootEnable2(rig.link, n);
        expected[2] = 0x222D;
        expected[3] = rm;
    } else if (op == "erase") {
        r = rig.prog.Send_MB_Erase_Prog(rig.link, n);
        expected[2] = 0x1A9B;
        expected[3] = swappedCrc(rec);
        expected[4] = rm;
    } else {
        r = rig.prog.Send_MB_Start_Prog(rig.link, n);
        expected[2] = 0x1997;
        expected[3] = swappedCrc(rec);
        expected[4] = rm;
    }
    QCOMPARE(r, 1);
    const auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 1);
    const Bytes& req = sent[0];
    QVERIFY(progtest::crcOk(req));
    QCOMPARE(int(req.size()), int(9 + 2 * len));
    QCOMPARE(int(req[0]), 23);
    QCOMPARE(int(req[1]), 0x68);
    const int first = n == 3 ? 16 : (firmware >= 216 ? 32 : 26);
    QCOMPARE(int(req[2] << 8 | req[3]), first);
    QCOMPARE(int(req[4] << 8 | req[5]), int(len));
    QCOMPARE(int(req[6]), int(2 * len));
    QCOMPARE(requestRegs(req), expected);

    if (op == "boot" && n == 3 && firmware == 245) {
        QCOMPARE(toHex(req), toHex(hex("17 68 00 10 00 10 20 0000 0000 222D 0102"
                                       " 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000"
                                       " 005C A0 7E")));
    }
}

// Up to five attempts without a pause, stopping at the first acknowledgement.
void TestProgrammingModbus::commandBlockAttempts_data() {
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("refusals");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("result");
    QTest::newRow("boot enable, four refusals then yes") << "boot" << 4 << 5 << 1;
    QTest::newRow("boot enable, always refused") << "boot" << 99 << 5 << 2;
    QTest::newRow("erase, one refusal") << "erase" << 1 << 2 << 1;
    QTest::newRow("start, always refused") << "start" << 99 << 5 << 2;
}

void TestProgrammingModbus::commandBlockAttempts() {
    QFETCH(QString, op);
    QFETCH(int, refusals);
    QFETCH(int, requests);
    QFETCH(int, result);
    Rig rig([refusals](const Bytes& req, int index) {
        return reply(index < refusals ? progtest::exceptionReply(req, 6)
                                      : progtest::writeEcho(req));
    });
    QVERIFY(rig.opened);
    QElapsedTimer clock;
    clock.start();
    int r = 0;
    if (op == "boot") {
        r = rig.prog.Send_MB_BootEnable2(rig.link, 2);
    } else if (op == "erase") {
        r = rig.prog.Send_MB_Erase_Prog(rig.link, 2);
    } else {
        r = rig.prog.Send_MB_Start_Prog(rig.link, 3);
    }
    QCOMPARE(r, result);
    QCOMPARE(rig.peer.requestCount(), requests);
    const auto sent = progtest::requestsOf(rig.peer);
    for (const auto& req : sent) {
        QCOMPARE(toHex(req), toHex(sent[0])); // every attempt is the same block
    }
    QVERIFY(clock.elapsed() < 3000);
}

void TestProgrammingModbus::statusWords_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("firmware");
    QTest::addColumn<int>("badReplies");
    QTest::addColumn<bool>("exceptions");
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("requests");
    const Bytes cpu2 = hex("17 03 00 20 00 02 C7 37");
    QTest::newRow("CPU-2, 2.45") << 2 << 245 << 0 << true << cpu2 << 1 << 1;
    QTest::newRow("HMI, 2.15") << 3 << 215 << 0 << true
                               << progtest::withCrc(hex("17 03 00 10 00 02")) << 1 << 1;
    QTest::newRow("CPU-2, 2.15") << 2 << 215 << 0 << true
                                 << progtest::withCrc(hex("17 03 00 1A 00 02")) << 1 << 1;
    QTest::newRow("four exceptions then the words") << 2 << 245 << 4 << true << cpu2 << 1 << 5;
    QTest::newRow("five exceptions") << 2 << 245 << 5 << true << cpu2 << 2 << 5;
    QTest::newRow("five replies with a bad CRC") << 2 << 245 << 5 << false << cpu2 << -1 << 5;
}

void TestProgrammingModbus::statusWords() {
    QFETCH(int, n);
    QFETCH(int, firmware);
    QFETCH(int, badReplies);
    QFETCH(bool, exceptions);
    QFETCH(Bytes, request);
    QFETCH(int, result);
    QFETCH(int, requests);
    Rig rig([badReplies, exceptions](const Bytes& req, int index) {
        if (index < badReplies) {
            if (exceptions) {
                return reply(progtest::exceptionReply(req, 4));
            }
            Bytes bad = progtest::readReply(23, {0x8000, 0x1234});
            bad[4] ^= 0x01;
            return reply(bad);
        }
        return reply(progtest::readReply(23, {0x8000, 0x1234}));
    });
    QVERIFY(rig.opened);
    rig.state->FW_Version[1] = static_cast<std::uint16_t>(firmware);
    std::array<std::uint16_t, 2> status{0xAAAA, 0xBBBB};
    QCOMPARE(rig.prog.Get_MB_Status_Words(rig.link, n, status), result);
    QCOMPARE(rig.peer.requestCount(), requests);
    QCOMPARE(toHex(progtest::requestsOf(rig.peer)[0]), toHex(request));
    if (result == 1) {
        QCOMPARE(status[0], std::uint16_t(0x8000));
        QCOMPARE(status[1], std::uint16_t(0x1234));
    } else {
        QCOMPARE(status[0], std::uint16_t(0xAAAA));
        QCOMPARE(status[1], std::uint16_t(0xBBBB));
    }
}

// Five 24-byte blocks of CPU-2 (2.45: registers 32..47) and the image bytes inside them; a
// remainder shorter than a chunk is not sent.
void TestProgrammingModbus::dataTransferFrames() {
    Rig rig([](const Bytes& req, int) { return reply(progtest::writeEcho(req)); });
    QVERIFY(rig.opened);
    auto& rec = rig.state->PMem_Store[2];
    rec.Max_Prog_Addr = 0x1000 + 5 * 24 + 10 - 1;
    int timings = 0;
    rig.prog.setTimingObserver([&timings](const BlockTiming&) { ++timings; });

    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 2), 1);
    const auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 5);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const Bytes& req = sent[i];
        QVERIFY(progtest::crcOk(req));
        QCOMPARE(toHex(Bytes(req.begin(), req.begin() + 7)), toHex(hex("17 68 00 20 00 10 20")));
        const auto regs = requestRegs(req);
        QCOMPARE(int(regs.size()), 16);
        QCOMPARE(int(regs[0]), 0);
        QCOMPARE(int(regs[1]), 0);
        QCOMPARE(int(regs[2]), int(24 * i));
        for (std::size_t k = 0; k < 12; ++k) {
            const std::size_t a = 0x1000 + 24 * i + 2 * k;
            QCOMPARE(int(regs[3 + k]), int(rec.Mem_Data[a] << 8 | rec.Mem_Data[a + 1]));
        }
        QCOMPARE(int(regs[15]), 0xA6);
    }
    QCOMPARE(rig.sink.bars, (std::vector<double>{20, 40, 60, 80, 100}));
    QCOMPARE(timings, 5);
    const BlockTiming t = rig.prog.lastTiming();
    QVERIFY(t.shortest > 0);
    QVERIFY(t.shortest <= t.elapsed || qFuzzyCompare(t.shortest, t.elapsed));
    QVERIFY(t.elapsed <= t.longest);
    QVERIFY(t.longest < 2.0f);
    QCOMPARE(timingText(0.0123456f), QStringLiteral("0.012346"));

    // 10-register window (CPU-1 firmware not read): 12-byte blocks at register 26.
    rig.state->FW_Version[1] = 0;
    rec.Max_Prog_Addr = 0x1000 + 3 * 12 - 1;
    rig.sink.bars.clear();
    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 2), 1);
    const auto more = progtest::requestsOf(rig.peer);
    QCOMPARE(int(more.size()), 8);
    QCOMPARE(toHex(Bytes(more[7].begin(), more[7].begin() + 7)),
             toHex(hex("17 68 00 1A 00 0A 14")));
    QCOMPARE(int(requestRegs(more[7])[2]), 24);
    QCOMPARE(rig.sink.bars, (std::vector<double>{33, 66, 100}));
}

// Every block exchange is timed from just before its request to the end of its wait; the
// longest and shortest run from the start of the transfer.
void TestProgrammingModbus::transferTimingFigures() {
    Rig rig([](const Bytes& req, int) { return reply(progtest::writeEcho(req)); });
    QVERIFY(rig.opened);
    rig.state->PMem_Store[2].Max_Prog_Addr = 0x1000 + 3 * 24 - 1;
    // Counter readings in ns: transfer start, then (before send, after wait) per block.
    const std::vector<std::int64_t> readings{0, 100, 2100, 3000, 3500, 4000, 7000};
    std::size_t next = 0;
    setTimerCounter([&] { return readings[std::min(next++, readings.size() - 1)]; });
    std::vector<BlockTiming> seen;
    rig.prog.setTimingObserver([&seen](const BlockTiming& t) { seen.push_back(t); });
    const int r = rig.prog.Send_MB_SendProgData2(rig.link, 2);
    setTimerCounter({});
    QCOMPARE(r, 1);
    QCOMPARE(next, readings.size());
    QCOMPARE(int(seen.size()), 3);
    const float ns = 1e-9f;
    const float expected[3][3] = {{2000, 2000, 2000}, {500, 2000, 500}, {3000, 3000, 500}};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(seen[std::size_t(i)].elapsed, expected[i][0] * ns);
        QCOMPARE(seen[std::size_t(i)].longest, expected[i][1] * ns);
        QCOMPARE(seen[std::size_t(i)].shortest, expected[i][2] * ns);
    }
    QCOMPARE(timingText(rig.prog.lastTiming().longest), QStringLiteral("0.000003"));
}

// Failures are refusals (exception replies) here so the rule is tested without waiting for
// time-outs; the dropped-reply variant runs against the simulated unit.
void TestProgrammingModbus::dataTransferFailureRules_data() {
    QTest::addColumn<QList<int>>("refused"); // request numbers answered with an exception
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("acknowledged");
    QTest::newRow("four refusals then yes") << QList<int>{1, 2, 3, 4} << 1 << 9 << 5;
    QTest::newRow("four, yes, four again") << QList<int>{1, 2, 3, 4, 6, 7, 8, 9} << 1 << 13 << 5;
    QTest::newRow("five refusals in a row") << QList<int>{1, 2, 3, 4, 5} << 2 << 6 << 1;
    QTest::newRow("scattered refusals") << QList<int>{0, 2, 4, 6} << 1 << 9 << 5;
}

void TestProgrammingModbus::dataTransferFailureRules() {
    QFETCH(QList<int>, refused);
    QFETCH(int, result);
    QFETCH(int, requests);
    QFETCH(int, acknowledged);
    Rig rig([refused](const Bytes& req, int index) {
        return reply(refused.contains(index) ? progtest::exceptionReply(req, 6)
                                             : progtest::writeEcho(req));
    });
    QVERIFY(rig.opened);
    rig.state->PMem_Store[3].Max_Prog_Addr = 0x1000 + 5 * 24 - 1;

    QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, 3), result);
    const auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), requests);
    // Each acknowledged block moves on by one chunk; a refused one goes again unchanged.
    int expectedOffset = 0;
    for (int i = 0; i < int(sent.size()); ++i) {
        QCOMPARE(int(requestRegs(sent[std::size_t(i)])[2]), expectedOffset);
        if (!refused.contains(i)) {
            expectedOffset += 24;
        }
    }
    QCOMPARE(int(rig.sink.bars.size()), acknowledged);
    QCOMPARE(rig.sink.bars.back(), double(acknowledged * 20));
}

// Closing the link in the middle of a transfer (as the window does when it closes) ends it at
// once with a negative result instead of waiting out time-outs.
void TestProgrammingModbus::dataTransferEndsWhenLinkCloses() {
    Rig rig([](const Bytes& req, int) { return reply(progtest::writeEcho(req)); });
    QVERIFY(rig.opened);
    QTimer::singleShot(300, &rig.link, [&rig] { rig.link.CloseComm(); });
    QElapsedTimer clock;
    clock.start();
    const int r = rig.prog.Send_MB_SendProgData2(rig.link, 2);
    QVERIFY2(r < 0, qPrintable(QString::number(r)));
    QVERIFY(clock.elapsed() < 2000);
    const int sent = rig.peer.requestCount();
    QVERIFY(sent > 0);
    QVERIFY(sent < 2560);
    QVERIFY(!rig.sink.bars.empty());
    QVERIFY(rig.sink.bars.back() < 100);
}

QTEST_GUILESS_MAIN(TestProgrammingModbus)
#include "tst_programming_modbus.moc"

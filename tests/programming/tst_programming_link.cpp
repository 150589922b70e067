// The programming exchanges on a real pseudo-terminal against a scripted device: CPU-1's
// bootloader frames on the wire byte for byte, the replies they accept, the retry and failure
// rules, and what an unusable range or a closed link sends. The sub-processors' Modbus
// exchanges are in tst_programming_modbus.

#include "LinkRig.h"

#include "common/CPU_Timer.h"
#include "programming/Programmer.h"
#include "programming/SubProgBlocks.h"
#include "serial/VexaComms.h"

#include <QElapsedTimer>
#include <QTest>

using progtest::Answer;
using progtest::Bytes;
using progtest::hex;
using progtest::reply;
using progtest::Rig;
using progtest::toHex;

class TestProgrammingLink : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { Timer_Init(); }
    void bootloaderExchanges_data();
    void bootloaderExchanges();
    void bootloaderArgumentsRefused();
    void eraseAndProgramFrames();
    void eraseAndProgramRetryEachStep();
    void eraseAndProgramStopAfterThreeAttempts();
    void lateBootloaderReplyIsDiscarded();
    void unusableRangesSendNothing_data();
    void unusableRangesSendNothing();
    void closedLinkFailsAtOnce();
};

// Operation, request expected on the wire, the device's answer, the operation's result.
void TestProgrammingLink::bootloaderExchanges_data() {
    QTest::addColumn<QString>("op");
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<std::vector<Bytes>>("answer");
    QTest::addColumn<int>("result");

    const Bytes info = hex("10 02 08 04 F4 10 03");
    const Bytes model = hex("10 02 00 02 FE 10 03");
    const Bytes infoReply = hex("10 02 08 04 01 02 00 F5 FC 10 03");
    QTest::newRow("bootloader info")
        << "info" << info << std::vector<Bytes>{infoReply} << 0x010200F5;
    QTest::newRow("bootloader info in three chunks")
        << "info" << info
        << std::vector<Bytes>{hex("10 02 08"), hex("04 01 02 00"), hex("F5 FC 10 03")}
        << 0x010200F5;
    QTest::newRow("noise before the frame")
        << "info" << info << std::vector<Bytes>{hex("55 AA 10 02 08 04 01 02 00 F5 FC 10 03")}
        << 0x010200F5;
    QTest::newRow("wrong BCC") << "info" << info
                               << std::vector<Bytes>{hex("10 02 08 04 01 02 00 F5 FD 10 03")} << -1;
    QTest::newRow("body shorter than asked")
        << "info" << info << std::vector<Bytes>{hex("10 02 08 04 01 F3 10 03")} << -1;
    Bytes longReply = progtest::bootReply(0x08, 4, Bytes(240, 0x10));
    QTest::newRow("reply longer than 200 characters")
        << "info" << info << std::vector<Bytes>{longReply} << -1;

    QTest::newRow("model number") << "model" << model
                                  << std::vector<Bytes>{hex("10 02 00 02 01 02 FB 10 03")} << 258;
    QTest::newRow("model 0x1003: 10 10 03 inside the body")
        << "model" << model << std::vector<Bytes>{hex("10 02 00 02 10 10 03 EB 10 03")} << 0x1003;
    QTest::newRow("model with a BCC of 0x10")
        << "model" << model << std::vector<Bytes>{hex("10 02 00 02 EE 00 10 10 10 03")} << 0xEE00;
    QTest::newRow("model, no reply") << "model" << model << std::vector<Bytes>{} << -65536;
    QTest::newRow("model, no closing DLE ETX")
        << "model" << model << std::vector<Bytes>{hex("10 02 00 02 01 02 FB 10")} << -65536;

    QTest::newRow("disable boot mode")
        << "disable" << hex("10 02 05 01 FF 03 00 00 F8 10 03")
        << std::vector<Bytes>{progtest::bootReply(0x05, 1, {0x00})} << 1;
    QTest::newRow("disable boot mode, wrong BCC")
        << "disable" << hex("10 02 05 01 FF 03 00 00 F8 10 03")
        << std::vector<Bytes>{hex("10 02 05 01 00 FB 10 03")} << 0;
    QTest::newRow("reset") << "reset" << hex("10 02 00 00 00 10 03")
                           << std::vector<Bytes>{hex("10 02 00 00 00 10 03")} << 0;
    QTest::newRow("reset, wrong BCC") << "reset" << hex("10 02 00 00 00 10 03")
                                      << std::vector<Bytes>{hex("10 02 00 00 01 10 03")} << -2;
}

void TestProgrammingLink::bootloaderExchanges() {
    QFETCH(QString, op);
    QFETCH(Bytes, request);
    QFETCH(std::vector<Bytes>, answer);
    QFETCH(int, result);

    Rig rig([answer](const Bytes&, int) { return Answer{answer, std::chrono::milliseconds(40)}; });
    QVERIFY(rig.opened);
    int got = 0;
    if (op == "info") {
        got = rig.prog.Get_BootLoader_Ver();
    } else if (op == "model") {
        got = rig.prog.Get_Firmware_Ver();
    } else if (op == "disable") {
        got = rig.prog.Disable_Boot_Mode() ? 1 : 0;
    } else {
        got = rig.prog.Reset_Unit();
    }
    QCOMPARE(got, result);
    const auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 1);
    QCOMPARE(toHex(sent[0]), toHex(request));
}

void TestProgrammingLink::bootloaderArgumentsRefused() {
    Rig rig([](const Bytes&, int) { return reply(progtest::bootReply(0, 2, {1, 2})); });
    QVERIFY(rig.opened);
    const Bytes data(140, 0x55);
    std::array<std::uint8_t, 8> out{};
    QCOMPARE(BL_ReadData(rig.link, 0x02, 2, 132, data, 30, out), kProgRefused);
    QCOMPARE(BL_ReadData(rig.link, 0x02, 2, 10, std::span(data).first(9), 30, out), kProgRefused);
    QCOMPARE(BL_ReadData(rig.link, 0x00, 9, 0, {}, 30, out), kProgRefused);
    QTest::qWait(50);
    QCOMPARE(rig.peer.requestCount(), 0);
    // The same link still works afterwards.
    QCOMPARE(BL_ReadData(rig.link, 0x00, 2, 0, {}, 10, out), 1);
    QCOMPARE(int(out[0]), 1);
    QCOMPARE(int(out[1]), 2);
}

// A range across 0x1000 so the middle address byte 0x10 is doubled on the wire.
void TestProgrammingLink::eraseAndProgramFrames() {
    Rig rig([](const Bytes& req, int) {
        const Bytes body = progtest::unstuff(req);
        return body[0] == 0x03 ? reply(progtest::bootReply(0x03, 8, Bytes(8, 0)))
                               : reply(progtest::bootReply(0x02, 2, Bytes(2, 0)));
    });
    QVERIFY(rig.opened);
    auto& rec = rig.state->PMem_Store[1];
    rec.Prog_Mem_Start = 0x0E00;
    rec.Max_Prog_Addr = 0x11FF;

    QVERIFY(rig.prog.Erase_Program_Memory(1));
    auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 2);
    QCOMPARE(toHex(sent[0]), toHex(hex("10 02 03 08 00 0E 00 E7 10 03")));
    QCOMPARE(toHex(sent[1]), toHex(hex("10 02 03 08 00 10 10 00 E5 10 03")));
    QCOMPARE(rig.sink.bars, (std::vector<double>{50, 100}));

    rig.sink.bars.clear();
    QVERIFY(rig.prog.Send_Program_Data(1));
    sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 2 + 8);
    for (int i = 0; i < 8; ++i) {
        const Bytes body = progtest::unstuff(sent[std::size_t(2 + i)]);
        QCOMPARE(int(body.size()), 2 + 131 + 1);
        const std::uint32_t address = 0x0E00 + 128u * std::uint32_t(i);
        QCOMPARE(int(body[0]), 0x02);
        QCOMPARE(int(body[1]), 2);
        QCOMPARE(int(body[2]), int(address & 0xFF));
        QCOMPARE(int(body[3]), int(address >> 8));
        QCOMPARE(int(body[4]), 0);
        QVERIFY(std::equal(body.begin() + 5, body.begin() + 133, rec.Mem_Data.begin() + address));
        std::uint8_t sum = 0;
        for (const auto b : body) {
            sum = static_cast<std::uint8_t>(sum + b);
        }
        QCOMPARE(int(sum), 0);
    }
    QCOMPARE(rig.sink.bars, (std::vector<double>{12, 25, 37, 50, 62, 75, 87, 100}));

    // Only marked blocks go out, in ascending order; none marked sends nothing and succeeds.
    rec.Block_Used.fill(false);
    rec.Block_Used[0x22] = true;
    rec.Block_Used[0x1D] = true;
    rec.Block_Used[0x10] = true; // below the range
    QVERIFY(rig.prog.Send_Program_Data(1));
    sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 12);
    QCOMPARE(int(progtest::unstuff(sent[10])[3]), 0x0E);
    QCOMPARE(int(progtest::unstuff(sent[10])[2]), 0x80);
    QCOMPARE(int(progtest::unstuff(sent[11])[3]), 0x11);
    rec.Block_Used.fill(false);
    QVERIFY(rig.prog.Send_Program_Data(1));
    QTest::qWait(50);
    QCOMPARE(rig.peer.requestCount(), 12);
}

// An erase step or program block whose reply is lost or fails its check goes again with the
// same frame, up to three attempts; the bar only moves on success.
void TestProgrammingLink::eraseAndProgramRetryEachStep() {
    const auto good = [](const Bytes& body) {
        return body[0] == 0x03 ? reply(progtest::bootReply(0x03, 8, Bytes(8, 0)))
                               : reply(progtest::bootReply(0x02, 2, Bytes(2, 0)));
    };
    // Failures at requests 0 (first erase step), 4 and 5 (the second block, twice).
    Rig rig([&good](const Bytes& req, int index) {
        if (index == 0 || index == 4 || index == 5) {
            return reply(hex("10 02 03 08 00 10 03")); // BCC wrong
        }
        return good(progtest::unstuff(req));
    });
    QVERIFY(rig.opened);
    auto& rec = rig.state->PMem_Store[1];
    rec.Prog_Mem_Start = 0x0E00;
    rec.Max_Prog_Addr = 0x11FF;
    QVERIFY(rig.prog.Erase_Program_Memory(1));
    auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 3);
    QCOMPARE(toHex(sent[1]), toHex(sent[0]));
    QCOMPARE(rig.sink.bars, (std::vector<double>{50, 100}));

    rig.sink.bars.clear();
    QVERIFY(rig.prog.Send_Program_Data(1));
    sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 3 + 8 + 2);
    QVERIFY(toHex(sent[4]) != toHex(sent[3]));
    QCOMPARE(toHex(sent[5]), toHex(sent[4]));
    QCOMPARE(toHex(sent[6]), toHex(sent[4]));
    QVERIFY(toHex(sent[7]) != toHex(sent[6]));
    QCOMPARE(rig.sink.bars, (std::vector<double>{12, 25, 37, 50, 62, 75, 87, 100}));
}

// Three failed attempts on the same step end the loop: nothing more is sent.
void TestProgrammingLink::eraseAndProgramStopAfterThreeAttempts() {
    Rig rig([](const Bytes& req, int index) {
        const Bytes body = progtest::unstuff(req);
        if ((index >= 2 && index <= 4) || index >= 6) {
            return reply(hex("10 02 03 08 00 10 03")); // BCC wrong
        }
        return body[0] == 0x03 ? reply(progtest::bootReply(0x03, 8, Bytes(8, 0)))
                               : reply(progtest::bootReply(0x02, 2, Bytes(2, 0)));
    });
    QVERIFY(rig.opened);
    QVERIFY(!rig.prog.Erase_Program_Memory(1));
    auto sent = progtest::requestsOf(rig.peer);
    QCOMPARE(int(sent.size()), 5);
    QCOMPARE(toHex(sent[3]), toHex(sent[2]));
    QCOMPARE(toHex(sent[4]), toHex(sent[2]));
    QCOMPARE(rig.sink.bars, (std::vector<double>{0, 1}));

    rig.sink.bars.clear();
    QVERIFY(!rig.prog.Send_Program_Data(1));
    QTest::qWait(50);
    QCOMPARE(rig.peer.requestCount(), 5 + 1 + 3);
    QCOMPARE(rig.sink.bars, (std::vector<double>{0}));
}

// The first query's reply arrives 900 ms late, after the exchange gave up (5 ticks); the next
// query is answered by its own reply, not taken by the late one.
void TestProgrammingLink::lateBootloaderReplyIsDiscarded() {
    Rig rig([](const Bytes&, int index) {
        if (index == 0) {
            Answer late{{Bytes{}, progtest::bootReply(0x00, 2, Bytes{0x11, 0x11})}, {}};
            late.pause = std::chrono::milliseconds(900);
            return late;
        }
        return reply(progtest::bootReply(0x00, 2, Bytes{0x0F, 0xA1}));
    });
    QVERIFY(rig.opened);
    std::array<std::uint8_t, 2> model{};
    QCOMPARE(BL_ReadData(rig.link, 0x00, 2, 0, {}, 5, model), 0);
    QCOMPARE(BL_ReadData(rig.link, 0x00, 2, 0, {}, 10, model), 1);
    QCOMPARE(int(model[0] << 8 | model[1]), 0x0FA1);
    QCOMPARE(rig.peer.requestCount(), 2);
}

void TestProgrammingLink::unusableRangesSendNothing_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<quint32>("start");
    QTest::addColumn<quint32>("last");
    QTest::newRow("last address not known") << 1 << 0x0800u << 0u;
    QTest::newRow("start above last") << 1 << 0x2000u << 0x1FFFu;
    QTest::newRow("last beyond 65535") << 1 << 0x0800u << 0x1FFFFu;
    QTest::newRow("processor 0") << 0 << 0x0800u << 0xFFFFu;
    QTest::newRow("processor 4") << 4 << 0x0800u << 0xFFFFu;
    QTest::newRow("sub-processor, last not known") << 2 << 0x1000u << 0u;
    QTest::newRow("sub-processor, start above last") << 3 << 0x1000u << 0x0FFFu;
}

void TestProgrammingLink::unusableRangesSendNothing() {
    QFETCH(int, n);
    QFETCH(quint32, start);
    QFETCH(quint32, last);
    Rig rig([](const Bytes& req, int) {
        return req[0] == 0x10 ? reply(progtest::bootReply(0x03, 8, Bytes(8, 0)))
                              : reply(progtest::writeEcho(req));
    });
    QVERIFY(rig.opened);
    const std::size_t i = (n >= 1 && n <= 3) ? std::size_t(n) : 1;
    rig.state->PMem_Store[i].Prog_Mem_Start = start;
    rig.state->PMem_Store[i].Max_Prog_Addr = last;

    if (n <= 1 || n >= 4) {
        QVERIFY(!rig.prog.Erase_Program_Memory(n));
        QVERIFY(!rig.prog.Send_Program_Data(n));
    }
    if (n != 1) {
        QCOMPARE(rig.prog.Send_MB_BootEnable2(rig.link, n), kProgRefused);
        QCOMPARE(rig.prog.Send_MB_Erase_Prog(rig.link, n), kProgRefused);
        QCOMPARE(rig.prog.Send_MB_Start_Prog(rig.link, n), kProgRefused);
        QCOMPARE(rig.prog.Send_MB_SendProgData2(rig.link, n), kProgRefused);
    }
    QTest::qWait(50);
    QCOMPARE(rig.peer.requestCount(), 0);
    QVERIFY(rig.sink.bars.empty());
}

// Every operation on a closed link fails at once with its failure value.
void TestProgrammingLink::closedLinkFailsAtOnce() {
    Rig rig([](const Bytes& req, int) { return reply(progtest::writeEcho(req)); });
    QVERIFY(rig.opened);
    rig.link.CloseComm();
    QElapsedTimer clock;
    clock.start();
    std::array<std::uint8_t, 2> out{};
    QVERIFY(BL_ReadData(rig.link, 0x00, 2, 0, {}, 10, out) < 0);
    QCOMPARE(rig.prog.Get_Firmware_Ver(), -65536);
    QCOMPARE(rig.prog.Get_BootLoader_Ver(), -1);
    QVERIFY(!rig.prog.Erase_Program_Memory(1));
    QVERIFY(!rig.prog.Send_Program_Data(1));
    QVERIFY(!rig.prog.Disable_Boot_Mode());
    QVERIFY(rig.prog.Reset_Unit() < -1);
    QVERIFY(rig.prog.Send_MB_BootEnable2(rig.link, 2) < 0);
    QVERIFY(rig.prog.Send_MB_Erase_Prog(rig.link, 3) < 0);
    QVERIFY(rig.prog.Send_MB_Start_Prog(rig.link, 3) < 0);
    QVERIFY(rig.prog.Send_MB_SendProgData2(rig.link, 2) < 0);
    std::array<std::uint16_t, 2> status{7, 7};
    QVERIFY(rig.prog.Get_MB_Status_Words(rig.link, 2, status) < 0);
    QCOMPARE(status[0], std::uint16_t(7));
    QVERIFY(rig.prog.Send_MB_Restart(rig.link) < 0); // still pauses 150 ms
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(rig.sink.bars.empty());
    QTest::qWait(50);
    QCOMPARE(rig.peer.requestCount(), 0);
}

QTEST_GUILESS_MAIN(TestProgrammingLink)
#include "tst_programming_link.moc"

// The programming exchanges on a real pseudo-terminal against a scripted device: the frames on
// the wire byte for byte, the replies they accept, and the retry and failure rules.

#include "ProgTestRig.h"
#include "UnitReplies.h"

#include "common/CPU_Timer.h"
#include "programming/Programmer.h"
#include "programming/SubProgBlocks.h"
#include "serial/VexaComms.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <memory>

using progtest::Answer;
using progtest::Bytes;
using progtest::hex;
using progtest::toHex;

Q_DECLARE_METATYPE(progtest::Bytes)
Q_DECLARE_METATYPE(std::vector<progtest::Bytes>)

namespace {

Answer reply(const Bytes& b) {
    return Answer{{b}, {}};
}

// A link, a device script and a programmer over the unit state this build configures.
struct Rig {
    explicit Rig(progtest::Responder responder, std::uint32_t interval = 10)
        : peer(progtest::peerScript(std::move(responder)), progtest::frameLength)
        , state(progtest::configuredState())
        , prog(link, *state, &sink) {
        link.setCommPort(peer.devicePath());
        link.setBaudRate(115200);
        link.setRxBufferSize(0x4000);
        link.setInterCharTimeOut(interval);
        opened = link.OpenComm();
    }

    corvane::testsupport::ScriptedSerialPeer peer;
    TVexaComms link;
    std::unique_ptr<UnitState> state;
    progtest::RecordingSink sink;
    Programmer prog;
    bool opened = false;
};

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

void TestProgrammingLink::bootEnableReopensAt115200() {
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

void TestProgrammingLink::controlCommands_data() {
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
void TestProgrammingLink::controlCommands() {
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

void TestProgrammingLink::commandBlocks_data() {
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

void TestProgrammingLink::commandBlocks() {
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
void TestProgrammingLink::commandBlockAttempts_data() {
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("refusals");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("result");
    QTest::newRow("boot enable, four refusals then yes") << "boot" << 4 << 5 << 1;
    QTest::newRow("boot enable, always refused") << "boot" << 99 << 5 << 2;
    QTest::newRow("erase, one refusal") << "erase" << 1 << 2 << 1;
    QTest::newRow("start, always refused") << "start" << 99 << 5 << 2;
}

void TestProgrammingLink::commandBlockAttempts() {
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

void TestProgrammingLink::statusWords_data() {
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

void TestProgrammingLink::statusWords() {
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
void TestProgrammingLink::dataTransferFrames() {
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
void TestProgrammingLink::transferTimingFigures() {
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
void TestProgrammingLink::dataTransferFailureRules_data() {
    QTest::addColumn<QList<int>>("refused"); // request numbers answered with an exception
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("acknowledged");
    QTest::newRow("four refusals then yes") << QList<int>{1, 2, 3, 4} << 1 << 9 << 5;
    QTest::newRow("four, yes, four again") << QList<int>{1, 2, 3, 4, 6, 7, 8, 9} << 1 << 13 << 5;
    QTest::newRow("five refusals in a row") << QList<int>{1, 2, 3, 4, 5} << 2 << 6 << 1;
    QTest::newRow("scattered refusals") << QList<int>{0, 2, 4, 6} << 1 << 9 << 5;
}

void TestProgrammingLink::dataTransferFailureRules() {
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
void TestProgrammingLink::dataTransferEndsWhenLinkCloses() {
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

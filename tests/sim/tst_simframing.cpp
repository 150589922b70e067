// The simulated unit's own framing: CRC, RTU request assembly, bootloader DLE framing and the
// fault options of the command line.

#include "DeviceFraming.h"
#include "ScenarioOptions.h"
#include "SimTestSupport.h"
#include "SimulatedUnit.h"
#include "UnitModel.h"

#include <QTest>

#include <random>

using namespace corvane::sim;

namespace {

Bytes hex(const char* text) {
    Bytes out;
    const QByteArray raw = QByteArray::fromHex(QByteArray(text).replace(' ', ""));
    for (char c : raw) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    return out;
}

} // namespace

class TestSimFraming : public QObject {
    Q_OBJECT
private slots:
    void crcMatchesKnownFrames_data();
    void crcMatchesKnownFrames();
    void assemblerFindsFramesInAnyPieces_data();
    void assemblerFindsFramesInAnyPieces();
    void assemblerSurvivesGarbage();
    void assemblerUnknownFunctionEndsAtIdle();
    void assemblerRequestInTwoReads_data();
    void assemblerRequestInTwoReads();
    void assemblerFrameInProgressWaitsForQuiet();
    void unitAnswersRequestInTwoReads();
    void bootFrameEncoding_data();
    void bootFrameEncoding();
    void bootParser_data();
    void bootParser();
    void faultOptionTexts_data();
    void faultOptionTexts();
    void powerDipOptionTexts_data();
    void powerDipOptionTexts();
};

void TestSimFraming::crcMatchesKnownFrames_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value") << QByteArray("123456789") << 0x4B37;
    QTest::newRow("empty") << QByteArray() << 0xFFFF;
    // Frames quoted with their CRC bytes (low byte first on the wire).
    QTest::newRow("upgrade mode") << QByteArray::fromHex("1767000C1966") << 0x4D7D;
    QTest::newRow("status read CPU-2") << QByteArray::fromHex("170300200002") << 0x37C7;
}

void TestSimFraming::crcMatchesKnownFrames() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    QCOMPARE(crc16(std::span<const std::uint8_t>(p, static_cast<std::size_t>(bytes.size()))),
             static_cast<std::uint16_t>(crc));
}

void TestSimFraming::assemblerFindsFramesInAnyPieces_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("frames");
    const QByteArray read = QByteArray::fromHex("170300000002C6FD");
    const QByteArray hmiBoot = QByteArray::fromHex(
        QByteArray(
            "176800100010200000000022 2D010200000000000000000000000000000000000000000000005CA07E")
            .replace(' ', ""));
    QTest::newRow("whole") << read << 100 << 1;
    QTest::newRow("byte by byte") << read << 1 << 1;
    QTest::newRow("three pieces") << read << 3 << 1;
    QTest::newRow("41-byte block in pieces") << hmiBoot << 7 << 1;
    QTest::newRow("noise in front") << (QByteArray::fromHex("FF17AA0310") + read) << 4 << 1;
    QTest::newRow("two frames back to back") << (read + hmiBoot) << 5 << 2;
    QTest::newRow("bad CRC then good")
        << (QByteArray::fromHex("170300000002C6FE") + read) << 8 << 1;
}

void TestSimFraming::assemblerFindsFramesInAnyPieces() {
    QFETCH(QByteArray, stream);
    QFETCH(int, pieceSize);
    QFETCH(int, frames);
    RtuAssembler a(std::uint8_t{0x17}); // as the unit has it: its own address
    int found = 0;
    for (qsizetype i = 0; i < stream.size(); i += pieceSize) {
        const QByteArray piece = stream.mid(i, pieceSize);
        const auto got = a.feed(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(piece.constData()),
                                          static_cast<std::size_t>(piece.size())));
        for (const Bytes& f : got) {
            QVERIFY(crcOk(f));
            QCOMPARE(f.front(), std::uint8_t{0x17});
        }
        found += static_cast<int>(got.size());
    }
    QCOMPARE(found, frames);
}

void TestSimFraming::assemblerSurvivesGarbage() {
    RtuAssembler a;
    std::mt19937 rng(7);
    Bytes garbage(20000);
    for (auto& b : garbage) {
        b = static_cast<std::uint8_t>(rng());
    }
    int spurious = 0;
    for (std::size_t i = 0; i < garbage.size(); i += 13) {
        const std::size_t n = std::min<std::size_t>(13, garbage.size() - i);
        spurious +=
            static_cast<int>(a.feed(std::span<const std::uint8_t>(garbage).subspan(i, n)).size());
        QVERIFY(a.buffered() <= RtuAssembler::kMaxBuffer);
    }
    // A chance CRC match in random bytes is possible but rare; the buffer stays bounded and a
    // valid request afterwards is still found: at once, or when the line goes quiet if garbage
    // before it looks like a frame still in progress (then it is the last frame found).
    QVERIFY(spurious < 3);
    const Bytes read = hex("170300000002C6FD");
    auto frames = a.feed(read);
    if (frames.empty()) {
        frames = a.idle(false);
    }
    QVERIFY(!frames.empty());
    QCOMPARE(frames.back(), read);
    QCOMPARE(a.buffered(), std::size_t{0});
}

void TestSimFraming::assemblerUnknownFunctionEndsAtIdle() {
    RtuAssembler a;
    const Bytes odd = simtest::withCrc({0x17, 0x41, 0x01, 0x02});
    QVERIFY(a.feed(odd).empty()); // length unknown: wait for the quiet line
    const auto frames = a.idle(false);
    QCOMPARE(frames.size(), std::size_t{1});
    QCOMPARE(frames.front(), odd);
    QCOMPARE(a.buffered(), std::size_t{0});

    // A frame that may still be completed is kept at idle and dropped when stale.
    QVERIFY(a.feed(hex("17030000")).empty());
    QVERIFY(a.idle(false).empty());
    QCOMPARE(a.buffered(), std::size_t{4});
    QCOMPARE(a.feed(hex("0002C6FD")).size(), std::size_t{1});
    QVERIFY(a.feed(hex("170300")).empty());
    QVERIFY(a.idle(true).empty());
    QCOMPARE(a.buffered(), std::size_t{0});
}

// A write of 6 registers whose data holds an 8-byte window with a valid CRC of its own
// (FF 02 11 11 B1 13 0D 70, bytes 8..15): cut after byte 16, the first read must not yield it.
const char* const kWindowedWrite = "17 10 84 06 00 06 0C 84 FF 02 11 11 B1 13 0D 70 75 00 00 02 98";

void TestSimFraming::assemblerRequestInTwoReads_data() {
    QTest::addColumn<bool>("withAddress");
    QTest::addColumn<int>("cut");
    for (const bool address : {false, true}) {
        for (const int cut : {16, 15, 10, 1, 20}) {
            const QByteArray name =
                (address ? "address, cut " : "any address, cut ") + QByteArray::number(cut);
            QTest::newRow(name.constData()) << address << cut;
        }
    }
}

void TestSimFraming::assemblerRequestInTwoReads() {
    QFETCH(bool, withAddress);
    QFETCH(int, cut);
    const Bytes request = hex(kWindowedWrite);
    QVERIFY(crcOk(request));
    QVERIFY(crcOk(std::span<const std::uint8_t>(request).subspan(8, 8))); // the trap is real
    RtuAssembler a = withAddress ? RtuAssembler(std::uint8_t{0x17}) : RtuAssembler();
    const auto whole = std::span<const std::uint8_t>(request);
    QVERIFY(a.feed(whole.first(static_cast<std::size_t>(cut))).empty());
    const auto frames = a.feed(whole.subspan(static_cast<std::size_t>(cut)));
    QCOMPARE(frames.size(), std::size_t{1});
    QCOMPARE(frames.front(), request);
    QCOMPARE(a.buffered(), std::size_t{0});
}

void TestSimFraming::assemblerFrameInProgressWaitsForQuiet() {
    // The first piece alone, then the line goes quiet: the request is broken, and the frame
    // inside it is all there is.
    const Bytes request = hex(kWindowedWrite);
    RtuAssembler a;
    QVERIFY(a.feed(std::span<const std::uint8_t>(request).first(16)).empty());
    const auto frames = a.idle(false);
    QCOMPARE(frames.size(), std::size_t{1});
    QCOMPARE(frames.front(), hex("FF 02 11 11 B1 13 0D 70"));

    // Without an address every start counts: noise that looks like a long frame in progress
    // holds a read back until the line is quiet; with the unit's address it does not.
    const Bytes noisy = hex("FF 17 AA 03 10 17 03 00 00 00 02 C6 FD");
    RtuAssembler any;
    QVERIFY(any.feed(noisy).empty());
    const auto late = any.idle(false);
    QCOMPARE(late.size(), std::size_t{1});
    QCOMPARE(late.front(), hex("17 03 00 00 00 02 C6 FD"));
    RtuAssembler own(std::uint8_t{0x17});
    QCOMPARE(own.feed(noisy).size(), std::size_t{1});

    // A frame held back is taken once the one in progress fails its CRC.
    RtuAssembler held;
    Bytes broken = request;
    broken.back() ^= 0xFF;
    QVERIFY(held.feed(std::span<const std::uint8_t>(broken).first(16)).empty());
    const auto after = held.feed(std::span<const std::uint8_t>(broken).subspan(16));
    QCOMPARE(after.size(), std::size_t{1});
    QCOMPARE(after.front(), hex("FF 02 11 11 B1 13 0D 70"));
}

void TestSimFraming::unitAnswersRequestInTwoReads() {
    // The unit itself: the register is not in its map, so the answer is exception 02, and an
    // answer at all shows the request was taken whole.
    const CarriedFirmware carried = readCarriedFirmware(defaultBuildDataFolder());
    const Scenario scenario = resolveScenario(Scenario{}, carried);
    QCOMPARE(scenario.slaveAddress, std::uint8_t{0x17});
    const TimePoint now = Clock::now();
    UnitModel unit(scenario, FaultPlan{}, carried, now);
    const Bytes request = hex(kWindowedWrite);
    const auto whole = std::span<const std::uint8_t>(request);
    QVERIFY(unit.serialBytes(whole.first(16), now).empty());
    const auto out = unit.serialBytes(whole.subspan(16), now);
    QCOMPARE(out.size(), std::size_t{1});
    QCOMPARE(out.front().bytes, simtest::withCrc({0x17, 0x90, 0x02}));
}

void TestSimFraming::bootFrameEncoding_data() {
    QTest::addColumn<int>("cmd");
    QTest::addColumn<int>("len");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("info request") << 0x08 << 4 << QByteArray()
                                  << QByteArray::fromHex("1002 0804F4 1003");
    QTest::newRow("info reply") << 0x08 << 4 << QByteArray::fromHex("010200F5")
                                << QByteArray::fromHex("1002 0804010200F5FC 1003");
    QTest::newRow("boot mode off") << 0x05 << 1 << QByteArray::fromHex("FF030000")
                                   << QByteArray::fromHex("1002 0501FF030000F8 1003");
    QTest::newRow("DLE in the body") << 0x03 << 8 << QByteArray::fromHex("001000")
                                     << QByteArray::fromHex("1002 030800101000E5 1003");
    QTest::newRow("BCC is DLE") << 0x00 << 0xF0 << QByteArray()
                                << QByteArray::fromHex("1002 00F01010 1003");
}

void TestSimFraming::bootFrameEncoding() {
    QFETCH(int, cmd);
    QFETCH(int, len);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, wire);
    const Bytes d(data.begin(), data.end());
    const Bytes got =
        encodeBootFrame(static_cast<std::uint8_t>(cmd), static_cast<std::uint8_t>(len), d);
    QCOMPARE(
        QByteArray(reinterpret_cast<const char*>(got.data()), static_cast<qsizetype>(got.size())),
        wire);
    // The parser gives the body back.
    BootFrameParser p;
    const auto bodies = p.feed(got);
    QCOMPARE(bodies.size(), std::size_t{1});
    QVERIFY(bodySumOk(bodies.front()));
    QCOMPARE(bodies.front().size(), d.size() + 3);
}

void TestSimFraming::bootParser_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("bodies");
    QTest::addColumn<QByteArray>("firstBody");
    QTest::newRow("plain") << QByteArray::fromHex("10020804F41003") << 1
                           << QByteArray::fromHex("0804F4");
    QTest::newRow("noise before") << QByteArray::fromHex("0003FF10AA10020804F41003") << 1
                                  << QByteArray::fromHex("0804F4");
    QTest::newRow("doubled DLE before ETX-like byte")
        << QByteArray::fromHex("1002 0308 10100300 E2 1003") << 1
        << QByteArray::fromHex("03081003 00E2");
    QTest::newRow("restart on DLE STX")
        << QByteArray::fromHex("1002 0804 1002 0804F4 1003") << 1 << QByteArray::fromHex("0804F4");
    QTest::newRow("DLE then junk drops the frame")
        << QByteArray::fromHex("1002 0804 1055 F41003") << 0 << QByteArray();
    QTest::newRow("two frames") << QByteArray::fromHex("10020804F4100310020002FE1003") << 2
                                << QByteArray::fromHex("0804F4");
}

void TestSimFraming::bootParser() {
    QFETCH(QByteArray, stream);
    QFETCH(int, bodies);
    QFETCH(QByteArray, firstBody);
    BootFrameParser p;
    std::vector<Bytes> got;
    for (char c : stream) { // one byte at a time: the hardest split
        const std::uint8_t b = static_cast<std::uint8_t>(c);
        auto more = p.feed(std::span<const std::uint8_t>(&b, 1));
        got.insert(got.end(), more.begin(), more.end());
    }
    QCOMPARE(static_cast<int>(got.size()), bodies);
    if (bodies > 0) {
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(got.front().data()),
                            static_cast<qsizetype>(got.front().size())),
                 firstBody);
    }
}

void TestSimFraming::faultOptionTexts_data() {
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("on");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("param");
    QTest::newRow("drop any") << "drop" << true << int(FaultKind::DropReply) << int(Exchange::Any)
                              << 0 << 1 << 0;
    QTest::newRow("power loss after 10 blocks")
        << "power-loss:bl-program,after=10,param=500" << true << int(FaultKind::PowerLoss)
        << int(Exchange::BlProgram) << 10 << 1 << 500;
    QTest::newRow("status fault defaults to commands")
        << "stuck-busy" << true << int(FaultKind::StuckBusy) << int(Exchange::Fn104Command) << 0
        << 1 << 0;
    QTest::newRow("exception with code")
        << "exception:modbus-read,count=3,param=6" << true << int(FaultKind::ExceptionReply)
        << int(Exchange::ModbusRead) << 0 << 3 << 6;
    QTest::newRow("unknown kind") << "melt" << false << 0 << 0 << 0 << 0 << 0;
    QTest::newRow("unknown exchange") << "drop:fn105" << false << 0 << 0 << 0 << 0 << 0;
    QTest::newRow("negative count") << "drop,count=-1" << false << 0 << 0 << 0 << 0 << 0;
    QTest::newRow("probability out of range") << "drop,p=1.5" << false << 0 << 0 << 0 << 0 << 0;
    QTest::newRow("unknown setting") << "drop,often=2" << false << 0 << 0 << 0 << 0 << 0;
}

void TestSimFraming::faultOptionTexts() {
    QFETCH(QString, faultText);
    QFETCH(bool, valid);
    QString why;
    const auto f = parseFault(faultText, &why);
    QCOMPARE(f.has_value(), valid);
    if (!valid) {
        QVERIFY(!why.isEmpty());
        return;
    }
    QFETCH(int, kind);
    QFETCH(int, on);
    QFETCH(int, after);
    QFETCH(int, count);
    QFETCH(int, param);
    QCOMPARE(int(f->kind), kind);
    QCOMPARE(int(f->on), on);
    QCOMPARE(f->after, after);
    QCOMPARE(f->count, count);
    QCOMPARE(f->param, param);
}

void TestSimFraming::powerDipOptionTexts_data() {
    QTest::addColumn<QString>("dipText");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("point");
    QTest::addColumn<int>("processor");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("restartMs");
    QTest::newRow("CPU-2 data") << "cpu2-data=1280" << true << int(DipPoint::SubData) << 2 << 1280
                                << 2000;
    QTest::newRow("HMI data, first block, short restart")
        << "hmi-data=0,restart=300" << true << int(DipPoint::SubData) << 3 << 0 << 300;
    QTest::newRow("CPU-2 erase: after one status read")
        << "cpu2-erase" << true << int(DipPoint::SubErase) << 2 << 1 << 2000;
    QTest::newRow("HMI programming, third read")
        << "hmi-program=2" << true << int(DipPoint::SubProgram) << 3 << 2 << 2000;
    QTest::newRow("CPU-1 bootloader blocks") << "cpu1-program=100,restart=2500" << true
                                             << int(DipPoint::Cpu1Program) << 1 << 100 << 2500;
    QTest::newRow("CPU-1 erase steps")
        << "cpu1-erase=3" << true << int(DipPoint::Cpu1Erase) << 1 << 3 << 2000;
    QTest::newRow("data without a count") << "cpu2-data" << false << 0 << 0 << 0 << 0;
    QTest::newRow("unknown point") << "cpu3-data=1" << false << 0 << 0 << 0 << 0;
    QTest::newRow("negative count") << "hmi-data=-1" << false << 0 << 0 << 0 << 0;
    QTest::newRow("bad restart") << "hmi-data=1,restart=soon" << false << 0 << 0 << 0 << 0;
    QTest::newRow("unknown setting") << "hmi-data=1,count=2" << false << 0 << 0 << 0 << 0;
}

void TestSimFraming::powerDipOptionTexts() {
    QFETCH(QString, dipText);
    QFETCH(bool, valid);
    QString why;
    const auto dip = parsePowerDip(dipText, &why);
    QCOMPARE(dip.has_value(), valid);

    // The same text through the command line of corvane-sim and --simulate.
    const ScenarioOptions options;
    QCommandLineParser parser;
    parser.addOptions(options.options());
    QVERIFY(parser.parse({QStringLiteral("sim"), QStringLiteral("--power-dip"), dipText}));
    Scenario scenario;
    FaultPlan plan;
    QString error;
    QCOMPARE(options.read(parser, scenario, plan, &error), valid);
    if (!valid) {
        QVERIFY(!why.isEmpty());
        QVERIFY(error.contains(why));
        return;
    }
    QFETCH(int, point);
    QFETCH(int, processor);
    QFETCH(int, after);
    QFETCH(int, restartMs);
    QCOMPARE(int(dip->point), point);
    QCOMPARE(dip->processor, processor);
    QCOMPARE(dip->after, after);
    QCOMPARE(dip->restartMs, restartMs);
    QCOMPARE(plan.powerDips.size(), std::size_t{1});
    QCOMPARE(plan.powerDips[0].after, after);
    // The text it is written back as reads as the same dip.
    const auto again = parsePowerDip(powerDipText(*dip));
    QVERIFY(again.has_value());
    QCOMPARE(int(again->point), point);
    QCOMPARE(again->processor, processor);
    QCOMPARE(again->after, after);
    QCOMPARE(again->restartMs, restartMs);
}

QTEST_APPLESS_MAIN(TestSimFraming)
#include "tst_simframing.moc"

// The simulated unit on a real pseudo-terminal, driven byte by byte by a scripted master.

#include "SimTestSupport.h"
#include "SimulatedUnit.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

using namespace corvane::sim;
using namespace simtest;

namespace {

constexpr std::uint8_t kSlave = 23;

} // namespace

class TestSimUnit : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void identification_data();
    void identification();
    void requestsAndAnswers_data();
    void requestsAndAnswers();
    void ignoresOtherSlavesAndBadCrc();
    void piecewiseMasterAndGarbage();
    void portClosedAndReopened();
    void bootloaderHandOver();
    void cpu1Programming_data();
    void cpu1Programming();
    void cpu1RestartDecides_data();
    void cpu1RestartDecides();
    void bootloaderRefusals();
    void hmiEnterBootModeBlock();
    void subProcessorProgramming_data();
    void subProcessorProgramming();
    void subProcessorRefusals();
    void silentAndAbsentSubProcessors();
    void timingModelReducedScale();

private:
    Scenario base() const {
        Scenario s;
        s.buildData = m_dir.path();
        return s;
    }

    QTemporaryDir m_dir;
};

void TestSimUnit::initTestCase() {
    QVERIFY(m_dir.isValid());
    writeBuildData(m_dir.path());
}

void TestSimUnit::identification_data() {
    QTest::addColumn<int>("variant");
    QTest::addColumn<QList<int>>("expected"); // registers 0, 1, 8, 9, 10, 11
    QTest::newRow("outdated unit") << 0 << QList<int>{4001, 215, 3200, 105, 3100, 100};
    QTest::newRow("product without HMI") << 1 << QList<int>{4002, 245, 0, 0, 3100, 100};
    QTest::newRow("silent CPU-2") << 2 << QList<int>{4001, 215, 3200, 105, 0, 0};
    QTest::newRow("HMI in boot mode") << 3 << QList<int>{4001, 215, 999, 0, 3100, 100};
    QTest::newRow("other numbers") << 4 << QList<int>{1234, 216, 77, 101, 88, 199};
}

void TestSimUnit::identification() {
    QFETCH(int, variant);
    QFETCH(QList<int>, expected);
    Scenario s = base();
    switch (variant) {
    case 1:
        s.cpu1 = {4002, 245, false, false};
        break;
    case 2:
        s.cpu2.silent = true;
        break;
    case 3:
        s.hmi.inBootMode = true;
        break;
    case 4:
        s.cpu1 = {1234, 216, false, false};
        s.hmi = {77, 101, false, false};
        s.cpu2 = {88, 199, false, false};
        break;
    default:
        break;
    }
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    QVERIFY(m.isOpen());
    const auto id = readRegisters(m, 0, 2);
    const auto others = readRegisters(m, 8, 4);
    QCOMPARE(id.size(), std::size_t{2});
    QCOMPARE(others.size(), std::size_t{4});
    const QList<int> got{id[0], id[1], others[0], others[1], others[2], others[3]};
    QCOMPARE(got, expected);
    QCOMPARE(unit.reportedRm(1), std::uint16_t(expected[0]));
    QCOMPARE(unit.reportedRm(2), std::uint16_t(expected[4]));
    QCOMPARE(unit.exchanges(Exchange::ModbusRead), 2);
}

void TestSimUnit::requestsAndAnswers_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    auto row = [](const char* name, const Bytes& req, const Bytes& rep) {
        QTest::newRow(name) << qb(req) << qb(rep);
    };
    row("read identification", readRequest(23, 0, 2), withCrc(fromHex("1703040FA100D7")));
    row("read control and reserved registers", readRequest(23, 12, 4),
        withCrc(fromHex("170308 0000 0000 0000 0000")));
    row("upgrade mode (quoted frame)", fromHex("1767000C19667D4D"), fromHex("1767000C19667D4D"));
    row("write single general register", writeSingle(23, 6, 150, 0xBEEF),
        writeSingle(23, 6, 150, 0xBEEF));
    row("write multiple general registers", writeMulti(23, 16, 100, {1, 2, 3}),
        withCrc(fromHex("171000640003")));
    row("write single to identification", writeSingle(23, 6, 0, 1), withCrc(fromHex("178602")));
    row("write multiple past the block", writeMulti(23, 16, 198, {1, 2, 3}),
        withCrc(fromHex("179002")));
    row("read outside the map", readRequest(23, 50, 1), withCrc(fromHex("178302")));
    row("read across the end of the map", readRequest(23, 190, 20), withCrc(fromHex("178302")));
    row("read of no registers", readRequest(23, 0, 0), withCrc(fromHex("178303")));
    row("read of 126 registers", readRequest(23, 100, 126), withCrc(fromHex("178303")));
    row("unknown function 4", withCrc(fromHex("170400000002")), withCrc(fromHex("178401")));
    row("control register: other register", writeSingle(23, 103, 13, 0x1966),
        withCrc(fromHex("17E702")));
    row("control register: unknown value", writeSingle(23, 103, 12, 0x1234),
        withCrc(fromHex("17E703")));
    row("window write at a wrong register", writeMulti(23, 104, 20, std::vector<std::uint16_t>(10)),
        withCrc(fromHex("17E802")));
    row("window write of the wrong length", writeMulti(23, 104, 16, std::vector<std::uint16_t>(16)),
        withCrc(fromHex("17E803")));
    row("window write without a marker", writeMulti(23, 104, 26, std::vector<std::uint16_t>(10)),
        withCrc(fromHex("17E803")));
}

void TestSimUnit::requestsAndAnswers() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    SimulatedUnit unit(base());
    LineMaster m(unit.openPty());
    const Bytes got =
        m.transact(Bytes(request.begin(), request.end()), static_cast<std::size_t>(reply.size()));
    QCOMPARE(qb(got), reply);
    // Nothing follows the reply.
    QVERIFY(m.receiveFor(30).empty());
}

void TestSimUnit::ignoresOtherSlavesAndBadCrc() {
    SimulatedUnit unit(base());
    LineMaster m(unit.openPty());
    m.send(readRequest(5, 0, 2));
    QVERIFY(m.receiveFor(150).empty());
    Bytes bad = readRequest(23, 0, 2);
    bad.back() ^= 0x01;
    m.send(bad);
    QVERIFY(m.receiveFor(150).empty());
    QCOMPARE(readRegisters(m, 0, 2), (std::vector<std::uint16_t>{4001, 215}));
    QCOMPARE(unit.exchanges(Exchange::Any), 1);
}

void TestSimUnit::piecewiseMasterAndGarbage() {
    SimulatedUnit unit(base());
    LineMaster m(unit.openPty());
    // In pieces with pauses between them.
    const Bytes req = writeMulti(23, 16, 120, {7, 8, 9, 10});
    for (std::size_t i = 0; i < req.size(); i += 4) {
        m.send(Bytes(req.begin() + static_cast<std::ptrdiff_t>(i),
                     req.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, req.size()))));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    QCOMPARE(qb(m.receiveCount(8)), qb(withCrc(fromHex("17100078 0004"))));

    // A while of random bytes, then a valid request still answers.
    std::mt19937 rng(11);
    for (int burst = 0; burst < 40; ++burst) {
        Bytes noise(97);
        for (auto& b : noise) {
            b = static_cast<std::uint8_t>(rng());
        }
        m.send(noise);
    }
    m.receiveFor(100); // a chance frame in the noise may be answered; ignore it
    QCOMPARE(readRegisters(m, 120, 4), (std::vector<std::uint16_t>{7, 8, 9, 10}));

    // Same for the bootloader's framing.
    m.transact(writeSingle(23, 103, 12, 0x222D), 8);
    for (int burst = 0; burst < 40; ++burst) {
        Bytes noise(97);
        for (auto& b : noise) {
            b = static_cast<std::uint8_t>(rng());
        }
        m.send(noise);
    }
    m.send(fromHex("1003")); // closes a frame the noise may have opened
    m.receiveFor(100);
    const Bytes body = bootBody(m.transactBoot(bootFrame(0x08, 4, {})));
    QCOMPARE(qb(body), qb(Bytes{0x08, 0x04, 0x01, 0x02, 0x00, 0x69, 0x88}));
}

void TestSimUnit::portClosedAndReopened() {
    SimulatedUnit unit(base());
    const QString path = unit.openPty();
    LineMaster m(path);
    QCOMPARE(readRegisters(m, 0, 2).size(), std::size_t{2});
    for (int i = 0; i < 3; ++i) {
        m.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        QVERIFY(m.reopen());
        QCOMPARE(readRegisters(m, 0, 2), (std::vector<std::uint16_t>{4001, 215}));
    }
    // A request cut off by the close does not spoil the next one.
    m.send(Bytes{0x17, 0x03, 0x00});
    m.close();
    QVERIFY(m.reopen());
    QCOMPARE(readRegisters(m, 8, 4).size(), std::size_t{4});
}

void TestSimUnit::bootloaderHandOver() {
    Scenario s = base();
    s.bootloaderVersion = 245;
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    QCOMPARE(qb(m.transact(writeSingle(23, 103, 12, 0x222D), 8)),
             qb(writeSingle(23, 103, 12, 0x222D)));
    QVERIFY(unit.cpu1InBootloader());
    // Modbus is no longer answered.
    m.send(readRequest(23, 0, 2));
    QVERIFY(m.receiveFor(150).empty());
    // The quoted bootloader information request and its reply.
    QCOMPARE(qb(m.transactBoot(fromHex("10020804F41003"))), qb(fromHex("10020804010200F5FC1003")));
    // Model number.
    QCOMPARE(qb(bootBody(m.transactBoot(bootFrame(0x00, 2, {})))),
             qb(Bytes{0x00, 0x02, 0x0F, 0xA1, 0x4E}));
    QCOMPARE(unit.exchanges(Exchange::BlInfo), 1);
    QCOMPARE(unit.exchanges(Exchange::BlModel), 1);
    QCOMPARE(unit.reportedRm(1), std::uint16_t{0});
}

void TestSimUnit::cpu1Programming_data() {
    QTest::addColumn<bool>("startInBootloader");
    QTest::newRow("handed over by Modbus") << false;
    QTest::newRow("found in the bootloader") << true;
}

void TestSimUnit::cpu1Programming() {
    QFETCH(bool, startInBootloader);
    Scenario s = base();
    s.startInBootloader = startInBootloader;
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    const QByteArray before = unit.flash(1);
    if (!startInBootloader) {
        m.transact(writeSingle(23, 103, 12, 0x222D), 8);
    }
    const QByteArray img = image(m_dir.path(), QStringLiteral("HFILE_4001"));
    QVERIFY(programCpu1(m, img, 496));
    // The quoted boot-mode-off frame, then reset (reply without data).
    QCOMPARE(qb(bootBody(m.transactBoot(fromHex("10020501FF030000F81003")))),
             qb(Bytes{0x05, 0x01, 0x00, 0xFA}));
    QCOMPARE(qb(bootBody(m.transactBoot(bootFrame(0x00, 0, {})))), qb(Bytes{0x00, 0x00, 0x00}));
    QVERIFY(!unit.cpu1InBootloader());
    QCOMPARE(readRegisters(m, 0, 2), (std::vector<std::uint16_t>{4001, 245}));

    const QByteArray after = unit.flash(1);
    QCOMPARE(after.mid(0x800), img.mid(0x800));
    QCOMPARE(after.left(0x3FF), before.left(0x3FF)); // the bootloader is untouched
    QCOMPARE(after.at(0x3FF), '\0');
    const Summary sum = unit.summary();
    QVERIFY(sum.processors[1].programmed);
    QVERIFY(sum.processors[1].holdsCarriedImage);
    QCOMPARE(sum.processors[1].eraseSteps, 124);
    QCOMPARE(sum.processors[1].blocksProgrammed, 496);
    QCOMPARE(unit.exchanges(Exchange::BlErase), 124);
    QCOMPARE(unit.exchanges(Exchange::BlProgram), 496);
}

void TestSimUnit::cpu1RestartDecides_data() {
    QTest::addColumn<bool>("erase");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<bool>("bootModeOff");
    QTest::addColumn<int>("image"); // 4001 or 4002: which carried image is programmed
    QTest::addColumn<bool>("runs");
    QTest::addColumn<int>("rm");
    QTest::addColumn<int>("version");
    QTest::newRow("old firmware kept") << false << 0 << true << 4001 << true << 4001 << 215;
    QTest::newRow("erased") << true << 0 << true << 4001 << false << 0 << 0;
    QTest::newRow("half programmed") << true << 248 << true << 4001 << false << 0 << 0;
    QTest::newRow("complete, boot mode still on")
        << true << 496 << false << 4001 << false << 0 << 0;
    QTest::newRow("another product's image") << true << 496 << true << 4002 << true << 4002 << 245;
}

void TestSimUnit::cpu1RestartDecides() {
    QFETCH(bool, erase);
    QFETCH(int, blocks);
    QFETCH(bool, bootModeOff);
    QFETCH(int, image);
    QFETCH(bool, runs);
    QFETCH(int, rm);
    QFETCH(int, version);
    SimulatedUnit unit(base());
    LineMaster m(unit.openPty());
    m.transact(writeSingle(23, 103, 12, 0x222D), 8);
    if (erase) {
        QVERIFY(programCpu1(m, simtest::image(m_dir.path(), QStringLiteral("HFILE_%1").arg(image)),
                            blocks));
    }
    if (bootModeOff) {
        m.transactBoot(bootFrame(0x05, 1, {0xFF, 0x03, 0x00, 0x00}));
    }
    QVERIFY(!bootBody(m.transactBoot(bootFrame(0x00, 0, {}))).empty());
    QCOMPARE(unit.cpu1InBootloader(), !runs);
    if (runs) {
        QCOMPARE(readRegisters(m, 0, 2),
                 (std::vector<std::uint16_t>{std::uint16_t(rm), std::uint16_t(version)}));
    } else {
        m.send(readRequest(23, 0, 2));
        QVERIFY(m.receiveFor(100).empty());
        QCOMPARE(bootBody(m.transactBoot(bootFrame(0x08, 4, {}))).size(), std::size_t{7});
    }
}

void TestSimUnit::bootloaderRefusals() {
    Scenario s = base();
    s.startInBootloader = true;
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    const QByteArray before = unit.flash(1);
    // Erasing the bootloader, an unaligned block, a wrong BCC, an unknown command.
    QVERIFY(m.transactBoot(bootFrame(0x03, 8, addr3(0x0400)), 150).empty());
    Bytes data = addr3(0x0840);
    data.resize(131, 0);
    QVERIFY(m.transactBoot(bootFrame(0x02, 2, data), 150).empty());
    Bytes badBcc = bootFrame(0x08, 4, {});
    badBcc[4] ^= 0x01;
    QVERIFY(m.transactBoot(badBcc, 150).empty());
    QVERIFY(m.transactBoot(bootFrame(0x07, 1, {}), 150).empty());
    QVERIFY(m.transactBoot(bootFrame(0x05, 1, {0x00, 0x08, 0x00, 0x00}), 150).empty());
    QCOMPARE(unit.flash(1), before);
    QVERIFY(!unit.summary().notes.empty());
    // Still serving.
    QCOMPARE(bootBody(m.transactBoot(bootFrame(0x00, 2, {}))).size(), std::size_t{5});
}

void TestSimUnit::hmiEnterBootModeBlock() {
    Scenario s = base();
    s.cpu1.version = 245;
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    // The quoted 41-byte enter-boot-mode block for the HMI.
    const Bytes block = fromHex("17680010001020 0000 0000 222D 0102 0000 0000 0000 0000 0000 0000"
                                " 0000 0000 0000 0000 0000 005C A07E");
    QCOMPARE(block.size(), std::size_t{41});
    QCOMPARE(qb(m.transact(block, 8)), qb(withCrc(fromHex("176800100010"))));
    QCOMPARE(unit.exchanges(Exchange::Fn104Command), 1);
    QCOMPARE(readRegisters(m, 16, 2), (std::vector<std::uint16_t>{0x8000, 0}));
    QVERIFY(unit.inBootMode(3));
    QCOMPARE(readRegisters(m, 8, 2), (std::vector<std::uint16_t>{999, 0}));
    // The quoted CPU-2 status read: the window starts at 32 with CPU-1 at 2.45.
    QCOMPARE(qb(m.transact(fromHex("170300200002C737"), 9)),
             qb(withCrc(fromHex("170304 0000 0000"))));
    QCOMPARE(unit.exchanges(Exchange::StatusRead), 2);
    // A data block clears the news.
    std::vector<std::uint16_t> data(16, 0);
    data[15] = 0xA6;
    windowWrite(m, 16, 16, data);
    QCOMPARE(readRegisters(m, 16, 2), (std::vector<std::uint16_t>{0, 0}));
}

void TestSimUnit::subProcessorProgramming_data() {
    QTest::addColumn<int>("processor");
    QTest::addColumn<int>("cpu1Version");
    QTest::addColumn<int>("windowStart");
    QTest::addColumn<int>("windowLength");
    QTest::newRow("CPU-2, CPU-1 2.15") << 2 << 215 << 26 << 10;
    QTest::newRow("CPU-2, CPU-1 2.16") << 2 << 216 << 32 << 16;
    QTest::newRow("HMI, CPU-1 2.15") << 3 << 215 << 16 << 10;
    QTest::newRow("HMI, CPU-1 2.45") << 3 << 245 << 16 << 16;
}

void TestSimUnit::subProcessorProgramming() {
    QFETCH(int, processor);
    QFETCH(int, cpu1Version);
    QFETCH(int, windowStart);
    QFETCH(int, windowLength);
    Scenario s = base();
    s.cpu1.version = static_cast<std::uint16_t>(cpu1Version);
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    const auto start = static_cast<std::uint16_t>(windowStart);
    const QByteArray img = image(m_dir.path(), QStringLiteral("HFILE_%1").arg(processor));
    const std::uint16_t rmReg = processor == 2 ? 10 : 8;

    QCOMPARE(windowWrite(m, start, windowLength, commandBlock(windowLength, 0x222D, 1, 0)).size(),
             std::size_t{8});
    QCOMPARE(readRegisters(m, start, 2), (std::vector<std::uint16_t>{0x8000, 0}));
    QCOMPARE(readRegisters(m, rmReg, 2), (std::vector<std::uint16_t>{999, 0}));

    int sent = 0;
    sendImageBlocks(m, start, windowLength, img, 0x1000, 0xFFFF, &sent);
    QCOMPARE(sent, windowLength == 16 ? 2560 : 5120);
    QVERIFY(unit.flash(processor).mid(0x1000) != img.mid(0x1000)); // nothing programmed yet

    const std::uint16_t crc = imageCrcWord(img, 0x1000, 0xFFFF);
    for (std::uint16_t cmd : {std::uint16_t{0x1A9B}, std::uint16_t{0x1997}}) {
        windowWrite(m, start, windowLength, commandBlock(windowLength, cmd, crc, 3100));
        std::vector<std::uint16_t> st;
        std::uint16_t lastAddress = 0;
        int busy = 0;
        for (int poll = 0; poll < 20; ++poll) {
            st = readRegisters(m, start, 2);
            QCOMPARE(st.size(), std::size_t{2});
            if (st[0] & 0x8000) {
                break;
            }
            QCOMPARE(st[0] & 0x4000, 0);
            QVERIFY(st[0] != 0 || st[1] != 0); // never "no news" once the operation runs
            QVERIFY(st[1] >= 0x1000);
            QVERIFY(st[1] >= lastAddress);
            lastAddress = st[1];
            ++busy;
        }
        QCOMPARE(st[0], std::uint16_t{0x8000});
        QCOMPARE(busy, 3);
        if (cmd == 0x1A9B) {
            QCOMPARE(unit.flash(processor).mid(0x1000), QByteArray(0xF000, '\xFF'));
        }
    }
    QCOMPARE(unit.flash(processor).mid(0x1000), img.mid(0x1000));
    const auto rmVersion = readRegisters(m, rmReg, 2);
    QCOMPARE(rmVersion, (std::vector<std::uint16_t>{std::uint16_t(processor == 2 ? 3100 : 3200),
                                                    std::uint16_t(processor == 2 ? 232 : 112)}));
    const Summary sum = unit.summary();
    QVERIFY(sum.processors[static_cast<std::size_t>(processor)].programmed);
    QVERIFY(sum.processors[static_cast<std::size_t>(processor)].holdsCarriedImage);
    QVERIFY(!unit.inBootMode(processor));
}

void TestSimUnit::subProcessorRefusals() {
    SimulatedUnit unit(base());
    LineMaster m(unit.openPty());
    const QByteArray img = image(m_dir.path(), QStringLiteral("HFILE_2"));
    const std::uint16_t crc = imageCrcWord(img, 0x1000, 0xFFFF);
    const QByteArray before = unit.flash(2);

    // Erase before boot mode: the sub-processor never posts.
    windowWrite(m, 26, 10, commandBlock(10, 0x1A9B, crc, 3100));
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(readRegisters(m, 26, 2), (std::vector<std::uint16_t>{0, 0}));
    }
    QCOMPARE(unit.flash(2), before);

    windowWrite(m, 26, 10, commandBlock(10, 0x222D, 3100, 0));
    QCOMPARE(readRegisters(m, 26, 2)[0], std::uint16_t{0x8000});
    sendImageBlocks(m, 26, 10, img, 0x1000, 0xFFFF);
    // A CRC with its bytes not exchanged does not match.
    const auto unswapped = static_cast<std::uint16_t>((crc >> 8) | (crc << 8));
    windowWrite(m, 26, 10, commandBlock(10, 0x1A9B, unswapped, 3100));
    QCOMPARE(readRegisters(m, 26, 2), (std::vector<std::uint16_t>{0x4000, 0}));
    QCOMPARE(unit.flash(2), before);
    // Programming without an erase leaves old bits: it does not verify.
    windowWrite(m, 26, 10, commandBlock(10, 0x1997, crc, 3100));
    std::vector<std::uint16_t> st;
    for (int i = 0; i < 10; ++i) {
        st = readRegisters(m, 26, 2);
        if (st[0] & 0xC000) {
            break;
        }
    }
    QCOMPARE(st[0], std::uint16_t{0x4000});
    QVERIFY(unit.inBootMode(2));
    QCOMPARE(readRegisters(m, 10, 2), (std::vector<std::uint16_t>{999, 0}));
    // A data block beyond the range and an unknown command are refused.
    std::vector<std::uint16_t> beyond(10, 0);
    beyond[2] = 0xEFF8;
    beyond[9] = 0xA6;
    m.send(writeMulti(23, 104, 26, beyond));
    QCOMPARE(qb(m.receiveCount(5)), qb(withCrc(fromHex("17E803"))));
    m.send(writeMulti(23, 104, 26, commandBlock(10, 0x1234, 0, 0)));
    QCOMPARE(qb(m.receiveCount(5)), qb(withCrc(fromHex("17E803"))));
}

void TestSimUnit::silentAndAbsentSubProcessors() {
    Scenario s = base();
    s.cpu2.silent = true;
    s.hasHmi = false;
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    QCOMPARE(readRegisters(m, 8, 4), (std::vector<std::uint16_t>{0, 0, 0, 0}));
    QCOMPARE(windowWrite(m, 26, 10, commandBlock(10, 0x222D, 3100, 0)).size(), std::size_t{8});
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(readRegisters(m, 26, 2), (std::vector<std::uint16_t>{0, 0}));
    }
    QVERIFY(!unit.inBootMode(2));
    // No HMI: its window does not exist.
    m.send(writeMulti(23, 104, 16, commandBlock(10, 0x222D, 3200, 0)));
    QCOMPARE(qb(m.receiveCount(5)), qb(withCrc(fromHex("17E802"))));
    m.send(readRequest(23, 16, 2));
    QCOMPARE(qb(m.receiveCount(5)), qb(withCrc(fromHex("178302"))));
    QVERIFY(!unit.summary().processors[3].present);
}

void TestSimUnit::timingModelReducedScale() {
    Scenario s = base();
    s.timing.enabled = true;
    s.timing.scale = 0.1;
    s.timing.cpu1BootMs = 3000;     // 300 ms
    s.timing.eraseRowMs = 400;      // 40 ms per erase step
    s.timing.subBootEntryMs = 1000; // 100 ms
    s.timing.baudRate = 115200;
    SimulatedUnit unit(s);
    LineMaster m(unit.openPty());
    QElapsedTimer t;

    m.transact(writeSingle(23, 103, 12, 0x222D), 8);
    t.start();
    QCOMPARE(bootBody(m.transactBoot(bootFrame(0x03, 8, addr3(0x0800)))).size(), std::size_t{11});
    QVERIFY2(t.elapsed() >= 38, qPrintable(QString::number(t.elapsed())));

    m.transactBoot(bootFrame(0x05, 1, {0xFF, 0x03, 0x00, 0x00}));
    m.transactBoot(bootFrame(0x00, 0, {})); // one row erased: stays in the bootloader
    QVERIFY(unit.cpu1InBootloader());

    // Restart via a fresh unit in firmware: the boot time after a restart command.
    SimulatedUnit second(s);
    LineMaster m2(second.openPty());
    m2.transact(writeSingle(23, 103, 12, 0x1BC5), 8);
    t.restart();
    m2.send(readRequest(23, 0, 2));
    QVERIFY(m2.receiveFor(100).empty()); // still booting
    while (t.elapsed() < 350) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    QCOMPARE(readRegisters(m2, 0, 2), (std::vector<std::uint16_t>{4001, 215}));

    // Sub-processor boot entry takes 100 ms: no news first, then finished.
    windowWrite(m2, 26, 10, commandBlock(10, 0x222D, 3100, 0));
    QCOMPARE(readRegisters(m2, 26, 2), (std::vector<std::uint16_t>{0, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    QCOMPARE(readRegisters(m2, 26, 2)[0], std::uint16_t{0x8000});

    // Wire time: 1200 baud makes an 8 + 9 byte exchange last at least 140 ms.
    Scenario slow = base();
    slow.timing.enabled = true;
    slow.timing.baudRate = 1200;
    SimulatedUnit third(slow);
    LineMaster m3(third.openPty());
    t.restart();
    QCOMPARE(readRegisters(m3, 0, 2).size(), std::size_t{2});
    QVERIFY2(t.elapsed() >= 135, qPrintable(QString::number(t.elapsed())));
    QVERIFY(t.elapsed() < 1000);
}

QTEST_GUILESS_MAIN(TestSimUnit)
#include "tst_simunit.moc"

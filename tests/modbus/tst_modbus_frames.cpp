// Frames and reply checks of the Modbus masters, without any I/O. Reference frames come from
// the published Modbus examples and from the test support's own CRC, not from the code under
// test.

#include "ModBusPro.h"
#include "ModbusFrames.h"
#include "ScriptedPeers.h"

#include <QTest>

#include <array>
#include <vector>

using namespace corvane::modbus;
using corvane::testsupport::mbapFrame;
using corvane::testsupport::withCrc;

namespace {

QByteArray toBytes(const Frame& f) {
    return {reinterpret_cast<const char*>(f.data()), static_cast<qsizetype>(f.size())};
}

std::span<const std::uint8_t> spanOf(const QByteArray& a) {
    return {reinterpret_cast<const std::uint8_t*>(a.constData()),
            static_cast<std::size_t>(a.size())};
}

std::vector<std::uint16_t> sequence(std::size_t n, std::uint16_t start = 0x0100) {
    std::vector<std::uint16_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint16_t>(start + 0x0101 * i);
    }
    return v;
}

} // namespace

class TestModbusFrames : public QObject {
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void crcOfSubrange();

    void rtuRequests_data();
    void rtuRequests();
    void rtuWriteMultiLimits_data();
    void rtuWriteMultiLimits();

    void rtuReadReply_data();
    void rtuReadReply();

    void tcpRequests_data();
    void tcpRequests();
    void tcpWriteMultiLimits_data();
    void tcpWriteMultiLimits();
    void tcpReply_data();
    void tcpReply();
    void tcpReplyToCodeWithBit7();
    void tcpAnnouncedSize();
};

void TestModbusFrames::crc_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("expected");
    QTest::newRow("check value 123456789") << QByteArray("123456789") << 0x374B;
    // Published example frames: CRC low byte first on the wire, so the routine's value reads
    // as the two wire bytes in order.
    QTest::newRow("read 3 regs at 107 of slave 17")
        << QByteArray::fromHex("1103006b0003") << 0x7687;
    QTest::newRow("write reg 1 of slave 17") << QByteArray::fromHex("110600010003") << 0x9A9B;
    QTest::newRow("write 2 regs of slave 17")
        << QByteArray::fromHex("1110000100020400 0a0102") << 0xC6F0;
    QTest::newRow("read 10 regs of slave 1") << QByteArray::fromHex("01030000000a") << 0xC5CD;
    QTest::newRow("single zero byte") << QByteArray(1, '\0') << 0xBF40;
}

void TestModbusFrames::crc() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, expected);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    QCOMPARE(MB_CRC16(p, 0, static_cast<std::uint16_t>(bytes.size() - 1)), expected);
    // The independent CRC of the test support agrees on the wire order.
    const QByteArray framed = withCrc(bytes);
    QCOMPARE(static_cast<std::uint8_t>(framed[bytes.size()]), expected >> 8);
    QCOMPARE(static_cast<std::uint8_t>(framed[bytes.size() + 1]), expected & 0xFF);
}

void TestModbusFrames::crcOfSubrange() {
    const std::array<std::uint8_t, 11> buf = {0xEE, '1', '2', '3', '4', '5',
                                              '6',  '7', '8', '9', 0xEE};
    QCOMPARE(MB_CRC16(buf.data(), 1, 9), 0x374B);
    // An empty range processes nothing.
    QCOMPARE(MB_CRC16(buf.data(), 5, 4), 0xFFFF);
    QCOMPARE(MB_CRC16(buf.data(), 10, 0), 0xFFFF);
}

void TestModbusFrames::rtuRequests_data() {
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("read, published example")
        << toBytes(rtuReadRequest(0x11, 3, 0x006B, 3)) << QByteArray::fromHex("1103006b00037687");
    QTest::newRow("write single, published example")
        << toBytes(rtuWriteSingleRequest(0x11, 6, 1, 3)) << QByteArray::fromHex("1106000100039a9b");
    const std::array<std::uint16_t, 2> two = {0x000A, 0x0102};
    QTest::newRow("write multi, published example")
        << toBytes(*rtuWriteMultiRequest(0x11, 16, 1, 2, two))
        << QByteArray::fromHex("1110000100020400 0a0102c6f0");
    QTest::newRow("vendor 103 keeps the single-write layout")
        << toBytes(rtuWriteSingleRequest(5, 103, 0x1234, 0xBEEF))
        << withCrc(QByteArray::fromHex("05671234beef"));
    const std::array<std::uint16_t, 3> three = {0xFFFF, 0x0000, 0x8001};
    QTest::newRow("vendor 104, high register")
        << toBytes(*rtuWriteMultiRequest(2, 104, 0xF000, 3, three))
        << withCrc(QByteArray::fromHex("0268f000000306ffff00008001"));
}

void TestModbusFrames::rtuRequests() {
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built.toHex(' '), expected.toHex(' '));
}

void TestModbusFrames::rtuWriteMultiLimits_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("valuesSize");
    QTest::addColumn<int>("frameSize"); // 0: refused
    QTest::newRow("none") << 0 << 0 << 9;
    QTest::newRow("one") << 1 << 1 << 11;
    QTest::newRow("16, the data block") << 16 << 16 << 41;
    QTest::newRow("30 fill the 70-byte buffer") << 30 << 30 << 69;
    QTest::newRow("31 refused") << 31 << 31 << 0;
    QTest::newRow("300 refused") << 300 << 300 << 0;
    QTest::newRow("values shorter than count") << 4 << 3 << 0;
    QTest::newRow("more values than count") << 2 << 5 << 13;
}

void TestModbusFrames::rtuWriteMultiLimits() {
    QFETCH(int, count);
    QFETCH(int, valuesSize);
    QFETCH(int, frameSize);
    const auto values = sequence(static_cast<std::size_t>(valuesSize));
    const auto frame =
        rtuWriteMultiRequest(7, 16, 0x0102, static_cast<std::uint16_t>(count), values);
    if (frameSize == 0) {
        QVERIFY(!frame);
        return;
    }
    QVERIFY(frame);
    QCOMPARE(frame->size(), std::size_t(frameSize));
    QVERIFY(frame->size() <= rtuRequestCapacity);
    QCOMPARE((*frame)[6], std::uint8_t(2 * count));
    for (int i = 0; i < count; ++i) {
        QCOMPARE((*frame)[7 + 2 * i], hi(values[i]));
        QCOMPARE((*frame)[8 + 2 * i], lo(values[i]));
    }
    // Its own CRC closes the frame.
    const QByteArray body = toBytes(*frame).chopped(2);
    QCOMPARE(toBytes(*frame), withCrc(body));
}

void TestModbusFrames::rtuReadReply_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<int>>("stored"); // -1: left untouched

    const QByteArray good = withCrc(QByteArray::fromHex("0103041234abcd"));
    QTest::newRow("two registers") << good << 2 << 1 << QList<int>{0x1234, 0xABCD, -1};
    QTest::newRow("published reply of three") << QByteArray::fromHex("110306ae415652434049ad") << 3
                                              << 1 << QList<int>{0xAE41, 0x5652, 0x4340};
    QTest::newRow("trailing byte fails the CRC")
        << (good + QByteArray(1, '\x55')) << 2 << -1 << QList<int>{-1, -1, -1};
    QTest::newRow("trailing bytes fail the CRC")
        << (good + good) << 2 << -1 << QList<int>{-1, -1, -1};
    QByteArray corrupted = good;
    corrupted[4] = static_cast<char>(corrupted[4] ^ 0x10);
    QTest::newRow("one corrupted byte") << corrupted << 2 << -1 << QList<int>{-1, -1, -1};
    QByteArray badCrc = good;
    badCrc[badCrc.size() - 1] = static_cast<char>(badCrc[badCrc.size() - 1] ^ 1);
    QTest::newRow("corrupted CRC") << badCrc << 2 << -1 << QList<int>{-1, -1, -1};
    QTest::newRow("byte count claims more than requested")
        << withCrc(QByteArray::fromHex("010306000100020003")) << 2 << 1 << QList<int>{1, 2, -1};
    QTest::newRow("byte count claims more than arrived")
        << withCrc(QByteArray::fromHex("0103f800010002")) << 3 << 1 << QList<int>{1, 2, -1};
    QTest::newRow("byte count claims less")
        << withCrc(QByteArray::fromHex("010302000100020003")) << 3 << 1 << QList<int>{1, -1, -1};
    QTest::newRow("too short for a reply")
        << QByteArray::fromHex("0103ff") << 1 << -1 << QList<int>{-1, -1, -1};
}

void TestModbusFrames::rtuReadReply() {
    QFETCH(QByteArray, reply);
    QFETCH(int, count);
    QFETCH(int, result);
    QFETCH(QList<int>, stored);
    std::array<std::uint16_t, 3> values = {0x5555, 0x5555, 0x5555};
    QCOMPARE(rtuDecodeReadReply(spanOf(reply), static_cast<std::uint16_t>(count), values), result);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int want = stored[static_cast<qsizetype>(i)];
        QCOMPARE(values[i], want < 0 ? 0x5555 : want);
    }
}

void TestModbusFrames::tcpRequests_data() {
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("read") << toBytes(tcpReadRequest(0x0102, 0x11, 3, 0x006B, 3))
                          << QByteArray::fromHex("010200000006 11 03 006b 0003");
    QTest::newRow("write single") << toBytes(tcpWriteSingleRequest(0xFFFF, 1, 6, 0x0001, 0xA5A5))
                                  << QByteArray::fromHex("ffff00000006 01 06 0001 a5a5");
    const std::array<std::uint16_t, 2> two = {0x000A, 0x0102};
    QTest::newRow("write multi") << toBytes(*tcpWriteMultiRequest(0, 0xFF, 16, 1, 2, two))
                                 << QByteArray::fromHex("00000000000b ff 10 0001 0002 04 000a0102");
}

void TestModbusFrames::tcpRequests() {
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built.toHex(' '), expected.toHex(' '));
}

void TestModbusFrames::tcpWriteMultiLimits_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("valuesSize");
    QTest::addColumn<int>("frameSize");
    QTest::newRow("one") << 1 << 1 << 15;
    QTest::newRow("123, length 253") << 123 << 123 << 259;
    QTest::newRow("124 refused") << 124 << 124 << 0;
    QTest::newRow("values shorter than count") << 10 << 9 << 0;
}

void TestModbusFrames::tcpWriteMultiLimits() {
    QFETCH(int, count);
    QFETCH(int, valuesSize);
    QFETCH(int, frameSize);
    const auto values = sequence(static_cast<std::size_t>(valuesSize));
    const auto frame = tcpWriteMultiRequest(9, 1, 16, 0, static_cast<std::uint16_t>(count), values);
    if (frameSize == 0) {
        QVERIFY(!frame);
        return;
    }
    QVERIFY(frame);
    QCOMPARE(frame->size(), std::size_t(frameSize));
    // The length field counts everything after itself.
    QCOMPARE(std::size_t((*frame)[4] << 8 | (*frame)[5]), frame->size() - 6);
    QCOMPARE((*frame)[12], std::uint8_t(2 * count));
    QCOMPARE((*frame)[frame->size() - 1], lo(values[static_cast<std::size_t>(count) - 1]));
}

void TestModbusFrames::tcpReply_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("kind"); // 0 write, 1 read
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<int>>("stored");

    const QList<int> none = {-1, -1, -1};
    QTest::newRow("write echo") << mbapFrame(7, 1, QByteArray::fromHex("0600010003")) << 0 << 1
                                << none;
    QTest::newRow("write, wrong length field")
        << QByteArray::fromHex("000700000007 01 06 0001 0003") << 0 << -1 << none;
    QTest::newRow("read of two") << mbapFrame(7, 1, QByteArray::fromHex("030412345678")) << 1 << 1
                                 << QList<int>{0x1234, 0x5678, -1};
    QTest::newRow("exception of normal size")
        << QByteArray::fromHex("000700000007 01 83 02 0000 0000") << 1 << 2 << none;
    QTest::newRow("earlier transaction")
        << mbapFrame(6, 1, QByteArray::fromHex("030412345678")) << 1 << -1 << none;
    QTest::newRow("protocol identifier not 0")
        << QByteArray::fromHex("000700010007 01 03 04 1234 5678") << 1 << -1 << none;
    QTest::newRow("other function")
        << mbapFrame(7, 1, QByteArray::fromHex("040412345678")) << 1 << -1 << none;
    QTest::newRow("read, wrong length field")
        << QByteArray::fromHex("000700000008 01 03 04 1234 5678") << 1 << -1 << none;
    QTest::newRow("byte count claims more than requested")
        << mbapFrame(7, 1, QByteArray::fromHex("03ff12345678")) << 1 << 1
        << QList<int>{0x1234, 0x5678, -1};
    QTest::newRow("unit identifier not examined")
        << mbapFrame(7, 99, QByteArray::fromHex("030412345678")) << 1 << 1
        << QList<int>{0x1234, 0x5678, -1};
}

void TestModbusFrames::tcpReply() {
    QFETCH(QByteArray, reply);
    QFETCH(int, kind);
    QFETCH(int, result);
    QFETCH(QList<int>, stored);
    std::array<std::uint16_t, 3> values = {0x5555, 0x5555, 0x5555};
    const auto k = kind == 0 ? TcpRequestKind::write : TcpRequestKind::read;
    const std::uint8_t function = kind == 0 ? 6 : 3;
    QCOMPARE(tcpDecodeReply(spanOf(reply), 7, function, k, 2, values), result);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int want = stored[static_cast<qsizetype>(i)];
        QCOMPARE(values[i], want < 0 ? 0x5555 : want);
    }
}

void TestModbusFrames::tcpReplyToCodeWithBit7() {
    // A request code with bit 7 already set: its echo is a normal reply, judged by its length.
    std::array<std::uint16_t, 1> values = {0x5555};
    const QByteArray normal = mbapFrame(7, 1, QByteArray::fromHex("e7020a0b"));
    QCOMPARE(tcpDecodeReply(spanOf(normal), 7, 0xE7, TcpRequestKind::read, 1, values), 1);
    QCOMPARE(values[0], std::uint16_t(0x0A0B));
    values[0] = 0x5555;
    const QByteArray badLength = QByteArray::fromHex("000700000007 01 e7 02 0a0b 00");
    QCOMPARE(tcpDecodeReply(spanOf(badLength), 7, 0xE7, TcpRequestKind::read, 1, values), -1);
    QCOMPARE(values[0], std::uint16_t(0x5555));
    const QByteArray write = mbapFrame(7, 1, QByteArray::fromHex("e700010003"));
    QCOMPARE(tcpDecodeReply(spanOf(write), 7, 0xE7, TcpRequestKind::write, 0, {}), 1);
}

void TestModbusFrames::tcpAnnouncedSize() {
    QVERIFY(!tcpAnnouncedFrameSize(spanOf(QByteArray::fromHex("0001000000"))));
    QCOMPARE(*tcpAnnouncedFrameSize(spanOf(QByteArray::fromHex("000100000003"))), std::size_t(9));
    QCOMPARE(*tcpAnnouncedFrameSize(spanOf(QByteArray::fromHex("00010000ffff01"))),
             std::size_t(6 + 0xFFFF));
}

QTEST_APPLESS_MAIN(TestModbusFrames)
#include "tst_modbus_frames.moc"

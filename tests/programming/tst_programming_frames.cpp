// Bootloader framing and planning: byte-exact frames, reply checks, erase and block plans.

#include "programming/BootFrames.h"

#include <QTest>

#include <array>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes hex(const char* text) {
    const QByteArray raw = QByteArray::fromHex(QByteArray(text).replace(' ', ""));
    return Bytes(raw.begin(), raw.end());
}

QByteArray toHex(const Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()))
        .toHex(' ')
        .toUpper();
}

} // namespace

class TestProgrammingFrames : public QObject {
    Q_OBJECT
private slots:
    void bccSum_data();
    void bccSum();
    void requestFrame_data();
    void requestFrame();
    void replyCheck_data();
    void replyCheck();
    void replyRoundTrip();
    void eraseSteps_data();
    void eraseSteps();
    void programBlocks();
    void percent_data();
    void percent();
};

void TestProgrammingFrames::bccSum_data() {
    QTest::addColumn<Bytes>("buf");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<int>("sum");
    QTest::newRow("request body 08 04") << hex("08 04") << 0 << 1 << 0x0C;
    QTest::newRow("wraps at 8 bits") << hex("FF 02 F0") << 0 << 2 << 0xF1;
    QTest::newRow("inner range only") << hex("01 02 03 04") << 1 << 2 << 0x05;
    QTest::newRow("last below first") << hex("01 02 03") << 2 << 1 << 0;
    QTest::newRow("single byte") << hex("7F") << 0 << 0 << 0x7F;
    QTest::newRow("last past the end") << hex("01 02") << 0 << 40 << 0x03;
    QTest::newRow("whole reply body sums to 0") << hex("08 04 01 02 00 F5 FC") << 0 << 6 << 0;
}

void TestProgrammingFrames::bccSum() {
    QFETCH(Bytes, buf);
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(int, sum);
    QCOMPARE(
        int(BCC_Calc(buf, static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last))),
        sum);
}

void TestProgrammingFrames::requestFrame_data() {
    QTest::addColumn<int>("cmd");
    QTest::addColumn<int>("len");
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<Bytes>("frame");
    QTest::newRow("bootloader info, no data")
        << 0x08 << 4 << Bytes{} << hex("10 02 08 04 F4 10 03");
    QTest::newRow("model number") << 0x00 << 2 << Bytes{} << hex("10 02 00 02 FE 10 03");
    QTest::newRow("disable boot mode")
        << 0x05 << 1 << hex("FF 03 00 00") << hex("10 02 05 01 FF 03 00 00 F8 10 03");
    QTest::newRow("reset") << 0x00 << 0 << Bytes{} << hex("10 02 00 00 00 10 03");
    // Middle address byte 0x10 is doubled.
    QTest::newRow("erase at 0x1000")
        << 0x03 << 8 << hex("00 10 00") << hex("10 02 03 08 00 10 10 00 E5 10 03");
    // 03 + 08 + E5 = F0, so the BCC is 0x10 and is doubled before the closing DLE ETX.
    QTest::newRow("BCC of 0x10") << 0x03 << 8 << hex("E5 00 00")
                                 << hex("10 02 03 08 E5 00 00 10 10 10 03");
    QTest::newRow("command byte 0x10") << 0x10 << 0 << Bytes{} << hex("10 02 10 10 00 F0 10 03");
}

void TestProgrammingFrames::requestFrame() {
    QFETCH(int, cmd);
    QFETCH(int, len);
    QFETCH(Bytes, data);
    QFETCH(Bytes, frame);
    const Bytes got = corvane::bootRequestFrame(static_cast<std::uint8_t>(cmd),
                                                static_cast<std::uint8_t>(len), data);
    QCOMPARE(toHex(got), toHex(frame));
}

void TestProgrammingFrames::replyCheck_data() {
    QTest::addColumn<Bytes>("raw");
    QTest::addColumn<int>("len");
    QTest::addColumn<int>("result");
    QTest::addColumn<Bytes>("reply"); // expected content of the 4-byte reply buffer

    const Bytes untouched = hex("AA AA AA AA");
    QTest::newRow("bootloader info")
        << hex("10 02 08 04 01 02 00 F5 FC 10 03") << 4 << 1 << hex("01 02 00 F5");
    QTest::newRow("body with 10 03 inside")
        << hex("10 02 02 02 10 10 03 E9 10 03") << 2 << 1 << hex("10 03 AA AA");
    QTest::newRow("doubled BCC of 0x10")
        << hex("10 02 03 08 E5 00 00 10 10 10 03") << 3 << 1 << hex("E5 00 00 AA");
    QTest::newRow("bytes after the frame are ignored")
        << hex("10 02 00 02 12 34 B8 10 03 55 66") << 2 << 1 << hex("12 34 AA AA");
    QTest::newRow("wrong BCC") << hex("10 02 08 04 01 02 00 F5 FD 10 03") << 4 << -1 << untouched;
    QTest::newRow("body shorter than 2 + Len")
        << hex("10 02 08 04 01 F3 10 03") << 4 << -1 << untouched;
    QTest::newRow("empty body") << hex("10 02 10 03") << 0 << -1 << untouched;
    QTest::newRow("Len 0 with command and length")
        << hex("10 02 00 00 00 10 03") << 0 << 1 << untouched;
    QTest::newRow("no closing DLE ETX")
        << hex("10 02 08 04 01 02 00 F5 FC") << 4 << -1 << untouched;
    QTest::newRow("cut after a lone DLE") << hex("10 02 00 02 10") << 2 << -1 << untouched;
    QTest::newRow("cut after DLE of a doubled pair")
        << hex("10 02 02 02 10 10 03 E9 10") << 2 << -1 << untouched;
    QTest::newRow("no DLE STX at the start")
        << hex("02 08 04 01 02 00 F5 FC 10 03") << 4 << -1 << untouched;
    QTest::newRow("nothing") << Bytes{} << 2 << -1 << untouched;
    QTest::newRow("Len larger than the reply buffer")
        << hex("10 02 00 05 01 02 03 04 05 EC 10 03") << 5 << -1 << untouched;
}

void TestProgrammingFrames::replyCheck() {
    QFETCH(Bytes, raw);
    QFETCH(int, len);
    QFETCH(int, result);
    QFETCH(Bytes, reply);
    std::array<std::uint8_t, 4> buf{0xAA, 0xAA, 0xAA, 0xAA};
    QCOMPARE(corvane::takeBootReply(raw, static_cast<std::uint8_t>(len), buf), result);
    QCOMPARE(toHex(Bytes(buf.begin(), buf.end())), toHex(reply));
}

// Every body, stuffed and unstuffed again, comes back unchanged, also a worst case where every
// byte is 0x10; and the request frame never exceeds its 272-byte buffer.
void TestProgrammingFrames::replyRoundTrip() {
    std::vector<Bytes> datas;
    datas.push_back(Bytes(131, 0x10));
    Bytes ramp(131);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    datas.push_back(ramp);
    datas.push_back(hex("10 03 10 10 03 02 10"));
    for (const auto& data : datas) {
        const Bytes body = corvane::bootRequestBody(0x10, 0x10, data);
        QCOMPARE(int(BCC_Calc(body, 0, static_cast<std::uint16_t>(body.size() - 1))), 0);
        const Bytes frame = corvane::stuffBootFrame(body);
        QVERIFY(frame.size() <= std::size_t(kBootMaxRequestFrame));
        const auto back = corvane::unstuffBootFrame(frame);
        QVERIFY(back.has_value());
        QCOMPARE(toHex(*back), toHex(body));
    }
    // Data beyond 131 bytes is not taken.
    QCOMPARE(corvane::bootRequestBody(0x02, 2, Bytes(200, 0x55)).size(), std::size_t(134));
}

void TestProgrammingFrames::eraseSteps_data() {
    QTest::addColumn<quint32>("first");
    QTest::addColumn<quint32>("last");
    QTest::addColumn<int>("count");
    QTest::addColumn<quint32>("firstStep");
    QTest::addColumn<quint32>("lastStep");
    QTest::newRow("CPU-1 range") << 0x0800u << 0xFFFFu << 124 << 0x0800u << 0xFE00u;
    QTest::newRow("one step") << 0xFE00u << 0xFFFFu << 1 << 0xFE00u << 0xFE00u;
    QTest::newRow("shorter than a step still erases it")
        << 0x0800u << 0x08FFu << 1 << 0x0800u << 0x0800u;
    QTest::newRow("remainder gets its own step") << 0x0000u << 0x0200u << 2 << 0x0000u << 0x0200u;
}

void TestProgrammingFrames::eraseSteps() {
    QFETCH(quint32, first);
    QFETCH(quint32, last);
    QFETCH(int, count);
    QFETCH(quint32, firstStep);
    QFETCH(quint32, lastStep);
    const auto steps = corvane::eraseStepAddresses(first, last);
    QCOMPARE(int(steps.size()), count);
    QCOMPARE(steps.front(), firstStep);
    QCOMPARE(steps.back(), lastStep);
    QVERIFY(corvane::eraseStepAddresses(5, 4).empty());
}

void TestProgrammingFrames::programBlocks() {
    std::array<bool, 513> used{};
    QVERIFY(corvane::programBlockNumbers(0x0800, 0xFFFF, used).empty());

    for (int k = 0; k < 512; ++k) {
        used[std::size_t(k)] = true;
    }
    auto blocks = corvane::programBlockNumbers(0x0800, 0xFFFF, used);
    QCOMPARE(int(blocks.size()), 496);
    QCOMPARE(blocks.front(), 0x0800u / 128);
    QCOMPARE(blocks.back(), 511u);
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        QCOMPARE(blocks[i], blocks[i - 1] + 1);
    }

    // Unmarked blocks are skipped, the rest keep ascending order.
    used.fill(false);
    used[16] = used[20] = used[511] = used[512] = true;
    blocks = corvane::programBlockNumbers(0x0800, 0xFFFF, used);
    QCOMPARE(blocks, (std::vector<std::uint32_t>{16, 20, 511}));

    // A flag array shorter than the range counts the missing entries as unmarked.
    const std::array<bool, 3> shortFlags{true, true, true};
    QCOMPARE(corvane::programBlockNumbers(0, 0xFFFF, shortFlags),
             (std::vector<std::uint32_t>{0, 1, 2}));
}

void TestProgrammingFrames::percent_data() {
    QTest::addColumn<quint32>("done");
    QTest::addColumn<quint32>("total");
    QTest::addColumn<quint32>("percent");
    QTest::newRow("first of 124") << 1u << 124u << 0u;
    QTest::newRow("half") << 62u << 124u << 50u;
    QTest::newRow("last of 124") << 124u << 124u << 100u;
    QTest::newRow("just under") << 5119u << 5120u << 99u;
    QTest::newRow("nothing to do") << 0u << 0u << 0u;
}

void TestProgrammingFrames::percent() {
    QFETCH(quint32, done);
    QFETCH(quint32, total);
    QFETCH(quint32, percent);
    QCOMPARE(corvane::percentOf(done, total), percent);
}

QTEST_GUILESS_MAIN(TestProgrammingFrames)
#include "tst_programming_frames.moc"

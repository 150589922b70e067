// Reply-condition matching, driven the way the serial component drives a list: start and end
// search until one condition has both, then phase counting only.

#include "RxCondition.h"

#include <QTest>

#include <vector>

namespace {

struct CondDef {
    std::vector<std::uint8_t> start;
    std::uint8_t startmode;
    std::vector<std::uint8_t> end;
    std::uint8_t endmode;
    std::uint16_t minpre, minmid, minpost;
};

struct Counts {
    std::uint16_t pre, mid, post;
    bool operator==(const Counts&) const = default;
};

void addAll(TRxCondition& list, const std::vector<CondDef>& defs) {
    list.PrepRxBuffNew();
    for (const CondDef& d : defs) {
        list.PrepRxBuffAdd(static_cast<std::uint16_t>(d.start.size()), d.start, d.startmode,
                           static_cast<std::uint16_t>(d.end.size()), d.end, d.endmode, d.minpre,
                           d.minmid, d.minpost);
    }
}

// Returns the 1-based number of the first complete condition after the chunk, or -1.
int feed(TRxCondition& list, int& startEnd, const QByteArray& bytes) {
    for (const char b : bytes) {
        const auto ch = static_cast<std::uint8_t>(b);
        if (startEnd == -1) {
            startEnd = list.CheckConditions(ch);
        } else {
            list.UpdateCharCounts();
        }
    }
    for (std::uint16_t n = 1; n <= list.Cond_count; ++n) {
        if (list.CheckRxChars(n)) {
            return n;
        }
    }
    return -1;
}

Counts countsOf(const TRxCondition& list, std::uint16_t n) {
    const TRxConditionItem* c = list.GetConditionPtr(n);
    return c ? Counts{c->prechrs, c->msgchrs, c->postchrs} : Counts{0xFFFF, 0xFFFF, 0xFFFF};
}

const CondDef modbusWrite{{0x11}, 0, {0x06}, 0, 0, 1, 7};
const CondDef modbusException{{0x11}, 0, {0x86}, 0, 0, 1, 4};
const CondDef bootloader{{0x10, 0x02}, 1, {0x10, 0x03}, 1, 0, 1, 0};

} // namespace

Q_DECLARE_METATYPE(std::vector<CondDef>)
Q_DECLARE_METATYPE(Counts)

class TestRxCondition : public QObject {
    Q_OBJECT
private slots:
    void matching_data();
    void matching();
    void splitReplyMatchesLikeWhole();
    void firstConditionWins();
    void listLimits();
    void shortByteListIsNotOverread();
    void resetKeepsDefinitions();
    void conditionNumbersOutOfRange();
};

void TestRxCondition::matching_data() {
    QTest::addColumn<std::vector<CondDef>>("defs");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("startEnd");
    QTest::addColumn<Counts>("counts1"); // counts of condition 1

    const std::vector<CondDef> write{modbusWrite, modbusException};
    QTest::newRow("modbus write reply, 8 bytes")
        << write << QByteArray::fromHex("1106000100022a9b") << 1 << 0 << Counts{0, 1, 7};
    QTest::newRow("modbus write reply, one byte short")
        << write << QByteArray::fromHex("1106000100022a") << -1 << 0 << Counts{0, 1, 6};
    QTest::newRow("modbus exception reply completes condition 2")
        << write << QByteArray::fromHex("11860253c1") << 2 << 1 << Counts{0, 5, 0};
    QTest::newRow("modbus reply after noise: noise is pre phase")
        << std::vector<CondDef>{modbusWrite} << QByteArray::fromHex("00ff1106000100022a9b") << 1
        << 0 << Counts{2, 1, 7};
    QTest::newRow("register read: minpost 2*count+4")
        << std::vector<CondDef>{{{0x01}, 0, {0x03}, 0, 0, 1, 8}}
        << QByteArray::fromHex("010304000a000b1234") << 1 << 0 << Counts{0, 1, 8};
    QTest::newRow("bootloader frame")
        << std::vector<CondDef>{bootloader} << QByteArray::fromHex("1002a1b2c31003") << 1 << 0
        << Counts{1, 5, 1};
    QTest::newRow("bootloader: 10 10 02 is no start")
        << std::vector<CondDef>{bootloader} << QByteArray::fromHex("101002a11003") << -1 << -1
        << Counts{6, 0, 0};
    QTest::newRow("bootloader: a start after a failed one")
        << std::vector<CondDef>{bootloader} << QByteArray::fromHex("101002001002aa1003") << 1 << 0
        << Counts{5, 3, 1};
    QTest::newRow("bootloader: 10 10 03 ends nothing")
        << std::vector<CondDef>{bootloader} << QByteArray::fromHex("1002aa101003") << -1 << -1
        << Counts{1, 5, 0};
    QTest::newRow("no end characters: complete on the start")
        << std::vector<CondDef>{{{0x55}, 0, {}, 0, 0, 1, 0}} << QByteArray::fromHex("0155") << 1
        << 0 << Counts{1, 1, 0};
    QTest::newRow("no end characters: later bytes are post phase")
        << std::vector<CondDef>{{{0x55}, 0, {}, 0, 0, 1, 2}} << QByteArray::fromHex("55aabb") << 1
        << 0 << Counts{0, 1, 2};
    QTest::newRow("minmid 3: end among the first two mid bytes is ignored")
        << std::vector<CondDef>{{{0x02}, 0, {0x03}, 0, 0, 3, 0}} << QByteArray::fromHex("020303")
        << -1 << -1 << Counts{0, 3, 0};
    QTest::newRow("minmid 3: end on the third byte after the start")
        << std::vector<CondDef>{{{0x02}, 0, {0x03}, 0, 0, 3, 0}} << QByteArray::fromHex("02030303")
        << 1 << 0 << Counts{0, 3, 1};
    QTest::newRow("mode 0: first start character")
        << std::vector<CondDef>{{{0x41, 0x42}, 0, {0x0d}, 0, 0, 1, 0}}
        << QByteArray::fromHex("41780d") << 1 << 0 << Counts{0, 2, 1};
    QTest::newRow("mode 0: second start character")
        << std::vector<CondDef>{{{0x41, 0x42}, 0, {0x0d}, 0, 0, 1, 0}}
        << QByteArray::fromHex("42780d") << 1 << 0 << Counts{0, 2, 1};
    QTest::newRow("minpre not reached")
        << std::vector<CondDef>{{{0x41}, 0, {0x0d}, 0, 2, 1, 0}} << QByteArray::fromHex("41780d")
        << -1 << 0 << Counts{0, 2, 1};
    QTest::newRow("no start characters never completes")
        << std::vector<CondDef>{{{}, 0, {0x0d}, 0, 0, 0, 0}} << QByteArray::fromHex("0d0d0d") << -1
        << -1 << Counts{3, 0, 0};
}

void TestRxCondition::matching() {
    QFETCH(std::vector<CondDef>, defs);
    QFETCH(QByteArray, input);
    QFETCH(int, result);
    QFETCH(int, startEnd);
    QFETCH(Counts, counts1);

    TRxCondition list;
    addAll(list, defs);
    list.PrepRxBuffResetFlags();
    int se = -1;
    QCOMPARE(feed(list, se, input), result);
    QCOMPARE(se, startEnd);
    QCOMPARE(countsOf(list, 1), counts1);
}

void TestRxCondition::splitReplyMatchesLikeWhole() {
    const QByteArray frame = QByteArray::fromHex("101002001002a1b210101003ee");
    for (qsizetype cut1 = 0; cut1 <= frame.size(); ++cut1) {
        for (qsizetype cut2 = cut1; cut2 <= frame.size(); ++cut2) {
            TRxCondition list;
            addAll(list, {bootloader});
            int se = -1;
            int r = feed(list, se, frame.left(cut1));
            r = std::max(r, feed(list, se, frame.mid(cut1, cut2 - cut1)));
            r = std::max(r, feed(list, se, frame.mid(cut2)));
            QCOMPARE(r, 1);
            // Pre: 10 10 02 00 10. In 10 10 10 03 the second 10 breaks the end sequence and
            // the third starts it afresh, so 03 ends it.
            QCOMPARE(countsOf(list, 1), (Counts{5, 6, 2}));
        }
    }
}

void TestRxCondition::firstConditionWins() {
    // Both conditions end on 0x03; the first in list order decides and the second does not
    // see that character.
    TRxCondition list;
    addAll(list, {{{0x02}, 0, {0x03}, 0, 0, 1, 2}, {{0x02}, 0, {0x03}, 0, 0, 1, 0}});
    int se = -1;
    QCOMPARE(feed(list, se, QByteArray::fromHex("02aa03")), -1);
    QCOMPARE(se, 0);
    const TRxConditionItem* second = list.GetConditionPtr(2);
    QVERIFY(second->gotstart);
    QVERIFY(!second->gotend);
    QCOMPARE(second->msgchrs, 2);
    // Later bytes are only counted; the second condition can no longer complete even though
    // it would have needed no post bytes.
    QCOMPARE(feed(list, se, QByteArray::fromHex("ff")), 1);
    QCOMPARE(countsOf(list, 2), (Counts{0, 3, 0}));
    QVERIFY(!list.CheckRxChars(2));
}

void TestRxCondition::listLimits() {
    TRxCondition list;
    const std::uint8_t seven[7] = {1, 2, 3, 4, 5, 6, 7};
    for (int i = 0; i < 11; ++i) {
        list.PrepRxBuffAdd(7, seven, 1, 7, seven, 0, 0, 0, static_cast<std::uint16_t>(i));
    }
    QCOMPARE(list.Cond_count, 10);
    QCOMPARE(list.GetConditionPtr(10)->minpost, 9); // the 11th was dropped
    const TRxConditionItem* c = list.GetConditionPtr(1);
    QCOMPARE(c->nstart, 5);
    QCOMPARE(c->nend, 5);
    QCOMPARE(c->startchr[4], 5);
    QCOMPARE(c->startchr[5], 0);
    // A five-character sequence start: 1..5.
    list.PrepRxBuffNew();
    QCOMPARE(list.Cond_count, 0);
    const std::uint8_t six[1] = {6};
    list.PrepRxBuffAdd(7, seven, 1, 1, six, 0, 0, 1, 0);
    int se = -1;
    QCOMPARE(feed(list, se, QByteArray::fromHex("0102030405")), -1);
    QVERIFY(list.GetConditionPtr(1)->gotstart);
    QCOMPARE(feed(list, se, QByteArray::fromHex("06")), 1);
}

void TestRxCondition::shortByteListIsNotOverread() {
    // A count larger than the list is cut to the bytes really given.
    TRxCondition list;
    const std::vector<std::uint8_t> one{0x7e};
    list.PrepRxBuffAdd(4, one, 1, 3, std::span<const std::uint8_t>{}, 0, 0, 0, 0);
    const TRxConditionItem* c = list.GetConditionPtr(1);
    QCOMPARE(c->nstart, 1);
    QCOMPARE(c->nend, 0);
    int se = -1;
    QCOMPARE(feed(list, se, QByteArray::fromHex("007e")), 1);
}

void TestRxCondition::resetKeepsDefinitions() {
    TRxCondition list;
    addAll(list, {modbusWrite, modbusException});
    int se = -1;
    QCOMPARE(feed(list, se, QByteArray::fromHex("11860253c1")), 2);

    list.PrepRxBuffResetFlags();
    se = -1;
    for (std::uint16_t n = 1; n <= 2; ++n) {
        const TRxConditionItem* c = list.GetConditionPtr(n);
        QVERIFY(!c->gotstart && !c->gotend);
        QCOMPARE(countsOf(list, n), (Counts{0, 0, 0}));
        QCOMPARE(c->nstartrx, 0);
    }
    QCOMPARE(list.GetConditionPtr(2)->endchr[0], 0x86);
    QCOMPARE(list.GetConditionPtr(2)->minpost, 4);
    QCOMPARE(feed(list, se, QByteArray::fromHex("1106000100022a9b")), 1);

    // A sequence half-matched in one exchange starts from scratch in the next.
    TRxCondition boot;
    addAll(boot, {bootloader});
    se = -1;
    QCOMPARE(feed(boot, se, QByteArray::fromHex("10")), -1);
    boot.PrepRxBuffResetFlags();
    se = -1;
    QCOMPARE(feed(boot, se, QByteArray::fromHex("02")), -1);
    QVERIFY(!boot.GetConditionPtr(1)->gotstart);
}

void TestRxCondition::conditionNumbersOutOfRange() {
    TRxCondition list;
    QVERIFY(list.GetConditionPtr(0) == nullptr);
    QVERIFY(list.GetConditionPtr(1) == nullptr);
    QVERIFY(!list.CheckRxChars(1));
    addAll(list, {{{0x01}, 0, {}, 0, 0, 0, 0}, {{0x02}, 0, {}, 0, 0, 0, 0}});
    QVERIFY(list.GetConditionPtr(0) == nullptr);
    QVERIFY(list.GetConditionPtr(1) != nullptr);
    QVERIFY(list.GetConditionPtr(2) != nullptr);
    QVERIFY(list.GetConditionPtr(3) == nullptr);
    int se = -1;
    QCOMPARE(feed(list, se, QByteArray::fromHex("01")), 1);
    QVERIFY(list.CheckRxChars(1));
    QVERIFY(!list.CheckRxChars(0));
    QVERIFY(!list.CheckRxChars(3));
    QVERIFY(!list.CheckRxChars(65535));
}

QTEST_GUILESS_MAIN(TestRxCondition)
#include "tst_rxcondition.moc"

// The Modbus RTU master on a real serial link (pseudo-terminals): against libmodbus's RTU
// slave through a pty bridge, and against a scripted peer for noise, corruption and the
// unit's own function codes.

#include "LibmodbusPeer.h"
#include "ModBusPro.h"
#include "ModbusPeerMap.h"
#include "Pty.h"
#include "RtuLink.h"
#include "ScriptedPeers.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace corvane::testsupport;

namespace {

constexpr std::uint8_t peerSlave = 1;

QByteArray bytesOf(std::initializer_list<int> list) {
    QByteArray a;
    for (const int b : list) {
        a.append(static_cast<char>(b));
    }
    return a;
}

// A read reply of count registers carrying base + i.
QByteArray readReply(std::uint8_t slave, int count, std::uint16_t base = 0x2000) {
    QByteArray r = bytesOf({slave, 3, 2 * count});
    for (int i = 0; i < count; ++i) {
        const auto v = static_cast<std::uint16_t>(base + i);
        r.append(static_cast<char>(v >> 8)).append(static_cast<char>(v & 0xFF));
    }
    return withCrc(r);
}

PeerScript answer(QByteArray reply) {
    return [reply](const QByteArray&) { return std::vector<PeerStep>{{reply}}; };
}

// Everything a link's tap is told, as text: "begin KIND", "tx HEX", "rx HEX", "end RESULT".
class RecordingTap final : public LinkTap {
public:
    QStringList events;
    QByteArray received;
    void exchangeBegun(std::string_view kind) override {
        events << QStringLiteral("begin ") + QString::fromUtf8(kind.data(), qsizetype(kind.size()));
    }
    void exchangeEnded(int result) override { events << QStringLiteral("end %1").arg(result); }
    void frameSent(const std::uint8_t* bytes, std::size_t written) override {
        events << QStringLiteral("tx ") +
                      QString::fromLatin1(
                          QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(written))
                              .toHex(' '));
    }
    void chunkReceived(const std::uint8_t* bytes, std::size_t length) override {
        events << QStringLiteral("rx");
        received.append(reinterpret_cast<const char*>(bytes), qsizetype(length));
    }
};

struct ScriptedFixture {
    explicit ScriptedFixture(PeerScript script = {})
        : peer(std::move(script))
        , link(openRtuLink(peer.devicePath())) {}
    ScriptedSerialPeer peer;
    std::unique_ptr<TVexaComms> link;
};

} // namespace

class TestModbusRtu : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // Against libmodbus.
    void libmodbusReads_data();
    void libmodbusReads();
    void libmodbusWrites_data();
    void libmodbusWrites();
    void libmodbusExceptionReplies_data();
    void libmodbusExceptionReplies();
    void silentSlaveTimesOut();
    void lateReplyIsNotTakenForTheNextRequest();

    // Against the scripted peer.
    void readReplies_data();
    void readReplies();
    void writeRepliesAcceptedByStructure_data();
    void writeRepliesAcceptedByStructure();
    void exceptionReplyEndsAfterFiveBytes_data();
    void exceptionReplyEndsAfterFiveBytes();
    void refusedRequestsSendNothing();
    void hooksAndBusyFlag();
    void exceptionFromHandlerClearsBusyFlag_data();
    void exceptionFromHandlerClearsBusyFlag();
    void closedLink();
    void tapSeesEachExchange_data();
    void tapSeesEachExchange();
    void linkDestroyedDuringWait_data();
    void linkDestroyedDuringWait();

private:
    std::unique_ptr<PtyBridge> m_bridge;
    LibmodbusPeer m_libmodbus;
    std::unique_ptr<TVexaComms> m_link; // to the libmodbus slave
};

void TestModbusRtu::initTestCase() {
    m_bridge = std::make_unique<PtyBridge>();
    QVERIFY2(m_libmodbus.startRtu(m_bridge->endB(), peerSlave), qPrintable(m_libmodbus.error()));
    m_link = openRtuLink(m_bridge->endA());
    QVERIFY(m_link);
}

void TestModbusRtu::init() {
    m_libmodbus.clearReports();
}

void TestModbusRtu::cleanupTestCase() {
    m_link.reset();
    m_libmodbus.stop();
    m_bridge.reset();
}

void TestModbusRtu::libmodbusReads_data() {
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::newRow("1 register") << 0 << 1;
    QTest::newRow("2 registers") << 31 << 2;
    QTest::newRow("4 registers") << 120 << 4;
    QTest::newRow("125 registers") << 70 << 125;
}

void TestModbusRtu::libmodbusReads() {
    QFETCH(int, first);
    QFETCH(int, count);
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count), 0);
    QCOMPARE(MB_ReadRegs(*m_link, peerSlave, 3, static_cast<std::uint16_t>(first),
                         static_cast<std::uint16_t>(count), 15, values),
             1);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(values[static_cast<std::size_t>(i)],
                 peerInitialValue(static_cast<std::uint16_t>(first + i)));
    }
    QVERIFY(!m_link->Busy_Flag);
}

void TestModbusRtu::libmodbusWrites_data() {
    QTest::addColumn<int>("count"); // 0: single write (function 6)
    QTest::newRow("single") << 0;
    QTest::newRow("multiple, 1") << 1;
    QTest::newRow("multiple, 2") << 2;
    QTest::newRow("multiple, 16 (a data block)") << 16;
    QTest::newRow("multiple, 30 (the most)") << 30;
}

void TestModbusRtu::libmodbusWrites() {
    QFETCH(int, count);
    const std::uint16_t first = 150;
    std::vector<std::uint16_t> written;
    if (count == 0) {
        written = {0xFACE};
        QCOMPARE(MB_WriteSingleReg(*m_link, peerSlave, 6, first, written[0], 15), 1);
    } else {
        for (int i = 0; i < count; ++i) {
            written.push_back(static_cast<std::uint16_t>(0x0F0F * (i % 17) + count));
        }
        QCOMPARE(MB_WriteMultiRegs(*m_link, peerSlave, 16, first, static_cast<std::uint16_t>(count),
                                   written, 15),
                 1);
    }
    const auto w = m_libmodbus.nextWrite();
    QVERIFY(w);
    QCOMPARE(w->first, int(first));
    QCOMPARE(w->values, written);
    std::vector<std::uint16_t> back(written.size());
    QCOMPARE(MB_ReadRegs(*m_link, peerSlave, 3, first, static_cast<std::uint16_t>(back.size()), 15,
                         back),
             1);
    QCOMPARE(back, written);
}

void TestModbusRtu::libmodbusExceptionReplies_data() {
    QTest::addColumn<int>("kind"); // 0 read, 1 single write, 2 multiple write
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("reg");
    QTest::newRow("read of an unmapped register") << 0 << 3 << int(peerUnmappedRegister);
    QTest::newRow("single write to an unmapped register") << 1 << 6 << int(peerUnmappedRegister);
    QTest::newRow("multiple write to an unmapped register") << 2 << 16 << int(peerUnmappedRegister);
}

void TestModbusRtu::libmodbusExceptionReplies() {
    QFETCH(int, kind);
    QFETCH(int, function);
    QFETCH(int, reg);
    const auto fn = static_cast<std::uint8_t>(function);
    const auto r = static_cast<std::uint16_t>(reg);
    std::array<std::uint16_t, 2> values = {0x5555, 0x5555};
    QElapsedTimer t;
    t.start();
    int result = 0;
    switch (kind) {
    case 0:
        result = MB_ReadRegs(*m_link, peerSlave, fn, r, 2, 15, values);
        break;
    case 1:
        result = MB_WriteSingleReg(*m_link, peerSlave, fn, r, 1, 15);
        break;
    default:
        result = MB_WriteMultiRegs(*m_link, peerSlave, fn, r, 2, values, 15);
        break;
    }
    QCOMPARE(result, 2);
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(values, (std::array<std::uint16_t, 2>{0x5555, 0x5555}));
    // The slave saw the request as sent.
    const auto req = m_libmodbus.nextRequest();
    QVERIFY(req);
    QCOMPARE(static_cast<std::uint8_t>(req->at(1)), fn);
}

void TestModbusRtu::silentSlaveTimesOut() {
    // libmodbus ignores requests for another slave: nothing ever answers slave 9.
    std::array<std::uint16_t, 2> values = {7, 7};
    QElapsedTimer t;
    t.start();
    QCOMPARE(MB_ReadRegs(*m_link, 9, 3, 0, 2, 15, values), 0);
    const qint64 ms = t.elapsed();
    QVERIFY2(ms >= 1400 && ms < 2600, qPrintable(QString::number(ms))); // about 1.6 s
    QCOMPARE(values, (std::array<std::uint16_t, 2>{7, 7}));
    QVERIFY(!m_link->Busy_Flag);
    // The link is fine for the next exchange.
    QCOMPARE(MB_ReadRegs(*m_link, peerSlave, 3, 0, 2, 15, values), 1);
}

// The first read's reply comes 900 ms late, after the read gave up (5 ticks, about 600 ms);
// the retry must get its own reply, not the late one, which carries other values.
void TestModbusRtu::lateReplyIsNotTakenForTheNextRequest() {
    int served = 0;
    ScriptedFixture f([&served](const QByteArray&) {
        return ++served == 1 ? std::vector<PeerStep>{{readReply(4, 2, 0x1000), 900}}
                             : std::vector<PeerStep>{{readReply(4, 2, 0x2000)}};
    });
    QVERIFY(f.link);
    std::array<std::uint16_t, 2> values = {0x5555, 0x5555};
    QCOMPARE(MB_ReadRegs(*f.link, 4, 3, 0x0010, 2, 5, values), 0);
    QCOMPARE(MB_ReadRegs(*f.link, 4, 3, 0x0010, 2, 15, values), 1);
    QCOMPARE(values, (std::array<std::uint16_t, 2>{0x2000, 0x2001}));
    QCOMPARE(f.peer.requests().size(), std::size_t(2));
    // Replies in time: no settling, the third read is quick.
    QElapsedTimer t;
    t.start();
    QCOMPARE(MB_ReadRegs(*f.link, 4, 3, 0x0010, 2, 15, values), 1);
    QVERIFY2(t.elapsed() < TVexaComms::SettleQuietMs, qPrintable(QString::number(t.elapsed())));
}

void TestModbusRtu::readReplies_data() {
    QTest::addColumn<QList<QByteArray>>("chunks"); // sent 30 ms apart
    QTest::addColumn<int>("result");
    const QByteArray good = readReply(4, 2);
    QTest::newRow("plain") << QList<QByteArray>{good} << 1;
    QTest::newRow("noise before the slave address")
        << QList<QByteArray>{QByteArray::fromHex("ff0003") + good} << 1;
    QTest::newRow("split over several deliveries")
        << QList<QByteArray>{good.left(2), good.mid(2, 3), good.mid(5)} << 1;
    QTest::newRow("trailing bytes in the same delivery")
        << QList<QByteArray>{good + QByteArray::fromHex("aa55")} << -1;
    QByteArray corrupted = good;
    corrupted[4] = static_cast<char>(corrupted[4] ^ 0x01);
    QTest::newRow("one corrupted data byte") << QList<QByteArray>{corrupted} << -1;
    QByteArray wrongCrc = good;
    wrongCrc[wrongCrc.size() - 2] = static_cast<char>(wrongCrc[wrongCrc.size() - 2] ^ 0x80);
    QTest::newRow("wrong CRC") << QList<QByteArray>{wrongCrc} << -1;
    QTest::newRow("a byte short") << QList<QByteArray>{good.chopped(1)} << 0;
}

void TestModbusRtu::readReplies() {
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, result);
    ScriptedFixture f([chunks](const QByteArray&) {
        std::vector<PeerStep> steps;
        for (const QByteArray& c : chunks) {
            steps.push_back({c, steps.empty() ? 0 : 30});
        }
        return steps;
    });
    QVERIFY(f.link);
    std::array<std::uint16_t, 2> values = {0x5555, 0x5555};
    QCOMPARE(MB_ReadRegs(*f.link, 4, 3, 0x0010, 2, 5, values), result);
    if (result == 1) {
        QCOMPARE(values, (std::array<std::uint16_t, 2>{0x2000, 0x2001}));
    } else {
        QCOMPARE(values, (std::array<std::uint16_t, 2>{0x5555, 0x5555}));
    }
    const auto requests = f.peer.requests();
    QCOMPARE(requests.size(), std::size_t(1));
    QCOMPARE(requests[0], withCrc(QByteArray::fromHex("040300100002")));
}

void TestModbusRtu::writeRepliesAcceptedByStructure_data() {
    QTest::addColumn<bool>("multiple");
    QTest::addColumn<int>("function");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("103, good reply")
        << false << 103 << withCrc(QByteArray::fromHex("0267abcd1234"));
    QTest::newRow("103, wrong CRC") << false << 103 << QByteArray::fromHex("0267abcd12340000");
    QTest::newRow("104, wrong CRC and echo")
        << true << 104 << QByteArray::fromHex("02680000ffff1111");
    QTest::newRow("16, wrong CRC") << true << 16 << QByteArray::fromHex("02100000000299ff");
}

void TestModbusRtu::writeRepliesAcceptedByStructure() {
    QFETCH(bool, multiple);
    QFETCH(int, function);
    QFETCH(QByteArray, reply);
    ScriptedFixture f(answer(reply));
    QVERIFY(f.link);
    const auto fn = static_cast<std::uint8_t>(function);
    const std::array<std::uint16_t, 2> values = {0x1234, 0x5678};
    const int result = multiple ? MB_WriteMultiRegs(*f.link, 2, fn, 0xABCD, 2, values, 5)
                                : MB_WriteSingleReg(*f.link, 2, fn, 0xABCD, 0x1234, 5);
    QCOMPARE(result, 1);
    const auto requests = f.peer.requests();
    QCOMPARE(requests.size(), std::size_t(1));
    const QByteArray expected =
        multiple ? withCrc(bytesOf({2, function, 0xAB, 0xCD, 0, 2, 4, 0x12, 0x34, 0x56, 0x78}))
                 : withCrc(bytesOf({2, function, 0xAB, 0xCD, 0x12, 0x34}));
    QCOMPARE(requests[0].toHex(' '), expected.toHex(' '));
}

void TestModbusRtu::tapSeesEachExchange_data() {
    QTest::addColumn<int>("kind"); // 0 read, 1 single write, 2 multiple write
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("exchange");
    QTest::addColumn<int>("result");
    const QByteArray good = readReply(4, 2);
    QByteArray wrongCrc = good;
    wrongCrc[wrongCrc.size() - 1] = static_cast<char>(wrongCrc[wrongCrc.size() - 1] ^ 0x01);
    const QString read = QStringLiteral("modbus fn 3 slave 4 reg 16 x2");
    QTest::newRow("read, good reply") << 0 << good << read << 1;
    // The result the caller gets, not that of the wait: the reply came but does not check.
    QTest::newRow("read, wrong CRC") << 0 << wrongCrc << read << -1;
    QTest::newRow("read, no reply") << 0 << QByteArray() << read << 0;
    QTest::newRow("read, exception") << 0 << withCrc(bytesOf({4, 0x83, 2})) << read << 2;
    QTest::newRow("control register, good reply")
        << 1 << withCrc(bytesOf({4, 103, 0, 16, 0, 1}))
        << QStringLiteral("modbus fn 103 slave 4 reg 16") << 1;
    QTest::newRow("block window, good reply")
        << 2 << withCrc(bytesOf({4, 104, 0, 16, 0, 2}))
        << QStringLiteral("modbus fn 104 slave 4 reg 16 x2") << 1;
}

void TestModbusRtu::tapSeesEachExchange() {
    QFETCH(int, kind);
    QFETCH(QByteArray, reply);
    QFETCH(QString, exchange);
    QFETCH(int, result);
    ScriptedFixture f(reply.isEmpty() ? PeerScript{} : answer(reply));
    QVERIFY(f.link);
    RecordingTap tap;
    f.link->setTap(&tap);
    std::array<std::uint16_t, 2> values = {1, 2};
    const int got = kind == 0   ? MB_ReadRegs(*f.link, 4, 3, 0x0010, 2, 3, values)
                    : kind == 1 ? MB_WriteSingleReg(*f.link, 4, 103, 0x0010, 1, 3)
                                : MB_WriteMultiRegs(*f.link, 4, 104, 0x0010, 2, values, 3);
    QCOMPARE(got, result);
    const auto requests = f.peer.requests();
    QCOMPARE(requests.size(), std::size_t(1));
    QVERIFY2(tap.events.size() >= 3, qPrintable(tap.events.join(u'\n')));
    QCOMPARE(tap.events.first(), QStringLiteral("begin ") + exchange);
    QCOMPARE(tap.events.at(1), QStringLiteral("tx ") + QString::fromLatin1(requests[0].toHex(' ')));
    QCOMPARE(tap.events.last(), QStringLiteral("end %1").arg(result));
    // Every byte the peer sent, delivered within the exchange.
    QCOMPARE(tap.received.toHex(' '), reply.toHex(' '));
    for (qsizetype i = 2; i + 1 < tap.events.size(); ++i) {
        QCOMPARE(tap.events.at(i), QStringLiteral("rx"));
    }
    // With the tap gone the link reports nothing more.
    f.link->setTap(nullptr);
    const qsizetype seen = tap.events.size();
    (void)MB_ReadRegs(*f.link, 4, 3, 0x0010, 2, 1, values);
    QCOMPARE(tap.events.size(), seen);
}

void TestModbusRtu::exceptionReplyEndsAfterFiveBytes_data() {
    QTest::addColumn<int>("kind");
    QTest::newRow("read") << 0;
    QTest::newRow("single write") << 1;
    QTest::newRow("multiple write") << 2;
}

void TestModbusRtu::exceptionReplyEndsAfterFiveBytes() {
    QFETCH(int, kind);
    const int function = kind == 0 ? 3 : kind == 1 ? 103 : 104;
    // The exception code is not read, and its CRC is not checked.
    ScriptedFixture f(answer(bytesOf({6, function | 0x80, 0x04, 0x00, 0x00})));
    QVERIFY(f.link);
    std::array<std::uint16_t, 3> values = {1, 2, 3};
    QElapsedTimer t;
    t.start();
    const auto fn = static_cast<std::uint8_t>(function);
    int result = 0;
    if (kind == 0) {
        result = MB_ReadRegs(*f.link, 6, fn, 0, 3, 15, values);
    } else if (kind == 1) {
        result = MB_WriteSingleReg(*f.link, 6, fn, 0, 1, 15);
    } else {
        result = MB_WriteMultiRegs(*f.link, 6, fn, 0, 3, values, 15);
    }
    QCOMPARE(result, 2);
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(values, (std::array<std::uint16_t, 3>{1, 2, 3}));
}

void TestModbusRtu::refusedRequestsSendNothing() {
    ScriptedFixture f(answer(QByteArray::fromHex("0110000000011111")));
    QVERIFY(f.link);
    const std::vector<std::uint16_t> many(31, 0x4242);
    QCOMPARE(MB_WriteMultiRegs(*f.link, 1, 16, 0, 31, many, 5), -3);
    QCOMPARE(MB_WriteMultiRegs(*f.link, 1, 16, 0, 300, many, 5), -3);
    QCOMPARE(MB_WriteMultiRegs(*f.link, 1, 16, 0, 3, std::span(many).first(2), 5), -3);
    std::array<std::uint16_t, 1> one{};
    QCOMPARE(MB_ReadRegs(*f.link, 1, 3, 0, 2, 5, one), -3);
    QVERIFY(!f.link->Busy_Flag);
    QTest::qWait(50);
    QVERIFY(f.peer.requests().empty());
    // 30 registers is a 69-byte request and goes out.
    QCOMPARE(MB_WriteMultiRegs(*f.link, 1, 16, 0, 30, many, 5), 1);
    const auto requests = f.peer.requests();
    QCOMPARE(requests.size(), std::size_t(1));
    QCOMPARE(requests[0].size(), qsizetype(69));
}

void TestModbusRtu::hooksAndBusyFlag() {
    ScriptedFixture f(answer(QByteArray::fromHex("0368000000018888")));
    QVERIFY(f.link);
    std::vector<QString> seen;
    ExchangeHooks hooks;
    hooks.beforeSend = [&] {
        seen.push_back(QStringLiteral("before busy=%1 requests=%2")
                           .arg(f.link->Busy_Flag)
                           .arg(f.peer.requests().size()));
    };
    hooks.afterWait = [&](int r) {
        seen.push_back(QStringLiteral("after %1 busy=%2").arg(r).arg(f.link->Busy_Flag));
    };
    const std::array<std::uint16_t, 1> v = {9};
    QCOMPARE(MB_WriteMultiRegs(*f.link, 3, 104, 0, 1, v, 5, &hooks), 1);
    QCOMPARE(seen, (std::vector<QString>{QStringLiteral("before busy=1 requests=0"),
                                         QStringLiteral("after 1 busy=1")}));
    QVERIFY(!f.link->Busy_Flag);

    // afterWait sees the time-out too.
    f.peer.setScript({});
    seen.clear();
    QCOMPARE(MB_WriteMultiRegs(*f.link, 3, 104, 0, 1, v, 0, &hooks), 0);
    QCOMPARE(seen.back(), QStringLiteral("after 0 busy=1"));
}

void TestModbusRtu::exceptionFromHandlerClearsBusyFlag_data() {
    QTest::addColumn<int>("where"); // 0 beforeSend, 1 afterWait, 2 the link's data handler
    QTest::newRow("before the send") << 0;
    QTest::newRow("after the wait") << 1;
    QTest::newRow("receive handler during the wait") << 2;
}

void TestModbusRtu::exceptionFromHandlerClearsBusyFlag() {
    QFETCH(int, where);
    // The reply comes in two pieces, the second after the exchange has already ended.
    const QByteArray reply = readReply(5, 1);
    ScriptedFixture f([reply](const QByteArray&) {
        return std::vector<PeerStep>{{reply.left(3)}, {reply.mid(3), 60}};
    });
    QVERIFY(f.link);
    ExchangeHooks hooks;
    if (where == 0) {
        hooks.beforeSend = [] { throw std::runtime_error("beforeSend"); };
    } else if (where == 1) {
        hooks.afterWait = [](int) { throw std::runtime_error("afterWait"); };
    } else {
        f.link->OnReceiveData = [](const std::uint8_t*, std::uint16_t) {
            throw std::runtime_error("OnReceiveData");
        };
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("exception thrown from an event")));
    }
    const std::array<std::uint16_t, 1> v = {1};
    QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                             (void)MB_WriteMultiRegs(*f.link, 5, 16, 0, 1, v, 5, &hooks));
    QVERIFY(!f.link->Busy_Flag);
    f.link->OnReceiveData = nullptr;
    // Late bytes reach a link whose condition list is gone: nothing may touch it.
    QTest::qWait(150);
    std::array<std::uint16_t, 1> values{};
    f.peer.setScript(answer(reply));
    QCOMPARE(MB_ReadRegs(*f.link, 5, 3, 0, 1, 5, values), 1);
    QCOMPARE(values[0], std::uint16_t(0x2000));
}

void TestModbusRtu::closedLink() {
    ScriptedFixture f; // never answers
    QVERIFY(f.link);
    std::array<std::uint16_t, 1> values = {42};

    // Closed during the wait: the exchange ends at once with a negative result.
    QTimer::singleShot(100, f.link.get(), [&] { f.link->CloseComm(); });
    QElapsedTimer t;
    t.start();
    QVERIFY(MB_ReadRegs(*f.link, 1, 3, 0, 1, 30, values) < 0);
    QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!f.link->Busy_Flag);

    // Closed before: negative at once, nothing sent.
    t.restart();
    QVERIFY(MB_WriteSingleReg(*f.link, 1, 6, 0, 1, 30) < 0);
    QVERIFY(MB_ReadRegs(*f.link, 1, 3, 0, 1, 30, values) < 0);
    QVERIFY(t.elapsed() < 500);
    QCOMPARE(values[0], std::uint16_t(42));
    QCOMPARE(f.peer.requests().size(), std::size_t(1));
}

void TestModbusRtu::linkDestroyedDuringWait_data() {
    exceptionReplyEndsAfterFiveBytes_data();
}

void TestModbusRtu::linkDestroyedDuringWait() {
    QFETCH(int, kind);
    ScriptedFixture f; // never answers
    QVERIFY(f.link);
    // A handler frees the link while the exchange waits; the exchange must not touch it again.
    TVexaComms& link = *f.link;
    QTimer::singleShot(100, [&] { f.link.reset(); });
    std::array<std::uint16_t, 2> values = {42, 42};
    QElapsedTimer t;
    t.start();
    int result = 0;
    if (kind == 0) {
        result = MB_ReadRegs(link, 1, 3, 0, 2, 30, values);
    } else if (kind == 1) {
        result = MB_WriteSingleReg(link, 1, 6, 0, 1, 30);
    } else {
        result = MB_WriteMultiRegs(link, 1, 16, 0, 2, values, 30);
    }
    QVERIFY2(result < 0, qPrintable(QString::number(result)));
    QVERIFY(!f.link);
    QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(values, (std::array<std::uint16_t, 2>{42, 42}));
}

QTEST_GUILESS_MAIN(TestModbusRtu)
#include "tst_modbus_rtu.moc"

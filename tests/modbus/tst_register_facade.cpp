// The register facade: slave-address base, routing by Use_Serial_Link, the transports'
// time-outs and CloseConnection, with a scripted serial peer on a pty and a scripted TCP peer.

#include "ModbusTCP_Client.h"
#include "RegisterFacade.h"
#include "RtuLink.h"
#include "ScriptedPeers.h"

#include <QElapsedTimer>
#include <QTest>

#include <array>
#include <limits>
#include <memory>
#include <vector>

using namespace corvane::testsupport;

namespace {

// Answers every RTU request as a well-behaved slave of any address would: reads with value
// 0x0100 + i, writes with their echo.
std::vector<PeerStep> rtuEcho(const QByteArray& req, int delayMs = 0) {
    if (req.size() < 8) {
        return {};
    }
    if (req[1] == 3) {
        const int count = static_cast<std::uint8_t>(req[5]);
        QByteArray r = req.left(2);
        r.append(static_cast<char>(2 * count));
        for (int i = 0; i < count; ++i) {
            r.append('\x01').append(static_cast<char>(i));
        }
        return {{withCrc(r), delayMs}};
    }
    return {{withCrc(req.left(6)), delayMs}};
}

std::vector<PeerStep> tcpEcho(const QByteArray& req, int delayMs = 0) {
    const std::uint8_t unit = static_cast<std::uint8_t>(req[6]);
    if (req[7] == 3) {
        const int count = static_cast<std::uint8_t>(req[11]);
        QByteArray pdu = req.mid(7, 1);
        pdu.append(static_cast<char>(2 * count));
        for (int i = 0; i < count; ++i) {
            pdu.append('\x01').append(static_cast<char>(i));
        }
        return {{mbapFrame(mbapTid(req), unit, pdu), delayMs}};
    }
    return {{mbapFrame(mbapTid(req), unit, req.mid(7, 5)), delayMs}};
}

struct Transports {
    Transports()
        : serialPeer([](const QByteArray& r) { return rtuEcho(r); })
        , tcpPeer([](const QByteArray& r) { return tcpEcho(r); })
        , link(openRtuLink(serialPeer.devicePath())) {
        client.setHost(QStringLiteral("127.0.0.1"));
        client.setPort(tcpPeer.port());
    }
    ScriptedSerialPeer serialPeer;
    ScriptedTcpPeer tcpPeer;
    std::unique_ptr<TVexaComms> link;
    ModbusTCP_Client client;
};

enum class Call { poll, single, multi };

int callFacade(RegisterFacade& facade, Call call, int address) {
    std::array<std::uint16_t, 2> values = {0x0A0B, 0x0C0D};
    switch (call) {
    case Call::poll:
        return facade.PollReg(address, 3, 0x0020, 2, values);
    case Call::single:
        return facade.SendSingle(address, 6, 0x0020, 0x0A0B);
    case Call::multi:
        break;
    }
    return facade.SendMulti(address, 16, 0x0020, 2, values);
}

} // namespace

class TestRegisterFacade : public QObject {
    Q_OBJECT

private slots:
    void addressAndRouting_data();
    void addressAndRouting();
    void readValuesPassThrough();
    void transportTimeouts();
    void missingTransport();
    void tcpErrorsReachTheCaller();
    void closeConnection();
};

void TestRegisterFacade::addressAndRouting_data() {
    QTest::addColumn<bool>("serial");
    QTest::addColumn<int>("call");
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("slave");
    for (const bool serial : {true, false}) {
        const char* t = serial ? "serial" : "tcp";
        QTest::addRow("%s, read, base 1", t) << serial << int(Call::poll) << 1 << 23 << 23;
        QTest::addRow("%s, read, base 5", t) << serial << int(Call::poll) << 5 << 23 << 27;
        QTest::addRow("%s, single, base 5", t) << serial << int(Call::single) << 5 << 23 << 27;
        QTest::addRow("%s, multi, base 5", t) << serial << int(Call::multi) << 5 << 23 << 27;
        QTest::addRow("%s, low 8 bits", t) << serial << int(Call::poll) << 100 << 200 << 43;
        QTest::addRow("%s, sum beyond int", t)
            << serial << int(Call::poll) << 1 << std::numeric_limits<int>::max() << 255;
        QTest::addRow("%s, negative base", t) << serial << int(Call::single) << -10 << 20 << 9;
    }
}

void TestRegisterFacade::addressAndRouting() {
    QFETCH(bool, serial);
    QFETCH(int, call);
    QFETCH(int, base);
    QFETCH(int, address);
    QFETCH(int, slave);
    Transports t;
    QVERIFY(t.link);
    QVERIFY(t.client.connectToHost());
    RegisterFacade facade(t.link.get(), &t.client);
    facade.Base_Slave_Address = base;
    facade.Use_Serial_Link = serial;

    // The serial port is open either way; only the switch decides.
    QCOMPARE(callFacade(facade, static_cast<Call>(call), address), 1);
    QTest::qWait(30);
    const auto onSerial = t.serialPeer.requests();
    const auto onTcp = t.tcpPeer.requests();
    QCOMPARE(onSerial.size(), std::size_t(serial ? 1 : 0));
    QCOMPARE(onTcp.size(), std::size_t(serial ? 0 : 1));
    const QByteArray& req = serial ? onSerial[0] : onTcp[0];
    const int unitByte = serial ? 0 : 6;
    QCOMPARE(static_cast<std::uint8_t>(req[unitByte]), std::uint8_t(slave));
    const int expectedFunction = call == int(Call::poll) ? 3 : call == int(Call::single) ? 6 : 16;
    QCOMPARE(int(req[unitByte + 1]), expectedFunction);
}

void TestRegisterFacade::readValuesPassThrough() {
    Transports t;
    QVERIFY(t.link);
    QVERIFY(t.client.connectToHost());
    RegisterFacade facade(t.link.get(), &t.client);
    for (const bool serial : {true, false}) {
        facade.Use_Serial_Link = serial;
        std::array<std::uint16_t, 3> values{};
        QCOMPARE(facade.PollReg(1, 3, 0, 3, values), 1);
        QCOMPARE(values, (std::array<std::uint16_t, 3>{0x0100, 0x0101, 0x0102}));
    }
    // An exception reply's 2 passes unchanged.
    t.serialPeer.setScript([](const QByteArray& r) {
        return std::vector<PeerStep>{{withCrc(r.left(1) + QByteArray::fromHex("8302"))}};
    });
    facade.Use_Serial_Link = true;
    std::array<std::uint16_t, 1> one{};
    QCOMPARE(facade.PollReg(1, 3, 0, 1, one), 2);
}

void TestRegisterFacade::transportTimeouts() {
    // Serial: 15 ticks of 100 ms after the first, which does not count: 1.6 s. A reply after
    // 1.2 s is taken; none at all gives 0 then. The upper bounds leave room for a loaded
    // machine but not for the next plausible mistakes (20 ticks, 2.1 s; 30 tenths, 3 s).
    Transports t;
    QVERIFY(t.link);
    QVERIFY(t.client.connectToHost());
    RegisterFacade facade(t.link.get(), &t.client);
    std::array<std::uint16_t, 1> v{};
    facade.Use_Serial_Link = true;
    t.serialPeer.setScript([](const QByteArray& r) { return rtuEcho(r, 1200); });
    QCOMPARE(facade.PollReg(1, 3, 0, 1, v), 1);
    t.serialPeer.setScript({});
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(facade.PollReg(1, 3, 0, 1, v), 0);
    qint64 ms = timer.elapsed();
    QVERIFY2(ms >= 1550 && ms < 1950, qPrintable(QStringLiteral("serial time-out %1 ms").arg(ms)));

    // TCP: 70 tenths, 7 s. A reply after 2.5 s is taken; none at all gives 0 after 7 s.
    facade.Use_Serial_Link = false;
    t.tcpPeer.setScript([](const QByteArray& r) { return tcpEcho(r, 2500); });
    QCOMPARE(facade.PollReg(1, 3, 0, 1, v), 1);
    t.tcpPeer.setScript({});
    timer.restart();
    QCOMPARE(facade.PollReg(1, 3, 0, 1, v), 0);
    ms = timer.elapsed();
    QVERIFY2(ms >= 6950 && ms < 7900, qPrintable(QStringLiteral("TCP time-out %1 ms").arg(ms)));
}

void TestRegisterFacade::missingTransport() {
    RegisterFacade facade(nullptr, nullptr);
    std::array<std::uint16_t, 1> v = {5};
    for (const bool serial : {true, false}) {
        facade.Use_Serial_Link = serial;
        QVERIFY(facade.PollReg(1, 3, 0, 1, v) < 0);
        QVERIFY(facade.SendSingle(1, 6, 0, 1) < 0);
        QVERIFY(facade.SendMulti(1, 16, 0, 1, v) < 0);
        facade.CloseConnection();
    }
    QCOMPARE(v[0], std::uint16_t(5));
}

void TestRegisterFacade::tcpErrorsReachTheCaller() {
    ModbusTCP_Client client; // never connected
    RegisterFacade facade(nullptr, &client);
    std::array<std::uint16_t, 1> v{};
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)facade.PollReg(1, 3, 0, 1, v));

    ScriptedTcpPeer peer([](const QByteArray&) { return std::vector<PeerStep>{{{}, 20, true}}; });
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(peer.port());
    QVERIFY(client.connectToHost());
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)facade.SendSingle(1, 6, 0, 1));
}

void TestRegisterFacade::closeConnection() {
    Transports t;
    QVERIFY(t.link);
    RegisterFacade facade(t.link.get(), &t.client);

    // TCP, not connected: nothing happens, and the client can still connect afterwards.
    facade.Use_Serial_Link = false;
    facade.CloseConnection();
    QVERIFY(!t.client.isConnected());
    QVERIFY(t.link->isOpen()); // the serial port is not the TCP path's business
    QVERIFY(t.client.connectToHost());
    std::array<std::uint16_t, 1> v{};
    QCOMPARE(facade.PollReg(1, 3, 0, 1, v), 1);

    // TCP, connected: the socket closes, the client stays and connects again.
    facade.CloseConnection();
    QVERIFY(!t.client.isConnected());
    QVERIFY(t.link->isOpen());
    QVERIFY(t.client.connectToHost());
    QCOMPARE(facade.PollReg(1, 3, 0, 1, v), 1);
    QCOMPARE(t.tcpPeer.connectionsAccepted(), 2);

    // Serial: the port closes; the TCP connection stays.
    facade.Use_Serial_Link = true;
    facade.CloseConnection();
    QVERIFY(!t.link->isOpen());
    QVERIFY(t.client.isConnected());
    QVERIFY(facade.PollReg(1, 3, 0, 1, v) < 0);
    facade.CloseConnection(); // already closed: harmless
    QVERIFY(!t.link->isOpen());
}

QTEST_GUILESS_MAIN(TestRegisterFacade)
#include "tst_register_facade.moc"

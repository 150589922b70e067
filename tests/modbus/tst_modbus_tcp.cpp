// The Modbus TCP master and its client against libmodbus's TCP server on 127.0.0.1 and a
// scripted peer for what a well-behaved server never does.

#include "LibmodbusPeer.h"
#include "ModBusTCPPro.h"
#include "ModbusPeerMap.h"
#include "ModbusTCP_Client.h"
#include "ScriptedPeers.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <vector>

using namespace corvane::testsupport;

namespace {

// The normal reply to a read of count registers carrying value i at position i.
QByteArray readReply(const QByteArray& request, int count, std::uint16_t base = 0x1000) {
    QByteArray pdu;
    pdu.append('\x03').append(static_cast<char>(2 * count));
    for (int i = 0; i < count; ++i) {
        const auto v = static_cast<std::uint16_t>(base + i);
        pdu.append(static_cast<char>(v >> 8)).append(static_cast<char>(v & 0xFF));
    }
    return mbapFrame(mbapTid(request), static_cast<std::uint8_t>(request[6]), pdu);
}

} // namespace

class TestModbusTcp : public QObject {
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
    void libmodbusExceptionReplyIsNotNormalSize();
    void libmodbusReconnectAfterClose();

    // Against the scripted peer.
    void replySizeMustBeExact_data();
    void replySizeMustBeExact();
    void splitReplyIsAssembled();
    void staleBytesAreDropped();
    void transactionIdMismatch();
    void transactionIdWraps();
    void exceptionOfNormalSize();
    void noReplyTimesOut();
    void peerClosesMidExchange_data();
    void peerClosesMidExchange();
    void refusedRequestsSendNothing();

    // The client on its own.
    void clientConnectFailures();
    void clientTakeAndPeek();

private:
    std::unique_ptr<ModbusTCP_Client> connectedClient(std::uint16_t port);

    LibmodbusPeer m_libmodbus;
};

void TestModbusTcp::initTestCase() {
    QVERIFY2(m_libmodbus.startTcp(), qPrintable(m_libmodbus.error()));
}

void TestModbusTcp::init() {
    m_libmodbus.clearReports();
}

void TestModbusTcp::cleanupTestCase() {
    m_libmodbus.stop();
}

std::unique_ptr<ModbusTCP_Client> TestModbusTcp::connectedClient(std::uint16_t port) {
    auto client = std::make_unique<ModbusTCP_Client>();
    client->setHost(QStringLiteral("127.0.0.1"));
    client->setPort(port);
    if (!client->connectToHost()) {
        qWarning("connect: %s", qPrintable(client->lastError()));
        return nullptr;
    }
    return client;
}

void TestModbusTcp::libmodbusReads_data() {
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::newRow("1 register") << 0 << 1;
    QTest::newRow("2 registers") << 17 << 2;
    QTest::newRow("4 registers") << 100 << 4;
    QTest::newRow("125 registers, the most a reply carries") << 60 << 125;
}

void TestModbusTcp::libmodbusReads() {
    QFETCH(int, first);
    QFETCH(int, count);
    auto client = connectedClient(m_libmodbus.port());
    QVERIFY(client);
    MBTCP_Transaction_ID = 40;
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count), 0);
    QCOMPARE(MBTCP_ReadRegs(*client, 9, 3, static_cast<std::uint16_t>(first),
                            static_cast<std::uint16_t>(count), 70, values),
             1);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(values[static_cast<std::size_t>(i)],
                 peerInitialValue(static_cast<std::uint16_t>(first + i)));
    }
    QCOMPARE(MBTCP_Transaction_ID, std::uint16_t(41));
    const auto request = m_libmodbus.nextRequest();
    QVERIFY(request);
    QCOMPARE(mbapTid(*request), std::uint16_t(40));
    QCOMPARE(static_cast<std::uint8_t>(request->at(6)), std::uint8_t(9));
}

void TestModbusTcp::libmodbusWrites_data() {
    QTest::addColumn<int>("count"); // 0: single write (function 6)
    QTest::newRow("single") << 0;
    QTest::newRow("multiple, 1") << 1;
    QTest::newRow("multiple, 16") << 16;
    QTest::newRow("multiple, 30") << 30;
    QTest::newRow("multiple, 123, the most a request carries") << 123;
}

void TestModbusTcp::libmodbusWrites() {
    QFETCH(int, count);
    auto client = connectedClient(m_libmodbus.port());
    QVERIFY(client);
    const std::uint16_t first = 50;
    std::vector<std::uint16_t> written;
    const std::uint16_t tidBefore = MBTCP_Transaction_ID;
    if (count == 0) {
        written = {0xC0DE};
        QCOMPARE(MBTCP_WriteSingleReg(*client, 1, 6, first, written[0], 70), 1);
    } else {
        for (int i = 0; i < count; ++i) {
            written.push_back(static_cast<std::uint16_t>(0x1111 * (i % 15) + count));
        }
        QCOMPARE(MBTCP_WriteMultiRegs(*client, 1, 16, first, static_cast<std::uint16_t>(count),
                                      written, 70),
                 1);
    }
    QCOMPARE(MBTCP_Transaction_ID, static_cast<std::uint16_t>(tidBefore + 1));
    // The registers as the server holds them now.
    const auto w = m_libmodbus.nextWrite();
    QVERIFY(w);
    QCOMPARE(w->first, int(first));
    QCOMPARE(w->values, written);
    // And read back through the master.
    std::vector<std::uint16_t> back(written.size());
    QCOMPARE(
        MBTCP_ReadRegs(*client, 1, 3, first, static_cast<std::uint16_t>(back.size()), 70, back), 1);
    QCOMPARE(back, written);
}

void TestModbusTcp::libmodbusExceptionReplyIsNotNormalSize() {
    // libmodbus answers an unmapped read with a 9-byte exception reply (code 2). Only a reply of
    // the normal size counts, so this is "no reply" - but known at once from the MBAP length,
    // not after the whole time-out.
    auto client = connectedClient(m_libmodbus.port());
    QVERIFY(client);
    std::vector<std::uint16_t> values(2, 0x5555);
    QElapsedTimer t;
    t.start();
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, peerUnmappedRegister, 2, 70, values), 0);
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(values, std::vector<std::uint16_t>(2, 0x5555));
    // The exception reply does not spoil the next exchange.
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 2, 70, values), 1);
    QCOMPARE(values[1], peerInitialValue(1));
}

void TestModbusTcp::libmodbusReconnectAfterClose() {
    auto client = connectedClient(m_libmodbus.port());
    QVERIFY(client);
    std::vector<std::uint16_t> values(1);
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 5, 1, 70, values), 1);
    client->close();
    QVERIFY(!client->isConnected());
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)MBTCP_ReadRegs(*client, 1, 3, 5, 1, 70, values));
    QVERIFY(client->connectToHost());
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 6, 1, 70, values), 1);
    QCOMPARE(values[0], peerInitialValue(6));
}

void TestModbusTcp::replySizeMustBeExact_data() {
    QTest::addColumn<int>("extra"); // bytes added to (or, negative, cut from) the normal reply
    QTest::addColumn<bool>("announceTrueLength");
    QTest::addColumn<int>("result");
    QTest::newRow("13 bytes for 2 registers") << 0 << true << 1;
    QTest::newRow("12 bytes, a frame of its own") << -1 << true << 0;
    QTest::newRow("12 bytes, header claims 13") << -1 << false << 0;
    QTest::newRow("14 bytes") << 1 << false << 0;
}

void TestModbusTcp::replySizeMustBeExact() {
    QFETCH(int, extra);
    QFETCH(bool, announceTrueLength);
    QFETCH(int, result);
    ScriptedTcpPeer peer([&](const QByteArray& req) {
        QByteArray r = readReply(req, 2);
        if (extra < 0) {
            r.chop(-extra);
        } else {
            r.append(QByteArray(extra, '\x77'));
        }
        if (announceTrueLength) {
            r[5] = static_cast<char>(r.size() - 6);
        }
        return std::vector<PeerStep>{{r}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    std::vector<std::uint16_t> values(2, 0x5555);
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 2, 3, values), result);
    if (result == 1) {
        QCOMPARE(values, (std::vector<std::uint16_t>{0x1000, 0x1001}));
    } else {
        QCOMPARE(values, std::vector<std::uint16_t>(2, 0x5555));
    }
}

void TestModbusTcp::splitReplyIsAssembled() {
    // The header and the data leave in separate segments, 80 ms apart.
    ScriptedTcpPeer peer([](const QByteArray& req) {
        const QByteArray r = readReply(req, 4);
        return std::vector<PeerStep>{{r.left(5)}, {r.mid(5, 4), 80}, {r.mid(9), 80}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    std::vector<std::uint16_t> values(4);
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 4, 10, values), 1);
    QCOMPARE(values, (std::vector<std::uint16_t>{0x1000, 0x1001, 0x1002, 0x1003}));
    // Nothing left behind for the next exchange.
    QCOMPARE(client->bytesWaiting(), std::size_t(0));
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 4, 10, values), 1);
}

void TestModbusTcp::staleBytesAreDropped() {
    // The first reply comes too late; it must not stand in front of the second one.
    int n = 0;
    ScriptedTcpPeer peer([&n](const QByteArray& req) {
        ++n;
        return std::vector<PeerStep>{
            {readReply(req, 1, static_cast<std::uint16_t>(n * 0x100)), n == 1 ? 500 : 0}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    std::vector<std::uint16_t> values(1, 0);
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 1, 2, values), 0);
    QTest::qWait(700); // the late reply is now waiting in the socket
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 1, 20, values), 1);
    QCOMPARE(values[0], std::uint16_t(0x200));

    // Bytes trailing a good reply in the same block: that exchange fails on size, the next
    // one is not spoilt by them.
    peer.setScript([](const QByteArray& req) {
        return std::vector<PeerStep>{{readReply(req, 1) + QByteArray::fromHex("0102")}};
    });
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 1, 3, values), 0);
    peer.setScript(
        [](const QByteArray& req) { return std::vector<PeerStep>{{readReply(req, 1)}}; });
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 1, 20, values), 1);
}

void TestModbusTcp::transactionIdMismatch() {
    ScriptedTcpPeer peer([](const QByteArray& req) {
        QByteArray r = req[7] == 6 ? mbapFrame(0, 1, req.mid(7, 5)) : readReply(req, 2);
        const auto stale = static_cast<std::uint16_t>(mbapTid(req) - 1);
        r[0] = static_cast<char>(stale >> 8);
        r[1] = static_cast<char>(stale & 0xFF);
        return std::vector<PeerStep>{{r}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    MBTCP_Transaction_ID = 300;
    std::vector<std::uint16_t> values(2, 0x5555);
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 2, 20, values), -1);
    QCOMPARE(values, std::vector<std::uint16_t>(2, 0x5555));
    QCOMPARE(MBTCP_Transaction_ID, std::uint16_t(301));
    QCOMPARE(MBTCP_WriteSingleReg(*client, 1, 6, 0, 1, 20), -1);
    QCOMPARE(MBTCP_Transaction_ID, std::uint16_t(302));
    const auto requests = peer.requests();
    QCOMPARE(requests.size(), std::size_t(2));
    QCOMPARE(mbapTid(requests[0]), std::uint16_t(300));
    QCOMPARE(mbapTid(requests[1]), std::uint16_t(301));
}

void TestModbusTcp::transactionIdWraps() {
    ScriptedTcpPeer peer([](const QByteArray& req) {
        return std::vector<PeerStep>{{mbapFrame(mbapTid(req), 1, req.mid(7, 5))}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    MBTCP_Transaction_ID = 65534;
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(MBTCP_WriteSingleReg(*client, 1, 6, 3, static_cast<std::uint16_t>(i), 20), 1);
    }
    QCOMPARE(MBTCP_Transaction_ID, std::uint16_t(1));
    const auto requests = peer.requests();
    QCOMPARE(requests.size(), std::size_t(3));
    QCOMPARE(mbapTid(requests[0]), std::uint16_t(65534));
    QCOMPARE(mbapTid(requests[1]), std::uint16_t(65535));
    QCOMPARE(mbapTid(requests[2]), std::uint16_t(0));
}

void TestModbusTcp::exceptionOfNormalSize() {
    // A write's exception reply padded to the normal 12 bytes counts as an exception (2); the
    // standard 9-byte one does not (0).
    bool padded = true;
    ScriptedTcpPeer peer([&padded](const QByteArray& req) {
        QByteArray pdu = QByteArray::fromHex("8604");
        if (padded) {
            pdu.append(QByteArray(3, '\0'));
        }
        pdu[0] = static_cast<char>(static_cast<std::uint8_t>(req[7]) | 0x80);
        return std::vector<PeerStep>{{mbapFrame(mbapTid(req), 1, pdu)}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    const std::array<std::uint16_t, 2> values = {1, 2};
    QCOMPARE(MBTCP_WriteSingleReg(*client, 1, 6, 0, 1, 20), 2);
    QCOMPARE(MBTCP_WriteMultiRegs(*client, 1, 16, 0, 2, values, 20), 2);
    padded = false;
    QCOMPARE(MBTCP_WriteSingleReg(*client, 1, 6, 0, 1, 20), 0);
}

void TestModbusTcp::noReplyTimesOut() {
    ScriptedTcpPeer peer; // takes requests, never answers
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    const std::uint16_t tid = MBTCP_Transaction_ID;
    std::vector<std::uint16_t> values(1, 7);
    QElapsedTimer t;
    t.start();
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 1, 4, values), 0); // 400 ms
    const qint64 ms = t.elapsed();
    QVERIFY2(ms >= 380 && ms < 2000, qPrintable(QString::number(ms)));
    QCOMPARE(values[0], std::uint16_t(7));
    QCOMPARE(MBTCP_Transaction_ID, static_cast<std::uint16_t>(tid + 1));
}

void TestModbusTcp::peerClosesMidExchange_data() {
    QTest::addColumn<int>("sentBeforeClose");
    QTest::newRow("nothing") << 0;
    QTest::newRow("part of the reply") << 7;
}

void TestModbusTcp::peerClosesMidExchange() {
    QFETCH(int, sentBeforeClose);
    ScriptedTcpPeer peer([&](const QByteArray& req) {
        return std::vector<PeerStep>{{readReply(req, 2).left(sentBeforeClose), 50, true}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    MBTCP_Transaction_ID = 77;
    std::vector<std::uint16_t> values(2, 0x5555);
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)MBTCP_ReadRegs(*client, 1, 3, 0, 2, 50, values));
    QCOMPARE(MBTCP_Transaction_ID, std::uint16_t(78));
    QCOMPARE(values, std::vector<std::uint16_t>(2, 0x5555));
    QVERIFY(!client->isConnected());
    // The next exchange on the dead connection fails the same way and still counts.
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)MBTCP_WriteSingleReg(*client, 1, 6, 0, 1, 50));
    QCOMPARE(MBTCP_Transaction_ID, std::uint16_t(79));
}

void TestModbusTcp::refusedRequestsSendNothing() {
    ScriptedTcpPeer peer([](const QByteArray& req) {
        return std::vector<PeerStep>{{mbapFrame(mbapTid(req), 1, req.mid(7, 5))}};
    });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    const std::uint16_t tid = MBTCP_Transaction_ID;
    const std::vector<std::uint16_t> many(124, 0x4242);
    QCOMPARE(MBTCP_WriteMultiRegs(*client, 1, 16, 0, 124, many, 20), -3);
    QCOMPARE(MBTCP_WriteMultiRegs(*client, 1, 16, 0, 5, std::span(many).first(4), 20), -3);
    std::vector<std::uint16_t> out(2);
    QCOMPARE(MBTCP_ReadRegs(*client, 1, 3, 0, 3, 20, out), -3);
    QCOMPARE(MBTCP_Transaction_ID, tid);
    // The peer saw nothing; a valid write still goes through.
    QCOMPARE(MBTCP_WriteMultiRegs(*client, 1, 16, 0, 123, many, 20), 1);
    const auto requests = peer.requests();
    QCOMPARE(requests.size(), std::size_t(1));
    QCOMPARE(requests[0].size(), qsizetype(13 + 2 * 123));
}

void TestModbusTcp::clientConnectFailures() {
    ModbusTCP_Client client;
    QCOMPARE(client.port(), std::uint16_t(502));
    QCOMPARE(client.connectTimeoutMs(), 3000);
    QVERIFY(!client.isConnected());
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)client.waitForData(10));
    QCOMPARE(client.bytesWaiting(), std::size_t(0));
    QCOMPARE(client.take(0), QByteArray());
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)client.take(1));

    // A port nobody listens on: refused at once, not after the time-out.
    quint16 closedPort = 0;
    {
        ScriptedTcpPeer probe;
        closedPort = probe.port();
    }
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(closedPort);
    QElapsedTimer t;
    t.start();
    QVERIFY(!client.connectToHost());
    QVERIFY(t.elapsed() < 2500);
    QVERIFY(!client.lastError().isEmpty());
    QVERIFY(!client.isConnected());

    client.setHost(QStringLiteral("::1"));
    QVERIFY(!client.connectToHost());
    QVERIFY(client.lastError().contains(QLatin1String("IPv4")));
}

void TestModbusTcp::clientTakeAndPeek() {
    ScriptedTcpPeer peer(
        [](const QByteArray&) { return std::vector<PeerStep>{{QByteArray("abcdef")}}; });
    auto client = connectedClient(peer.port());
    QVERIFY(client);
    client->openWriteBuffer();
    const std::uint8_t part1[] = {0, 1, 0, 0};
    const std::uint8_t part2[] = {0, 2, 1, 3};
    client->write(part1);
    client->write(part2);
    QVERIFY(peer.requests().empty()); // still buffered
    client->closeWriteBuffer();
    QVERIFY(client->waitForBytes(6, 2000));
    QCOMPARE(client->peek(2), QByteArray("ab"));
    QCOMPARE(client->take(4), QByteArray("abcd"));
    QVERIFY_THROWS_EXCEPTION(TcpClientError, (void)client->take(3));
    QCOMPARE(client->take(2), QByteArray("ef"));
    QCOMPARE(peer.requests().size(), std::size_t(1));
    QCOMPARE(peer.requests()[0], QByteArray::fromHex("0001000000020103"));
}

QTEST_GUILESS_MAIN(TestModbusTcp)
#include "tst_modbus_tcp.moc"

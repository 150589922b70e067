// Identification reads on a real pseudo-terminal against a scripted unit (exact requests,
// silent and refusing units, slave addressing), against libmodbus as an independent RTU slave,
// and over Modbus TCP.

#include "firmware/Identification.h"
#include "firmware/VersionText.h"

#include "LibmodbusPeer.h"
#include "ModbusPeerMap.h"
#include "Pty.h"
#include "ScriptedPeers.h"
#include "modbus/ModbusTCP_Client.h"
#include "modbus/RegisterFacade.h"
#include "serial/VexaComms.h"

#include <QTest>

#include <atomic>
#include <map>
#include <memory>

using namespace corvane::testsupport;

namespace {

std::unique_ptr<TVexaComms> openLink(const QString& device) {
    auto link = std::make_unique<TVexaComms>();
    link->setCommPort(device);
    link->setBaudRate(115200);
    link->setRxBufferSize(16384);
    link->setInterCharTimeOut(10);
    if (!link->OpenComm()) {
        return nullptr;
    }
    return link;
}

QByteArray request(std::uint8_t slave, std::uint16_t first, std::uint16_t count) {
    QByteArray r;
    r.append(static_cast<char>(slave)).append('\x03');
    r.append(static_cast<char>(first >> 8)).append(static_cast<char>(first & 0xFF));
    r.append(static_cast<char>(count >> 8)).append(static_cast<char>(count & 0xFF));
    return withCrc(r);
}

// A unit that answers function 3 for any slave address from a register map; a register
// outside the map gives exception 2. mode: "answer", "silent" or "exception".
struct ScriptedUnit {
    std::map<int, std::uint16_t> registers;
    QString mode = QStringLiteral("answer");
    mutable std::atomic<int> unanswered{0}; // requests left without a reply before answering
    ScriptedSerialPeer peer;

    ScriptedUnit()
        : peer([this](const QByteArray& req) { return answer(req); }) {}

    std::vector<PeerStep> answer(const QByteArray& req) const {
        if (mode == QStringLiteral("silent") || req.size() != 8 || withCrc(req.left(6)) != req) {
            return {};
        }
        if (unanswered > 0) {
            --unanswered;
            return {};
        }
        QByteArray reply = req.left(2);
        const int first = (std::uint8_t(req[2]) << 8) | std::uint8_t(req[3]);
        const int count = (std::uint8_t(req[4]) << 8) | std::uint8_t(req[5]);
        bool known = req[1] == 3;
        for (int r = first; r < first + count; ++r) {
            known = known && registers.count(r) == 1;
        }
        if (mode == QStringLiteral("exception") || !known) {
            reply[1] = static_cast<char>(reply[1] | 0x80);
            reply.append(mode == QStringLiteral("exception") ? '\x04' : '\x02');
            return {{withCrc(reply)}};
        }
        reply.append(static_cast<char>(2 * count));
        for (int r = first; r < first + count; ++r) {
            reply.append(static_cast<char>(registers.at(r) >> 8));
            reply.append(static_cast<char>(registers.at(r) & 0xFF));
        }
        return {{withCrc(reply)}};
    }
};

struct Identified {
    std::unique_ptr<UnitState> state = std::make_unique<UnitState>();
    ScreenTexts texts;
};

} // namespace

class TestIdentification : public QObject {
    Q_OBJECT

private slots:
    void readsBothPairs_data() {
        QTest::addColumn<int>("rm");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("label");
        QTest::newRow("family-2 unit") << 4002 << 243 << "RM4002 v2.43";
        QTest::newRow("version 200") << 4001 << 200 << "RM4001 v2.00";
        QTest::newRow("version 5") << 4001 << 5 << "RM4001 v0.05";
        QTest::newRow("small RM, no leading zeros") << 42 << 245 << "RM42 v2.45";
        QTest::newRow("largest word") << 65535 << 65535 << "RM65535 v655.35";
    }
    void readsBothPairs() {
        QFETCH(int, rm);
        QFETCH(int, version);
        QFETCH(QString, label);
        ScriptedUnit unit;
        unit.registers = {{0, std::uint16_t(rm)},
                          {1, std::uint16_t(version)},
                          {8, 6204},
                          {9, 110},
                          {10, 5103},
                          {11, 230}};
        auto link = openLink(unit.peer.devicePath());
        QVERIFY(link);
        RegisterFacade facade(link.get(), nullptr);
        facade.Use_Serial_Link = true;
        Identified id;
        id.state->MB_FW_Slv = 23;
        UnitIdentifier identifier(*id.state, id.texts, facade, QLocale::c());

        QCOMPARE(identifier.Get_Firmware_Num(), rm);
        QCOMPARE(id.state->RM_Number[1], rm);
        QCOMPARE(id.state->FW_Version[1], version);
        QCOMPARE(id.texts.CurrentVer_Label[1].text, label);
        QCOMPARE(id.texts.CurrentVer_Label[1].colour, kSilver);

        QVERIFY(identifier.MB_Get_Other_FW_Nums());
        // Registers 8, 9 belong to the HMI, 10, 11 to CPU-2.
        QCOMPARE(id.state->RM_Number[3], 6204);
        QCOMPARE(id.state->FW_Version[3], 110);
        QCOMPARE(id.state->RM_Number[2], 5103);
        QCOMPARE(id.state->FW_Version[2], 230);

        const auto requests = unit.peer.requests();
        QCOMPARE(requests.size(), std::size_t{2});
        QCOMPARE(requests[0], request(23, 0, 2));
        QCOMPARE(requests[1], request(23, 8, 4));
    }

    void slaveAddressing() {
        // The facade adds Base_Slave_Address - 1 and reads from MB_FW_Off; the CPU-2/HMI read
        // uses MB_FW_Slv as it is and absolute registers.
        ScriptedUnit unit;
        unit.registers = {{0x20, 4003}, {0x21, 245}, {8, 1}, {9, 2}, {10, 3}, {11, 4}};
        auto link = openLink(unit.peer.devicePath());
        QVERIFY(link);
        RegisterFacade facade(link.get(), nullptr);
        facade.Use_Serial_Link = true;
        facade.Base_Slave_Address = 3;
        Identified id;
        id.state->MB_FW_Slv = 23;
        id.state->MB_FW_Off = 0x20;
        UnitIdentifier identifier(*id.state, id.texts, facade, QLocale::c());
        QCOMPARE(identifier.Get_Firmware_Num(), 4003);
        QVERIFY(identifier.MB_Get_Other_FW_Nums());
        const auto requests = unit.peer.requests();
        QCOMPARE(requests.size(), std::size_t{2});
        QCOMPARE(requests[0], request(25, 0x20, 2));
        QCOMPARE(requests[1], request(23, 8, 4));
        QCOMPARE(id.state->RM_Number[3], 1);
        QCOMPARE(id.state->RM_Number[2], 3);
    }

    void failedReadsChangeNothing_data() {
        QTest::addColumn<QString>("mode");
        QTest::newRow("silent unit") << "silent";
        QTest::newRow("exception reply") << "exception";
    }
    void failedReadsChangeNothing() {
        QFETCH(QString, mode);
        ScriptedUnit unit;
        unit.mode = mode;
        unit.registers = {{0, 4002}, {1, 243}, {8, 6204}, {9, 110}, {10, 5103}, {11, 230}};
        auto link = openLink(unit.peer.devicePath());
        QVERIFY(link);
        RegisterFacade facade(link.get(), nullptr);
        facade.Use_Serial_Link = true;
        Identified id;
        id.state->MB_FW_Slv = 23;
        // What an earlier identification left.
        id.state->RM_Number = {0, 4001, 5101, 6201};
        id.state->FW_Version = {0, 245, 200, 105};
        id.texts.CurrentVer_Label[1].text = QStringLiteral("RM4001 v2.45");
        UnitIdentifier identifier(*id.state, id.texts, facade, QLocale::c());

        QCOMPARE(identifier.Get_Firmware_Num(), 0);
        QVERIFY(!identifier.MB_Get_Other_FW_Nums());
        QCOMPARE(id.state->RM_Number, (PerProcessor<std::uint16_t>{0, 4001, 5101, 6201}));
        QCOMPARE(id.state->FW_Version, (PerProcessor<std::uint16_t>{0, 245, 200, 105}));
        QCOMPARE(id.texts.CurrentVer_Label[1].text, QStringLiteral("RM4001 v2.45"));
        QCOMPARE(unit.peer.requests().size(), std::size_t{2});
    }

    void otherNumbersAreRetried_data() {
        QTest::addColumn<int>("lost");
        QTest::addColumn<bool>("read");
        QTest::addColumn<int>("requests");
        QTest::newRow("first reply lost") << 1 << true << 2;
        QTest::newRow("two lost") << 2 << true << 3;
        QTest::newRow("every attempt lost") << 3 << false << 3;
    }
    void otherNumbersAreRetried() {
        QFETCH(int, lost);
        QFETCH(bool, read);
        QFETCH(int, requests);
        ScriptedUnit unit;
        unit.registers = {{8, 6204}, {9, 110}, {10, 5103}, {11, 230}};
        unit.unanswered = lost;
        auto link = openLink(unit.peer.devicePath());
        QVERIFY(link);
        RegisterFacade facade(link.get(), nullptr);
        facade.Use_Serial_Link = true;
        Identified id;
        id.state->MB_FW_Slv = 23;
        UnitIdentifier identifier(*id.state, id.texts, facade, QLocale::c());
        QCOMPARE(identifier.MB_Get_Other_FW_Nums(UnitIdentifier::kOtherNumsAttempts), read);
        QCOMPARE(unit.peer.requests().size(), std::size_t(requests));
        for (const QByteArray& r : unit.peer.requests()) {
            QCOMPARE(r, request(23, 8, 4)); // the same read each time
        }
        QCOMPARE(id.state->RM_Number[3], read ? 6204 : 0);
        QCOMPARE(id.state->FW_Version[2], read ? 230 : 0);
    }

    void commaLocale() {
        ScriptedUnit unit;
        unit.registers = {{0, 4002}, {1, 243}};
        auto link = openLink(unit.peer.devicePath());
        QVERIFY(link);
        RegisterFacade facade(link.get(), nullptr);
        facade.Use_Serial_Link = true;
        Identified id;
        id.state->MB_FW_Slv = 23;
        UnitIdentifier identifier(*id.state, id.texts, facade, QLocale(QStringLiteral("de_DE")));
        QCOMPARE(identifier.Get_Firmware_Num(), 4002);
        QCOMPARE(id.texts.CurrentVer_Label[1].text, QStringLiteral("RM4002 v2,43"));
    }

    void noSerialLink() {
        RegisterFacade facade(nullptr, nullptr);
        facade.Use_Serial_Link = true;
        Identified id;
        id.state->RM_Number[2] = 77;
        UnitIdentifier identifier(*id.state, id.texts, facade);
        QCOMPARE(identifier.Get_Firmware_Num(), 0);
        QVERIFY(!identifier.MB_Get_Other_FW_Nums());
        QCOMPARE(id.state->RM_Number[2], 77);
        QCOMPARE(id.texts.CurrentVer_Label[1].text, QStringLiteral("????"));
    }

    void libmodbusSlave() {
        PtyBridge bridge;
        LibmodbusPeer peer;
        QVERIFY2(peer.startRtu(bridge.endB(), 23), qPrintable(peer.error()));
        auto link = openLink(bridge.endA());
        QVERIFY(link);
        RegisterFacade facade(link.get(), nullptr);
        facade.Use_Serial_Link = true;
        Identified id;
        id.state->MB_FW_Slv = 23;
        UnitIdentifier identifier(*id.state, id.texts, facade, QLocale::c());

        const auto reg = [](int r) { return peerInitialValue(static_cast<std::uint16_t>(r)); };
        QCOMPARE(identifier.Get_Firmware_Num(), int(reg(0)));
        QCOMPARE(id.state->FW_Version[1], reg(1));
        QCOMPARE(id.texts.CurrentVer_Label[1].text, rmVersionText(reg(0), reg(1), QLocale::c()));
        QVERIFY(identifier.MB_Get_Other_FW_Nums());
        QCOMPARE(id.state->RM_Number[3], reg(8));
        QCOMPARE(id.state->FW_Version[3], reg(9));
        QCOMPARE(id.state->RM_Number[2], reg(10));
        QCOMPARE(id.state->FW_Version[2], reg(11));
    }

    void firmwareNumberOverTcp() {
        LibmodbusPeer peer;
        QVERIFY2(peer.startTcp(), qPrintable(peer.error()));
        ModbusTCP_Client client;
        client.setHost(QStringLiteral("127.0.0.1"));
        client.setPort(peer.port());
        QVERIFY(client.connectToHost());
        RegisterFacade facade(nullptr, &client);
        facade.Use_Serial_Link = false;
        Identified id;
        id.state->MB_FW_Slv = 23;
        id.state->MB_FW_Off = 100;
        UnitIdentifier identifier(*id.state, id.texts, facade, QLocale::c());
        QCOMPARE(identifier.Get_Firmware_Num(), int(peerInitialValue(100)));
        QCOMPARE(id.state->FW_Version[1], peerInitialValue(101));
        // The CPU-2/HMI read needs the serial link.
        QVERIFY(!identifier.MB_Get_Other_FW_Nums());
    }
};

QTEST_GUILESS_MAIN(TestIdentification)
#include "tst_identification.moc"

// Identification of a simulated unit, the way discovery uses it: read CPU-1's number, look
// the product up, check its family, select CPU-1's image, read CPU-2's and the HMI's numbers.

#include "DemoData.h"

#include "firmware/Identification.h"
#include "firmware/ImageStore.h"

#include "SimulatedUnit.h"
#include "modbus/RegisterFacade.h"
#include "serial/VexaComms.h"

#include <QTest>

#include <memory>

using namespace corvane::sim;

class TestIdentificationSim : public QObject {
    Q_OBJECT

private slots:
    void identify_data() {
        QTest::addColumn<int>("cpu1Rm");
        QTest::addColumn<bool>("cpu1InBootloader");
        QTest::addColumn<bool>("cpu2InBootMode");
        QTest::addColumn<bool>("hmiSilent");
        QTest::addColumn<int>("expectedRm"); // Get_Firmware_Num
        QTest::addColumn<bool>("known");     // Find_CV_Product != -1
        QTest::addColumn<bool>("accepted");  // Check_CV_Manufacturer
        QTest::addColumn<QString>("title");  // after Init_CPU1_Mem, when accepted
        QTest::addColumn<int>("rm2");
        QTest::addColumn<int>("rm3");
        QTest::newRow("family-2 unit") << 4002 << false << false << false << 4002 << true << true
                                       << "CV-C22 Gateway v2.45" << 5103 << 6204;
        QTest::newRow("family-2 unit without HMI")
            << 4004 << false << false << false << 4004 << true << true << "CV-C26 Compact v2.45"
            << 5103 << 0;
        QTest::newRow("CPU-2 in boot mode") << 4003 << false << true << false << 4003 << true
                                            << true << "CV-C24 Gateway v2.45" << 9000 << 6204;
        QTest::newRow("HMI silent") << 4005 << false << false << true << 4005 << true << true
                                    << "CV-C30 Gateway v2.45" << 5103 << 0;
        QTest::newRow("unknown RM number")
            << 4321 << false << false << false << 4321 << false << false << "" << 5103 << 6204;
        QTest::newRow("another family")
            << 2104 << false << false << false << 2104 << true << false << "" << 5103 << 6204;
    }
    void identify() {
        QFETCH(int, cpu1Rm);
        QFETCH(bool, cpu1InBootloader);
        QFETCH(bool, cpu2InBootMode);
        QFETCH(bool, hmiSilent);
        QFETCH(int, expectedRm);
        QFETCH(bool, known);
        QFETCH(bool, accepted);
        QFETCH(QString, title);
        QFETCH(int, rm2);
        QFETCH(int, rm3);

        Scenario scenario;
        scenario.buildData = QStringLiteral(DEMO_DATA_DIR);
        scenario.cpu1 = ProcessorSetup{std::uint16_t(cpu1Rm), 243, false, false};
        scenario.cpu2 = ProcessorSetup{5103, 230, false, cpu2InBootMode};
        scenario.hmi = ProcessorSetup{6204, 110, hmiSilent, false};
        scenario.startInBootloader = cpu1InBootloader;
        SimulatedUnit unit(scenario);
        const QString device = unit.openPty();

        TVexaComms link;
        link.setCommPort(device);
        link.setBaudRate(115200);
        link.setRxBufferSize(16384);
        link.setInterCharTimeOut(10);
        QVERIFY2(link.OpenComm(), qPrintable(link.lastOpenError()));
        RegisterFacade facade(&link, nullptr);
        facade.Use_Serial_Link = true;

        MemoryResourceSource resources = demoResources();
        const ProductTable products = ProductTable::load(resources);
        auto state = std::make_unique<UnitState>();
        ScreenTexts texts;
        ImageStore store(*state, texts, resources, products, QLocale::c());
        store.loadParameterWords();
        for (int n = 1; n <= 3; ++n) {
            store.Init_Mem(n);
        }
        UnitIdentifier identifier(*state, texts, facade, QLocale::c());

        const int rm = identifier.Get_Firmware_Num();
        QCOMPARE(rm, expectedRm);
        QCOMPARE(state->FW_Version[1], 243);
        QCOMPARE(texts.CurrentVer_Label[1].text, QStringLiteral("RM%1 v2.43").arg(cpu1Rm));
        const int row = products.Find_CV_Product(rm);
        QCOMPARE(row != -1, known);
        QCOMPARE(products.Check_CV_Manufacturer(row), accepted);
        if (accepted) {
            store.Init_CPU1_Mem(rm);
            QCOMPARE(texts.Model_Label.text, title);
            QVERIFY(isProgrammable(*state, 1));
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(state->PMem_Store[1].Mem_Data.data()),
                                kImageSize),
                     unit.carried().cpu1Images.at(std::uint16_t(rm)));
        }
        QVERIFY(identifier.MB_Get_Other_FW_Nums());
        QCOMPARE(state->RM_Number[2], rm2);
        QCOMPARE(state->RM_Number[3], rm3);
        QCOMPARE(state->FW_Version[3], rm3 == 0 ? 0 : 110);
        if (cpu2InBootMode) {
            QCOMPARE(state->RM_Number[2], state->Boot_RM_Number);
        }
        link.CloseComm();
    }

    void unitInItsBootloaderDoesNotAnswer() {
        Scenario scenario;
        scenario.buildData = QStringLiteral(DEMO_DATA_DIR);
        scenario.cpu1 = ProcessorSetup{4002, 243, false, false};
        scenario.startInBootloader = true;
        SimulatedUnit unit(scenario);
        TVexaComms link;
        link.setCommPort(unit.openPty());
        link.setBaudRate(115200);
        link.setInterCharTimeOut(10);
        QVERIFY(link.OpenComm());
        RegisterFacade facade(&link, nullptr);
        facade.Use_Serial_Link = true;
        auto state = std::make_unique<UnitState>();
        state->MB_FW_Slv = 23;
        state->RM_Number[1] = 4001;
        ScreenTexts texts;
        texts.CurrentVer_Label[1].text = QStringLiteral("RM4001 v2.45");
        UnitIdentifier identifier(*state, texts, facade, QLocale::c());
        QCOMPARE(identifier.Get_Firmware_Num(), 0);
        QCOMPARE(state->RM_Number[1], 4001);
        QCOMPARE(texts.CurrentVer_Label[1].text, QStringLiteral("RM4001 v2.45"));
        link.CloseComm();
    }
};

QTEST_GUILESS_MAIN(TestIdentificationSim)
#include "tst_identification_sim.moc"

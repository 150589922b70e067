// The simulated unit inside the program reads the build data compiled into the program, so an
// installed program simulates without its source tree, and reads it as completely as the
// folder it was built from.

#include "BuiltInSimulator.h"
#include "support/Scenarios.h"

#include <QTest>

namespace sim = corvane::sim;

class TestBuiltInSimulator : public QObject {
    Q_OBJECT
private slots:
    void readsTheCompiledInBuildData();
    void productWithoutHmiFromTheCompiledTable();
};

void TestBuiltInSimulator::readsTheCompiledInBuildData() {
    QVERIFY2(BuiltInSimulator::buildDataFolder().startsWith(QStringLiteral(":/")),
             qPrintable(BuiltInSimulator::buildDataFolder()));
    BuiltInSimulator builtIn({}, {});
    QCOMPARE(builtIn.problems(), QStringList());
    const sim::CarriedFirmware& embedded = builtIn.unit().carried();
    QCOMPARE(embedded.folder, BuiltInSimulator::buildDataFolder());

    // The same content as the source folder the program was built from.
    const sim::CarriedFirmware& folder = corvane::test::carried();
    QCOMPARE(folder.problems, QStringList());
    QCOMPARE(embedded.rm, folder.rm);
    QCOMPARE(embedded.version, folder.version);
    QCOMPARE(embedded.progStart, folder.progStart);
    QCOMPARE(embedded.bootRmNumber, folder.bootRmNumber);
    QCOMPARE(embedded.subImages, folder.subImages);
    QVERIFY(!folder.cpu1Images.empty());
    QVERIFY(embedded.cpu1Images == folder.cpu1Images);
    // The product table is stored under an upper-case name in the program.
    QVERIFY(!folder.productHasHmi.empty());
    QVERIFY(embedded.productHasHmi == folder.productHasHmi);
}

void TestBuiltInSimulator::productWithoutHmiFromTheCompiledTable() {
    const sim::CarriedFirmware& folder = corvane::test::carried();
    // A carried CPU-1 image of a product the table lists without the HMI.
    std::uint16_t rm = 0;
    for (const auto& [imageRm, image] : folder.cpu1Images) {
        const auto row = folder.productHasHmi.find(imageRm);
        if (row != folder.productHasHmi.end() && !row->second) {
            rm = imageRm;
            break;
        }
    }
    QVERIFY2(rm != 0, "the demo build data carries a product without the HMI");
    sim::Scenario scenario;
    scenario.cpu1.rm = rm;
    BuiltInSimulator builtIn(scenario, {});
    QCOMPARE(builtIn.unit().scenario().hasHmi, std::optional<bool>(false));
    QVERIFY2(builtIn.description().contains(QStringLiteral("HMI none")),
             qPrintable(builtIn.description()));
}

QTEST_GUILESS_MAIN(TestBuiltInSimulator)
#include "tst_builtinsim.moc"

// The sub-processor steps end to end: only the HMI out of date, ALL mode, a second processor
// that does not answer, and one that is already in boot mode.

#include "UpgradeRig.h"

#include "support/Scenarios.h"

#include "common/gen_lib.h"
#include "firmware/ResourceSource.h"
#include "main.h"

#include <QTest>

using namespace corvane::e2e;
using corvane::test::carried;
using corvane::test::upToDate;
namespace sim = corvane::sim;

namespace {

// Every processor on the carried version unless the test changes one.
qsizetype countOf(const std::vector<RequestKind>& kinds, RequestKind kind) {
    return std::count(kinds.begin(), kinds.end(), kind);
}

// The compiled-in build data with some resources replaced.
class PatchedResources final : public ResourceSource {
public:
    void set(const QString& name, const QByteArray& bytes) { m_patch.set(name, bytes); }
    [[nodiscard]] std::optional<QByteArray> read(const QString& upperName,
                                                 qint64 maxBytes) const override {
        if (auto patched = m_patch.read(upperName, maxBytes)) {
            return patched;
        }
        return embeddedResources().read(upperName, maxBytes);
    }

private:
    MemoryResourceSource m_patch;
};

} // namespace

class TestE2eSubProcessors : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void onlyTheHmiIsProgrammed();
    void allModeProgramsEverything();
    void silentSecondProcessorIsReported();
    void processorAlreadyInBootMode();
    void unknownProgramRangeIsRefused_data();
    void unknownProgramRangeIsRefused();
};

void TestE2eSubProcessors::cleanup() {
    setKeyboardModifiersSource({});
}

void TestE2eSubProcessors::onlyTheHmiIsProgrammed() {
    sim::Scenario s = upToDate();
    s.hmi.version = 105;
    UpgradeRig rig(s);
    rig.openWindow();
    QVERIFY(rig.scan());
    const QByteArray cpu1Before = rig.flashRange(1);
    const QByteArray cpu2Before = rig.flashRange(2);

    QVERIFY(rig.load());
    QCOMPARE(rig.lines(), (QStringList{
                              "CPU-1 Firmware Up To Date.",
                              "CPU-2 Firmware Up To Date.",
                              "Enabling HMI Boot Mode......Done",
                              "Sending New Firmware for HMI......",
                              "Erasing HMI......OK",
                              "Reprogramming HMI......OK",
                              "Restarting System....Done",
                              "Verifying Firmware......OK",
                          }));
    for (int line : {3, 4, 5}) {
        QCOMPARE(rig.barOf(line), 100.0);
    }
    QVERIFY(rig.flashRange(3) == rig.carriedRange(3));
    QCOMPARE(rig.unit().reportedVersion(3), carried().version[3]);
    QVERIFY(rig.flashRange(1) == cpu1Before);
    QVERIFY(rig.flashRange(2) == cpu2Before);
    const sim::Summary summary = rig.unit().summary();
    QVERIFY(!summary.processors[1].programmed);
    QVERIFY(!summary.processors[2].programmed);
    QVERIFY(summary.processors[3].programmed);

    // CPU-1 was never asked into its bootloader: no bootloader frame at all.
    const std::vector<RequestKind> kinds = rig.kindsSinceLoad();
    for (RequestKind k : {RequestKind::BlInfo, RequestKind::BlModel, RequestKind::BlErase,
                          RequestKind::BlProgram, RequestKind::BlReset}) {
        QCOMPARE(countOf(kinds, k), qsizetype(0));
    }
    QCOMPARE(countOf(kinds, RequestKind::Fn103), qsizetype(2)); // upgrade mode, restart
    QVERIFY(rig.closeWindow());
}

void TestE2eSubProcessors::allModeProgramsEverything() {
    UpgradeRig rig(upToDate());
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    QVERIFY(!form.Load_Button->isVisibleTo(&form)); // nothing to do...

    // ...until "Upgrade Version " is clicked with Ctrl held.
    setKeyboardModifiersSource([] { return Qt::KeyboardModifiers(Qt::ControlModifier); });
    form.Label7Click();
    QVERIFY(form.Label8->isVisibleTo(&form));
    QVERIFY(form.Load_Button->isVisibleTo(&form));
    form.Load_Button->click();

    // The run opens with its own line, then reprograms CPU-1 although it is up to date. The
    // window is closed once that is under way.
    QVERIFY(waitUntil([&] { return rig.lines().size() >= 5; }, 30000));
    QCOMPARE(rig.lines().mid(0, 4),
             (QStringList{"Updating All Available CPUs.....", "Enabling BootLoader.....Done",
                          rig.lines().at(2), "Retrieving Model Number......OK"}));
    QVERIFY(rig.lines().at(2).startsWith(QStringLiteral("Retrieving Bootloader Info......RM")));
    QCOMPARE(rig.lines().at(4), QStringLiteral("Erasing Program Memory......"));
    QVERIFY(rig.closeWindow());
}

void TestE2eSubProcessors::silentSecondProcessorIsReported() {
    sim::Scenario s = upToDate();
    s.cpu2.silent = true;
    s.hmi.version = 105;
    UpgradeRig rig(s);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    QCOMPARE(form.CurrentVer_Label[2]->text(), QStringLiteral("Unknown"));
    QVERIFY(rig.load());
    // A processor that did not answer is not reported as up to date; the HMI is still done.
    QCOMPARE(rig.lines(), (QStringList{
                              "CPU-1 Firmware Up To Date.",
                              "CPU-2 Not Responding. Upgrade Aborted",
                              "Enabling HMI Boot Mode......Done",
                              "Sending New Firmware for HMI......",
                              "Erasing HMI......OK",
                              "Reprogramming HMI......OK",
                              "Restarting System....Done",
                              "Verifying Firmware......Failed",
                              QStringLiteral("CPU-2 reports RM0000 v0.00, expected RM%1 v%2")
                                  .arg(carried().rm[2])
                                  .arg(carried().version[2] / 100.0, 0, 'f', 2),
                          }));
    QVERIFY(rig.flashRange(3) == rig.carriedRange(3));
    QVERIFY(!rig.unit().summary().processors[2].programmed);
    QVERIFY(rig.closeWindow());
}

void TestE2eSubProcessors::processorAlreadyInBootMode() {
    sim::Scenario s = upToDate();
    s.cpu2.inBootMode = true;
    UpgradeRig rig(s);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    QCOMPARE(int(form.unit().RM_Number[2]), int(carried().bootRmNumber));
    QVERIFY(form.unit().PMem_Store[2].Upgrade_Flag);

    QVERIFY(rig.load());
    QCOMPARE(rig.lines(), (QStringList{
                              "CPU-1 Firmware Up To Date.",
                              "CPU-2 Already In Boot Mode.",
                              "Sending New Firmware for CPU-2......",
                              "Erasing CPU-2......OK",
                              "Reprogramming CPU-2......OK",
                              "HMI Firmware Up To Date.",
                              "Restarting System....Done",
                              "Verifying Firmware......OK",
                          }));
    // No boot-mode command: the first window block is image data, and only the erase and
    // programming commands follow.
    const std::vector<RequestKind> kinds = rig.kindsSinceLoad();
    const auto firstBlock = std::find_if(kinds.begin(), kinds.end(), [](RequestKind k) {
        return k == RequestKind::Fn104Command || k == RequestKind::Fn104Data;
    });
    QVERIFY(firstBlock != kinds.end());
    QCOMPARE(kindName(*firstBlock), kindName(RequestKind::Fn104Data));
    QCOMPARE(countOf(kinds, RequestKind::Fn104Command), qsizetype(2));

    QVERIFY(rig.flashRange(2) == rig.carriedRange(2));
    QVERIFY(!rig.unit().inBootMode(2));
    QCOMPARE(rig.unit().reportedRm(2), carried().rm[2]);
    QCOMPARE(rig.unit().reportedVersion(2), carried().version[2]);
    QVERIFY(rig.closeWindow());
}

void TestE2eSubProcessors::unknownProgramRangeIsRefused_data() {
    QTest::addColumn<int>("processor");
    QTest::addColumn<QStringList>("expected");
    const sim::CarriedFirmware& c = carried();
    auto expected = [](int rm, int from, int to) {
        return QStringLiteral("reports RM%1 v%2, expected RM%1 v%3")
            .arg(rm)
            .arg(from / 100.0, 0, 'f', 2)
            .arg(to / 100.0, 0, 'f', 2);
    };
    // The refused processor keeps its old firmware, and the verification says so.
    QTest::newRow("CPU-1") << 1
                           << QStringList{"CPU-1 Cannot Be Programmed. Upgrade Aborted",
                                          "CPU-2 Firmware Up To Date.",
                                          "HMI Firmware Up To Date.",
                                          "Restarting System....Done",
                                          "Verifying Firmware......Failed",
                                          "CPU-1 " + expected(c.rm[1], 215, c.version[1])};
    QTest::newRow("HMI") << 3
                         << QStringList{"CPU-1 Firmware Up To Date.",
                                        "CPU-2 Firmware Up To Date.",
                                        "HMI Cannot Be Programmed. Upgrade Aborted",
                                        "Restarting System....Done",
                                        "Verifying Firmware......Failed",
                                        "HMI " + expected(c.rm[3], 105, c.version[3])};
}

void TestE2eSubProcessors::unknownProgramRangeIsRefused() {
    QFETCH(int, processor);
    QFETCH(QStringList, expected);
    // A build whose processor type is not known: its last program address stays 0.
    PatchedResources resources;
    resources.set(QStringLiteral("PROC_NUM_%1").arg(processor), QByteArray("\x39\x30", 2));
    RigOptions options;
    options.resources = &resources;
    sim::Scenario s = upToDate();
    if (processor == 1) {
        s.cpu1.version = 215;
    } else {
        s.hmi.version = 105;
    }
    UpgradeRig rig(s, {}, options);
    TForm3& form = rig.openWindow();
    QCOMPARE(form.unit().PMem_Store[std::size_t(processor)].Max_Prog_Addr, 0u);
    QVERIFY(rig.scan());
    QVERIFY(form.unit().PMem_Store[std::size_t(processor)].Upgrade_Flag);
    const QByteArray before = rig.flashRange(processor);

    QVERIFY(rig.load());
    QCOMPARE(rig.lines(), expected);
    // Nothing was sent towards the refused processor: no bootloader frame, no window block;
    // after the restart only the verification's reads.
    const std::vector<RequestKind> kinds = rig.kindsSinceLoad();
    QVERIFY(kinds.size() >= 3);
    QCOMPARE(kinds[0], RequestKind::Fn103); // upgrade mode
    QCOMPARE(kinds[1], RequestKind::Fn103); // restart
    for (std::size_t i = 2; i < kinds.size(); ++i) {
        QVERIFY2(kinds[i] == RequestKind::ModbusRead, qPrintable(kindName(kinds[i])));
    }
    QVERIFY(rig.flashRange(processor) == before);
    QVERIFY(rig.closeWindow());
}

QTEST_MAIN(TestE2eSubProcessors)
#include "tst_e2e_subproc.moc"

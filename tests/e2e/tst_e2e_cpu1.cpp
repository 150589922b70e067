// CPU-1's bootloader path end to end: a unit found in its bootloader, a bootloader of another
// model, a silent bootloader, and power lost while CPU-1 is being programmed followed by a
// second run that finds the unit through its bootloader and finishes the job.

#include "UpgradeRig.h"
#include "support/Scenarios.h"

#include "main.h"

#include <QTest>

using namespace corvane::e2e;
namespace sim = corvane::sim;

namespace {

// Second and HMI processors already run the carried firmware, so only CPU-1 is programmed.
sim::Scenario cpu1Only() {
    sim::Scenario s;
    const sim::CarriedFirmware& carried = corvane::test::carried();
    s.cpu2.version = carried.version[2];
    s.hmi.version = carried.version[3];
    return s;
}

QString infoLine(const sim::Scenario& s) {
    return QStringLiteral("Retrieving Bootloader Info......RM%1 v%2.%3")
        .arg(s.bootloaderRm)
        .arg(s.bootloaderVersion / 100)
        .arg(s.bootloaderVersion % 100, 2, 10, QLatin1Char('0'));
}

QStringList scanLog(const TForm3& form, const QString& port) {
    QStringList out;
    for (const QString& line : form.engine().Memo2) {
        if (line.startsWith(port)) {
            out << line.mid(port.size());
        }
    }
    return out;
}

const QStringList kCpu1Lines{
    QStringLiteral("Retrieving Model Number......OK"),
    QStringLiteral("Erasing Program Memory......"),
    QStringLiteral("Sending New Firmware......"),
    QStringLiteral("Disabling Boot Mode......Done"),
    QStringLiteral("Restarting CPU-1......Done"),
    QStringLiteral("CPU-2 Firmware Up To Date."),
    QStringLiteral("HMI Firmware Up To Date."),
    QStringLiteral("Restarting System....Done"),
    QStringLiteral("Verifying Firmware......OK"),
};

} // namespace

class TestE2eCpu1 : public QObject {
    Q_OBJECT
private slots:
    void unitFoundInItsBootloader();
    void bootloaderRefusesTheRun_data();
    void bootloaderRefusesTheRun();
    void powerLossWhileProgrammingThenSecondRun();
    void powerBlipWhileProgrammingIsRiddenOut();
};

void TestE2eCpu1::unitFoundInItsBootloader() {
    sim::Scenario s = cpu1Only();
    s.startInBootloader = true;
    UpgradeRig rig(s);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    QCOMPARE(scanLog(form, rig.port()),
             (QStringList{" open.", " CV not found(1).", " found CV. (B)"}));
    QVERIFY(form.unit().BL_Active_Flag);
    QCOMPARE(form.CurrentVer_Label[1]->text(),
             QStringLiteral("RM%1 v?.??").arg(rig.unit().scenario().cpu1.rm));

    QVERIFY(rig.load());
    QCOMPARE(rig.lines(), QStringList({QStringLiteral("Enabling BootLoader.....Done"),
                                       infoLine(rig.unit().scenario())}) +
                              kCpu1Lines);
    // Nothing is sent to the unit before the two bootloader information requests.
    const std::vector<RequestKind> kinds = rig.kindsSinceLoad();
    QVERIFY(kinds.size() > 3);
    QCOMPARE(kindName(kinds[0]), kindName(RequestKind::BlInfo));
    QCOMPARE(kindName(kinds[1]), kindName(RequestKind::BlInfo));
    QCOMPARE(kindName(kinds[2]), kindName(RequestKind::BlModel));
    QCOMPARE(std::count(kinds.begin(), kinds.end(), RequestKind::Fn103), 1); // the restart

    QVERIFY(rig.flashRange(1) == rig.carriedRange(1));
    QVERIFY(!rig.unit().cpu1InBootloader());
    QCOMPARE(rig.unit().reportedVersion(1), rig.unit().carried().version[1]);
    QVERIFY(rig.closeWindow());
}

void TestE2eCpu1::bootloaderRefusesTheRun_data() {
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("infoResult");
    QTest::addColumn<QString>("modelResult");
    QTest::newRow("another model") << false << QString() << QStringLiteral("Incompatible Model");
    QTest::newRow("silent") << true << QStringLiteral("Info Unavailable")
                            << QStringLiteral("No Reply");
}

void TestE2eCpu1::bootloaderRefusesTheRun() {
    QFETCH(bool, silent);
    QFETCH(QString, infoResult);
    QFETCH(QString, modelResult);

    sim::Scenario s = cpu1Only();
    sim::FaultPlan plan;
    if (silent) {
        // The bootloader takes the requests and never answers.
        for (const char* kind : {"drop:bl-info,count=1000", "drop:bl-model,count=1000"}) {
            plan.faults.push_back(*sim::parseFault(QString::fromLatin1(kind)));
        }
    } else {
        s.modelRm = 4002; // a product of the right family, but not this unit's
    }
    UpgradeRig rig(s, plan);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    const QByteArray before = rig.flashRange(1);

    QVERIFY(rig.load(60000));
    const QString info = infoResult.isEmpty()
                             ? infoLine(rig.unit().scenario())
                             : QStringLiteral("Retrieving Bootloader Info......") + infoResult;
    QCOMPARE(rig.lines(), (QStringList{QStringLiteral("Enabling BootLoader.....Done"), info,
                                       QStringLiteral("Retrieving Model Number......Error (") +
                                           modelResult + QLatin1Char(')')}));
    QVERIFY(form.Quit_Button2->isEnabled());

    // Nothing was erased or programmed.
    const std::vector<RequestKind> kinds = rig.kindsSinceLoad();
    for (RequestKind k : {RequestKind::BlErase, RequestKind::BlProgram, RequestKind::BlWriteByte,
                          RequestKind::BlReset}) {
        QCOMPARE(std::count(kinds.begin(), kinds.end(), k), 0);
    }
    QCOMPARE(rig.unit().summary().processors[1].eraseSteps, 0);
    QVERIFY(rig.flashRange(1) == before); // the program range; entry marks boot mode below it
    QVERIFY(rig.closeWindow());
}

// The unit stays off for 10 s, longer than the three attempts at the block (about 8 s before
// the last one goes out), so the first run fails there.
void TestE2eCpu1::powerLossWhileProgrammingThenSecondRun() {
    sim::FaultPlan plan;
    plan.faults.push_back(
        *sim::parseFault(QStringLiteral("power-loss:bl-program,after=100,param=10000")));
    UpgradeRig rig(cpu1Only(), plan);
    TForm3& first = rig.openWindow();
    QVERIFY(rig.scan());
    QVERIFY(!first.unit().BL_Active_Flag);
    QVERIFY(rig.load(60000));
    QCOMPARE(rig.lines().mid(3),
             (QStringList{QStringLiteral("Erasing Program Memory......"),
                          QStringLiteral("Sending New Program Data......Error Detected")}));
    QCOMPARE(rig.unit().summary().processors[1].blocksProgrammed, 100);
    QVERIFY(rig.closeWindow());
    QVERIFY(waitUntil([&] { return rig.unit().cpu1InBootloader(); }, 5000));

    // A new run finds the unit through its bootloader and completes the upgrade.
    TForm3& second = rig.openWindow();
    QVERIFY(rig.scan());
    QCOMPARE(scanLog(second, rig.port()),
             (QStringList{" open.", " CV not found(1).", " found CV. (B)"}));
    QVERIFY(second.unit().BL_Active_Flag);
    QVERIFY(second.Load_Button->isVisibleTo(&second));
    QVERIFY(rig.load());
    QCOMPARE(rig.lines().mid(2), kCpu1Lines);
    QVERIFY(rig.flashRange(1) == rig.carriedRange(1));
    QCOMPARE(rig.unit().reportedRm(1), rig.unit().scenario().cpu1.rm);
    QCOMPARE(rig.unit().reportedVersion(1), rig.unit().carried().version[1]);
    QVERIFY(rig.closeWindow());
}

// A blip of 300 ms: the unit restarts in its bootloader, a retry of the lost block reaches it
// and the run completes with the flash holding the image.
void TestE2eCpu1::powerBlipWhileProgrammingIsRiddenOut() {
    sim::FaultPlan plan;
    plan.faults.push_back(
        *sim::parseFault(QStringLiteral("power-loss:bl-program,after=100,param=300")));
    UpgradeRig rig(cpu1Only(), plan);
    (void)rig.openWindow();
    QVERIFY(rig.scan());
    QVERIFY(rig.load(60000));
    QCOMPARE(rig.lines().mid(2), kCpu1Lines);
    QVERIFY(rig.flashRange(1) == rig.carriedRange(1));
    QCOMPARE(rig.unit().faultsInjected(), 1);
    QVERIFY(rig.closeWindow());
}

QTEST_MAIN(TestE2eCpu1)
#include "tst_e2e_cpu1.moc"

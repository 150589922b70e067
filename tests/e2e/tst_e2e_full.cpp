// A complete upgrade of all three processors, window and unit as the technician meets them:
// every progress line in order, the requests on the wire in order, and afterwards the unit's
// flash holds the carried images byte for byte and the unit reports the carried versions.

#include "UpgradeRig.h"

#include "SmoothControls.h"
#include "main.h"

#include <QTest>

using namespace corvane::e2e;
namespace sim = corvane::sim;

namespace {

QString infoLine(const sim::Scenario& s) {
    return QStringLiteral("Retrieving Bootloader Info......RM%1 v%2.%3")
        .arg(s.bootloaderRm)
        .arg(s.bootloaderVersion / 100)
        .arg(s.bootloaderVersion % 100, 2, 10, QLatin1Char('0'));
}

// The kinds of a request sequence with runs of the same kind folded into one.
std::vector<RequestKind> folded(const std::vector<RequestKind>& kinds) {
    std::vector<RequestKind> out;
    for (RequestKind k : kinds) {
        if (out.empty() || out.back() != k) {
            out.push_back(k);
        }
    }
    return out;
}

QStringList names(const std::vector<RequestKind>& kinds) {
    QStringList out;
    for (RequestKind k : kinds) {
        out << kindName(k);
    }
    return out;
}

qsizetype countOf(const std::vector<RequestKind>& kinds, RequestKind kind) {
    return std::count(kinds.begin(), kinds.end(), kind);
}

} // namespace

class TestE2eFull : public QObject {
    Q_OBJECT
private slots:
    void upgradeOfAllThreeProcessors();
    void noiseAndLateRepliesDoNotDisturbTheUpgrade();
};

void TestE2eFull::upgradeOfAllThreeProcessors() {
    sim::Scenario s; // an outdated unit of the first carried product: 2.15, 1.00, 1.05
    UpgradeRig rig(s);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    QVERIFY(form.Start_Panel->isVisibleTo(&form));
    for (int n = 1; n <= 3; ++n) {
        QVERIFY2(form.unit().PMem_Store[std::size_t(n)].Upgrade_Flag,
                 qPrintable(QString::number(n)));
    }
    QVERIFY(rig.messages().isEmpty());

    QVERIFY(rig.load());
    const QStringList expected{
        QStringLiteral("Enabling BootLoader.....Done"),
        infoLine(rig.unit().scenario()),
        QStringLiteral("Retrieving Model Number......OK"),
        QStringLiteral("Erasing Program Memory......"),
        QStringLiteral("Sending New Firmware......"),
        QStringLiteral("Disabling Boot Mode......Done"),
        QStringLiteral("Restarting CPU-1......Done"),
        QStringLiteral("Enabling CPU-2 Boot Mode......Done"),
        QStringLiteral("Sending New Firmware for CPU-2......"),
        QStringLiteral("Erasing CPU-2......OK"),
        QStringLiteral("Reprogramming CPU-2......OK"),
        QStringLiteral("Enabling HMI Boot Mode......Done"),
        QStringLiteral("Sending New Firmware for HMI......"),
        QStringLiteral("Erasing HMI......OK"),
        QStringLiteral("Reprogramming HMI......OK"),
        QStringLiteral("Restarting System....Done"),
        QStringLiteral("Verifying Firmware......OK"),
    };
    QCOMPARE(rig.lines(), expected);
    for (int line : {3, 4, 8, 9, 10, 12, 13, 14}) {
        QVERIFY2(form.Progress_ListBox->item(line).barVisible, qPrintable(expected[line]));
        QCOMPARE(rig.barOf(line), 100.0);
    }
    QCOMPARE(form.focusWidget(), static_cast<QWidget*>(form.Quit_Button2));

    // The unit runs the carried firmware on every processor.
    const sim::CarriedFirmware& carried = rig.unit().carried();
    for (int n = 1; n <= 3; ++n) {
        const QByteArray flash = rig.flashRange(n);
        const QByteArray image = rig.carriedRange(n);
        QCOMPARE(flash.size(), image.size());
        QVERIFY2(flash == image, qPrintable(QStringLiteral("processor %1").arg(n)));
        QCOMPARE(rig.unit().reportedVersion(n), carried.version[std::size_t(n)]);
    }
    QCOMPARE(rig.unit().reportedRm(2), carried.rm[2]);
    QCOMPARE(rig.unit().reportedRm(3), carried.rm[3]);
    const sim::Summary summary = rig.unit().summary();
    QVERIFY(summary.upgradeModeSeen);
    QVERIFY(summary.restartSeen);
    for (int n = 1; n <= 3; ++n) {
        QVERIFY(summary.processors[std::size_t(n)].holdsCarriedImage);
    }

    // After CPU-1's restart the window read the unit again: CPU-1 is now up to date.
    QCOMPARE(int(form.unit().FW_Version[1]), int(carried.version[1]));
    QCOMPARE(form.CurrentVer_Label[1]->colour(), QColor(0, 255, 0));

    // The requests in the order the sequence prescribes.
    const std::vector<RequestKind> kinds = rig.kindsSinceLoad();
    using K = RequestKind;
    const std::vector<K> order{
        K::Fn103,  // upgrade mode, then CPU-1 to its bootloader
        K::BlInfo, // asked twice, the second answer shown
        K::BlModel,      K::BlErase,   K::BlProgram,    K::BlWriteByte, K::BlReset,
        K::ModbusRead,   // CPU-1 and the other two read again after the restart
        K::Fn104Command, // CPU-2 to boot mode
        K::ModbusRead,   K::Fn104Data, K::Fn104Command, K::ModbusRead,  K::Fn104Command,
        K::ModbusRead,
        K::Fn104Command, // HMI to boot mode
        K::ModbusRead,   K::Fn104Data, K::Fn104Command, K::ModbusRead,  K::Fn104Command,
        K::ModbusRead,
        K::Fn103,      // restart of the unit
        K::ModbusRead, // verification: every processor read once more
    };
    QCOMPARE(names(folded(kinds)), names(order));
    QCOMPARE(countOf(kinds, K::Fn103), qsizetype(3));
    QCOMPARE(countOf(kinds, K::BlInfo), qsizetype(2));
    const qsizetype cpu1Range = qsizetype(carried.progEnd[1] - carried.progStart[1] + 1);
    QCOMPARE(countOf(kinds, K::BlErase), (cpu1Range + 511) / 512);
    QCOMPARE(countOf(kinds, K::BlProgram), qsizetype(summary.processors[1].blocksProgrammed));
    // From CPU-1 2.16 on, a data block carries 24 image bytes: all of each range, twice.
    const qsizetype cpu2Range = qsizetype(carried.progEnd[2] - carried.progStart[2] + 1);
    const qsizetype hmiRange = qsizetype(carried.progEnd[3] - carried.progStart[3] + 1);
    QCOMPARE(countOf(kinds, K::Fn104Data), cpu2Range / 24 + hmiRange / 24);
    QCOMPARE(countOf(kinds, K::Unknown), qsizetype(0));

    QVERIFY(rig.closeWindow());
}

void TestE2eFull::noiseAndLateRepliesDoNotDisturbTheUpgrade() {
    // Bytes ahead of a reply (skipped as noise before its start), and replies held back for a
    // few read intervals of either link but well inside their time-out: the run ends as a
    // clean one, every processor holding its image.
    sim::FaultPlan plan;
    plan.seed = 13;
    for (const char* text : {"noise,p=0.2,count=100000", "delay,p=0.02,count=100000,param=25"}) {
        const std::optional<sim::Fault> fault = sim::parseFault(QString::fromLatin1(text));
        QVERIFY2(fault, text);
        plan.faults.push_back(*fault);
    }
    UpgradeRig rig(sim::Scenario{}, plan);
    (void)rig.openWindow();
    QVERIFY(rig.scan());
    QVERIFY(rig.load());
    const QStringList lines = rig.lines();
    QCOMPARE(lines.size(), 17);
    QCOMPARE(lines.at(15), QStringLiteral("Restarting System....Done"));
    QCOMPARE(lines.last(), QStringLiteral("Verifying Firmware......OK"));
    for (const QString& line : lines) {
        QVERIFY2(!line.contains(QLatin1String("Error")), qPrintable(line));
    }
    for (int n = 1; n <= 3; ++n) {
        QVERIFY2(rig.flashRange(n) == rig.carriedRange(n), qPrintable(QString::number(n)));
    }
    const sim::Summary summary = rig.unit().summary();
    QVERIFY(summary.restartSeen);
    const auto fired = [&](const char* name) {
        return std::count_if(summary.faultsInjected.begin(), summary.faultsInjected.end(),
                             [&](const QString& f) { return f.endsWith(QLatin1String(name)); });
    };
    QVERIFY2(fired(": noise") > 500, qPrintable(QString::number(fired(": noise"))));
    QVERIFY2(fired(": delay") > 50, qPrintable(QString::number(fired(": delay"))));
    QVERIFY(rig.closeWindow());
}

QTEST_MAIN(TestE2eFull)
#include "tst_e2e_full.moc"

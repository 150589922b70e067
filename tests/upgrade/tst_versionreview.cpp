// The version review's decisions: which processors are flagged, which rows are marked, and
// how the installed and carried versions are shown.

#include "upgrade/Captions.h"
#include "upgrade/UpgradeEngine.h"
#include "upgrade/VersionReview.h"

#include <QLocale>
#include <QTest>

namespace {

constexpr int kBoot = 9000;

struct Fixture {
    UnitState unit;
    ScreenTexts texts;
    bool hasHmi = true;
    VersionReview review{unit, texts, [this] { return hasHmi; }};

    Fixture() {
        unit.New_RM_Number = {0, 4001, 5103, 6204};
        unit.New_FW_Version = {0, 245, 232, 112};
        unit.Boot_RM_Number = kBoot;
    }
    void installed(int n, std::uint16_t rm, std::uint16_t fw) {
        unit.RM_Number[n] = rm;
        unit.FW_Version[n] = fw;
    }
    [[nodiscard]] bool flag(int n) const { return unit.PMem_Store[n].Upgrade_Flag; }
};

} // namespace

class TestVersionReview : public QObject {
    Q_OBJECT
private slots:
    void flags_data();
    void flags();
    void versionLabels_data();
    void versionLabels();
    void productWithoutHmi();
    void cpu1Checks_data();
    void cpu1Checks();
    void versionTextsFollowTheLocale();
    void transferProgress_data();
    void transferProgress();
    void findings_data();
    void findings();
};

void TestVersionReview::flags_data() {
    QTest::addColumn<int>("rm1");
    QTest::addColumn<int>("fw1");
    QTest::addColumn<int>("rm2");
    QTest::addColumn<int>("fw2");
    QTest::addColumn<int>("rm3");
    QTest::addColumn<int>("fw3");
    QTest::addColumn<bool>("allMode");
    QTest::addColumn<bool>("f1");
    QTest::addColumn<bool>("f2");
    QTest::addColumn<bool>("f3");
    QTest::addColumn<bool>("mark2");
    QTest::addColumn<bool>("mark3");
    QTest::addColumn<bool>("load");

    // clang-format off
    QTest::newRow("all equal")           << 4001 << 245 << 5103 << 232 << 6204 << 112 << false << false << false << false << false << false << false;
    QTest::newRow("all older")           << 4001 << 230 << 5103 << 200 << 6204 << 110 << false << true  << true  << true  << false << false << true;
    QTest::newRow("all newer")           << 4001 << 250 << 5103 << 240 << 6204 << 120 << false << false << false << false << false << false << false;
    QTest::newRow("all newer, ALL")      << 4001 << 250 << 5103 << 240 << 6204 << 120 << true  << true  << true  << true  << false << false << true;
    QTest::newRow("CPU-1 in bootloader") << 4001 << 0   << 5103 << 232 << 6204 << 112 << false << true  << false << false << false << false << true;
    QTest::newRow("CPU-1 at 1.50")       << 4001 << 150 << 5103 << 200 << 6204 << 110 << false << false << false << false << false << false << false;
    QTest::newRow("CPU-1 at 1.50, ALL")  << 4001 << 150 << 5103 << 200 << 6204 << 110 << true  << false << false << false << false << false << false;
    QTest::newRow("CPU-1 at 1.99")       << 4001 << 199 << 5103 << 200 << 6204 << 110 << false << false << false << false << false << false << false;
    QTest::newRow("CPU-1 at 0.01")       << 4001 << 1   << 5103 << 200 << 6204 << 110 << false << false << false << false << false << false << false;
    QTest::newRow("CPU-1 at 2.00")       << 4001 << 200 << 5103 << 232 << 6204 << 112 << false << true  << false << false << false << false << true;
    QTest::newRow("CPU-2 at 0.99")       << 4001 << 245 << 5103 << 99  << 6204 << 112 << false << false << false << false << true  << false << false;
    QTest::newRow("CPU-2 at 1.00")       << 4001 << 245 << 5103 << 100 << 6204 << 112 << false << false << true  << false << false << false << true;
    QTest::newRow("HMI at 1.04")         << 4001 << 245 << 5103 << 232 << 6204 << 104 << false << false << false << false << false << true  << false;
    QTest::newRow("HMI at 1.05")         << 4001 << 245 << 5103 << 232 << 6204 << 105 << false << false << false << true  << false << false << true;
    QTest::newRow("HMI at 1.04, ALL")    << 4001 << 245 << 5103 << 232 << 6204 << 104 << true  << true  << true  << false << false << true  << true;
    QTest::newRow("CPU-2 in boot mode")  << 4001 << 245 << kBoot << 0 << 6204 << 112 << false << false << true  << false << false << false << true;
    QTest::newRow("HMI in boot mode")    << 4001 << 245 << 5103 << 232 << kBoot << 50 << false << false << false << true  << false << false << true;
    QTest::newRow("CPU-2 other product") << 4001 << 245 << 5104 << 150 << 6204 << 112 << false << false << true  << false << false << false << true;
    QTest::newRow("CPU-2 other, too old")<< 4001 << 245 << 5104 << 50  << 6204 << 112 << false << false << false << false << true  << false << false;
    QTest::newRow("HMI other product")   << 4001 << 245 << 5103 << 232 << 6203 << 300 << false << false << false << true  << false << false << true;
    QTest::newRow("CPU-1 other product") << 4002 << 230 << 5103 << 232 << 6204 << 112 << false << false << false << false << false << false << false;
    QTest::newRow("CPU-1 other, ALL")    << 4002 << 230 << 5103 << 232 << 6204 << 112 << true  << true  << true  << true  << false << false << true;
    QTest::newRow("subs silent, ALL")    << 4001 << 245 << 0    << 0  << 0    << 0   << true  << true  << false << false << true  << true  << true;
    QTest::newRow("subs silent")         << 4001 << 245 << 0    << 0  << 0    << 0   << false << false << false << false << true  << true  << false;
    QTest::newRow("CPU-1 silent, ALL")   << 0    << 0   << 5103 << 232 << 6204 << 112 << true  << true  << true  << true  << false << false << true;
    QTest::newRow("CPU-1 silent")        << 0    << 0   << 5103 << 232 << 6204 << 112 << false << false << false << false << false << false << false;
    // Version comparison is unsigned: 655.35 is newer than anything carried.
    QTest::newRow("CPU-2 at 655.35")     << 4001 << 245 << 5103 << 65535 << 6204 << 112 << false << false << false << false << false << false << false;
    // clang-format on
}

void TestVersionReview::flags() {
    QFETCH(int, rm1);
    QFETCH(int, fw1);
    QFETCH(int, rm2);
    QFETCH(int, fw2);
    QFETCH(int, rm3);
    QFETCH(int, fw3);
    QFETCH(bool, allMode);
    Fixture f;
    f.installed(1, rm1, fw1);
    f.installed(2, rm2, fw2);
    f.installed(3, rm3, fw3);
    // Flags left over from an earlier review must not leak into this one.
    for (int n = 1; n <= 3; ++n) {
        f.unit.PMem_Store[n].Upgrade_Flag = true;
    }
    f.review.All_Mode = allMode;
    f.review.Refresh_Update_Flags();

    QTEST(f.flag(1), "f1");
    QTEST(f.flag(2), "f2");
    QTEST(f.flag(3), "f3");
    QTEST(f.review.Markers[2].shown, "mark2");
    QTEST(f.review.Markers[3].shown, "mark3");
    QTEST(f.review.Load_Visible, "load");
    QCOMPARE(f.review.Markers[2].hint, QStringLiteral("Current firmware is not upgradeable"));
    QCOMPARE(f.review.Markers[3].hint, QStringLiteral("Current firmware is not upgradeable"));
}

void TestVersionReview::versionLabels_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("rm");
    QTest::addColumn<int>("fw");
    QTest::addColumn<QString>("text");
    QTest::addColumn<LabelColour>("installed");
    QTest::addColumn<LabelColour>("carried");

    QTest::newRow("silent CPU-1") << 1 << 0 << 0 << "Unknown" << kSilver << kSilver;
    QTest::newRow("CPU-1 flagged") << 1 << 4001 << 230 << "RM4001 v2.30" << kSilver << kRed;
    QTest::newRow("CPU-1 up to date") << 1 << 4001 << 245 << "RM4001 v2.45" << kLime << kSilver;
    QTest::newRow("CPU-1 in bootloader") << 1 << 4001 << 0 << "RM4001 v0.00" << kSilver << kRed;
    QTest::newRow("CPU-2 short RM") << 2 << 42 << 105 << "RM0042 v1.05" << kSilver << kRed;
    QTest::newRow("HMI tiny version") << 3 << 6204 << 5 << "RM6204 v0.05" << kLime << kSilver;
    QTest::newRow("CPU-2 too old") << 2 << 5103 << 99 << "RM5103 v0.99" << kLime << kSilver;
    QTest::newRow("HMI version 2.00") << 3 << 6204 << 200 << "RM6204 v2.00" << kLime << kSilver;
    QTest::newRow("HMI RM only") << 3 << 6204 << 0 << "RM6204 v0.00" << kLime << kSilver;
    QTest::newRow("HMI silent") << 3 << 0 << 0 << "Unknown" << kSilver << kSilver;
}

void TestVersionReview::versionLabels() {
    QFETCH(int, n);
    QFETCH(int, rm);
    QFETCH(int, fw);
    Fixture f;
    f.installed(1, 4001, 245);
    f.installed(2, 5103, 232);
    f.installed(3, 6204, 112);
    f.installed(n, rm, fw);
    // Colours from the last labelling must be replaced, not kept.
    for (int i = 1; i <= 3; ++i) {
        f.texts.CurrentVer_Label[i].colour = kRed;
        f.texts.NewVer_Label[i] = LabelText{QStringLiteral("RM9 v9.99"), kLime};
    }
    f.review.Refresh_Update_Flags();
    f.review.Update_Version_Labels();

    QTEST(f.texts.CurrentVer_Label[n].text, "text");
    QTEST(f.texts.CurrentVer_Label[n].colour, "installed");
    QTEST(f.texts.NewVer_Label[n].colour, "carried");
    // The carried text belongs to the image store; the review only colours it.
    QCOMPARE(f.texts.NewVer_Label[n].text, QStringLiteral("RM9 v9.99"));
}

void TestVersionReview::productWithoutHmi() {
    Fixture f;
    f.hasHmi = false;
    f.installed(1, 4004, 230);
    f.unit.New_RM_Number[1] = 4004;
    f.installed(2, 5103, 200);
    f.installed(3, 0, 0); // the product has no display processor to answer

    f.review.Refresh_Update_Flags();
    QVERIFY(!f.flag(3));
    QVERIFY(!f.review.Markers[3].shown);
    f.review.Update_Version_Labels();
    QCOMPARE(f.texts.CurrentVer_Label[3], (LabelText{QStringLiteral("N/A"), kSilver}));
    QCOMPARE(f.texts.NewVer_Label[3].colour, kSilver);
    QVERIFY(!f.review.Markers[3].shown);

    // ALL mode programs what the unit has, still never the missing HMI, and a later review
    // (the Ctrl-click) does not put a marker on the "N/A" row.
    f.review.All_Mode = true;
    f.review.Refresh_Update_Flags();
    QVERIFY(f.flag(1));
    QVERIFY(f.flag(2));
    QVERIFY(!f.flag(3));
    QVERIFY(!f.review.Markers[3].shown);

    // Even an HMI that answers is left alone on such a product.
    f.installed(3, 6204, 100);
    f.review.Refresh_Update_Flags();
    QVERIFY(!f.flag(3));
}

void TestVersionReview::cpu1Checks_data() {
    QTest::addColumn<int>("rm1");
    QTest::addColumn<int>("fw1");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<QString>("hint");

    const int ok = int(Cpu1Verdict::Accepted);
    const int mismatch = int(Cpu1Verdict::ProductMismatch);
    const int old = int(Cpu1Verdict::NotUpgradeable);
    QTest::newRow("same product, current") << 4001 << 245 << ok << "Product mismatch";
    QTest::newRow("same product, bootloader") << 4001 << 0 << ok << "Product mismatch";
    QTest::newRow("same product, 2.00") << 4001 << 200 << ok << "Product mismatch";
    QTest::newRow("same product, 1.99")
        << 4001 << 199 << old << "Current firmware is not upgradeable";
    QTest::newRow("same product, 0.01")
        << 4001 << 1 << old << "Current firmware is not upgradeable";
    QTest::newRow("other product") << 4003 << 245 << mismatch << "Product Mismatch!";
    QTest::newRow("other product, old") << 4003 << 150 << mismatch << "Product Mismatch!";
}

void TestVersionReview::cpu1Checks() {
    QFETCH(int, rm1);
    QFETCH(int, fw1);
    QFETCH(int, verdict);
    Fixture f;
    f.installed(1, rm1, fw1);
    f.installed(2, 5103, 200);
    f.installed(3, 6204, 110);
    f.review.Refresh_Update_Flags();
    const bool loadBefore = f.review.Load_Visible;

    const Cpu1Verdict v = f.review.checkCpu1();
    QCOMPARE(int(v), verdict);
    QTEST(f.review.Markers[1].hint, "hint");
    const bool refused = v != Cpu1Verdict::Accepted;
    QCOMPARE(f.review.Markers[1].shown, refused);
    QCOMPARE(f.review.Load_Visible, refused ? false : loadBefore);
    QCOMPARE(refusalText(v).isEmpty(), !refused);
    if (v == Cpu1Verdict::ProductMismatch) {
        QCOMPARE(refusalText(v),
                 QStringLiteral("Product Mismatch!\r\rThis upgrade does not apply to the "
                                "connected unit."));
    }
    if (v == Cpu1Verdict::NotUpgradeable) {
        QCOMPARE(refusalText(v),
                 QStringLiteral("Unable To Upgrade!\r\rOnly units with v2.00 firmware and above "
                                "can be upgraded."));
    }

    // After a product mismatch, ALL mode shows the button again; a CPU-1 below 2.00 keeps
    // every flag off in any mode.
    f.review.All_Mode = true;
    f.review.Refresh_Update_Flags();
    const bool oldCpu1 = fw1 >= 1 && fw1 < 200;
    QCOMPARE(f.review.Load_Visible, !oldCpu1);
}

void TestVersionReview::versionTextsFollowTheLocale() {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString comma = VersionReview::installedVersionText(4001, 245);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString point = VersionReview::installedVersionText(4001, 245);
    const QString big = VersionReview::installedVersionText(65535, 65535);
    QLocale::setDefault(saved);
    QCOMPARE(comma, QStringLiteral("RM4001 v2,45"));
    QCOMPARE(point, QStringLiteral("RM4001 v2.45"));
    QCOMPARE(big, QStringLiteral("RM65535 v655.35"));
}

void TestVersionReview::transferProgress_data() {
    QTest::addColumn<uint>("address");
    QTest::addColumn<uint>("first");
    QTest::addColumn<uint>("last");
    QTest::addColumn<double>("percent");
    QTest::newRow("below the range") << 0x0800u << 0x1000u << 0xFFFFu << 0.0;
    QTest::newRow("at the start") << 0x1000u << 0x1000u << 0xFFFFu << 0.0;
    QTest::newRow("half way") << 0x8800u << 0x1000u << 0xFFFFu << 50.0;
    QTest::newRow("last address") << 0xFFFFu << 0x1000u << 0xFFFFu << 99.0;
    QTest::newRow("past the range") << 0x12000u << 0x1000u << 0xFFFFu << 113.0;
    QTest::newRow("short range, last") << 0x1009u << 0x1000u << 0x1009u << 90.0;
    QTest::newRow("one address") << 0x1000u << 0x1000u << 0x1000u << 0.0;
    QTest::newRow("unusable range") << 0x1000u << 0x1000u << 0x0FFFu << 0.0;
}

void TestVersionReview::transferProgress() {
    QFETCH(uint, address);
    QFETCH(uint, first);
    QFETCH(uint, last);
    QTEST(programProgress(address, first, last), "percent");
}

void TestVersionReview::findings_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("rm");
    QTest::addColumn<int>("fw");
    QTest::addColumn<bool>("hasHmi");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("line");
    const int current = int(ProcessorState::Current);
    const int absent = int(ProcessorState::Absent);
    const int silent = int(ProcessorState::Silent);
    const int old = int(ProcessorState::NotUpgradeable);
    const int different = int(ProcessorState::Different);
    // clang-format off
    QTest::newRow("CPU-1 carried")         << 1 << 4001 << 245 << true << current << "";
    QTest::newRow("CPU-1 newer")           << 1 << 4001 << 250 << true << current << "";
    QTest::newRow("CPU-1 older")           << 1 << 4001 << 230 << true << different << "CPU-1 reports RM4001 v2.30, expected RM4001 v2.45";
    QTest::newRow("CPU-1 below 2.00")      << 1 << 4001 << 150 << true << old << "CPU-1 Firmware Not Upgradeable (RM4001 v1.50)";
    QTest::newRow("CPU-1 other product")   << 1 << 4002 << 245 << true << different << "CPU-1 reports RM4002 v2.45, expected RM4001 v2.45";
    QTest::newRow("CPU-2 carried")         << 2 << 5103 << 232 << true << current << "";
    QTest::newRow("CPU-2 silent")          << 2 << 0 << 0 << true << silent << "CPU-2 Not Responding";
    QTest::newRow("CPU-2 at 0.99")         << 2 << 5103 << 99 << true << old << "CPU-2 Firmware Not Upgradeable (RM5103 v0.99)";
    QTest::newRow("CPU-2 at 1.00")         << 2 << 5103 << 100 << true << different << "CPU-2 reports RM5103 v1.00, expected RM5103 v2.32";
    QTest::newRow("CPU-2 other RM")        << 2 << 5101 << 232 << true << different << "CPU-2 reports RM5101 v2.32, expected RM5103 v2.32";
    QTest::newRow("HMI in its bootloader") << 3 << kBoot << 0 << true << different << "HMI reports RM9000 v0.00, expected RM6204 v1.12";
    QTest::newRow("HMI at 1.04")           << 3 << 6204 << 104 << true << old << "HMI Firmware Not Upgradeable (RM6204 v1.04)";
    QTest::newRow("HMI silent")            << 3 << 0 << 0 << true << silent << "HMI Not Responding";
    QTest::newRow("no HMI on the product") << 3 << 0 << 0 << false << absent << "";
    // clang-format on
}

void TestVersionReview::findings() {
    QFETCH(int, n);
    QFETCH(int, rm);
    QFETCH(int, fw);
    QFETCH(bool, hasHmi);
    QFETCH(int, state);
    QFETCH(QString, line);
    QLocale::setDefault(QLocale::c());
    Fixture f;
    f.hasHmi = hasHmi;
    f.installed(n, std::uint16_t(rm), std::uint16_t(fw));
    const ProcessorFinding found = f.review.finding(n);
    QCOMPARE(int(found.state), state);
    QCOMPARE(found.line, line);
}

QTEST_GUILESS_MAIN(TestVersionReview)
#include "tst_versionreview.moc"

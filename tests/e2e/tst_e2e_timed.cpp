// A complete upgrade with the unit's timing model on (wire time, device processing, the
// sub-processors' erase and programming times), at a twentieth of the real times: the status
// polls see a moving address, the bars climb through their range, and a stuck-status limit
// shorter than an erase does not end a run whose status keeps moving.

#include "UpgradeRig.h"

#include "main.h"

#include <QTest>

#include <map>
#include <set>

using namespace corvane::e2e;
namespace sim = corvane::sim;

class TestE2eTimed : public QObject {
    Q_OBJECT
private slots:
    void upgradeWithTheTimingModel();
};

void TestE2eTimed::upgradeWithTheTimingModel() {
    constexpr double kScale = 0.05;
    sim::Scenario s;
    s.timing.enabled = true;
    s.timing.scale = kScale;
    RigOptions options;
    options.timings.cpu1RestartMs = static_cast<int>(8000 * kScale); // longer than CPU-1's start
    // Shorter than one sub-processor erase (60 KiB x 25 ms x scale = 75 ms).
    options.timings.stuckStatusMs = 40;
    UpgradeRig rig(s, {}, options);
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());

    // Samples the bar of the last line while the run goes on.
    std::map<QString, std::set<int>> bars;
    QTimer sampler;
    sampler.setInterval(1);
    connect(&sampler, &QTimer::timeout, this, [&] {
        const int n = form.Progress_ListBox->count();
        if (n == 0) {
            return;
        }
        const auto& item = form.Progress_ListBox->item(n - 1);
        if (item.barVisible) {
            bars[item.caption].insert(static_cast<int>(item.barValue));
        }
    });
    sampler.start();
    QVERIFY(rig.load(180000));
    sampler.stop();

    const QStringList lines = rig.lines();
    QCOMPARE(lines.size(), 17);
    QCOMPARE(lines.at(15), QStringLiteral("Restarting System....Done"));
    QCOMPARE(lines.last(), QStringLiteral("Verifying Firmware......OK"));
    for (const QString& line : lines) {
        QVERIFY2(!line.contains(QLatin1String("Error")), qPrintable(line));
    }

    // Erase and programming of each sub-processor were seen in the middle of their range.
    for (const char* caption : {"Erasing CPU-2......", "Reprogramming CPU-2......",
                                "Erasing HMI......", "Reprogramming HMI......"}) {
        const std::set<int>& seen = bars[QString::fromLatin1(caption)];
        const bool midway =
            std::any_of(seen.begin(), seen.end(), [](int v) { return v > 0 && v < 100; });
        QVERIFY2(midway, caption);
    }

    for (int n = 1; n <= 3; ++n) {
        QVERIFY2(rig.flashRange(n) == rig.carriedRange(n), qPrintable(QString::number(n)));
    }
    for (int n = 1; n <= 3; ++n) {
        QCOMPARE(rig.unit().reportedVersion(n), rig.unit().carried().version[std::size_t(n)]);
    }
    QVERIFY(rig.closeWindow());
}

QTEST_MAIN(TestE2eTimed)
#include "tst_e2e_timed.moc"

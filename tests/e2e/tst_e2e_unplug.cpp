// The USB adapter pulled in the middle of a transfer: the simulated unit closes its end of the
// pseudo-terminal, the updater's port sees the hang-up. The run must end at once with a line
// that says so, not retry every block until its time-outs run out.

#include "UpgradeRig.h"

#include "support/Scenarios.h"

#include "main.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>

using namespace corvane::e2e;
namespace sim = corvane::sim;

namespace {

const QString kUnplugged =
    QStringLiteral("USB adapter disconnected. Reconnect the unit and run the upgrade again.");

// Every processor out of date, so that the run goes through CPU-1's bootloader first.
sim::Scenario allOld() {
    return corvane::test::withVersions(215, 100, 100);
}

// CPU-1 and the HMI up to date; CPU-2 out of date.
sim::Scenario cpu2Only() {
    const sim::CarriedFirmware& c = corvane::test::carried();
    return corvane::test::withVersions(c.version[1], 100, c.version[3]);
}

// Stops the unit (closing the pty's master) once it has served `after` exchanges of `kind`;
// `clock` starts at that moment.
class Unplugger : public QObject {
public:
    Unplugger(sim::SimulatedUnit& unit, sim::Exchange kind, int after, QElapsedTimer& clock)
        : m_unit(unit)
        , m_kind(kind)
        , m_after(after)
        , m_clock(clock) {
        m_timer.setInterval(2);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_unit.exchanges(m_kind) >= m_after) {
                m_timer.stop();
                m_unit.stop();
                m_clock.start();
                m_done = true;
            }
        });
        m_timer.start();
    }
    [[nodiscard]] bool done() const { return m_done; }

private:
    sim::SimulatedUnit& m_unit;
    sim::Exchange m_kind;
    int m_after;
    QElapsedTimer& m_clock;
    QTimer m_timer;
    bool m_done = false;
};

} // namespace

class TestE2eUnplug : public QObject {
    Q_OBJECT
private slots:
    void unpluggedMidTransfer_data();
    void unpluggedMidTransfer();
    void unpluggedUnattendedExitsNonZero();
};

void TestE2eUnplug::unpluggedMidTransfer_data() {
    QTest::addColumn<bool>("cpu1");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("failedLine");
    QTest::newRow("CPU-1 erase") << true << int(sim::Exchange::BlErase) << 20
                                 << QStringLiteral("Erasing Program Memory......Error Detected");
    QTest::newRow("CPU-1 programming")
        << true << int(sim::Exchange::BlProgram) << 40
        << QStringLiteral("Sending New Program Data......Error Detected");
    QTest::newRow("CPU-2 transfer")
        << false << int(sim::Exchange::Fn104Data) << 200
        << QStringLiteral("Sending New Firmware for CPU-2......Error Detected");
}

void TestE2eUnplug::unpluggedMidTransfer() {
    QFETCH(bool, cpu1);
    QFETCH(int, kind);
    QFETCH(int, after);
    QFETCH(QString, failedLine);
    UpgradeRig rig(cpu1 ? allOld() : cpu2Only());
    TForm3& form = rig.openWindow();
    QVERIFY(rig.scan());
    QElapsedTimer sinceUnplug;
    Unplugger unplug(rig.unit(), static_cast<sim::Exchange>(kind), after, sinceUnplug);
    QVERIFY(rig.load(60000));
    QVERIFY(unplug.done());
    const qint64 ms = sinceUnplug.elapsed();
    // Every exchange fails at once; the old way took a time-out per retried block (10 s and
    // more). A wide bound for a loaded machine.
    QVERIFY2(ms < 3000, qPrintable(QStringLiteral("ended %1 ms after the unplug").arg(ms)));
    const QStringList lines = rig.lines();
    QVERIFY2(lines.size() >= 2, qPrintable(lines.join(u'|')));
    QCOMPARE(lines.last(), kUnplugged);
    QCOMPARE(lines.at(lines.size() - 2), failedLine);
    QCOMPARE(lines.count(kUnplugged), qsizetype(1));
    QVERIFY(!lines.contains(QStringLiteral("Restarting System....Done")));
    QVERIFY(form.Quit_Button2->isEnabled());
    QVERIFY(rig.closeWindow());
}

void TestE2eUnplug::unpluggedUnattendedExitsNonZero() {
    UpgradeRig rig(cpu2Only(), {}, RigOptions{.answerModals = false});
    QElapsedTimer sinceUnplug;
    Unplugger unplug(rig.unit(), sim::Exchange::Fn104Data, 100, sinceUnplug);
    const UnattendedRun run = rig.runUnattended(EngineMode::Auto, 60000, 90000);
    QVERIFY(unplug.done());
    QVERIFY2(sinceUnplug.elapsed() < 3000, qPrintable(QString::number(sinceUnplug.elapsed())));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.outcome.cause, Cause::AdapterDisconnected);
    QCOMPARE(run.outcome.processor, 2);
    const bool named = std::any_of(run.output.begin(), run.output.end(),
                                   [](const QString& line) { return line.endsWith(kUnplugged); });
    QVERIFY2(named, qPrintable(run.output.join(u'\n')));
}

QTEST_MAIN(TestE2eUnplug)
#include "tst_e2e_unplug.moc"

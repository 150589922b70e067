// Closing the window in the middle of any step of discovery or of the upgrade, in its reply
// wait or in its delay: from the close on, nothing more reaches the wire and the port is never
// opened again.

#include "UpgradeRig.h"

#include "SmoothControls.h"
#include "main.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace corvane::e2e;
namespace sim = corvane::sim;

Q_DECLARE_METATYPE(corvane::e2e::RequestKind)

namespace {

// Closes the window once the occurrence-th request of `kind` has been written after a progress
// line starting with `after` was seen (empty: counted from arming), then `delayMs` later. The
// line is looked for between exchanges, so a row names a request that comes well after it.
class CloseTrigger : public QObject {
public:
    CloseTrigger(UpgradeRig& rig, QString after, RequestKind kind, int occurrence, int delayMs)
        : m_rig(rig)
        , m_after(std::move(after))
        , m_kind(kind)
        , m_occurrence(occurrence)
        , m_delayMs(delayMs) {
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] { look(); });
    }

    void arm() {
        m_mark = m_after.isEmpty() ? m_rig.wire().requestCount() : std::size_t(-1);
        m_timer.start();
    }
    [[nodiscard]] bool closed() const { return m_closed; }
    [[nodiscard]] std::size_t requestsAtClose() const { return m_requestsAtClose; }
    [[nodiscard]] int opensAtClose() const { return m_opensAtClose; }
    [[nodiscard]] QString lineAtClose() const { return m_lineAtClose; }

private:
    void look() {
        if (m_closed || !m_rig.hasWindow()) {
            return;
        }
        if (m_mark == std::size_t(-1)) {
            for (const QString& line : m_rig.lines()) {
                if (line.startsWith(m_after)) {
                    m_mark = m_rig.wire().requestCount();
                }
            }
            if (m_mark == std::size_t(-1)) {
                return;
            }
        }
        if (!m_seen.isValid()) {
            const std::vector<RequestKind> kinds = m_rig.wire().kinds();
            int count = 0;
            for (std::size_t i = m_mark; i < kinds.size(); ++i) {
                count += kinds[i] == m_kind ? 1 : 0;
            }
            if (count < m_occurrence) {
                return;
            }
            m_seen.start();
        }
        if (m_seen.elapsed() < m_delayMs) {
            return;
        }
        m_timer.stop();
        m_closed = true;
        m_requestsAtClose = m_rig.wire().requestCount();
        m_opensAtClose = m_rig.wire().opens();
        const QStringList lines = m_rig.lines();
        m_lineAtClose = lines.isEmpty() ? QString() : lines.constLast();
        m_rig.form().close();
    }

    UpgradeRig& m_rig;
    QString m_after;
    RequestKind m_kind;
    int m_occurrence;
    int m_delayMs;
    QTimer m_timer;
    std::size_t m_mark = 0;
    QElapsedTimer m_seen;
    bool m_closed = false;
    std::size_t m_requestsAtClose = 0;
    int m_opensAtClose = 0;
    QString m_lineAtClose;
};

} // namespace

class TestE2eClosing : public QObject {
    Q_OBJECT
private slots:
    void closingStopsTheWire_data();
    void closingStopsTheWire();
};

void TestE2eClosing::closingStopsTheWire_data() {
    QTest::addColumn<bool>("duringScan");
    QTest::addColumn<bool>("inBootloader");
    QTest::addColumn<QString>("after");
    QTest::addColumn<RequestKind>("kind");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<int>("delayMs");
    using K = RequestKind;
    // Discovery.
    QTest::newRow("scan: CPU-1's number") << true << false << "" << K::ModbusRead << 1 << 0;
    QTest::newRow("scan: CPU-2's and the HMI's numbers")
        << true << false << "" << K::ModbusRead << 2 << 0;
    QTest::newRow("scan: the bootloader's answer") << true << true << "" << K::BlInfo << 1 << 0;
    // The upgrade, step by step. CPU-1's control register: the reply wait, then the 150 ms
    // pause that follows it (the bootloader entry comes right after).
    QTest::newRow("upgrade mode, reply wait") << false << false << "" << K::Fn103 << 1 << 0;
    QTest::newRow("upgrade mode, its delay") << false << false << "" << K::Fn103 << 1 << 60;
    QTest::newRow("bootloader entry") << false << false << "" << K::Fn103 << 2 << 0;
    QTest::newRow("bootloader information") << false << false << "" << K::BlInfo << 1 << 0;
    QTest::newRow("model number") << false << false << "" << K::BlModel << 1 << 0;
    QTest::newRow("erase") << false << false << "" << K::BlErase << 2 << 0;
    QTest::newRow("program") << false << false << "" << K::BlProgram << 5 << 0;
    QTest::newRow("boot mode off") << false << false << "" << K::BlWriteByte << 1 << 0;
    QTest::newRow("CPU-1 restart, its delay") << false << false << "" << K::BlReset << 1 << 60;
    QTest::newRow("re-read after the restart") << false << false << "" << K::ModbusRead << 1 << 0;
    QTest::newRow("CPU-2 boot mode") << false << false << "" << K::Fn104Command << 1 << 0;
    QTest::newRow("CPU-2 boot mode, its poll delay")
        << false << false << "" << K::Fn104Command << 1 << 40;
    QTest::newRow("CPU-2 transfer") << false << false << "" << K::Fn104Data << 10 << 0;
    QTest::newRow("CPU-2 erase command") << false << false << "" << K::Fn104Command << 2 << 0;
    QTest::newRow("CPU-2 erase status")
        << false << false << "Erasing CPU-2" << K::ModbusRead << 2 << 0;
    QTest::newRow("HMI programming status")
        << false << false << "Reprogramming HMI" << K::ModbusRead << 2 << 0;
    QTest::newRow("system restart, its delay") << false << false << "" << K::Fn103 << 3 << 60;
    QTest::newRow("verification") << false << false << "Verifying" << K::ModbusRead << 1 << 0;
}

void TestE2eClosing::closingStopsTheWire() {
    QFETCH(bool, duringScan);
    QFETCH(bool, inBootloader);
    QFETCH(QString, after);
    QFETCH(RequestKind, kind);
    QFETCH(int, occurrence);
    QFETCH(int, delayMs);

    sim::Scenario s;
    s.cpu1.version = 215; // every processor older than carried: the whole sequence runs
    s.cpu2.version = 100;
    s.hmi.version = 105;
    s.startInBootloader = inBootloader;
    RigOptions options;
    options.timings.cpu1RestartMs = 400;   // long enough to close inside it
    options.timings.bootEntryPollMs = 200; // likewise
    UpgradeRig rig(s, {}, options);
    TForm3& form = rig.openWindow();
    CloseTrigger trigger(rig, after, kind, occurrence, delayMs);

    if (duringScan) {
        trigger.arm();
        form.Connect_ToggleButton->click();
    } else {
        QVERIFY(rig.scan());
        QVERIFY(form.Load_Button->isVisibleTo(&form));
        trigger.arm();
        form.Load_Button->click();
    }
    QVERIFY2(waitUntil([&] { return trigger.closed(); }, 60000), "the step was never reached");
    QVERIFY2(waitUntil([&] { return form.VexaComms1() == nullptr; }, 10000),
             "the link was not released");
    QTest::qWait(300); // whatever the interrupted step would still send
    const auto requests = rig.wire().requests();
    QString sent;
    for (std::size_t i = trigger.requestsAtClose(); i < requests.size(); ++i) {
        sent += kindName(requests[i].kind) + QLatin1Char(' ') +
                QString::fromLatin1(requests[i].bytes.toHex(' ')) + QLatin1Char('\n');
    }
    QVERIFY2(
        sent.isEmpty(),
        qPrintable(
            QStringLiteral("closed at \"%1\", then sent:\n%2").arg(trigger.lineAtClose(), sent)));
    QCOMPARE(rig.wire().opens(), trigger.opensAtClose());
    QCOMPARE(rig.wire().openDevices(), 0);
}

QTEST_MAIN(TestE2eClosing)
#include "tst_e2e_closing.moc"

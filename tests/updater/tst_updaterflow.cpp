// The window driven like a technician would, against the simulated unit on a real
// pseudo-terminal: discovery, the review, a whole upgrade, and closing in the middle of it.

#include "Transcript.h"
#include "WindowTestSupport.h"
#include "main.h"
#include "upgrade/Captions.h"

#include "SimulatedUnit.h"
#include "support/Scenarios.h"

#include "common/gen_lib.h"
#include "platform/PosixSerialDevice.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace corvane::ui;
namespace sim = corvane::sim;

namespace {

EngineDeps portsFirst(const QStringList& ports) {
    EngineDeps deps;
    deps.preferredPorts = ports;
    deps.listPorts = [] { return std::vector<corvane::PortEntry>{}; };
    return deps;
}

std::unique_ptr<TForm3> shownWindow(EngineDeps deps) {
    auto form = createUpdaterForms(std::move(deps));
    form->show();
    QApplication::setActiveWindow(form.get());
    (void)QTest::qWaitForWindowExposed(form.get());
    return form;
}

// Starts the scan and waits for its end: the review opened or the retry box shown.
bool scan(TForm3& form, int ms = 20000) {
    QTest::mouseClick(form.Connect_ToggleButton, Qt::LeftButton);
    return waitUntil([&] { return form.Start_Panel->isVisible() || form.Retry_Panel->isVisible(); },
                     ms);
}

QStringList logFor(const TForm3& form, const QString& port) {
    QStringList out;
    for (const QString& line : form.engine().Memo2) {
        if (line.startsWith(port)) {
            out << line.mid(port.size());
        }
    }
    return out;
}

// Shorter line pauses and fixed waits, for runs whose subject is not the timing.
void quicken(TForm3& form, int stuckStatusMs = 30000) {
    form.VexaComms1()->setInterCharTimeOut(2);
    SequencerTimings t = form.engine().sequencerTimings();
    t.cpu1RestartMs = 100;
    t.bootEntryPollMs = 5;
    t.stuckStatusMs = stuckStatusMs;
    form.engine().setSequencerTimings(t);
}

} // namespace

class TestUpdaterFlow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void scanFindsTheUnit();
    void scanWithoutPortsOffersTryAgain();
    void unknownDeviceIsRejected();
    void otherManufacturerIsRejected();
    void unitInItsBootloaderIsFound();
    void upgradeOfCpu1();
    void upgradeOfTheHmiOnly();
    void transcriptOfAWindowRun();
    void subProcessorStuckInBootEntryEndsTheRun();
    void statusStuckAtOneAddressEndsTheRun();
    void closeDuringTheRestartDelay();
};

void TestUpdaterFlow::init() {
    sounds().setPlayer([](std::uint32_t) {});
    setKeyboardModifiersSource({});
}

void TestUpdaterFlow::scanFindsTheUnit() {
    sim::SimulatedUnit unit(corvane::test::withVersions(215, 100, 105));
    const QString pty = unit.openPty();
    // A device that is no serial port is named first: it is skipped, not fatal.
    auto form = shownWindow(portsFirst({QStringLiteral("/dev/null"), pty}));
    ModalResponder answer;
    QVERIFY(scan(*form));
    QVERIFY(form->Start_Panel->isVisible());
    QVERIFY(answer.seen.empty());

    QCOMPARE(logFor(*form, QStringLiteral("/dev/null")).value(0).left(16),
             QStringLiteral(" unable to open."));
    QCOMPARE(logFor(*form, pty), (QStringList{" open.", " found CV."}));
    QCOMPARE(form->Scan_ProgressBar->maximum(), 2.0);
    QCOMPARE(form->Scan_ProgressBar->position(), 2.0);
    QVERIFY(form->VexaComms1()->isOpen()); // the accepted unit keeps its port

    const UnitState& u = form->unit();
    QCOMPARE(int(u.RM_Number[1]), int(unit.reportedRm(1)));
    QCOMPARE(int(u.FW_Version[1]), 215);
    QCOMPARE(int(u.RM_Number[2]), int(u.New_RM_Number[2]));
    QCOMPARE(int(u.FW_Version[3]), 105);
    QVERIFY(!u.BL_Active_Flag);
    for (int n = 1; n <= 3; ++n) {
        QVERIFY(u.PMem_Store[n].Upgrade_Flag);
    }
    QCOMPARE(form->CurrentVer_Label[1]->text(),
             QStringLiteral("RM%1 v2.15").arg(unit.reportedRm(1), 4, 10, QLatin1Char('0')));
    QCOMPARE(form->CurrentVer_Label[1]->colour(), QColor(192, 192, 192));
    QCOMPARE(form->NewVer_Label[1]->colour(), QColor(255, 0, 0));
    QCOMPARE(form->CurrentVer_Label[2]->text(),
             QStringLiteral("RM%1 v1.00").arg(u.New_RM_Number[2]));
    // The review opened after the flags were known, so "Load Firmware" has the focus.
    QVERIFY(form->Load_Button->isVisible());
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->Load_Button));
    QVERIFY(!form->CPU1_Err_Image->hasPicture());
}

void TestUpdaterFlow::scanWithoutPortsOffersTryAgain() {
    auto form = shownWindow(portsFirst({}));
    QVERIFY(scan(*form));
    QVERIFY(form->Retry_Panel->isVisible());
    QCOMPARE(form->Label1->text(), QStringLiteral("Scan Complete."));
    QCOMPARE(form->Scan_Error_Label->text(), scanErrorText(ScanError::TimedOut));
    QCOMPARE(form->Scan_ProgressBar->maximum(), 1.0);
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->TryAgain_Button));
    QCOMPARE(form->CurrentVer_Label[2]->text(), QStringLiteral("Unknown"));
    QCOMPARE(form->CurrentVer_Label[3]->text(), QStringLiteral("Unknown"));

    // "Try Again" runs a whole new scan, from a hidden retry box to a shown one.
    form->Label8->show();
    form->review().All_Mode = true;
    QTest::mouseClick(form->TryAgain_Button, Qt::LeftButton);
    QVERIFY(!form->Retry_Panel->isVisible());
    QCOMPARE(form->Label1->text(),
             QStringLiteral("Scanning for a Corvane device.\rPlease Wait....."));
    QVERIFY(waitUntil([&] { return form->Retry_Panel->isVisible(); }, 5000));
    QVERIFY(!form->review().All_Mode);
    QVERIFY(!form->Label8->isVisibleTo(form->Start_Panel));
}

void TestUpdaterFlow::unknownDeviceIsRejected() {
    sim::Scenario s = corvane::test::withVersions(215, 100, 105);
    s.cpu1.rm = 4100; // no such product; not in its bootloader either
    sim::SimulatedUnit unit(s);
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    QVERIFY(scan(*form));
    QVERIFY(form->Retry_Panel->isVisible());
    QCOMPARE(form->Scan_Error_Label->text(), scanErrorText(ScanError::UnknownDevice));
    QCOMPARE(logFor(*form, pty),
             (QStringList{" open.", " CV not found(1).", " CV not found(2).", " closed."}));
    QVERIFY(!form->VexaComms1()->isOpen());
}

void TestUpdaterFlow::otherManufacturerIsRejected() {
    sim::Scenario s = corvane::test::withVersions(215, 100, 105);
    s.cpu1.rm = 1101; // a known product of another family
    sim::SimulatedUnit unit(s);
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    QVERIFY(scan(*form));
    QVERIFY(form->Retry_Panel->isVisible());
    QCOMPARE(form->Scan_Error_Label->text(), scanErrorText(ScanError::Incompatible));
    QCOMPARE(logFor(*form, pty), (QStringList{" open.", " Wrong Manufacturer.", " closed."}));
    QVERIFY(!form->VexaComms1()->isOpen());
}

void TestUpdaterFlow::unitInItsBootloaderIsFound() {
    sim::Scenario s = corvane::test::withVersions(215, 100, 105);
    s.startInBootloader = true;
    sim::SimulatedUnit unit(s);
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    QVERIFY(scan(*form, 30000));
    QVERIFY(form->Start_Panel->isVisible());
    QCOMPARE(logFor(*form, pty), (QStringList{" open.", " CV not found(1).", " found CV. (B)"}));
    const UnitState& u = form->unit();
    QVERIFY(u.BL_Active_Flag);
    QCOMPARE(int(u.FW_Version[1]), 0);
    QVERIFY(u.PMem_Store[1].Upgrade_Flag);
    QCOMPARE(form->CurrentVer_Label[1]->text(), QStringLiteral("RM%1 v?.??").arg(u.RM_Number[1]));
    QVERIFY(form->Load_Button->isVisible());
}

void TestUpdaterFlow::upgradeOfCpu1() {
    sim::SimulatedUnit unit(corvane::test::withVersions(215, 232, 112)); // only CPU-1 is behind
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    QVERIFY(scan(*form));
    QVERIFY(form->Load_Button->isVisible());
    QVERIFY(!form->unit().PMem_Store[2].Upgrade_Flag);
    QVERIFY(!form->unit().PMem_Store[3].Upgrade_Flag);

    QTest::mouseClick(form->Load_Button, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return form->Quit_Button2->isVisible(); }, 90000));
    const QStringList expected{
        "Enabling BootLoader.....Done",
        QStringLiteral("Retrieving Bootloader Info......RM%1 v%2.%3")
            .arg(unit.scenario().bootloaderRm)
            .arg(unit.scenario().bootloaderVersion / 100)
            .arg(unit.scenario().bootloaderVersion % 100, 2, 10, QLatin1Char('0')),
        "Retrieving Model Number......OK",
        "Erasing Program Memory......",
        "Sending New Firmware......",
        "Disabling Boot Mode......Done",
        "Restarting CPU-1......Done",
        "CPU-2 Firmware Up To Date.",
        "HMI Firmware Up To Date.",
        "Restarting System....Done",
        "Verifying Firmware......OK",
    };
    QCOMPARE(lines(*form->Progress_ListBox), expected);
    QCOMPARE(form->Progress_ListBox->item(3).barValue, 100.0);
    QCOMPARE(form->Progress_ListBox->item(4).barValue, 100.0);
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->Quit_Button2));

    // The unit now runs the carried firmware, and the window read it back after the restart.
    const std::uint16_t rm = unit.reportedRm(1);
    const QByteArray image = unit.carried().cpu1Images.at(rm);
    const TPMem_Rec& rec = form->unit().PMem_Store[1];
    const auto from = qsizetype(rec.Prog_Mem_Start);
    const auto length = qsizetype(rec.Max_Prog_Addr - rec.Prog_Mem_Start + 1);
    QCOMPARE(unit.flash(1).mid(from, length), image.mid(from, length));
    QCOMPARE(int(form->unit().FW_Version[1]), int(form->unit().New_FW_Version[1]));
    QCOMPARE(form->CurrentVer_Label[1]->colour(), QColor(0, 255, 0));
    QVERIFY(unit.summary().restartSeen);

    // Quit ends it all and lets go of the port.
    QTest::mouseClick(form->Quit_Button2, Qt::LeftButton);
    QVERIFY(!form->VexaComms1());
    corvane::PosixSerialDevice again;
    QVERIFY(again.open(pty).ok());
}

void TestUpdaterFlow::upgradeOfTheHmiOnly() {
    sim::SimulatedUnit unit(corvane::test::withVersions(245, 232, 105));
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    quicken(*form);
    QVERIFY(scan(*form));
    QTest::mouseClick(form->Load_Button, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return form->Quit_Button2->isVisible(); }, 180000));
    const QStringList expected{
        "CPU-1 Firmware Up To Date.",
        "CPU-2 Firmware Up To Date.",
        "Enabling HMI Boot Mode......Done",
        "Sending New Firmware for HMI......",
        "Erasing HMI......OK",
        "Reprogramming HMI......OK",
        "Restarting System....Done",
        "Verifying Firmware......OK",
    };
    QCOMPARE(lines(*form->Progress_ListBox), expected);
    for (int i = 3; i <= 5; ++i) {
        QCOMPARE(form->Progress_ListBox->item(i).barValue, 100.0);
    }
    // CPU-1 was left alone: no bootloader exchange at all.
    QCOMPARE(unit.exchanges(sim::Exchange::BlErase), 0);
    QCOMPARE(unit.exchanges(sim::Exchange::BlModel), 0);
    const TPMem_Rec& rec = form->unit().PMem_Store[3];
    const auto from = qsizetype(rec.Prog_Mem_Start);
    const auto length = qsizetype(rec.Max_Prog_Addr - rec.Prog_Mem_Start + 1);
    QCOMPARE(unit.flash(3).mid(from, length), unit.carried().subImages[3].mid(from, length));
    QCOMPARE(int(unit.reportedVersion(3)), int(form->unit().New_FW_Version[3]));
}

void TestUpdaterFlow::transcriptOfAWindowRun() {
    // Only CPU-1 behind; the transcript follows the window, not an unattended run.
    sim::SimulatedUnit unit(corvane::test::withVersions(215, 232, 112));
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    quicken(*form);
    QStringList out;
    RunTranscript transcript([&out](const QByteArray& line) { out << QString::fromUtf8(line); });
    auto transcriber = std::make_unique<EngineTranscriber>(form->engine(), transcript);
    QCOMPARE(windowResult(form->engine().outcome()),
             QStringLiteral("Result: the window closed; no upgrade was run."));
    QVERIFY(scan(*form));
    QTest::mouseClick(form->Load_Button, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return form->Quit_Button2->isVisible(); }, 180000));

    auto tagged = [&out](const QString& tag) {
        QStringList found;
        for (const QString& line : out) {
            if (line.section(QStringLiteral(" ms  "), 1).startsWith(tag + QLatin1Char(' '))) {
                found << line.section(QStringLiteral(" ms  "), 1).mid(9);
            }
        }
        return found;
    };
    QCOMPARE(tagged(QStringLiteral("ports")), QStringList{pty});
    QCOMPARE(tagged(QStringLiteral("scan")), form->engine().Memo2);
    QCOMPARE(tagged(QStringLiteral("end")).size(), qsizetype(unit.exchanges(sim::Exchange::Any)));
    QCOMPARE(tagged(QStringLiteral("tx")).size(), qsizetype(unit.exchanges(sim::Exchange::Any)));
    const QStringList progress = tagged(QStringLiteral("progress"));
    // Each line's last state is in the transcript, in the list's order.
    qsizetype at = 0;
    for (const QString& caption : lines(*form->Progress_ListBox)) {
        const qsizetype found = progress.indexOf(
            QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(caption) +
                               QStringLiteral("( \\d+%)?$")),
            at);
        QVERIFY2(found >= 0, qPrintable(caption + QLatin1Char('\n') + progress.join(u'\n')));
        at = found + 1;
    }
    QVERIFY(progress.contains(QStringLiteral("Sending New Firmware...... 50%")));
    QCOMPARE(windowResult(form->engine().outcome()),
             QStringLiteral("Result: the window closed after the upgrade completed."));

    // Closing the window releases the link before the transcriber goes.
    form->close();
    QVERIFY(waitUntil([&] { return form->VexaComms1() == nullptr; }, 10000));
    transcriber.reset();
}

void TestUpdaterFlow::subProcessorStuckInBootEntryEndsTheRun() {
    // The HMI answers every boot-mode request with "busy" and never finishes: the run must
    // end with its error line and Quit after the poll limit instead of stopping silently.
    sim::FaultPlan faults;
    faults.faults.push_back(
        sim::Fault{sim::FaultKind::StuckBusy, sim::Exchange::Fn104Command, 0, 100000, 1.0, 0});
    sim::SimulatedUnit unit(corvane::test::withVersions(245, 232, 105), faults);
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    quicken(*form);
    QVERIFY(scan(*form));
    QTest::mouseClick(form->Load_Button, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return form->Quit_Button2->isVisible(); }, 120000));
    const QStringList expected{
        "CPU-1 Firmware Up To Date.",
        "CPU-2 Firmware Up To Date.",
        "Enabling HMI Boot Mode......",
        "Error detected. Terminating upgrade.",
    };
    QCOMPARE(lines(*form->Progress_ListBox), expected);
    QCOMPARE(form->engine().pollcnt, 0);
    // One enable command per poll, a hundred in all.
    QCOMPARE(unit.exchanges(sim::Exchange::Fn104Command), 100);
    QVERIFY(!unit.inBootMode(3));
}

void TestUpdaterFlow::statusStuckAtOneAddressEndsTheRun() {
    // Busy at one address for ever while the HMI erases: polling stops after the stuck-status
    // limit with the error line, instead of going on without end.
    sim::FaultPlan faults;
    faults.faults.push_back(
        sim::Fault{sim::FaultKind::StuckBusy, sim::Exchange::Fn104Command, 1, 1, 1.0, 0});
    sim::SimulatedUnit unit(corvane::test::withVersions(245, 232, 105), faults);
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    quicken(*form, 400);
    QVERIFY(scan(*form));
    QTest::mouseClick(form->Load_Button, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return form->Quit_Button2->isVisible(); }, 120000));
    const QStringList shown = lines(*form->Progress_ListBox);
    QCOMPARE(shown.mid(shown.size() - 2),
             (QStringList{"Erasing HMI......", "Error detected. Terminating upgrade."}));
    QVERIFY(form->Progress_ListBox->item(shown.size() - 2).barVisible);
    QVERIFY(!unit.summary().restartSeen);
}

void TestUpdaterFlow::closeDuringTheRestartDelay() {
    sim::SimulatedUnit unit(corvane::test::withVersions(215, 232, 112));
    const QString pty = unit.openPty();
    auto form = shownWindow(portsFirst({pty}));
    QVERIFY(scan(*form));
    QSignalSpy released(form.get(), &TForm3::linkReleased);

    // Close as soon as the step that waits 8 s after CPU-1's reset is waiting.
    QElapsedTimer sinceClose;
    bool linkAliveAtClose = false;
    QTimer watcher;
    watcher.setInterval(20);
    connect(&watcher, &QTimer::timeout, form.get(), [&] {
        const int n = form->Progress_ListBox->count();
        if (n > 0 && form->Progress_ListBox->item(n - 1).caption ==
                         QStringLiteral("Restarting CPU-1......")) {
            watcher.stop();
            QTest::qWait(300); // well inside the delay
            form->close();
            sinceClose.start();
            linkAliveAtClose = form->VexaComms1() != nullptr;
        }
    });
    watcher.start();
    QTest::mouseClick(form->Load_Button, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return released.count() == 1; }, 60000));
    QVERIFY(sinceClose.isValid());
    QVERIFY2(sinceClose.elapsed() < 1500, qPrintable(QString::number(sinceClose.elapsed())));
    QVERIFY(linkAliveAtClose); // the waiting step still had it
    QVERIFY(!form->isVisible());
    QVERIFY(!form->VexaComms1());

    // The step finished; nothing after it ran.
    QTest::qWait(300);
    QCOMPARE(form->Progress_ListBox->item(form->Progress_ListBox->count() - 1).caption,
             QStringLiteral("Restarting CPU-1......Done"));
    QVERIFY(!form->Quit_Button2->isVisible());
    corvane::PosixSerialDevice again;
    const corvane::OpenResult r = again.open(pty);
    QVERIFY2(r.ok(), qPrintable(r.message));
}

QTEST_MAIN(TestUpdaterFlow)
#include "tst_updaterflow.moc"

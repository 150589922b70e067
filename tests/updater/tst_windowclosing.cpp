// The updater window offscreen as it closes: the quit buttons, a real port let go, a close
// while a step waits for a reply, and build data that ends the program at start-up.

#include "WindowFixture.h"
#include "WindowTestSupport.h"
#include "main.h"

#include "FakeSerialDevice.h"
#include "Pty.h"

#include "common/gen_lib.h"
#include "firmware/ResourceSource.h"
#include "platform/PosixSerialDevice.h"

#include <QSignalSpy>
#include <QTest>

using corvane::test::FakeSerialDevice;
using corvane::test::FakeSerialScript;

namespace {

// The embedded build data with CPU-1's carried product number replaced.
class PatchedResources final : public ResourceSource {
public:
    explicit PatchedResources(std::uint16_t rm1)
        : m_rm1(QByteArray(1, char(rm1 & 0xFF)) + QByteArray(1, char(rm1 >> 8))) {}
    std::optional<QByteArray> read(const QString& upperName, qint64 maxBytes) const override {
        if (upperName == QStringLiteral("RM_NUM_1")) {
            return maxBytes < 0 ? m_rm1 : m_rm1.left(maxBytes);
        }
        return embeddedResources().read(upperName, maxBytes);
    }

private:
    QByteArray m_rm1;
};

// The compiled-in build data without one resource.
class ResourcesWithout final : public ResourceSource {
public:
    explicit ResourcesWithout(QString name)
        : m_name(std::move(name)) {}
    std::optional<QByteArray> read(const QString& upperName, qint64 maxBytes) const override {
        if (upperName == m_name) {
            return std::nullopt;
        }
        return embeddedResources().read(upperName, maxBytes);
    }

private:
    QString m_name;
};

EngineDeps fakeLink(const std::shared_ptr<FakeSerialScript>& script) {
    EngineDeps deps = noPorts();
    deps.deviceFactory = [script] { return std::make_unique<FakeSerialDevice>(script); };
    return deps;
}

} // namespace

class TestWindowClosing : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void quitClosesAndReleasesTheLink_data();
    void quitClosesAndReleasesTheLink();
    void quitReleasesARealPort();
    void closeDuringAnExchangeIsSafe();
    void unknownCarriedProductEndsTheProgram();
    void missingBuildDataEndsTheProgram_data();
    void missingBuildDataEndsTheProgram();
};

void TestWindowClosing::init() {
    sounds().setPlayer([](std::uint32_t) {});
    sounds().clearRequested();
    setKeyboardModifiersSource({});
}

void TestWindowClosing::cleanup() {
    setKeyboardModifiersSource({});
}

void TestWindowClosing::quitClosesAndReleasesTheLink_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("panel");
    QTest::newRow("connect screen") << "Quit_ToggleButton"
                                    << "Connect_Panel";
    QTest::newRow("retry box") << "ScanError_Quit_Button"
                               << "Scan_Panel";
    QTest::newRow("start screen") << "Quit_Button"
                                  << "Start_Panel";
    QTest::newRow("upgrade screen") << "Quit_Button2"
                                    << "Upgrade_Panel";
    QTest::newRow("hidden scan button") << "Button1"
                                        << "Scan_Panel";
}

void TestWindowClosing::quitClosesAndReleasesTheLink() {
    QFETCH(QString, button);
    QFETCH(QString, panel);
    auto script = std::make_shared<FakeSerialScript>();
    auto form = shownWindow(fakeLink(script));
    form->VexaComms1()->setCommPort(QStringLiteral("/dev/fake0"));
    QVERIFY(form->VexaComms1()->OpenComm());
    QVERIFY(script->deviceOpen());

    auto* target = form->findChild<QAbstractButton*>(button);
    QVERIFY(target);
    form->showPanel(form->findChild<QWidget*>(panel));
    form->Retry_Panel->show();
    target->show();
    target->setEnabled(true);
    QSignalSpy released(form.get(), &TForm3::linkReleased);
    QTest::mouseClick(target, Qt::LeftButton);

    QVERIFY(!form->isVisible());
    QVERIFY(form->isClosing());
    QCOMPARE(released.count(), 1);
    QVERIFY(!form->VexaComms1());
    QVERIFY(!script->deviceOpen());
}

void TestWindowClosing::quitReleasesARealPort() {
    corvane::testsupport::Pty pty(false);
    QVERIFY(pty.isValid());
    {
        auto form = shownWindow();
        form->VexaComms1()->setCommPort(pty.slavePath());
        QVERIFY(form->VexaComms1()->OpenComm());
        // While the window holds the port nobody else gets it.
        corvane::PosixSerialDevice other;
        QVERIFY(!other.open(pty.slavePath()).ok());
        QTest::mouseClick(form->Quit_ToggleButton, Qt::LeftButton);
        QVERIFY(!form->VexaComms1());
        // Released before the form itself goes away.
        corvane::PosixSerialDevice again;
        const corvane::OpenResult r = again.open(pty.slavePath());
        QVERIFY2(r.ok(), qPrintable(r.message));
        again.close();
    }
    // A window whose port was never opened closes just as well.
    auto form = shownWindow();
    QSignalSpy released(form.get(), &TForm3::linkReleased);
    QTest::mouseClick(form->Quit_ToggleButton, Qt::LeftButton);
    QCOMPARE(released.count(), 1);
    QVERIFY(!form->VexaComms1());
}

void TestWindowClosing::closeDuringAnExchangeIsSafe() {
    // A step waiting for a reply that never comes when the window closes: the wait ends at
    // once, the step finishes on the still-existing link, and only then is the link freed.
    auto script = std::make_shared<FakeSerialScript>();
    auto form = shownWindow(fakeLink(script));
    form->VexaComms1()->setCommPort(QStringLiteral("/dev/fake0"));
    QVERIFY(form->VexaComms1()->OpenComm());
    form->showPanel(form->Upgrade_Panel);
    form->engine().CPU_Num = 2;
    form->unit().RM_Number[2] = form->unit().New_RM_Number[2];
    form->Progress_ListBox->addLine(QStringLiteral("Enabling CPU-2 Boot Mode......"));

    bool linkAliveAtClose = false;
    QElapsedTimer clock;
    QTimer::singleShot(300, form.get(), [&] {
        form->close();
        linkAliveAtClose = form->VexaComms1() != nullptr;
    });
    QSignalSpy released(form.get(), &TForm3::linkReleased);
    clock.start();
    QCoreApplication::postEvent(&form->engine(), new StepEvent(WM_UPGRADE_STEP, 11));
    QVERIFY(waitUntil([&] { return released.count() == 1; }, 10000));
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(linkAliveAtClose); // the step was still using it
    QVERIFY(!form->VexaComms1());
    QVERIFY(!script->deviceOpen());
    QCOMPARE(form->Progress_ListBox->item(0).caption,
             QStringLiteral("Enabling CPU-2 Boot Mode......Error Detected (1)"));
    // Nothing runs after the close, not even the step that the failure posted.
    QTest::qWait(100);
    QVERIFY(!form->Quit_Button2->isVisible());
    QCOMPARE(form->Progress_ListBox->count(), 1);
    // Delays asked for after the close return at once.
    QElapsedTimer d;
    d.start();
    QVERIFY(!Delay_MS(2000));
    QVERIFY(d.elapsed() < 500);
}

void TestWindowClosing::unknownCarriedProductEndsTheProgram() {
    PatchedResources resources(1); // no product has RM number 1
    EngineDeps deps = noPorts();
    deps.resources = &resources;
    ModalResponder answer;
    auto form = createUpdaterForms(std::move(deps));
    // Each of the three image records reports it.
    QCOMPARE(answer.seen.size(), std::size_t(3));
    for (const auto& s : answer.seen) {
        QCOMPARE(s.kind, QStringLiteral("MessageDialog"));
        QCOMPARE(s.text, QStringLiteral("Unknown Product!\rTerminating Program...."));
        QCOMPARE(s.caption, QStringLiteral(" Warning"));
    }
    QCOMPARE(sounds().requested(), (std::vector<std::uint32_t>{0x30, 0x30, 0x30}));
    // Start-up finished; the close takes effect from the event loop.
    QVERIFY(form->Connect_Panel->isVisibleTo(form.get()));
    form->show();
    QSignalSpy released(form.get(), &TForm3::linkReleased);
    QVERIFY(waitUntil([&] { return !form->isVisible(); }, 2000));
    QCOMPARE(released.count(), 1);
}

void TestWindowClosing::missingBuildDataEndsTheProgram_data() {
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("message");
    QTest::newRow("a parameter word")
        << QStringLiteral("MB_CTRL_SLAVE") << QStringLiteral("Resource MB_CTRL_SLAVE not found");
    QTest::newRow("a processor word")
        << QStringLiteral("PROC_NUM_2") << QStringLiteral("Resource PROC_NUM_2 not found");
    QTest::newRow("a sub-processor image")
        << QStringLiteral("HFILE_3") << QStringLiteral("Resource HFile_3 not found");
}

// Build data that fails at run time: one message names it, nothing else is attempted, and
// the window closes by itself instead of offering an upgrade it cannot carry out.
void TestWindowClosing::missingBuildDataEndsTheProgram() {
    QFETCH(QString, missing);
    QFETCH(QString, message);
    ResourcesWithout resources(missing);
    EngineDeps deps = noPorts();
    deps.resources = &resources;
    ModalResponder answer;
    auto form = createUpdaterForms(std::move(deps));
    QCOMPARE(answer.seen.size(), std::size_t(1));
    QCOMPARE(answer.seen.front().text, message);
    form->show();
    QVERIFY(waitUntil([&] { return !form->isVisible(); }, 2000));
    QCOMPARE(answer.seen.size(), std::size_t(1));
}

QTEST_MAIN(TestWindowClosing)
#include "tst_windowclosing.moc"

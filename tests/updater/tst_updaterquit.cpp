// Closing the window while a scan step waits for a reply ends the program's event loop, the
// way the real program runs it: nothing waits on, and the port is let go. (A separate program,
// because once the application has quit, its event loops do not run again in that process.)

#include "main.h"

#include "Pty.h"

#include "common/gen_lib.h"
#include "platform/PosixSerialDevice.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class TestUpdaterQuit : public QObject {
    Q_OBJECT
private slots:
    void closeDuringAScanEndsTheProgram();
};

void TestUpdaterQuit::closeDuringAScanEndsTheProgram() {
    sounds().setPlayer([](std::uint32_t) {});
    // A port where nothing answers: the identification read waits for its time-out.
    corvane::testsupport::Pty silent(true);
    QVERIFY(silent.isValid());
    EngineDeps deps;
    deps.preferredPorts = {silent.slavePath()};
    deps.listPorts = [] { return std::vector<corvane::PortEntry>{}; };
    auto form = createUpdaterForms(std::move(deps));
    form->show();
    QSignalSpy released(form.get(), &TForm3::linkReleased);

    bool waitingAtClose = false;
    QElapsedTimer sinceClose;
    QTimer::singleShot(0, form.get(), [&] { form->Connect_ToggleButton->click(); });
    QTimer::singleShot(400, form.get(), [&] {
        waitingAtClose = form->VexaComms1() && form->VexaComms1()->isOpen();
        sinceClose.start();
        form->close();
    });
    // A program that does not end on its own is stopped here and fails below.
    QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(99); });

    QVERIFY(QApplication::quitOnLastWindowClosed());
    const int rc = QApplication::exec();
    QCOMPARE(rc, 0);
    QVERIFY(waitingAtClose);
    QVERIFY2(sinceClose.elapsed() < 1500, qPrintable(QString::number(sinceClose.elapsed())));
    QCOMPARE(released.count(), 1);
    QVERIFY(!form->VexaComms1());
    QVERIFY(form->engine().Memo2.contains(silent.slavePath() + QStringLiteral(" open.")));
    corvane::PosixSerialDevice again;
    const corvane::OpenResult r = again.open(silent.slavePath());
    QVERIFY2(r.ok(), qPrintable(r.message));
}

QTEST_MAIN(TestUpdaterQuit)
#include "tst_updaterquit.moc"

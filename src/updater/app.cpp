// Program entry: the command line, the application's identity, then the three forms in their
// start order, and the event loop until the main window closes. With --simulate a simulated
// unit answers on a pseudo-terminal inside the process; with --auto the run drives itself,
// with --identify it only finds the unit and reports.

#include "AppOptions.h"
#include "AutoRun.h"
#include "BuiltInSimulator.h"
#include "Doctor.h"
#include "FieldKit.h"
#include "RunSignals.h"
#include "StartupCheck.h"
#include "Theme.h"
#include "Transcript.h"
#include "main.h"

#include "common/gen_lib.h"
#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"
#include "platform/PosixSerialDevice.h"

#include <QApplication>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

void setIdentity() {
    QCoreApplication::setApplicationName(QStringLiteral("corvane-updater"));
    QCoreApplication::setApplicationVersion(Version_Info[2]);
}

// Output errors (a closed pipe or terminal) are ignored: the run goes on without its output.
void printLine(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// A run without a window must not need a display: offscreen when there is none, and as the
// fallback when the display there is cannot be reached.
void chooseWindowlessPlatform() {
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    if (!chosen.isEmpty()) {
        if (!chosen.contains("offscreen"))
            qputenv("QT_QPA_PLATFORM", chosen + ";offscreen");
        return;
    }
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    QByteArray list;
    if (wayland)
        list += "wayland;";
    if (x11)
        list += "xcb;";
    qputenv("QT_QPA_PLATFORM", list + "offscreen");
}

// The window without --auto: after SIGINT/SIGTERM no further step starts, boxes are closed,
// and once the step in progress has returned the state is reported and the window closes.
void closeWhenIdle(TForm3& form, int signal) {
    class StepBlocker : public QObject {
    public:
        using QObject::QObject;
        bool eventFilter(QObject*, QEvent* e) override {
            return e->type() == WM_SCAN_STEP || e->type() == WM_UPGRADE_STEP;
        }
    };
    form.installEventFilter(new StepBlocker(&form));
    const QStringList atStop = form.Progress_ListBox->captions();
    abandonDelays();
    std::fprintf(stderr, "corvane-updater: %s received; stopping after the exchange in progress.\n",
                 qPrintable(signalName(signal)));
    auto* timer = new QTimer(&form);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, &form, [&form, timer, atStop] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            return;
        }
        if (form.handlerRunning() || QThread::currentThread()->loopLevel() > 1)
            return;
        timer->stop();
        const bool upgrading = form.visiblePanel() == form.Upgrade_Panel;
        const QStringList captions =
            RunSignals::refusedRequests() > 0 ? atStop : form.Progress_ListBox->captions();
        std::fprintf(stderr, "corvane-updater: %s\n",
                     qPrintable(unitStateAfterStop(upgrading, captions)));
        form.close();
    });
    timer->start();
}

} // namespace

int main(int argc, char** argv) {
    Get_Version_Info();
    AppOptions options;
    {
        // The command line is read before any window system is needed, so --help and
        // --version also work without a display.
        QCoreApplication probe(argc, argv);
        setIdentity();
        options = parseAppOptions(QCoreApplication::arguments());
    }
    if (!options.error.isEmpty()) {
        std::fprintf(stderr,
                     "corvane-updater: %s\nTry 'corvane-updater --help' for more information.\n",
                     qPrintable(options.error));
        return 2;
    }
    if (options.showHelp) {
        std::fputs(qPrintable(options.helpText), stdout);
        return 0;
    }
    if (options.showSimulateHelp) {
        std::fputs(qPrintable(options.simulateHelpText), stdout);
        return 0;
    }
    // Field kit: neither needs an application object.
    if (options.doctor)
        return runDoctor(options.ports, options.json, Version_Info[2]);
    if (options.showVersion && options.verbose)
        return printVerboseVersion(Version_Info[2]);
    if (options.showVersion) {
        std::printf("Corvane Firmware Updater %s\n", qPrintable(Version_Info[2]));
        return 0;
    }

    // The carried firmware, hashed again before the first window or exchange.
    if (const int damaged = checkCarriedFirmwareAtStart(options.windowless(), argc, argv))
        return damaged;

    // Before any thread exists, so that every thread inherits the dispositions.
    RunSignals::install();
    if (options.windowless())
        chooseWindowlessPlatform();

    QApplication app(argc, argv);
    RunSignals signalWatch;
    setIdentity();
    QApplication::setApplicationDisplayName(QStringLiteral("Corvane Firmware Updater"));

    corvane::ui::installAppFonts();
    QApplication::setFont(corvane::ui::uiFont());
    sounds().setPlayer([](std::uint32_t) { QApplication::beep(); });

    std::unique_ptr<RunTranscript> transcript;
    if (!options.logPath.isEmpty()) {
        QString why;
        transcript = RunTranscript::openFile(options.logPath, &why);
        if (!transcript) {
            std::fprintf(stderr, "corvane-updater: %s\n", qPrintable(why));
            return 2;
        }
        transcript->info(QStringLiteral("Corvane Firmware Updater %1").arg(Version_Info[2]));
        transcript->info(QStringLiteral("command line: ") +
                         QCoreApplication::arguments().mid(1).join(u' '));
        try {
            transcript->info(buildDataSummary(embeddedResources(), Product_Table()));
        } catch (const std::exception& e) {
            transcript->info(QStringLiteral("build data: %1").arg(QString::fromUtf8(e.what())));
        }
    }

    std::unique_ptr<BuiltInSimulator> simulator;
    if (options.simulate) {
        simulator = std::make_unique<BuiltInSimulator>(options.simScenario, options.simFaults);
        for (const QString& problem : simulator->problems())
            std::fprintf(stderr, "corvane-updater: simulated unit: build data: %s\n",
                         qPrintable(problem));
        try {
            options.ports.prepend(simulator->start());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "corvane-updater: simulated unit: %s\n", e.what());
            if (transcript)
                transcript->result(QStringLiteral("Result: the simulated unit could not start: ") +
                                       QString::fromLocal8Bit(e.what()),
                                   1);
            return 1;
        }
        printLine(simulator->description());
        if (transcript)
            transcript->info(simulator->description());
    }

    UpdaterDeps deps;
    deps.preferredPorts = options.ports;
    deps.fastLink = options.fastLink;
    deps.verifyAfterRestart = options.verify;
    deps.deviceFactory = [] {
        return std::make_unique<GatedSerialDevice>(std::make_unique<corvane::PosixSerialDevice>());
    };
    const std::unique_ptr<TForm3> form = createUpdaterForms(std::move(deps));
    std::unique_ptr<FormTranscriber> transcriber;
    if (transcript)
        transcriber = std::make_unique<FormTranscriber>(*form, *transcript);
    form->show();
    std::unique_ptr<AutoRun> autoRun;
    if (options.windowless()) {
        autoRun = std::make_unique<AutoRun>(*form, printLine);
        autoRun->setIdentifyOnly(options.identify);
        autoRun->setHoldResultLine(true);
        autoRun->start();
    }
    int stoppedBy = 0;
    QObject::connect(&signalWatch, &RunSignals::stopRequested, form.get(), [&](int signal) {
        if (stoppedBy != 0)
            return;
        stoppedBy = signal;
        if (autoRun)
            autoRun->requestStop(signal);
        else
            closeWhenIdle(*form, signal);
    });
    int result = QApplication::exec();
    if (autoRun)
        result = autoRun->exitCode();
    else if (stoppedBy != 0)
        result = signalExitCode(stoppedBy);
    if (simulator) {
        simulator->unit().stop();
        printLine(QStringLiteral("\nSimulated unit after the run:\n") + simulator->summaryText());
        if (transcript)
            for (const QString& line : simulator->summaryText().split(u'\n'))
                transcript->info(QStringLiteral("simulated unit: ") + line);
    }
    if (transcript) {
        const bool autoResult = autoRun && !autoRun->resultLine().isEmpty();
        transcript->result(autoResult ? autoRun->resultLine() : transcriber->windowResult(),
                           result);
        transcriber.reset();
    }
    if (autoRun && !autoRun->resultLine().isEmpty())
        printLine(autoRun->resultLine());
    return result;
}

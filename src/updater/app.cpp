// Program entry: the command line, the application's identity, then the three forms in their
// start order, and the event loop until the main window closes. With --simulate a simulated
// unit answers on a pseudo-terminal inside the process; with --auto the run drives itself.

#include "AppOptions.h"
#include "AutoRun.h"
#include "BuiltInSimulator.h"
#include "Theme.h"
#include "Transcript.h"
#include "main.h"

#include "common/gen_lib.h"
#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>

namespace {

void setIdentity() {
    QCoreApplication::setApplicationName(QStringLiteral("corvane-updater"));
    QCoreApplication::setApplicationVersion(Version_Info[2]);
}

void printLine(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
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
        std::fprintf(stderr, "corvane-updater: %s\n\n%s", qPrintable(options.error),
                     qPrintable(options.helpText));
        return 2;
    }
    if (options.showHelp) {
        std::fputs(qPrintable(options.helpText), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("Corvane Firmware Updater %s\n", qPrintable(Version_Info[2]));
        return 0;
    }

    QApplication app(argc, argv);
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
    const std::unique_ptr<TForm3> form = createUpdaterForms(std::move(deps));
    std::unique_ptr<FormTranscriber> transcriber;
    if (transcript)
        transcriber = std::make_unique<FormTranscriber>(*form, *transcript);
    form->show();
    std::unique_ptr<AutoRun> autoRun;
    if (options.autoRun) {
        autoRun = std::make_unique<AutoRun>(*form, printLine);
        autoRun->start();
    }
    int result = QApplication::exec();
    if (autoRun)
        result = autoRun->exitCode();
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
    return result;
}

// Program entry: the command line, the application's identity, then the three forms in their
// start order, and the event loop until the main window closes. With --simulate a simulated
// unit answers on a pseudo-terminal inside the process; with --auto the run drives itself.

#include "AppOptions.h"
#include "AutoRun.h"
#include "BuiltInSimulator.h"
#include "Theme.h"
#include "main.h"

#include "common/gen_lib.h"

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
            return 1;
        }
        printLine(simulator->description());
    }

    UpdaterDeps deps;
    deps.preferredPorts = options.ports;
    deps.verifyAfterRestart = options.verify;
    const std::unique_ptr<TForm3> form = createUpdaterForms(std::move(deps));
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
    }
    return result;
}

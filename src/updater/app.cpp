// Program entry: the command line, the application's identity, then the three forms in their
// start order, and the event loop until the main window closes.

#include "AppOptions.h"
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

    UpdaterDeps deps;
    deps.preferredPorts = options.ports;
    const std::unique_ptr<TForm3> form = createUpdaterForms(std::move(deps));
    form->show();
    return QApplication::exec();
}

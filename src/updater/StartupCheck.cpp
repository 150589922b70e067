#include "StartupCheck.h"

#include "FieldKit.h"
#include "MessageDialog.h"
#include "Theme.h"

#include "firmware/FirmwareCheck.h"

#include <QApplication>

#include <cstdio>

int checkCarriedFirmwareAtStart(bool windowless, int& argc, char** argv) {
    const QStringList differences = verifyCarriedFirmware();
    if (differences.isEmpty()) {
        return 0;
    }
    std::fprintf(stderr, "%s\n", qPrintable(damagedProgramLine(differences)));
    if (!windowless) {
        QApplication app(argc, argv);
        corvane::ui::installAppFonts();
        QApplication::setFont(corvane::ui::uiFont());
        showDamagedProgramBox(damagedProgramMessage(differences));
    }
    return kDamagedProgramExitCode;
}

void showDamagedProgramBox(const QString& message) {
    (void)Message_Dialog(message, TMsgDlgType::mtWarning, TMsgDlgBtn::mbOK);
}

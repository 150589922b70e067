// Draws the program's icon, the same picture the window shows as its icon, as a PNG file for
// the desktop menu: draw_icon SIZE FILE.

#include "gallery.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv) {
    // Runs during the build, where there may be no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool ok = false;
    const int size = args.size() == 3 ? args.at(1).toInt(&ok) : 0;
    if (!ok || size < 16 || size > 1024) {
        std::fprintf(stderr, "usage: draw_icon SIZE FILE (SIZE 16..1024)\n");
        return 2;
    }
    if (!corvane::ui::drawIcon(size).save(args.at(2), "PNG")) {
        std::fprintf(stderr, "draw_icon: cannot write %s\n", qPrintable(args.at(2)));
        return 1;
    }
    return 0;
}

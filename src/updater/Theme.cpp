#include "Theme.h"

#include <QFile>
#include <QFontDatabase>

namespace corvane::ui {

namespace {

// Wine's fonts are outside fontconfig's search path, so they are added by file.
constexpr const char* kTahomaRegular = "/usr/share/wine/fonts/tahoma.ttf";
constexpr const char* kTahomaBold = "/usr/share/wine/fonts/tahomabd.ttf";

struct FontState {
    bool attempted = false;
    QString family;
};

FontState& fontState() {
    static FontState state;
    return state;
}

QString addFontFile(const char* path) {
    if (!QFile::exists(QString::fromLatin1(path))) {
        return {};
    }
    const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(path));
    if (id < 0) {
        return {};
    }
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    return families.isEmpty() ? QString() : families.first();
}

} // namespace

bool installAppFonts() {
    FontState& state = fontState();
    if (!state.attempted) {
        state.attempted = true;
        state.family = addFontFile(kTahomaRegular);
        if (!state.family.isEmpty()) {
            addFontFile(kTahomaBold);
        }
    }
    return !state.family.isEmpty();
}

QString uiFamily() {
    installAppFonts();
    const FontState& state = fontState();
    return state.family.isEmpty() ? QStringLiteral("DejaVu Sans") : state.family;
}

QFont uiFont(int pixelSize, bool bold) {
    QFont font(uiFamily());
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

} // namespace corvane::ui

// The parts of the dialog helpers that ask the window system: the application's display name
// and the keyboard state. Linked only by the window layer.

#include "gen_lib.h"

#include <QCoreApplication>
#include <QGuiApplication>

QString standardCaption(TMsgDlgType type) {
    switch (type) {
    case TMsgDlgType::mtWarning:
        return QStringLiteral("Warning");
    case TMsgDlgType::mtError:
        return QStringLiteral("Error");
    case TMsgDlgType::mtInformation:
        return QStringLiteral("Information");
    case TMsgDlgType::mtConfirmation:
        return QStringLiteral("Confirm");
    case TMsgDlgType::mtCustom:
        break;
    }
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        return QGuiApplication::applicationDisplayName();
    }
    return QCoreApplication::applicationName();
}

QString dialogCaption(TMsgDlgType type) {
    return QLatin1Char(' ') + standardCaption(type);
}

namespace {

KeyboardModifiersSource& modifiersSource() {
    static KeyboardModifiersSource source;
    return source;
}

} // namespace

void setKeyboardModifiersSource(KeyboardModifiersSource source) {
    modifiersSource() = std::move(source);
}

bool Ctrl_Key_Down() {
    Qt::KeyboardModifiers modifiers;
    if (modifiersSource()) {
        modifiers = modifiersSource()();
    } else if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        modifiers = QGuiApplication::queryKeyboardModifiers();
    }
    return modifiers.testFlag(Qt::ControlModifier);
}

#pragma once
// Colours and fonts of the updater's dark look.

#include <QColor>
#include <QFont>

namespace corvane::ui {

inline const QColor kPanelTop{0, 0, 0};
inline const QColor kPanelBottom{58, 58, 62};
inline const QColor kTextSilver{192, 192, 192};
inline const QColor kTextWhite{255, 255, 255};
inline const QColor kTextDim{112, 112, 112};
inline const QColor kAccentBlue{64, 132, 255};
inline const QColor kGradientBlue{40, 110, 255}; // bottom colour of the large connect texts
inline const QColor kNavy{0, 0, 128};
inline const QColor kFrameSilver{150, 150, 156};
inline const QColor kListBackground{10, 10, 12};
inline const QColor kMarkerRed{214, 34, 34};

// Face used by every control: Tahoma when it can be loaded, else DejaVu Sans.
[[nodiscard]] QString uiFamily();
// Tahoma 8 pt is 11 pixels high on the 96 dpi screen the layout was drawn for.
[[nodiscard]] QFont uiFont(int pixelSize = 11, bool bold = false);
// Registers the window font with the application (idempotent); returns whether Tahoma loaded.
bool installAppFonts();

} // namespace corvane::ui

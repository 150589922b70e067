#pragma once
// Texts and colours of the labels that the image store, identification and the version review
// write. Plain data: the window applies it to its widgets, tests read it directly.
// Per-processor arrays are indexed 1..3; element 0 is unused.

#include <QColor>
#include <QString>
#include <QStringList>

#include <array>

inline const QColor kSilver{192, 192, 192};
inline const QColor kLime{0, 255, 0};
inline const QColor kRed{255, 0, 0};

struct LabelText {
    QString text;
    QColor colour = kSilver;
    friend bool operator==(const LabelText&, const LabelText&) = default;
};

struct ScreenTexts {
    LabelText Model_Label{QStringLiteral("")}; // title strip (shadow text is the same)
    // The LabelText arrays are default-initialised (no {}): value-initialising them makes
    // GCC 12 fail with an internal error.
    std::array<LabelText, 4> FW_Label;         // connect screen, "v?.??" until set
    std::array<LabelText, 4> CurrentVer_Label; // installed version, "????" until set
    std::array<LabelText, 4> NewVer_Label;     // carried version, "????" until set
    std::array<QStringList, 4> RevNotes{};     // release notes, one item per line
    QStringList Tabs;                          // "CPU-1", "CPU-2"[, "HMI"]
    int SelectedTab = 0;

    ScreenTexts() {
        for (int n = 1; n <= 3; ++n) {
            FW_Label[n].text = QStringLiteral("v?.??");
            CurrentVer_Label[n].text = QStringLiteral("????");
            NewVer_Label[n].text = QStringLiteral("????");
        }
    }
};

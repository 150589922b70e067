#pragma once
// Texts and colours of the labels that the image store, identification and the version review
// write. Plain data: the window applies it to its widgets, tests read it directly.
// Per-processor arrays are indexed 1..3; element 0 is unused.

#include <QString>
#include <QStringList>

#include <array>

// The three colours a version label takes; the window paints them silver (192, 192, 192),
// lime (0, 255, 0) and red (255, 0, 0).
enum class LabelColour { Silver, Lime, Red };
inline constexpr LabelColour kSilver = LabelColour::Silver;
inline constexpr LabelColour kLime = LabelColour::Lime;
inline constexpr LabelColour kRed = LabelColour::Red;

struct LabelText {
    QString text;
    LabelColour colour = kSilver;
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

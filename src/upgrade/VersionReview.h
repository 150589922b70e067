#pragma once
// The version review's decisions, without widgets: which processors the upgrade programs,
// which rows carry an error marker, the installed-version texts and the label colours.
// Processor index 1 = CPU-1, 2 = CPU-2, 3 = HMI.

#include "firmware/ScreenTexts.h"
#include "firmware/UnitState.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

struct MarkerState {
    bool shown = false; // shows the error picture and its hint
    QString hint;
    friend bool operator==(const MarkerState&, const MarkerState&) = default;
};

// Button3Click's verdict on CPU-1.
enum class Cpu1Verdict { Accepted, ProductMismatch, NotUpgradeable };

// How a processor's installed firmware stands against the carried one.
enum class ProcessorState {
    Current,        // the carried RM number, at the carried version or later
    Absent,         // the product has no such processor (the HMI), or nothing is carried for it
    Silent,         // no answer (RM number and version 0)
    NotUpgradeable, // below the version from which it can be upgraded
    Different,      // anything else: older, another RM number, in its boot loader
};

struct ProcessorFinding {
    ProcessorState state = ProcessorState::Current;
    // Names the processor and why it does not hold the carried firmware; empty when Current or
    // Absent.
    QString line;
};

class VersionReview {
public:
    // Thresholds on the installed version (x 100) below which a processor is not upgraded.
    static constexpr std::uint16_t kMinCpu1Version = 200;
    static constexpr std::uint16_t kMinCpu2Version = 100;
    static constexpr std::uint16_t kMinHmiVersion = 105;

    // hasHmi answers whether the identified product has the display processor; null means it
    // has (no product row, nothing to take away).
    VersionReview(UnitState& unit, ScreenTexts& texts, std::function<bool()> hasHmi = {});

    bool All_Mode = false;
    bool Load_Visible = false; // "Load Firmware" shown
    std::array<MarkerState, 4> Markers;

    void Refresh_Update_Flags();
    void Update_Version_Labels();
    // CPU-1's product and version checks; sets marker 1 and hides the button on a refusal.
    Cpu1Verdict checkCpu1();

    // Processor n's installed firmware (RM_Number, FW_Version) against the carried one.
    [[nodiscard]] ProcessorFinding finding(int n) const;
    // "HMI reports RM9000 v0.00, expected RM6204 v1.12".
    [[nodiscard]] QString reportLine(int n) const;

    [[nodiscard]] static QString installedVersionText(std::uint16_t rm, std::uint16_t version);
    [[nodiscard]] static QString versionNumber(std::uint16_t version); // 245 -> "2.45"

private:
    [[nodiscard]] bool productHasHmi() const { return !m_hasHmi || m_hasHmi(); }
    [[nodiscard]] bool answered(int n) const;
    [[nodiscard]] bool flagFor(int n) const;

    UnitState& m_unit;
    ScreenTexts& m_texts;
    std::function<bool()> m_hasHmi;
};

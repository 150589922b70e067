#include "VersionReview.h"

#include "firmware/ProcessorName.h"
#include "firmware/VersionText.h"

#include <QLocale>

namespace {

const QString kHintMismatch = QStringLiteral("Product mismatch");
const QString kHintNotUpgradeable = QStringLiteral("Current firmware is not upgradeable");

bool inOldCpu1Range(std::uint16_t version) {
    return version >= 1 && version < VersionReview::kMinCpu1Version;
}

} // namespace

VersionReview::VersionReview(UnitState& unit, ScreenTexts& texts, std::function<bool()> hasHmi)
    : m_unit(unit)
    , m_texts(texts)
    , m_hasHmi(std::move(hasHmi)) {
    Markers[1].hint = kHintMismatch;
    Markers[2].hint = kHintNotUpgradeable;
    Markers[3].hint = kHintNotUpgradeable;
}

QString VersionReview::versionNumber(std::uint16_t version) {
    return versionNumberText(version, QLocale());
}

QString VersionReview::installedVersionText(std::uint16_t rm, std::uint16_t version) {
    return QStringLiteral("RM%1 v%2").arg(rm, 4, 10, QLatin1Char('0')).arg(versionNumber(version));
}

bool VersionReview::answered(int n) const {
    return m_unit.RM_Number[n] != 0 || m_unit.FW_Version[n] != 0;
}

bool VersionReview::flagFor(int n) const {
    bool flag = false;
    if (answered(n)) {
        if (m_unit.RM_Number[n] == m_unit.New_RM_Number[n]) {
            flag = m_unit.FW_Version[n] < m_unit.New_FW_Version[n];
        } else {
            flag = n != 1; // a sub-processor with another product number is reprogrammed
        }
        if (n > 1 && m_unit.RM_Number[n] == m_unit.Boot_RM_Number) {
            flag = true; // already in its bootloader: whatever it runs gets replaced
        }
    }
    if (All_Mode) {
        flag = true;
    }
    return flag;
}

void VersionReview::Refresh_Update_Flags() {
    std::array<bool, 4> flag{};
    for (int n = 1; n <= 3; ++n) {
        flag[n] = flagFor(n);
    }

    const bool hasHmi = productHasHmi();
    if (!hasHmi) {
        flag[3] = false;
    }

    const bool cpu2TooOld =
        m_unit.FW_Version[2] < kMinCpu2Version && m_unit.RM_Number[2] != m_unit.Boot_RM_Number;
    if (cpu2TooOld) {
        flag[2] = false;
    }
    Markers[2].shown = cpu2TooOld;

    const bool hmiTooOld =
        m_unit.FW_Version[3] < kMinHmiVersion && m_unit.RM_Number[3] != m_unit.Boot_RM_Number;
    if (hmiTooOld) {
        flag[3] = false;
    }
    // A product without the display processor shows "N/A" in that row and never a marker.
    Markers[3].shown = hmiTooOld && hasHmi;

    if (inOldCpu1Range(m_unit.FW_Version[1])) {
        flag = {};
    }

    Load_Visible = false;
    for (int n = 1; n <= 3; ++n) {
        m_unit.PMem_Store[n].Upgrade_Flag = flag[n];
        Load_Visible = Load_Visible || flag[n];
    }
}

void VersionReview::Update_Version_Labels() {
    for (int n = 1; n <= 3; ++n) {
        LabelColour installed = kSilver;
        LabelColour carried = kSilver;
        QString text;
        if (!answered(n)) {
            text = QStringLiteral("Unknown");
        } else {
            text = installedVersionText(m_unit.RM_Number[n], m_unit.FW_Version[n]);
            if (m_unit.PMem_Store[n].Upgrade_Flag) {
                carried = kRed;
            } else {
                installed = kLime;
            }
        }
        if (n == 3 && !productHasHmi()) {
            text = QStringLiteral("N/A");
            installed = kSilver;
            carried = kSilver;
            Markers[3].shown = false;
        }
        m_texts.CurrentVer_Label[n] = LabelText{text, installed};
        m_texts.NewVer_Label[n].colour = carried;
    }
}

Cpu1Verdict VersionReview::checkCpu1() {
    if (m_unit.RM_Number[1] != m_unit.New_RM_Number[1]) {
        Markers[1] = MarkerState{true, QStringLiteral("Product Mismatch!")};
        Load_Visible = false;
        return Cpu1Verdict::ProductMismatch;
    }
    if (inOldCpu1Range(m_unit.FW_Version[1])) {
        Markers[1] = MarkerState{true, kHintNotUpgradeable};
        Load_Visible = false;
        return Cpu1Verdict::NotUpgradeable;
    }
    Markers[1].shown = false;
    return Cpu1Verdict::Accepted;
}

QString VersionReview::reportLine(int n) const {
    return processorName(n) + QStringLiteral(" reports ") +
           installedVersionText(m_unit.RM_Number[n], m_unit.FW_Version[n]) +
           QStringLiteral(", expected ") +
           installedVersionText(m_unit.New_RM_Number[n], m_unit.New_FW_Version[n]);
}

ProcessorFinding VersionReview::finding(int n) const {
    if (n < 1 || n > 3 || (n == 3 && !productHasHmi()) || m_unit.New_RM_Number[n] == 0) {
        return {ProcessorState::Absent, {}};
    }
    const std::uint16_t rm = m_unit.RM_Number[n];
    const std::uint16_t version = m_unit.FW_Version[n];
    if (!answered(n)) {
        return {ProcessorState::Silent, processorName(n) + QStringLiteral(" Not Responding")};
    }
    const bool inBoot = n > 1 && rm == m_unit.Boot_RM_Number;
    if (!inBoot && rm == m_unit.New_RM_Number[n] && version >= m_unit.New_FW_Version[n]) {
        return {ProcessorState::Current, {}};
    }
    const bool tooOld = (n == 1 && inOldCpu1Range(version)) ||
                        (n == 2 && !inBoot && version < kMinCpu2Version) ||
                        (n == 3 && !inBoot && version < kMinHmiVersion);
    if (tooOld) {
        return {ProcessorState::NotUpgradeable,
                processorName(n) + QStringLiteral(" Firmware Not Upgradeable (") +
                    installedVersionText(rm, version) + QLatin1Char(')')};
    }
    return {ProcessorState::Different, reportLine(n)};
}

#include "Identification.h"

#include "VersionText.h"

#include "modbus/ModBusPro.h"
#include "modbus/RegisterFacade.h"
#include "serial/VexaComms.h"

#include <array>

UnitIdentifier::UnitIdentifier(UnitState& state, ScreenTexts& texts, RegisterFacade& facade,
                               QLocale locale)
    : m_state(state)
    , m_texts(texts)
    , m_facade(facade)
    , m_locale(std::move(locale)) {}

int UnitIdentifier::Get_Firmware_Num() {
    std::array<std::uint16_t, 2> words{};
    const int result = m_facade.PollReg(m_state.MB_FW_Slv, 3, m_state.MB_FW_Off, 2, words);
    if (result != 1) {
        return 0;
    }
    m_state.RM_Number[1] = words[0];
    m_state.FW_Version[1] = words[1];
    m_texts.CurrentVer_Label[1].text = rmVersionText(words[0], words[1], m_locale);
    return words[0];
}

bool UnitIdentifier::MB_Get_Other_FW_Nums(int attempts) {
    TVexaComms* link = m_facade.serial();
    if (link == nullptr) {
        return false;
    }
    std::array<std::uint16_t, 4> words{};
    int result = 0;
    for (int i = 0; i < attempts && result != 1; ++i) {
        result =
            MB_ReadRegs(*link, static_cast<std::uint8_t>(m_state.MB_FW_Slv), 3, 8, 4, 15, words);
        if (!link->isOpen()) {
            break; // closed (the window went away): nothing more to try
        }
    }
    if (result != 1) {
        return false;
    }
    m_state.RM_Number[3] = words[0];
    m_state.FW_Version[3] = words[1];
    m_state.RM_Number[2] = words[2];
    m_state.FW_Version[2] = words[3];
    return true;
}

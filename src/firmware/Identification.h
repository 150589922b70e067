#pragma once
// Reads the RM numbers and installed versions of a connected unit's three processors.
// Register map (holding registers of slave MB_FW_Slv): MB_FW_Off + 0 CPU-1 RM number,
// MB_FW_Off + 1 CPU-1 version; absolute registers 8, 9 HMI RM number and version, 10, 11
// CPU-2 RM number and version.

#include "ScreenTexts.h"
#include "UnitState.h"

#include <QLocale>

class RegisterFacade;

class UnitIdentifier {
public:
    UnitIdentifier(UnitState& state, ScreenTexts& texts, RegisterFacade& facade,
                   QLocale locale = QLocale());

    // CPU-1's RM number read through the facade (either transport), or 0 when the read
    // failed. On success also RM_Number[1], FW_Version[1] and the text of CurrentVer_Label[1];
    // on failure all of them keep their values.
    int Get_Firmware_Num();

    // Registers 8..11 read on the serial link directly (slave MB_FW_Slv as it is, time-out
    // 15): 8, 9 go to the HMI (processor 3), 10, 11 to CPU-2 (processor 2). Up to `attempts`
    // reads; false, with the fields unchanged, when every one failed or there is no serial
    // link.
    bool MB_Get_Other_FW_Nums(int attempts = 1);

    // Reads of registers 8..11 before CPU-2 and the HMI are taken as silent: a single lost or
    // corrupted reply must not make them "Unknown".
    static constexpr int kOtherNumsAttempts = 3;

private:
    UnitState& m_state;
    ScreenTexts& m_texts;
    RegisterFacade& m_facade;
    QLocale m_locale;
};

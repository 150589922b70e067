#pragma once
// Version words are version x 100 (245 = 2.45), shown with two decimals and the decimal
// separator of the user's number format.

#include <QLocale>
#include <QString>

#include <cstdint>

// "2.45" (or "2,45"); 5 gives "0.05".
[[nodiscard]] QString versionNumberText(std::uint16_t version, const QLocale& locale);
// " v2.45": the suffix of model and title labels.
[[nodiscard]] QString versionSuffix(std::uint16_t version, const QLocale& locale);
// "RM4001 v2.45": an RM number in plain decimal and its version.
[[nodiscard]] QString rmVersionText(std::uint32_t rm, std::uint16_t version, const QLocale& locale);

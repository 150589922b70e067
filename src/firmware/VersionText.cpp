#include "VersionText.h"

QString versionNumberText(std::uint16_t version, const QLocale& locale) {
    // Only the separator follows the locale: digits stay ASCII and there is no grouping.
    QString text = QString::asprintf("%.2f", version / 100.0);
    text.replace(QLatin1Char('.'), locale.decimalPoint());
    return text;
}

QString versionSuffix(std::uint16_t version, const QLocale& locale) {
    return QStringLiteral(" v") + versionNumberText(version, locale);
}

QString rmVersionText(std::uint32_t rm, std::uint16_t version, const QLocale& locale) {
    return QStringLiteral("RM") + QString::number(rm) + versionSuffix(version, locale);
}

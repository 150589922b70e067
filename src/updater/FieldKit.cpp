#include "FieldKit.h"

#include "firmware/FirmwareCheck.h"
#include "firmware/ProcessorName.h"
#include "firmware/VersionText.h"

#include <cstdio>

namespace {

QString hex4(std::uint32_t address) {
    return QString::number(address, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

} // namespace

QStringList verboseVersionText(const QString& version, const CarriedDigests& digests) {
    QStringList lines;
    lines << QStringLiteral("Corvane Firmware Updater %1").arg(version);
    lines << QStringLiteral("Build data \"%1\": SHA-256 %2")
                 .arg(digests.buildDataSet, QString::fromLatin1(digests.buildDataSha256.toHex()));
    for (const CarriedImageDigest& image : digests.images) {
        lines << QStringLiteral("%1 %2  %3  0x%4..0x%5  SHA-256 %6")
                     .arg(processorName(image.processor), -5)
                     .arg(rmVersionText(image.rm, image.version, QLocale::c()), image.resource)
                     .arg(hex4(image.start), hex4(image.last))
                     .arg(QString::fromLatin1(image.sha256.toHex()));
    }
    return lines;
}

QString damagedProgramLine(const QStringList& differences) {
    return QStringLiteral("corvane-updater: ") + damagedProgramMessage(differences);
}

int printVerboseVersion(const QString& version) {
    for (const QString& line : verboseVersionText(version, carriedDigests())) {
        std::printf("%s\n", qPrintable(line));
    }
    std::fflush(stdout);
    const QStringList differences = verifyCarriedFirmware();
    if (differences.isEmpty()) {
        return 0;
    }
    std::fprintf(stderr, "%s\n", qPrintable(damagedProgramLine(differences)));
    return kDamagedProgramExitCode;
}

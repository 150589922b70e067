#include "FirmwareCheck.h"

#include "BuildData.h"

#include <QDir>

namespace {

struct BuiltImage {
    int processor;
    const char* resource;
    std::uint16_t rm;
    std::uint16_t version;
    std::uint32_t start;
    std::uint32_t last;
    const char* sha256; // hex
};

// kBuiltDataSet, kBuiltDataSha256 and kBuiltImages, written by carried_digests.
#include "CarriedDigestsData.inc"

CarriedDigests fromBuild() {
    CarriedDigests d;
    d.buildDataSet = QString::fromUtf8(kBuiltDataSet);
    d.buildDataSha256 = QByteArray::fromHex(kBuiltDataSha256);
    for (const BuiltImage& image : kBuiltImages) {
        d.images.push_back({image.processor, QString::fromLatin1(image.resource), image.rm,
                            image.version, image.start, image.last,
                            QByteArray::fromHex(image.sha256)});
    }
    return d;
}

} // namespace

const CarriedDigests& carriedDigests() {
    static const CarriedDigests digests = fromBuild();
    return digests;
}

QByteArray carriedImageSha256(int processor, std::uint16_t productRm) {
    const CarriedImageDigest* image = carriedDigests().image(processor, productRm);
    return image ? image->sha256 : QByteArray();
}

QStringList embeddedResourceNames() {
    QString folder = QLatin1String(corvane::kBuildDataPrefix);
    folder.chop(1);
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

QStringList verifyCarriedFirmware() {
    return verifyCarriedFirmware(embeddedResources(), embeddedResourceNames(), carriedDigests());
}

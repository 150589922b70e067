#include "CarriedFirmware.h"

#include "ImageStore.h"
#include "ProcessorName.h"
#include "VersionText.h"

#include <QCryptographicHash>
#include <QRegularExpression>

#include <algorithm>

namespace {

QByteArray sha256(QByteArrayView bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QString shortHex(const QByteArray& digest) {
    return digest.isEmpty() ? QStringLiteral("(none)")
                            : QString::fromLatin1(digest.toHex().left(16)) + QStringLiteral("...");
}

QString describe(const CarriedImageDigest& image) {
    return QStringLiteral("%1 (%2 %3)")
        .arg(image.resource, processorName(image.processor),
             rmVersionText(image.rm, image.version, QLocale::c()));
}

// The image of processor `processor` in `bytes`, over the program range the build data gives
// for it; the digest stays empty when the range is unknown or does not lie in the image.
CarriedImageDigest imageDigest(const ResourceSource& source, const QString& name, int number,
                               const QByteArray& bytes) {
    CarriedImageDigest d;
    d.processor = number == 2 || number == 3 ? number : 1;
    d.resource = name;
    const QString suffix = QString::number(d.processor);
    d.rm = d.processor == 1
               ? static_cast<std::uint16_t>(number)
               : readResourceWord(source, QStringLiteral("RM_NUM_") + suffix).value_or(0);
    d.version = readResourceWord(source, QStringLiteral("FW_VER_") + suffix).value_or(0);
    const auto start = readResourceWord(source, QStringLiteral("PROG_MEM_START_") + suffix);
    const auto type = readResourceWord(source, QStringLiteral("PROC_NUM_") + suffix);
    const auto last = type ? maxProgAddrFor(*type) : std::nullopt;
    if (!start || !last) {
        return d;
    }
    d.start = *start;
    d.last = *last;
    if (d.start <= d.last && d.last < static_cast<std::uint32_t>(bytes.size())) {
        d.sha256 = sha256(QByteArrayView(bytes).sliced(d.start, d.last + 1 - d.start));
    }
    return d;
}

} // namespace

const CarriedImageDigest* CarriedDigests::image(int processor, std::uint16_t rm) const {
    for (const CarriedImageDigest& d : images) {
        if (d.processor == processor && (processor != 1 || d.rm == rm)) {
            return &d;
        }
    }
    return nullptr;
}

CarriedDigests computeCarriedDigests(const ResourceSource& source, const QStringList& names,
                                     const QString& buildDataSet) {
    CarriedDigests digests;
    digests.buildDataSet = buildDataSet;
    QStringList sorted = names;
    std::sort(sorted.begin(), sorted.end()); // by UTF-16 code unit: byte order for these names
    sorted.removeDuplicates();
    static const QRegularExpression imageName(QStringLiteral("^HFILE_([1-9][0-9]*)$"));
    QByteArray manifest;
    for (const QString& name : sorted) {
        const auto bytes = source.read(name, -1);
        manifest +=
            (bytes ? sha256(*bytes).toHex() : QByteArray("-")) + "  " + name.toUtf8() + '\n';
        const auto m = imageName.match(name);
        bool inRange = false;
        const int number = m.hasMatch() ? m.captured(1).toInt(&inRange) : 0;
        if (inRange && number <= 0xFFFF) {
            digests.images.push_back(
                imageDigest(source, name, number, bytes.value_or(QByteArray())));
        }
    }
    digests.buildDataSha256 = sha256(manifest);
    std::stable_sort(digests.images.begin(), digests.images.end(),
                     [](const CarriedImageDigest& a, const CarriedImageDigest& b) {
                         return a.processor != b.processor ? a.processor < b.processor
                                                           : a.rm < b.rm;
                     });
    return digests;
}

QStringList compareCarriedDigests(const CarriedDigests& built, const CarriedDigests& now) {
    QStringList differences;
    for (const CarriedImageDigest& b : built.images) {
        const auto it =
            std::find_if(now.images.begin(), now.images.end(),
                         [&](const CarriedImageDigest& n) { return n.resource == b.resource; });
        if (it == now.images.end()) {
            differences << QStringLiteral("%1 is missing").arg(describe(b));
        } else if (it->sha256 != b.sha256 || it->start != b.start || it->last != b.last ||
                   it->rm != b.rm || it->version != b.version || it->sha256.isEmpty()) {
            differences << QStringLiteral("%1: SHA-256 %2 at build time, %3 now")
                               .arg(describe(b), shortHex(b.sha256), shortHex(it->sha256));
        }
    }
    for (const CarriedImageDigest& n : now.images) {
        if (std::none_of(built.images.begin(), built.images.end(),
                         [&](const CarriedImageDigest& b) { return b.resource == n.resource; })) {
            differences
                << QStringLiteral("%1 was not carried when the program was built").arg(n.resource);
        }
    }
    if (built.buildDataSha256 != now.buildDataSha256 || built.buildDataSha256.isEmpty()) {
        differences << QStringLiteral("build data \"%1\": SHA-256 %2 at build time, %3 now")
                           .arg(built.buildDataSet, shortHex(built.buildDataSha256),
                                shortHex(now.buildDataSha256));
    }
    return differences;
}

QStringList verifyCarriedFirmware(const ResourceSource& source, const QStringList& names,
                                  const CarriedDigests& built) {
    return compareCarriedDigests(built, computeCarriedDigests(source, names, built.buildDataSet));
}

QString damagedProgramMessage(const QStringList& differences) {
    return QStringLiteral("The program is damaged: its carried firmware is not the firmware it "
                          "was built with (%1). Reinstall corvane-updater; do not program a "
                          "unit with this copy.")
        .arg(differences.join(QStringLiteral("; ")));
}

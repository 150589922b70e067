#pragma once
// Fingerprints of the carried firmware: the SHA-256 of each image over its program range, and
// one of the build data as a whole. They are computed from the build-data folder when the
// program is built and again from the embedded copy when it starts; any difference means the
// program is damaged.

#include "ResourceSource.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

struct CarriedImageDigest {
    int processor = 0; // 1 CPU-1, 2 CPU-2, 3 HMI
    QString resource;  // e.g. "HFILE_4001"
    std::uint16_t rm = 0;
    std::uint16_t version = 0; // x 100
    std::uint32_t start = 0;   // the program range, first and last address
    std::uint32_t last = 0;
    QByteArray sha256; // 32 bytes; empty when the image or its range could not be read
    friend bool operator==(const CarriedImageDigest&, const CarriedImageDigest&) = default;
};

struct CarriedDigests {
    QString buildDataSet; // the build-data folder's name, e.g. "demo"
    // SHA-256 over one line per resource in name order, "<its SHA-256 in hex>  <NAME>\n"
    // (the lines sha256sum prints); an unreadable resource gives "-  <NAME>\n".
    QByteArray buildDataSha256;
    std::vector<CarriedImageDigest> images; // CPU-1's in RM order, then CPU-2's, then the HMI's

    // CPU-1's image for units of `rm`, or CPU-2's or the HMI's (rm not looked at); null when
    // there is none.
    [[nodiscard]] const CarriedImageDigest* image(int processor, std::uint16_t rm = 0) const;
    friend bool operator==(const CarriedDigests&, const CarriedDigests&) = default;
};

// The digests of the resources `names` (upper-case names) as `source` holds them.
[[nodiscard]] CarriedDigests computeCarriedDigests(const ResourceSource& source,
                                                   const QStringList& names,
                                                   const QString& buildDataSet);

// One line per difference between the digests recorded at build time and those of now;
// empty when they agree.
[[nodiscard]] QStringList compareCarriedDigests(const CarriedDigests& built,
                                                const CarriedDigests& now);

// Hashes `source` again and compares it with `built`: the differences, empty when none.
[[nodiscard]] QStringList verifyCarriedFirmware(const ResourceSource& source,
                                                const QStringList& names,
                                                const CarriedDigests& built);

// What the user is told when the check fails: the program is damaged and must be reinstalled.
[[nodiscard]] QString damagedProgramMessage(const QStringList& differences);

#pragma once
// The digests recorded when this program was built, and the start-up check of the embedded
// build data against them.

#include "CarriedFirmware.h"

// Computed from the build-data folder at build time.
[[nodiscard]] const CarriedDigests& carriedDigests();

// The SHA-256 (32 bytes) of the image a run carries for `processor` (1 CPU-1, 2 CPU-2, 3 HMI) of
// a unit of product `productRm` (CPU-1's image is chosen by it); empty when there is none.
[[nodiscard]] QByteArray carriedImageSha256(int processor, std::uint16_t productRm);

// The upper-case names of the build-data resources embedded in the program.
[[nodiscard]] QStringList embeddedResourceNames();

// The embedded build data hashed again and compared with carriedDigests(): the differences,
// empty when the program carries exactly what it was built with.
[[nodiscard]] QStringList verifyCarriedFirmware();

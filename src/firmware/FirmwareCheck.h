#pragma once
// The digests recorded when this program was built, and the start-up check of the embedded
// build data against them.

#include "CarriedFirmware.h"

// Computed from the build-data folder at build time.
[[nodiscard]] const CarriedDigests& carriedDigests();

// The upper-case names of the build-data resources embedded in the program.
[[nodiscard]] QStringList embeddedResourceNames();

// The embedded build data hashed again and compared with carriedDigests(): the differences,
// empty when the program carries exactly what it was built with.
[[nodiscard]] QStringList verifyCarriedFirmware();

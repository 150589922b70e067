#pragma once
// The program's own checks that need no application object: --version --verbose, and the
// command line's side of the start-up check of the carried firmware. Qt Core only.

#include "firmware/CarriedFirmware.h"

#include <QString>
#include <QStringList>

// Exit code of a program whose carried firmware differs from what it was built with.
inline constexpr int kDamagedProgramExitCode = 7;

// --version --verbose: the version, the build-data set with its digest, and per carried image
// its processor, RM number, version, program range and SHA-256.
[[nodiscard]] QStringList verboseVersionText(const QString& version, const CarriedDigests& digests);

// What the command line prints on standard error when the check fails: one line.
[[nodiscard]] QString damagedProgramLine(const QStringList& differences);

// Prints verboseVersionText of this program, then checks the carried firmware: 0, or
// kDamagedProgramExitCode with damagedProgramLine on standard error.
int printVerboseVersion(const QString& version);

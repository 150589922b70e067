#pragma once
// Where the embedded build data lives: one Qt resource per file of the build-data folder,
// stored under its upper-case name.

#include <QString>

namespace corvane {

inline constexpr char kBuildDataPrefix[] = ":/builddata/";

// Resource path of an upper-case resource name, e.g. ":/builddata/HFILE_2".
[[nodiscard]] QString buildDataPath(const QString& upperName);

} // namespace corvane

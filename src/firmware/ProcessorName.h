#pragma once
// The processors' names, as every screen, line and record shows them.

#include <QString>

// 1 "CPU-1", 2 "CPU-2", 3 "HMI"; anything else "Processor N".
[[nodiscard]] QString processorName(int processor);

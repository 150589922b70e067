#include "ProcessorName.h"

QString processorName(int processor) {
    switch (processor) {
    case 1:
        return QStringLiteral("CPU-1");
    case 2:
        return QStringLiteral("CPU-2");
    case 3:
        return QStringLiteral("HMI");
    default:
        return QStringLiteral("Processor %1").arg(processor);
    }
}

#pragma once
// A serial link set up as the updater sets it up: 115200 8N1, a 16384-byte receive ring and a
// 10 ms read interval.

#include "VexaComms.h"

#include <memory>

inline std::unique_ptr<TVexaComms> openRtuLink(const QString& device) {
    auto link = std::make_unique<TVexaComms>();
    link->setCommPort(device);
    link->setBaudRate(115200);
    link->setRxBufferSize(0x4000);
    link->setInterCharTimeOut(10);
    if (!link->OpenComm()) {
        qWarning("cannot open %s: %s", qPrintable(device), qPrintable(link->lastOpenError()));
        return nullptr;
    }
    return link;
}

#pragma once
// The serial link component over the scriptable fake device, shared by the VexaComms suites.

#include "FakeSerialDevice.h"
#include "SerialTestUtil.h"
#include "VexaComms.h"

#include <memory>

namespace corvane::test {

struct Link {
    std::shared_ptr<FakeSerialScript> script = std::make_shared<FakeSerialScript>();
    TVexaComms comms{nullptr, [s = script] { return std::make_unique<FakeSerialDevice>(s); }};

    explicit Link(std::uint16_t ringSize = 256) {
        comms.setCommPort(QStringLiteral("/dev/fake0"));
        comms.setRxBufferSize(ringSize);
    }
    void inject(const QByteArray& b) {
        comms.HandleRxChr(bytes(b), static_cast<std::uint32_t>(b.size()));
    }
};

// Bootloader reply shape: DLE STX ... DLE ETX.
inline void addFrameCondition(TRxCondition& list) {
    list.PrepRxBuffNew();
    list.PrepRxBuffAdd(2, {0x10, 0x02}, 1, 2, {0x10, 0x03}, 1, 0, 1, 0);
}

} // namespace corvane::test

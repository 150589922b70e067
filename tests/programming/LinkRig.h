#pragma once
// A programmer on a real pseudo-terminal against a scripted device, shared by the suites of
// the programming exchanges.

#include "ProgTestRig.h"
#include "UnitReplies.h"

#include "programming/Programmer.h"
#include "serial/VexaComms.h"

#include <QMetaType>

#include <memory>

Q_DECLARE_METATYPE(progtest::Bytes)
Q_DECLARE_METATYPE(std::vector<progtest::Bytes>)

namespace progtest {

inline Answer reply(const Bytes& b) {
    return Answer{{b}, {}};
}

// A link, a device script and a programmer over the unit state this build configures.
struct Rig {
    explicit Rig(Responder responder, std::uint32_t interval = 10)
        : peer(peerScript(std::move(responder)), frameLength)
        , state(configuredState())
        , prog(link, *state, &sink) {
        link.setCommPort(peer.devicePath());
        link.setBaudRate(115200);
        link.setRxBufferSize(0x4000);
        link.setInterCharTimeOut(interval);
        opened = link.OpenComm();
    }

    corvane::testsupport::ScriptedSerialPeer peer;
    TVexaComms link;
    std::unique_ptr<UnitState> state;
    RecordingSink sink;
    Programmer prog;
    bool opened = false;
};

} // namespace progtest

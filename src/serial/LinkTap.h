#pragma once
// An observer of one serial link: every frame as it is written and every received chunk as the
// main thread processes it, and the start and end of each exchange as the protocol layers see
// them. The link holds a plain pointer and calls nothing when it is null.

#include <cstddef>
#include <cstdint>
#include <string_view>

class LinkTap {
public:
    virtual ~LinkTap() = default;
    // The frames until exchangeEnded belong to an exchange of this kind (a short text such
    // as "modbus fn 3 slave 1 reg 0 x2"); only valid during the call.
    virtual void exchangeBegun(std::string_view kind) = 0;
    // Protocol result code of the exchange begun last.
    virtual void exchangeEnded(int result) = 0;
    // Bytes handed to the device by one write (written: how many it took).
    virtual void frameSent(const std::uint8_t* bytes, std::size_t written) = 0;
    // One chunk delivered by the receive thread, as it is processed on the link's thread.
    virtual void chunkReceived(const std::uint8_t* bytes, std::size_t length) = 0;
};

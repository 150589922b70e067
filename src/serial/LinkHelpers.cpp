#include "LinkHelpers.h"

#include <algorithm>
#include <cstring>

QString windowsPortName(int portNumber) {
    return portNumber <= 9 ? QStringLiteral("COM%1").arg(portNumber)
                           : QStringLiteral("\\\\.\\COM%1").arg(portNumber);
}

std::uint32_t readIntervalMs(std::uint32_t interCharTimeOut, std::uint32_t baudRate) {
    if (interCharTimeOut != 0) {
        return interCharTimeOut;
    }
    if (baudRate == 0) {
        return 1;
    }
    // About three character times at 9600 baud, rounded up; 1 ms from 38400 baud on.
    return (115200u / baudRate) * 3u / 12u + 1u;
}

std::chrono::microseconds readInterval(std::uint32_t interCharTimeOutUs, std::uint32_t baudRate) {
    if (interCharTimeOutUs != 0) {
        return std::chrono::microseconds(interCharTimeOutUs);
    }
    return std::chrono::milliseconds(readIntervalMs(0, baudRate));
}

ChunkEnd chunkEndFor(std::uint32_t interCharTimeOutUs) {
    return interCharTimeOutUs != 0 && interCharTimeOutUs < 1000 ? ChunkEnd::EachRead
                                                                : ChunkEnd::QuietInterval;
}

std::size_t copyReplyPhases(const std::uint8_t* received, std::size_t count, std::size_t prechrs,
                            std::size_t msgchrs, int pre, int mid, int post, std::uint8_t* buf,
                            std::size_t bufsize) {
    std::size_t c = 0;
    std::size_t p = 0;
    auto copy = [&](std::size_t n) {
        while (n > 0 && c < bufsize && p < count) {
            buf[c++] = received[p++];
            --n;
        }
        // Positions advance by the phase counts even where nothing could be copied.
        p += n;
    };
    if (pre < 0) {
        copy(prechrs);
    } else {
        const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(pre), prechrs);
        p = prechrs - k;
        copy(k);
    }
    p = prechrs;
    if (mid < 0) {
        copy(msgchrs);
    } else if (mid > 0) {
        copy(static_cast<std::size_t>(mid));
    }
    // mid 0 copies nothing and, like mid > 0, lets the post part start at the first post-phase
    // character.
    p = prechrs + msgchrs;
    if (post > 0) {
        copy(static_cast<std::size_t>(post));
    } else if (post < 0) {
        copy(count > p ? count - p : 0);
    }
    buf[c] = 0;
    return c;
}

int BCC_Check(const std::uint8_t* buf, std::uint16_t st, std::uint16_t en) {
    if (buf == nullptr) {
        return 0;
    }
    std::uint8_t x = 0;
    for (std::uint32_t i = st; i <= en && en >= st; ++i) {
        x ^= buf[i];
    }
    return buf[std::uint32_t{en} + 1] == x ? 1 : 0;
}

std::uint16_t Find_Char(const std::uint8_t* buf, std::uint8_t first, std::uint8_t second,
                        std::uint16_t n) {
    if (buf == nullptr) {
        return 0;
    }
    // The byte after the last one scanned (buf[n]) is compared as well.
    for (std::uint32_t i = 0; i < n; ++i) {
        if (buf[i] == first && (second == '*' || buf[i + 1] == second)) {
            return static_cast<std::uint16_t>(i + 2);
        }
    }
    return 0;
}

void Byte_Move(const std::uint8_t* src, std::uint8_t* dest, int len, bool zt_flag) {
    if (dest == nullptr) {
        return;
    }
    if (len > 0 && src != nullptr) {
        std::memmove(dest, src, static_cast<std::size_t>(len));
    }
    if (zt_flag) {
        dest[len > 0 ? len : 0] = 0;
    }
}

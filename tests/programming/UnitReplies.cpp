#include "UnitReplies.h"

#include <memory>

namespace progtest {

namespace {

constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;

} // namespace

corvane::testsupport::PeerScript peerScript(Responder responder) {
    auto index = std::make_shared<int>(0);
    return [responder = std::move(responder), index](const QByteArray& request) {
        const Answer answer =
            responder ? responder(Bytes(request.begin(), request.end()), (*index)++) : Answer{};
        std::vector<corvane::testsupport::PeerStep> steps;
        for (std::size_t i = 0; i < answer.pieces.size(); ++i) {
            const Bytes& piece = answer.pieces[i];
            steps.push_back({QByteArray(reinterpret_cast<const char*>(piece.data()),
                                        static_cast<qsizetype>(piece.size())),
                             i > 0 ? static_cast<int>(answer.pause.count()) : 0, false});
        }
        return steps;
    };
}

std::vector<Bytes> requestsOf(const corvane::testsupport::ScriptedSerialPeer& peer) {
    std::vector<Bytes> out;
    for (const QByteArray& r : peer.requests()) {
        out.emplace_back(r.begin(), r.end());
    }
    return out;
}

qsizetype frameLength(const QByteArray& received) {
    return static_cast<qsizetype>(requestLength(Bytes(received.begin(), received.end())));
}

std::size_t requestLength(const Bytes& buf) {
    if (buf.size() >= 2 && buf[0] == DLE && buf[1] == STX) {
        std::size_t run = 0;
        for (std::size_t i = 2; i < buf.size(); ++i) {
            if (buf[i] == DLE) {
                ++run;
                continue;
            }
            if (buf[i] == ETX && run % 2 == 1) {
                return i + 1;
            }
            run = 0;
        }
        return 0;
    }
    if (buf.size() < 2) {
        return 0;
    }
    switch (buf[1]) {
    case 3:
    case 6:
    case 0x67:
        return buf.size() >= 8 ? 8 : 0;
    case 16:
    case 0x68:
        if (buf.size() < 7) {
            return 0;
        }
        return buf.size() >= std::size_t(9 + buf[6]) ? std::size_t(9 + buf[6]) : 0;
    default:
        return 0;
    }
}

std::uint16_t crc16(const std::uint8_t* data, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

Bytes withCrc(Bytes frame) {
    const std::uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

bool crcOk(const Bytes& frame) {
    if (frame.size() < 3) {
        return false;
    }
    const std::uint16_t crc = crc16(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

Bytes bootFrame(const Bytes& body) {
    Bytes f{DLE, STX};
    for (const auto b : body) {
        f.push_back(b);
        if (b == DLE) {
            f.push_back(DLE);
        }
    }
    f.push_back(DLE);
    f.push_back(ETX);
    return f;
}

Bytes bootReply(std::uint8_t cmd, std::uint8_t len, const Bytes& data) {
    Bytes body;
    body.reserve(data.size() + 3);
    body.push_back(cmd);
    body.push_back(len);
    for (const auto b : data) {
        body.push_back(b);
    }
    std::uint8_t sum = 0;
    for (const auto b : body) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    body.push_back(static_cast<std::uint8_t>(-sum));
    return bootFrame(body);
}

Bytes unstuff(const Bytes& frame) {
    Bytes body;
    for (std::size_t i = 2; i + 2 < frame.size(); ++i) {
        if (frame[i] == DLE) {
            ++i;
        }
        body.push_back(frame[i]);
    }
    return body;
}

Bytes writeEcho(const Bytes& request) {
    return withCrc(Bytes(request.begin(), request.begin() + 6));
}

Bytes exceptionReply(const Bytes& request, std::uint8_t code) {
    return withCrc(Bytes{request[0], static_cast<std::uint8_t>(request[1] | 0x80), code});
}

Bytes readReply(std::uint8_t slave, const std::vector<std::uint16_t>& words) {
    Bytes f{slave, 3, static_cast<std::uint8_t>(2 * words.size())};
    for (const auto w : words) {
        f.push_back(static_cast<std::uint8_t>(w >> 8));
        f.push_back(static_cast<std::uint8_t>(w & 0xFF));
    }
    return withCrc(f);
}

Bytes hex(const char* text) {
    const QByteArray raw = QByteArray::fromHex(QByteArray(text).replace(' ', ""));
    return Bytes(raw.begin(), raw.end());
}

QByteArray toHex(const Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()))
        .toHex(' ')
        .toUpper();
}

} // namespace progtest

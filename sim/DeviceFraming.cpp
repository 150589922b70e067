#include "DeviceFraming.h"

#include <algorithm>

namespace corvane::sim {

std::uint16_t crc16(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1U) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                             : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

void appendCrc(Bytes& frame) {
    const std::uint16_t crc = crc16(frame);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

bool crcOk(std::span<const std::uint8_t> frame) {
    if (frame.size() < 4) {
        return false;
    }
    const std::uint16_t crc = crc16(frame.first(frame.size() - 2));
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

std::size_t rtuRequestLength(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2) {
        return 0;
    }
    switch (frame[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 8:
    case 103:
        return 8;
    case 7:
    case 11:
    case 12:
    case 17:
        return 4;
    case 15:
    case 16:
    case 104: // byte count at offset 6
        return frame.size() < 7 ? 0 : 9 + static_cast<std::size_t>(frame[6]);
    case 22:
        return 10;
    case 23: // byte count at offset 10
        return frame.size() < 11 ? 0 : 13 + static_cast<std::size_t>(frame[10]);
    case 24:
        return 6;
    default:
        return 0;
    }
}

namespace {

bool knownFunction(std::uint8_t fn) {
    const std::uint8_t probe[2] = {0, fn};
    // Functions whose length needs more bytes still count as known.
    return rtuRequestLength(probe) != 0 || fn == 15 || fn == 16 || fn == 104 || fn == 23;
}

} // namespace

std::optional<std::size_t> RtuAssembler::findFrame(std::size_t newFrom, bool quiet) {
    bool inProgress = false;
    for (std::size_t i = 0; i + 4 <= m_buf.size(); ++i) {
        const auto rest = std::span<const std::uint8_t>(m_buf).subspan(i);
        const bool counts = !m_address || m_buf[i] == *m_address;
        const std::size_t len = rtuRequestLength(rest);
        if (len == 0) {
            // A known function whose length byte has not arrived is a frame in progress.
            inProgress = inProgress || (counts && knownFunction(m_buf[i + 1]));
            continue;
        }
        if (i + len > m_buf.size()) {
            inProgress = inProgress || counts;
            continue;
        }
        if (i + len <= newFrom || !crcOk(rest.first(len))) {
            continue;
        }
        if (inProgress && !quiet) {
            m_waiting = true;
            continue;
        }
        return i;
    }
    return std::nullopt;
}

std::vector<Bytes> RtuAssembler::feed(std::span<const std::uint8_t> bytes) {
    std::vector<Bytes> frames;
    for (std::size_t pos = 0; pos < bytes.size();) {
        // Feed at most what keeps the buffer bounded, then search.
        const std::size_t room = kMaxBuffer - m_buf.size();
        const std::size_t take = std::min(room, bytes.size() - pos);
        const std::size_t before = m_buf.size();
        m_buf.insert(m_buf.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                     bytes.begin() + static_cast<std::ptrdiff_t>(pos + take));
        pos += take;

        // A frame can only have completed if it ends among the new bytes, or if it was held
        // back and the frame in progress before it has now completed.
        std::size_t newFrom = m_waiting ? 0 : before;
        for (;;) {
            m_waiting = false;
            const auto start = findFrame(newFrom, false);
            if (!start) {
                break;
            }
            const std::size_t len =
                rtuRequestLength(std::span<const std::uint8_t>(m_buf).subspan(*start));
            const auto end = m_buf.begin() + static_cast<std::ptrdiff_t>(*start + len);
            frames.emplace_back(m_buf.begin() + static_cast<std::ptrdiff_t>(*start), end);
            m_buf.erase(m_buf.begin(), end);
            // What is left was already there; a length byte may have become known, so search
            // it all once more.
            newFrom = 0;
        }

        if (m_buf.size() >= kMaxBuffer) {
            // Garbage: no request is longer than 256 bytes, so keep the last 256.
            m_buf.erase(m_buf.begin(), m_buf.end() - 256);
            m_waiting = true;
        }
    }
    return frames;
}

std::vector<Bytes> RtuAssembler::idle(bool stale) {
    std::vector<Bytes> frames;
    // Nothing more is coming for now: frames held back by one in progress are taken.
    while (const auto start = findFrame(0, true)) {
        const std::size_t len =
            rtuRequestLength(std::span<const std::uint8_t>(m_buf).subspan(*start));
        const auto end = m_buf.begin() + static_cast<std::ptrdiff_t>(*start + len);
        frames.emplace_back(m_buf.begin() + static_cast<std::ptrdiff_t>(*start), end);
        m_buf.erase(m_buf.begin(), end);
    }
    m_waiting = false;
    // A frame of a function the unit does not know ends where the line went quiet.
    for (std::size_t i = 0; i + 4 <= m_buf.size(); ++i) {
        if (knownFunction(m_buf[i + 1])) {
            continue;
        }
        const auto candidate = std::span<const std::uint8_t>(m_buf).subspan(i);
        if (crcOk(candidate)) {
            frames.emplace_back(candidate.begin(), candidate.end());
            m_buf.clear();
            return frames;
        }
    }
    if (stale) {
        m_buf.clear();
        return frames;
    }
    // Drop leading bytes that cannot begin a frame any more: a known length that is complete
    // (its CRC failed) or an unknown function. Keep the rest for a master writing in pieces.
    std::size_t keepFrom = m_buf.size();
    for (std::size_t i = 0; i < m_buf.size(); ++i) {
        if (i + 1 >= m_buf.size()) {
            keepFrom = i;
            break;
        }
        if (!knownFunction(m_buf[i + 1])) {
            continue;
        }
        const std::size_t len = rtuRequestLength(std::span<const std::uint8_t>(m_buf).subspan(i));
        if (len == 0 || i + len > m_buf.size()) {
            keepFrom = i;
            break;
        }
    }
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(keepFrom));
    return frames;
}

std::uint8_t bccOf(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<std::uint8_t>((256U - (sum & 0xFFU)) & 0xFFU);
}

Bytes encodeBootFrame(std::uint8_t command, std::uint8_t length,
                      std::span<const std::uint8_t> data) {
    Bytes body;
    body.reserve(data.size() + 3);
    body.push_back(command);
    body.push_back(length);
    body.insert(body.end(), data.begin(), data.end());
    body.push_back(bccOf(body));

    Bytes frame{kDle, kStx};
    for (std::uint8_t b : body) {
        frame.push_back(b);
        if (b == kDle) {
            frame.push_back(kDle);
        }
    }
    frame.push_back(kDle);
    frame.push_back(kEtx);
    return frame;
}

std::vector<Bytes> BootFrameParser::feed(std::span<const std::uint8_t> bytes) {
    std::vector<Bytes> bodies;
    for (std::uint8_t b : bytes) {
        switch (m_state) {
        case State::Hunt:
            if (b == kDle) {
                m_state = State::HuntDle;
            }
            break;
        case State::HuntDle:
            if (b == kStx) {
                m_body.clear();
                m_state = State::Body;
            } else if (b != kDle) {
                m_state = State::Hunt;
            }
            break;
        case State::Body:
            if (b == kDle) {
                m_state = State::BodyDle;
            } else if (m_body.size() >= kMaxBody) {
                clear();
            } else {
                m_body.push_back(b);
            }
            break;
        case State::BodyDle:
            if (b == kDle) {
                if (m_body.size() >= kMaxBody) {
                    clear();
                } else {
                    m_body.push_back(kDle);
                    m_state = State::Body;
                }
            } else if (b == kEtx) {
                bodies.push_back(std::move(m_body));
                clear();
            } else if (b == kStx) {
                m_body.clear();
                m_state = State::Body;
            } else {
                clear();
            }
            break;
        }
    }
    return bodies;
}

void BootFrameParser::clear() {
    m_state = State::Hunt;
    m_body.clear();
}

bool bodySumOk(std::span<const std::uint8_t> body) {
    if (body.size() < 3) {
        return false;
    }
    unsigned sum = 0;
    for (std::uint8_t b : body) {
        sum += b;
    }
    return (sum & 0xFFU) == 0;
}

} // namespace corvane::sim

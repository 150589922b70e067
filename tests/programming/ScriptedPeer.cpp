#include "ScriptedPeer.h"

#include "Pty.h"

#include <QByteArray>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <stdexcept>

namespace progtest {

namespace {

constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;

} // namespace

ScriptedPeer::ScriptedPeer(Responder responder)
    : m_responder(std::move(responder)) {
    char name[PATH_MAX] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    if (::pipe(m_stop) != 0) {
        throw std::runtime_error("pipe failed");
    }
    m_slavePath = QString::fromLocal8Bit(name);
    m_thread = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
    const char c = 1;
    (void)::write(m_stop[1], &c, 1);
    m_thread.join();
    ::close(m_stop[0]);
    ::close(m_stop[1]);
    ::close(m_slave);
    ::close(m_master);
}

std::vector<Bytes> ScriptedPeer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int ScriptedPeer::requestCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_requests.size());
}

Bytes ScriptedPeer::leftover() const {
    std::lock_guard lock(m_mutex);
    return m_pending;
}

void ScriptedPeer::run() {
    std::uint8_t buf[4096];
    for (;;) {
        pollfd fds[2] = {{m_stop[0], POLLIN, 0}, {m_master, POLLIN, 0}};
        if (::poll(fds, 2, 200) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        {
            std::lock_guard lock(m_mutex);
            m_pending.insert(m_pending.end(), buf, buf + n);
        }
        for (;;) {
            Bytes request;
            int index = 0;
            {
                std::lock_guard lock(m_mutex);
                const std::size_t len = requestLength(m_pending);
                if (len == 0) {
                    break;
                }
                request.assign(m_pending.begin(), m_pending.begin() + static_cast<long>(len));
                m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(len));
                index = static_cast<int>(m_requests.size());
                m_requests.push_back(request);
            }
            const Answer answer = m_responder ? m_responder(request, index) : Answer{};
            for (std::size_t i = 0; i < answer.pieces.size(); ++i) {
                if (i > 0) {
                    std::this_thread::sleep_for(answer.pause);
                }
                (void)corvane::testsupport::writeAll(
                    m_master, reinterpret_cast<const char*>(answer.pieces[i].data()),
                    answer.pieces[i].size());
            }
        }
    }
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

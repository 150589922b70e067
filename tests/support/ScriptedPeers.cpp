#include "ScriptedPeers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::testsupport {

namespace {

void makeStopPipe(int (&fds)[2]) {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
}

void signalStop(const int (&fds)[2]) {
    const char stop = 1;
    (void)::write(fds[1], &stop, 1);
}

// Waits up to ms for fd to become readable; false on stop or time-out.
enum class Wake { readable, timeout, stop };
Wake waitReadable(int fd, int stopFd, int ms) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
    for (;;) {
        const int r = ::poll(fds, 2, ms);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return r == 0 ? Wake::timeout : Wake::stop;
        }
        if (fds[0].revents != 0) {
            return Wake::stop;
        }
        return Wake::readable;
    }
}

// Sleeps ms unless a stop comes first; false on stop.
bool pause(int stopFd, int ms) {
    if (ms <= 0) {
        return true;
    }
    pollfd p{stopFd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

} // namespace

QByteArray mbapFrame(std::uint16_t tid, std::uint8_t unit, const QByteArray& pdu) {
    QByteArray f;
    const auto len = static_cast<std::uint16_t>(pdu.size() + 1);
    f.append(static_cast<char>(tid >> 8)).append(static_cast<char>(tid & 0xFF));
    f.append('\0').append('\0');
    f.append(static_cast<char>(len >> 8)).append(static_cast<char>(len & 0xFF));
    f.append(static_cast<char>(unit));
    f.append(pdu);
    return f;
}

std::uint16_t mbapTid(const QByteArray& frame) {
    if (frame.size() < 2) {
        return 0;
    }
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(frame[0]) << 8) |
                                      static_cast<std::uint8_t>(frame[1]));
}

QByteArray withCrc(const QByteArray& bytes) {
    std::uint16_t crc = 0xFFFF;
    for (const char c : bytes) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                  : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    QByteArray out = bytes;
    out.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
    return out;
}

QByteArray rtuReadReply(std::uint8_t slave, std::uint16_t count, std::uint16_t base) {
    QByteArray r;
    r.append(static_cast<char>(slave)).append(char(3)).append(static_cast<char>(2 * count));
    for (std::uint16_t i = 0; i < count; ++i) {
        const auto v = static_cast<std::uint16_t>(base + i);
        r.append(static_cast<char>(v >> 8)).append(static_cast<char>(v & 0xFF));
    }
    return withCrc(r);
}

// --- serial ---------------------------------------------------------------------------------

ScriptedSerialPeer::ScriptedSerialPeer(PeerScript script, int quietMs)
    : m_quietMs(quietMs)
    , m_script(std::move(script)) {
    makeStopPipe(m_stop);
    m_thread = std::thread([this] { run(); });
}

ScriptedSerialPeer::ScriptedSerialPeer(PeerScript script, RequestFramer framer)
    : m_framer(std::move(framer))
    , m_script(std::move(script)) {
    makeStopPipe(m_stop);
    m_thread = std::thread([this] { run(); });
}

ScriptedSerialPeer::~ScriptedSerialPeer() {
    signalStop(m_stop);
    m_thread.join();
    ::close(m_stop[0]);
    ::close(m_stop[1]);
}

void ScriptedSerialPeer::setScript(PeerScript script) {
    const std::lock_guard lock(m_mutex);
    m_script = std::move(script);
}

std::vector<QByteArray> ScriptedSerialPeer::requests() const {
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

int ScriptedSerialPeer::requestCount() const {
    const std::lock_guard lock(m_mutex);
    return static_cast<int>(m_requests.size());
}

QByteArray ScriptedSerialPeer::leftover() const {
    const std::lock_guard lock(m_mutex);
    return m_pending;
}

void ScriptedSerialPeer::run() {
    const int fd = m_pty.masterFd();
    char buf[4096];
    for (;;) {
        bool collecting = false;
        {
            const std::lock_guard lock(m_mutex);
            collecting = !m_pending.isEmpty();
        }
        const int wait = m_framer || !collecting ? -1 : m_quietMs;
        const Wake w = waitReadable(fd, m_stop[0], wait);
        if (w == Wake::stop) {
            return;
        }
        if (w == Wake::readable) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) {
                continue;
            }
            const std::lock_guard lock(m_mutex);
            m_pending.append(buf, n);
            if (!m_framer) {
                continue;
            }
        }
        // Cut what is complete: by the framer, or all of it once the line stayed quiet.
        for (;;) {
            QByteArray request;
            {
                const std::lock_guard lock(m_mutex);
                const qsizetype len = m_framer ? m_framer(m_pending) : m_pending.size();
                if (len <= 0) {
                    break;
                }
                request = m_pending.left(len);
                m_pending.remove(0, len);
            }
            serve(request);
        }
    }
}

void ScriptedSerialPeer::serve(const QByteArray& request) {
    PeerScript script;
    {
        const std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
        script = m_script;
    }
    // Outside the lock: a script may ask the peer what it has seen.
    const std::vector<PeerStep> steps = script ? script(request) : std::vector<PeerStep>{};
    const int fd = m_pty.masterFd();
    for (const PeerStep& step : steps) {
        if (!pause(m_stop[0], step.delayMs)) {
            return;
        }
        writeAll(fd, step.bytes.constData(), static_cast<std::size_t>(step.bytes.size()));
    }
}

// --- TCP ------------------------------------------------------------------------------------

ScriptedTcpPeer::ScriptedTcpPeer(PeerScript script)
    : m_script(std::move(script)) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_port = ntohs(addr.sin_port);
    makeStopPipe(m_stop);
    m_thread = std::thread([this] { run(); });
}

ScriptedTcpPeer::~ScriptedTcpPeer() {
    signalStop(m_stop);
    m_thread.join();
    ::close(m_listener);
    ::close(m_stop[0]);
    ::close(m_stop[1]);
}

void ScriptedTcpPeer::setScript(PeerScript script) {
    const std::lock_guard lock(m_mutex);
    m_script = std::move(script);
}

std::vector<QByteArray> ScriptedTcpPeer::requests() const {
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

int ScriptedTcpPeer::connectionsAccepted() const {
    const std::lock_guard lock(m_mutex);
    return m_connections;
}

void ScriptedTcpPeer::run() {
    for (;;) {
        if (waitReadable(m_listener, m_stop[0], -1) != Wake::readable) {
            return;
        }
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            const std::lock_guard lock(m_mutex);
            ++m_connections;
        }
        serve(fd);
        ::close(fd);
    }
}

void ScriptedTcpPeer::serve(int fd) {
    QByteArray in;
    char buf[4096];
    for (;;) {
        // Cut whole requests by the MBAP length field.
        while (in.size() >= 6) {
            const int len =
                (static_cast<std::uint8_t>(in[4]) << 8) | static_cast<std::uint8_t>(in[5]);
            if (in.size() < 6 + len) {
                break;
            }
            const QByteArray request = in.left(6 + len);
            in.remove(0, 6 + len);
            std::vector<PeerStep> steps;
            {
                const std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
                if (m_script) {
                    steps = m_script(request);
                }
            }
            for (const PeerStep& step : steps) {
                if (!pause(m_stop[0], step.delayMs)) {
                    return;
                }
                if (!step.bytes.isEmpty() &&
                    ::send(fd, step.bytes.constData(), static_cast<std::size_t>(step.bytes.size()),
                           MSG_NOSIGNAL) != step.bytes.size()) {
                    return;
                }
                if (step.closeAfter) {
                    return;
                }
            }
        }
        if (waitReadable(fd, m_stop[0], -1) != Wake::readable) {
            return;
        }
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return; // the client closed
        }
        in.append(buf, n);
    }
}

} // namespace corvane::testsupport

#include "Pty.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace corvane::testsupport {

Pty::Pty(bool keepSlaveOpen) {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
    if (!keepSlaveOpen) {
        closeSlave();
    }
}

Pty::~Pty() {
    closeSlave();
    closeMaster();
}

bool Pty::write(const QByteArray& bytes) {
    return m_master >= 0 &&
           writeAll(m_master, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

namespace {

enum class Step { Data, Quiet, Stop };

// Waits up to `wait` for the master end and appends at most `max` bytes to `out`.
Step readStep(int fd, std::chrono::milliseconds wait, std::size_t max, QByteArray& out) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (r < 0 && errno == EINTR) {
        return Step::Data;
    }
    if (r <= 0 || (p.revents & POLLIN) == 0) {
        return r == 0 ? Step::Quiet : Step::Stop;
    }
    char buf[4096];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, max));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return Step::Data;
    }
    if (n <= 0) {
        return Step::Stop;
    }
    out.append(buf, n);
    return Step::Data;
}

std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
}

} // namespace

QByteArray Pty::read(qsizetype count, std::chrono::milliseconds timeout) {
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        const auto left = leftUntil(deadline);
        if (left.count() <= 0 ||
            readStep(m_master, left, static_cast<std::size_t>(count - out.size()), out) !=
                Step::Data) {
            break;
        }
    }
    return out;
}

QByteArray Pty::readUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = leftUntil(deadline);
        if (left.count() <= 0 || readStep(m_master, out.isEmpty() ? left : std::min(left, quiet),
                                          4096, out) != Step::Data) {
            break;
        }
    }
    return out;
}

void Pty::closeMaster() {
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

void Pty::closeSlave() {
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
}

bool writeAll(int fd, const char* bytes, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, bytes, n);
        if (w > 0) {
            bytes += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) {
            return false;
        }
    }
    return true;
}

PtyBridge::PtyBridge() {
    if (::pipe2(m_stop, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    m_thread = std::thread([this] { relay(); });
}

PtyBridge::~PtyBridge() {
    const char stop = 1;
    (void)::write(m_stop[1], &stop, 1);
    m_thread.join();
    ::close(m_stop[0]);
    ::close(m_stop[1]);
}

void PtyBridge::relay() {
    char buf[4096];
    for (;;) {
        pollfd fds[3] = {
            {m_stop[0], POLLIN, 0}, {m_a.masterFd(), POLLIN, 0}, {m_b.masterFd(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        for (int side = 1; side <= 2; ++side) {
            if ((fds[side].revents & POLLIN) == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[side].fd, buf, sizeof buf);
            if (n <= 0) {
                continue;
            }
            const int to = side == 1 ? m_b.masterFd() : m_a.masterFd();
            if (writeAll(to, buf, static_cast<std::size_t>(n))) {
                (side == 1 ? m_aToB : m_bToA) += static_cast<std::uint64_t>(n);
            }
        }
    }
}

} // namespace corvane::testsupport

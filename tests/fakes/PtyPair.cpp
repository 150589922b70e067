#include "PtyPair.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace corvane::test {

PtyPair::PtyPair(bool keepSlaveOpen) {
    termios raw{};
    cfmakeraw(&raw);
    char name[128] = {};
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0) {
        m_master = -1;
        m_slave = -1;
        return;
    }
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
    if (!keepSlaveOpen) {
        closeSlave();
    }
}

PtyPair::~PtyPair() {
    closeSlave();
    closeMaster();
}

bool PtyPair::write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done,
                                  static_cast<std::size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

QByteArray PtyPair::read(qsizetype count, std::chrono::milliseconds timeout) {
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{m_master, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0 || (p.revents & POLLIN) == 0) {
            break;
        }
        char buf[4096];
        const ssize_t n =
            ::read(m_master, buf,
                   std::min<std::size_t>(sizeof buf, static_cast<std::size_t>(count - out.size())));
        if (n <= 0) {
            break;
        }
        out.append(buf, n);
    }
    return out;
}

QByteArray PtyPair::readUntilQuiet(std::chrono::milliseconds quiet,
                                   std::chrono::milliseconds timeout) {
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{m_master, POLLIN, 0};
        const auto wait = out.isEmpty() ? left : std::min(left, quiet);
        const int r = ::poll(&p, 1, static_cast<int>(wait.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0 || (p.revents & POLLIN) == 0) {
            break;
        }
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, n);
    }
    return out;
}

void PtyPair::closeMaster() {
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

void PtyPair::closeSlave() {
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
}

} // namespace corvane::test

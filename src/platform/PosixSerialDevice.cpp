#include "PosixSerialDevice.h"

#include "ProcessTable.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace corvane {

namespace {

int retryEintr(auto call) {
    int r = 0;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

OpenResult openFailure(OpenError error, const QString& path, int err = 0) {
    QString text;
    switch (error) {
    case OpenError::PermissionDenied:
        text = QStringLiteral("Permission denied on %1: the user is not allowed to use serial "
                              "ports. Add the user to the dialout group "
                              "(sudo usermod -aG dialout $USER), then log out and in again.")
                   .arg(path);
        break;
    case OpenError::Busy:
        text = QStringLiteral("%1 is in use by another program. Close that program (or wait "
                              "until it has finished) and try again.")
                   .arg(path);
        break;
    case OpenError::StaleExclusive:
        text = QStringLiteral("%1 was left marked for exclusive use by a program that was "
                              "stopped; no program has it open now. Unplug the adapter and "
                              "plug it in again (or open it once as root), then try again.")
                   .arg(path);
        break;
    case OpenError::NoSuchDevice:
        text = QStringLiteral("No such device: %1. Check that the USB serial adapter is "
                              "plugged in.")
                   .arg(path);
        break;
    case OpenError::NotCharDevice:
    case OpenError::NotSerialPort:
        text = QStringLiteral("%1 is not a serial port. Name the unit's USB serial adapter "
                              "(e.g. /dev/ttyUSB0).")
                   .arg(path);
        break;
    case OpenError::Other:
    case OpenError::None:
        text = QStringLiteral("Cannot open %1: %2.")
                   .arg(path, QString::fromLocal8Bit(std::strerror(err)));
        break;
    }
    return OpenResult{error, text};
}

OpenError classifyOpenErrno(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
        return OpenError::PermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
        return OpenError::Busy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return OpenError::NoSuchDevice;
    default:
        return OpenError::Other;
    }
}

// True when a process other than this descriptor's holder has the character device `rdev`
// open. Complete for root, own processes otherwise.
bool openElsewhere(dev_t rdev, int ownFd) {
    return !processesHolding(QStringLiteral("/proc"), FileIdentity::characterDevice(rdev),
                             ::getpid(), ownFd)
                .empty();
}

// True when /proc/locks lists an advisory lock on the inode `ino` of device `dev`.
bool flockHeld(dev_t dev, ino_t ino) {
    const auto holders = lockHolders(QStringLiteral("/proc"), dev, ino);
    return !holders || !holders->empty(); // cannot tell: assume the worst
}

speed_t speedConstant(std::uint32_t baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return B0;
    }
}

// Pseudo-terminal slaves have the device majors 136 to 143.
bool isPseudoTerminal(const struct stat& st) {
    const unsigned int devMajor = major(st.st_rdev);
    return devMajor >= 136 && devMajor <= 143;
}

// Asks the driver to deliver received bytes without its batching delay (a USB adapter's
// latency timer) and reads the flag back, since drivers may ignore the request.
LowLatency requestLowLatency(int fd, const struct stat& st) {
    if (isPseudoTerminal(st)) {
        return LowLatency::PseudoTerminal;
    }
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return LowLatency::NotOffered;
    }
    if ((serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) {
            return LowLatency::NotGranted;
        }
        serial = {};
        if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
            return LowLatency::NotGranted;
        }
    }
    return (serial.flags & ASYNC_LOW_LATENCY) != 0 ? LowLatency::Granted : LowLatency::NotGranted;
}

} // namespace

PosixSerialDevice::~PosixSerialDevice() {
    close();
}

OpenResult PosixSerialDevice::open(const QString& devicePath) {
    close();
    m_gone = false;
    m_path = devicePath;
    const QByteArray path = QFile::encodeName(devicePath);
    const int fd = retryEintr(
        [&] { return ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        const int err = errno;
        OpenError error = classifyOpenErrno(err);
        // An ordinary user cannot open a line marked exclusive. When nobody holds it or its
        // lock, the mark was left by a program that was killed (a pseudo-terminal keeps it
        // while its master side lives); only root can lift it.
        struct stat st {};
        if (err == EBUSY && ::stat(path.constData(), &st) == 0 && S_ISCHR(st.st_mode) &&
            !flockHeld(st.st_dev, st.st_ino) && !openElsewhere(st.st_rdev, -1)) {
            error = OpenError::StaleExclusive;
        }
        return openFailure(error, devicePath, err);
    }
    auto fail = [&](OpenError error, int err = 0) {
        ::close(fd);
        return openFailure(error, devicePath, err);
    };

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return fail(OpenError::NotCharDevice);
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return fail(OpenError::NotSerialPort);
    }
    // TIOCEXCL does not stop root, so an advisory lock guards against every other user of
    // the device that plays by the same rules. Lock first: if someone else holds the device,
    // its exclusive flag must not be touched.
    if (retryEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        const int err = errno;
        return fail(err == EWOULDBLOCK ? OpenError::Busy : OpenError::Other, err);
    }
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        // Only root gets here past another program's exclusive open. With the lock ours and
        // no other descriptor on the line, the mark is one a killed program left behind.
        if (openElsewhere(st.st_rdev, fd)) {
            return fail(OpenError::Busy);
        }
        (void)::ioctl(fd, TIOCNXCL);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int err = errno;
        return fail(OpenError::Other, err);
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        const int err = errno;
        ::ioctl(fd, TIOCNXCL);
        return fail(OpenError::Other, err);
    }

    m_lowLatency = requestLowLatency(fd, st);
    m_modemLines = !isPseudoTerminal(st);
    m_fd = fd;
    m_stopFd = stopFd;
    return {};
}

void PosixSerialDevice::close() {
    m_lowLatency = LowLatency::Unknown;
    if (m_fd >= 0) {
        // On a pseudo-terminal the exclusive flag outlives close(), and the next open by an
        // ordinary user would fail with EBUSY.
        (void)::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_stopFd >= 0) {
        ::close(m_stopFd);
        m_stopFd = -1;
    }
}

bool applyLineSettings(termios& tio, const LineSettings& settings) {
    if (settings.dataBits < 5 || settings.dataBits > 8) {
        return false;
    }
    // Raw bytes both ways. No INPCK: a character with a parity or framing error is passed on
    // as received, and reception goes on.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CREAD | CLOCAL;
    switch (settings.dataBits) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    default:
        tio.c_cflag |= CS8;
        break;
    }
    switch (settings.parity) {
    case Parity::None:
        break;
    case Parity::Odd:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case Parity::Even:
        tio.c_cflag |= PARENB;
        break;
    case Parity::Mark:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case Parity::Space:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    }
    // With 5 data bits the UART sends 1.5 stop bits when two are asked for.
    if (settings.stopBits != StopBits::One) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (const speed_t speed = speedConstant(settings.baudRate); speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    return true;
}

bool PosixSerialDevice::configure(const LineSettings& settings) {
    if (m_fd < 0) {
        return false;
    }
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0 || !applyLineSettings(tio, settings)) {
        return false;
    }
    if (retryEintr([&] { return ::tcsetattr(m_fd, TCSANOW, &tio); }) != 0) {
        return false;
    }
    if (speedConstant(settings.baudRate) == B0 && !setArbitraryBaudRate(m_fd, settings.baudRate)) {
        return false;
    }
    m_baudRate = settings.baudRate;
    return true;
}

void PosixSerialDevice::setModemLine(int bit, bool on) {
    // A pseudo-terminal has no modem lines (it would answer every request with an error).
    if (m_fd >= 0 && m_modemLines) {
        (void)::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit);
    }
}

void PosixSerialDevice::setDtr(bool on) {
    setModemLine(TIOCM_DTR, on);
}

void PosixSerialDevice::setRts(bool on) {
    setModemLine(TIOCM_RTS, on);
}

std::size_t PosixSerialDevice::write(const std::uint8_t* data, std::size_t length) {
    if (m_fd < 0 || data == nullptr || length == 0) {
        return 0;
    }
    // The line takes about 12 bit times per character at most; a peer that stops taking bytes
    // must not hang the caller for ever.
    const auto baud = std::max<std::uint32_t>(m_baudRate, 50);
    const auto budget = std::chrono::milliseconds(2000) +
                        std::chrono::milliseconds(2 * 12 * 1000 * std::uint64_t{length} / baud);
    const auto deadline = std::chrono::steady_clock::now() + budget;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(m_fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd p{m_fd, POLLOUT, 0};
            const int r = retryEintr([&] { return ::poll(&p, 1, static_cast<int>(left.count())); });
            if (r <= 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                break;
            }
            continue;
        }
        break;
    }
    (void)retryEintr([&] { return ::tcdrain(m_fd); });
    return done;
}

void PosixSerialDevice::purge() {
    if (m_fd >= 0) {
        (void)::tcflush(m_fd, TCIOFLUSH);
    }
}

void PosixSerialDevice::purgeInput() {
    if (m_fd >= 0) {
        (void)::tcflush(m_fd, TCIFLUSH);
    }
}

void PosixSerialDevice::clearLineErrors() {
    // Line errors leave no sticky state on a terminal line: the driver counts them and passes
    // the characters on, so there is nothing to clear.
}

ReadStatus PosixSerialDevice::readChunk(QByteArray& chunk, std::chrono::microseconds interval) {
    using Clock = std::chrono::steady_clock;
    // Kept from call to call: a caller that reuses `chunk` allocates nothing here.
    chunk.resize(static_cast<qsizetype>(MaxChunk));
    qsizetype have = 0;
    auto finish = [&](ReadStatus status) {
        chunk.resize(status == ReadStatus::Data ? have : 0);
        return status;
    };
    if (m_fd < 0 || m_gone) {
        return finish(ReadStatus::Gone);
    }
    const bool eachRead = interval <= std::chrono::microseconds::zero();
    auto hangup = [&] {
        m_gone = true;
        return finish(have > 0 ? ReadStatus::Data : ReadStatus::Gone);
    };
    // The chunk ends `interval` after the last byte arrived, held to the microsecond: a
    // millisecond poll time-out would round a short interval up or down by up to 1 ms.
    Clock::time_point endAt{};
    for (;;) {
        timespec timeout{};
        const timespec* limit = nullptr;
        if (have > 0) {
            const auto left = endAt - Clock::now();
            if (left <= Clock::duration::zero()) {
                return finish(ReadStatus::Data); // quiet for the interval
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            limit = &timeout;
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        const int r = ::ppoll(fds, 2, limit, nullptr);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return hangup();
        }
        if (fds[1].revents != 0) {
            return finish(ReadStatus::Stopped);
        }
        if (r == 0) {
            continue; // the deadline is checked against the clock above
        }
        const short ev = fds[0].revents;
        if ((ev & POLLIN) != 0) {
            const ssize_t n =
                ::read(m_fd, chunk.data() + have, static_cast<std::size_t>(chunk.size() - have));
            if (n > 0) {
                have += n;
                if (eachRead || have == chunk.size()) {
                    return finish(ReadStatus::Data);
                }
                endAt = Clock::now() + interval;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN) && (ev & POLLHUP) == 0) {
                continue;
            }
            return hangup(); // 0 bytes (hung up), EIO (device gone) or another failure
        }
        if ((ev & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return hangup();
        }
    }
}

std::size_t PosixSerialDevice::pendingInput() const {
    int n = 0;
    if (m_fd < 0 || ::ioctl(m_fd, FIONREAD, &n) != 0 || n < 0) {
        return 0;
    }
    return static_cast<std::size_t>(n);
}

void PosixSerialDevice::requestStop() {
    if (m_stopFd >= 0) {
        const std::uint64_t one = 1;
        (void)retryEintr([&] { return static_cast<int>(::write(m_stopFd, &one, sizeof one)); });
    }
}

} // namespace corvane

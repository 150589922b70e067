#include "SimulatedUnit.h"

#include "UnitModel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace corvane::sim {

namespace {

// While nobody has the pty's slave side open, the master reports POLLHUP at once; it is left
// out of the poll set for this long before it is looked at again.
constexpr auto kHangupRetry = std::chrono::milliseconds(10);
constexpr auto kMaxPollWait = std::chrono::milliseconds(100);
constexpr std::size_t kMaxClients = 16;

void setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

QString processorName(int n) {
    return n == 1   ? QStringLiteral("CPU-1")
           : n == 2 ? QStringLiteral("CPU-2")
                    : QStringLiteral("HMI");
}

QString versionText(std::uint16_t v) {
    return QStringLiteral("%1.%2").arg(v / 100).arg(v % 100, 2, 10, QLatin1Char('0'));
}

// Replies waiting for their time, written in time order; `pending` holds what a full pipe or
// socket did not take yet.
struct OutQueue {
    std::multimap<TimePoint, Bytes> queued;
    Bytes pending;

    void add(std::vector<Outgoing>&& items) {
        for (auto& o : items) {
            queued.emplace(o.due, std::move(o.bytes));
        }
    }
    [[nodiscard]] std::optional<TimePoint> nextDue() const {
        if (!pending.empty()) {
            return TimePoint::min();
        }
        if (queued.empty()) {
            return std::nullopt;
        }
        return queued.begin()->first;
    }
    // Moves what is due to `pending` and writes; false when the peer is gone.
    bool flush(int fd, TimePoint now) {
        while (!queued.empty() && queued.begin()->first <= now) {
            const Bytes& b = queued.begin()->second;
            pending.insert(pending.end(), b.begin(), b.end());
            queued.erase(queued.begin());
        }
        while (!pending.empty()) {
            const ssize_t n = ::write(fd, pending.data(), pending.size());
            if (n > 0) {
                pending.erase(pending.begin(), pending.begin() + n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true;
            }
            pending.clear(); // EIO on a pty nobody holds, EPIPE on a closed socket
            return false;
        }
        return true;
    }
};

struct Client {
    int fd = -1;
    Bytes in;
    OutQueue out;
};

} // namespace

struct SimulatedUnit::Impl {
    Scenario scenario;
    CarriedFirmware carried;

    mutable std::mutex mutex;
    std::unique_ptr<UnitModel> model;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool stopped = false;
    int wakeRead = -1;
    int wakeWrite = -1;

    int ptyMaster = -1;
    QString ptyPath;
    TimePoint ptyRetryAt{};
    OutQueue ptyOut;

    int listenFd = -1;
    std::vector<Client> clients;

    void wake() const {
        if (wakeWrite >= 0) {
            const char c = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &c, 1);
        }
    }
    // One pass of the serving thread: what to wait for, then each kind of input, then what
    // is due. Everything but preparePoll runs with the mutex held.
    struct PollSet {
        int ptyIndex = -1;
        int listenIndex = -1;
        std::size_t firstClient = 0;
        TimePoint deadline{};
    };
    void run();
    PollSet preparePoll(std::vector<pollfd>& fds); // takes the mutex itself
    void readPty(short revents, TimePoint now);
    void acceptClients();
    void readClients(const std::vector<pollfd>& fds, std::size_t firstClient, TimePoint now);
    void flushOutputs(TimePoint now);
    void serveClientInput(Client& c, TimePoint now);
};

void SimulatedUnit::Impl::serveClientInput(Client& c, TimePoint now) {
    // MBAP: transaction id, protocol id 0, length (unit id + PDU), unit id, PDU.
    while (c.in.size() >= 7) {
        const std::size_t len = (static_cast<std::size_t>(c.in[4]) << 8) | c.in[5];
        if (c.in[2] != 0 || c.in[3] != 0 || len < 2 || len > 254) {
            closeFd(c.fd); // no way to find the next frame
            return;
        }
        if (c.in.size() < 6 + len) {
            return;
        }
        const Bytes adu(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(6 + len));
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(6 + len));
        if (auto reply = model->tcpAdu(adu, now)) {
            std::vector<Outgoing> items;
            items.push_back(std::move(*reply));
            c.out.add(std::move(items));
        }
    }
}

SimulatedUnit::Impl::PollSet SimulatedUnit::Impl::preparePoll(std::vector<pollfd>& fds) {
    PollSet set;
    fds.clear();
    fds.push_back({wakeRead, POLLIN, 0});
    std::lock_guard lock(mutex);
    const TimePoint now = Clock::now();
    set.deadline = now + kMaxPollWait;
    auto consider = [&](std::optional<TimePoint> t) {
        if (t && *t < set.deadline) {
            set.deadline = *t;
        }
    };
    if (ptyMaster >= 0) {
        if (now >= ptyRetryAt) {
            set.ptyIndex = static_cast<int>(fds.size());
            fds.push_back({ptyMaster,
                           static_cast<short>(POLLIN | (ptyOut.pending.empty() ? 0 : POLLOUT)), 0});
        } else {
            consider(ptyRetryAt);
        }
        consider(ptyOut.nextDue());
    }
    consider(model->nextSerialTick());
    if (listenFd >= 0) {
        set.listenIndex = static_cast<int>(fds.size());
        fds.push_back({listenFd, POLLIN, 0});
    }
    set.firstClient = fds.size();
    for (const Client& c : clients) {
        fds.push_back(
            {c.fd, static_cast<short>(POLLIN | (c.out.pending.empty() ? 0 : POLLOUT)), 0});
        consider(c.out.nextDue());
    }
    return set;
}

void SimulatedUnit::Impl::readPty(short revents, TimePoint now) {
    bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
    if (revents & POLLIN) {
        std::uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(ptyMaster, buf, sizeof buf);
            if (n > 0) {
                ptyOut.add(model->serialBytes(
                    std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), now));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EIO) {
                hungUp = true;
            }
            break;
        }
    }
    if (hungUp) {
        // The slave side is closed: wait for the next master without spinning.
        ptyRetryAt = now + kHangupRetry;
    }
}

void SimulatedUnit::Impl::acceptClients() {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            break;
        }
        if (clients.size() >= kMaxClients) {
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        clients.push_back(Client{fd, {}, {}});
    }
}

void SimulatedUnit::Impl::readClients(const std::vector<pollfd>& fds, std::size_t firstClient,
                                      TimePoint now) {
    for (std::size_t i = 0; i + firstClient < fds.size() && i < clients.size(); ++i) {
        Client& c = clients[i];
        const pollfd& p = fds[firstClient + i];
        if (p.fd != c.fd || c.fd < 0) {
            continue;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t buf[1024];
            const ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n > 0) {
                c.in.insert(c.in.end(), buf, buf + n);
                serveClientInput(c, now);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                closeFd(c.fd);
            }
        }
    }
}

void SimulatedUnit::Impl::flushOutputs(TimePoint now) {
    ptyOut.add(model->serialTick(now));
    if (ptyMaster >= 0 && now >= ptyRetryAt && !ptyOut.flush(ptyMaster, now)) {
        ptyRetryAt = now + kHangupRetry;
    }
    if (ptyMaster < 0 || now < ptyRetryAt) {
        // Replies due while nobody listens are lost, as on a real line.
        while (!ptyOut.queued.empty() && ptyOut.queued.begin()->first <= now) {
            ptyOut.queued.erase(ptyOut.queued.begin());
        }
    }
    for (Client& c : clients) {
        if (c.fd >= 0 && !c.out.flush(c.fd, now)) {
            closeFd(c.fd);
        }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
}

void SimulatedUnit::Impl::run() {
    std::vector<pollfd> fds;
    while (!stopping.load()) {
        const PollSet set = preparePoll(fds);
        const auto wait = std::max(set.deadline - Clock::now(), Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int ready = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
        if (ready < 0 && errno != EINTR) {
            break;
        }

        std::lock_guard lock(mutex);
        const TimePoint now = Clock::now();
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (set.ptyIndex >= 0 && ptyMaster >= 0) {
            readPty(fds[static_cast<std::size_t>(set.ptyIndex)].revents, now);
        }
        if (set.listenIndex >= 0 &&
            (fds[static_cast<std::size_t>(set.listenIndex)].revents & POLLIN)) {
            acceptClients();
        }
        readClients(fds, set.firstClient, now);
        flushOutputs(Clock::now());
    }
}

SimulatedUnit::SimulatedUnit(Scenario scenario, FaultPlan faults)
    : m(std::make_unique<Impl>()) {
    const QString folder =
        scenario.buildData.isEmpty() ? defaultBuildDataFolder() : scenario.buildData;
    m->carried = readCarriedFirmware(folder);
    m->scenario = resolveScenario(std::move(scenario), m->carried);
    m->model = std::make_unique<UnitModel>(m->scenario, faults, m->carried, Clock::now());

    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("simulated unit: pipe: ") + std::strerror(errno));
    }
    m->wakeRead = pipeFds[0];
    m->wakeWrite = pipeFds[1];
    m->thread = std::thread([impl = m.get()] { impl->run(); });
}

SimulatedUnit::~SimulatedUnit() {
    stop();
}

QString SimulatedUnit::openPty() {
    std::lock_guard lock(m->mutex);
    if (m->stopped) {
        throw std::runtime_error("simulated unit: already stopped");
    }
    if (m->ptyMaster >= 0) {
        return m->ptyPath;
    }
    termios raw{};
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B115200);
    ::cfsetospeed(&raw, B115200);
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0) {
        throw std::runtime_error(std::string("simulated unit: openpty: ") + std::strerror(errno));
    }
    // The slave stays closed until the master under test opens it; the pty keeps its raw
    // settings as long as the master side is open.
    ::close(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    setNonBlocking(master);
    m->ptyMaster = master;
    m->ptyPath = QString::fromLocal8Bit(name);
    m->ptyRetryAt = Clock::now();
    m->wake();
    return m->ptyPath;
}

std::uint16_t SimulatedUnit::listenTcp(std::uint16_t port) {
    std::lock_guard lock(m->mutex);
    if (m->stopped) {
        throw std::runtime_error("simulated unit: already stopped");
    }
    if (m->listenFd >= 0) {
        throw std::runtime_error("simulated unit: already listening");
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("simulated unit: socket: ") + std::strerror(errno));
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error(
            "simulated unit: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m->listenFd = fd;
    m->wake();
    return ntohs(addr.sin_port);
}

void SimulatedUnit::stop() {
    {
        std::lock_guard lock(m->mutex);
        if (m->stopped) {
            return;
        }
        m->stopped = true;
    }
    m->stopping = true;
    m->wake();
    if (m->thread.joinable()) {
        m->thread.join();
    }
    std::lock_guard lock(m->mutex);
    closeFd(m->ptyMaster);
    closeFd(m->listenFd);
    for (Client& c : m->clients) {
        closeFd(c.fd);
    }
    m->clients.clear();
    closeFd(m->wakeRead);
    closeFd(m->wakeWrite);
}

const Scenario& SimulatedUnit::scenario() const {
    return m->scenario;
}

const CarriedFirmware& SimulatedUnit::carried() const {
    return m->carried;
}

QByteArray SimulatedUnit::flash(int processor) const {
    if (processor < 1 || processor > 3) {
        return {};
    }
    std::lock_guard lock(m->mutex);
    return m->model->flash(processor, Clock::now());
}

bool SimulatedUnit::cpu1InBootloader() const {
    std::lock_guard lock(m->mutex);
    return m->model->cpu1InBootloader(Clock::now());
}

bool SimulatedUnit::inBootMode(int processor) const {
    if (processor < 2 || processor > 3) {
        return false;
    }
    std::lock_guard lock(m->mutex);
    return m->model->inBootMode(processor, Clock::now());
}

std::uint16_t SimulatedUnit::reportedRm(int processor) const {
    if (processor < 1 || processor > 3) {
        return 0;
    }
    std::lock_guard lock(m->mutex);
    return m->model->reportedRm(processor, Clock::now());
}

std::uint16_t SimulatedUnit::reportedVersion(int processor) const {
    if (processor < 1 || processor > 3) {
        return 0;
    }
    std::lock_guard lock(m->mutex);
    return m->model->reportedVersion(processor, Clock::now());
}

int SimulatedUnit::exchanges(Exchange kind) const {
    std::lock_guard lock(m->mutex);
    return m->model->exchanges(kind);
}

int SimulatedUnit::faultsInjected() const {
    std::lock_guard lock(m->mutex);
    return m->model->faultsInjected();
}

void SimulatedUnit::clearFaults() {
    std::lock_guard lock(m->mutex);
    m->model->clearFaults();
}

std::vector<ExchangeRecord> SimulatedUnit::exchangeTrace() const {
    std::lock_guard lock(m->mutex);
    return m->model->trace();
}

Summary SimulatedUnit::summary() const {
    std::lock_guard lock(m->mutex);
    return m->model->summary(Clock::now());
}

QString Summary::toText() const {
    QStringList lines;
    lines << QStringLiteral("Processor  State       RM      Version  Programmed  Carried image");
    for (int n = 1; n <= 3; ++n) {
        const ProcessorReport& p = processors[static_cast<std::size_t>(n)];
        QString state;
        if (!p.present) {
            state = QStringLiteral("absent");
        } else if (p.running) {
            state = QStringLiteral("running");
        } else if (n == 1) {
            state = QStringLiteral("bootloader");
        } else if (p.rm != 0) {
            state = QStringLiteral("boot mode");
        } else {
            state = QStringLiteral("silent");
        }
        QString work = p.programmed ? QStringLiteral("yes") : QStringLiteral("no");
        if (p.eraseSteps > 0 || p.blocksProgrammed > 0) {
            work += n == 1 ? QStringLiteral(" (%1 erases, %2 blocks)")
                                 .arg(p.eraseSteps)
                                 .arg(p.blocksProgrammed)
                           : QStringLiteral(" (%1 erases, %2 data blocks)")
                                 .arg(p.eraseSteps)
                                 .arg(p.blocksProgrammed);
        }
        lines << QStringLiteral("%1 %2 %3 %4 %5 %6")
                     .arg(processorName(n), -10)
                     .arg(state, -11)
                     .arg(p.rm, -7)
                     .arg(p.present ? versionText(p.version) : QStringLiteral("-"), -8)
                     .arg(work, -11)
                     .arg(p.holdsCarriedImage ? QStringLiteral("yes") : QStringLiteral("no"));
    }
    lines << QStringLiteral("Upgrade mode requested: %1; unit restarted: %2")
                 .arg(upgradeModeSeen ? QStringLiteral("yes") : QStringLiteral("no"),
                      restartSeen ? QStringLiteral("yes") : QStringLiteral("no"));
    QStringList counts;
    for (int k = 1; k < kExchangeKinds; ++k) {
        if (exchanges[static_cast<std::size_t>(k)] > 0) {
            counts << QStringLiteral("%1 %2")
                          .arg(exchangeName(static_cast<Exchange>(k)))
                          .arg(exchanges[static_cast<std::size_t>(k)]);
        }
    }
    lines << QStringLiteral("Exchanges: %1")
                 .arg(counts.isEmpty() ? QStringLiteral("none")
                                       : counts.join(QStringLiteral(", ")));
    lines << QStringLiteral("Faults injected: %1").arg(faultsInjected.size());
    for (const QString& f : faultsInjected) {
        lines << QStringLiteral("  ") + f;
    }
    for (const QString& n : notes) {
        lines << QStringLiteral("Note: ") + n;
    }
    return lines.join(u'\n');
}

} // namespace corvane::sim

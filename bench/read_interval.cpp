// read_interval: how the quiet interval that ends a received chunk behaves with replies that
// do not come in one piece, next to chunks that end at every read (the fast link). A scripted
// unit on a pseudo-terminal answers 16-register reads in the shapes a real line produces (one
// burst; two bursts; packets 1 ms apart as a USB adapter in low-latency mode delivers them;
// stray bytes after the reply), and the Modbus master reads them on each link. Prints per shape
// and link the exchange time (median, p95), the chunks per reply and the exchanges that failed.
//
//   read_interval [-n N] [-i INTERVAL_US]... [-e]
//     -i: a link with that quiet interval; -e: chunks at every read (either replaces the
//     default set)

#include "ModBusPro.h"
#include "Pty.h"
#include "VexaComms.h"

#include <QCoreApplication>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

using namespace corvane::testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t kSlave = 23;
constexpr std::uint16_t kCount = 16;

std::vector<std::uint8_t> crcd(std::vector<std::uint8_t> b) {
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t c : b) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
    return b;
}

std::vector<std::uint8_t> reply() {
    std::vector<std::uint8_t> r{kSlave, 3, 2 * kCount};
    for (std::uint16_t i = 0; i < kCount; ++i) {
        r.push_back(static_cast<std::uint8_t>(0x11));
        r.push_back(static_cast<std::uint8_t>(i));
    }
    return crcd(r);
}

struct Piece {
    std::vector<std::uint8_t> bytes;
    std::chrono::microseconds gapBefore{0};
};

struct Shape {
    const char* name;
    std::vector<Piece> pieces;
};

std::vector<Shape> shapes() {
    const std::vector<std::uint8_t> r = reply(); // 37 bytes, 3.2 ms on the wire at 115200
    auto cut = [&](std::size_t size, std::chrono::microseconds gap) {
        std::vector<Piece> out;
        for (std::size_t at = 0; at < r.size(); at += size) {
            const std::size_t end = std::min(r.size(), at + size);
            out.push_back({{r.begin() + static_cast<std::ptrdiff_t>(at),
                            r.begin() + static_cast<std::ptrdiff_t>(end)},
                           at == 0 ? 0us : gap});
        }
        return out;
    };
    return {
        {"one burst", cut(r.size(), 0us)},
        {"two bursts 0.2 ms apart", cut(19, 200us)},
        // About 1 ms of wire per packet at 115200, as a low-latency USB adapter delivers.
        {"USB packets of 12 B, 1 ms apart", cut(12, 1000us)},
        {"two bursts 3 ms apart", cut(19, 3000us)},
        {"2 stray bytes 0.1 ms after the reply", {{r, 0us}, {{0x5A, 0x5A}, 100us}}},
        {"2 stray bytes 1 ms after the reply", {{r, 0us}, {{0x5A, 0x5A}, 1000us}}},
    };
}

// Plays the unit on the master end: every 8-byte request is answered with the shape.
class Unit {
public:
    Unit(int fd, const Shape& shape)
        : m_fd(fd)
        , m_shape(shape)
        , m_thread([this] { run(); }) {}
    ~Unit() {
        m_stop = true;
        m_thread.join();
    }
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

private:
    void run() {
        std::vector<std::uint8_t> in;
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            std::uint8_t buf[256];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0) {
                continue;
            }
            in.insert(in.end(), buf, buf + n);
            while (in.size() >= 8) {
                in.erase(in.begin(), in.begin() + 8);
                for (const Piece& piece : m_shape.pieces) {
                    if (piece.gapBefore.count() > 0) {
                        std::this_thread::sleep_for(piece.gapBefore);
                    }
                    (void)writeAll(m_fd, reinterpret_cast<const char*>(piece.bytes.data()),
                                   piece.bytes.size());
                }
            }
        }
    }

    int m_fd;
    const Shape& m_shape;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Result {
    double median = 0;
    double p95 = 0;
    double chunksPerReply = 0;
    int failed = 0;
};

struct Link {
    std::uint32_t intervalUs;
    ChunkEnd end;
};

Result measure(const Shape& shape, const Link& how, int n) {
    Pty pty;
    Unit unit(pty.masterFd(), shape);
    TVexaComms link;
    link.setCommPort(pty.slavePath());
    link.setBaudRate(115200);
    link.setRxBufferSize(0x4000);
    link.setInterCharTimeOutUs(how.intervalUs);
    link.setChunkEnd(how.end);
    int chunks = 0;
    link.OnReceiveData = [&](const std::uint8_t*, std::uint16_t) { ++chunks; };
    if (!link.OpenComm()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(pty.slavePath()));
        std::exit(1);
    }
    std::vector<double> ms;
    Result res;
    std::array<std::uint16_t, kCount> values{};
    for (int i = -5; i < n; ++i) {
        const int before = chunks;
        const auto t0 = Clock::now();
        const int r = MB_ReadRegs(link, kSlave, 3, 0, kCount, 10, values);
        const double t = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (i < 0) {
            continue;
        }
        // Chunks of this reply that arrived before the result; stray bytes come later.
        res.chunksPerReply += chunks - before;
        if (r == 1 && values[5] == 0x1105) {
            ms.push_back(t);
        } else {
            ++res.failed;
        }
    }
    link.CloseComm();
    res.chunksPerReply /= n;
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        res.median = ms[ms.size() / 2];
        res.p95 = ms[std::min(ms.size() - 1, static_cast<std::size_t>(0.95 * double(ms.size())))];
    }
    return res;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int n = 300;
    std::vector<Link> links;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            n = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            links.push_back({static_cast<std::uint32_t>(std::max(1, std::atoi(argv[++i]))),
                             ChunkEnd::QuietInterval});
        } else if (std::strcmp(argv[i], "-e") == 0) {
            links.push_back({kFastReadIntervalUs, ChunkEnd::EachRead});
        } else {
            std::fprintf(stderr, "usage: read_interval [-n N] [-i INTERVAL_US]... [-e]\n");
            return 2;
        }
    }
    if (links.empty()) {
        for (const std::uint32_t us : {300u, 500u, 750u, 1000u, 1750u, 10000u}) {
            links.push_back({us, ChunkEnd::QuietInterval});
        }
        links.push_back({kFastReadIntervalUs, ChunkEnd::EachRead});
    }
    std::printf("Reads of %u registers (37-byte reply) from a scripted unit on a pseudo-terminal, "
                "%d per cell\n",
                kCount, n);
    std::printf("cell: median / p95 ms per exchange, chunks per reply, failed exchanges\n\n");
    std::printf("%-36s", "reply shape \\ chunks end");
    for (const Link& l : links) {
        std::printf(" %22s",
                    l.end == ChunkEnd::EachRead
                        ? "at every read"
                        : qPrintable(QString::number(l.intervalUs / 1000.0, 'g', 4) + " ms quiet"));
    }
    std::printf("\n");
    for (const Shape& shape : shapes()) {
        std::printf("%-36s", shape.name);
        std::fflush(stdout);
        for (const Link& l : links) {
            const Result r = measure(shape, l, n);
            std::printf(" %6.2f/%6.2f %4.2f %3d", r.median, r.p95, r.chunksPerReply, r.failed);
            std::fflush(stdout);
        }
        std::printf("\n");
    }
    return 0;
}

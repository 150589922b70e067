// Exchange latency of the Modbus RTU master on a real serial link: a 16-register function-16
// write (the shape of a sub-processor data block) and a 2-register read, against libmodbus's
// RTU slave on a pseudo-terminal. Our master runs on the default link (10 ms quiet interval),
// on the fast link as it was (chunks ended by 0.5 ms of quiet) and on the fast link (chunks
// ended at every read); libmodbus's own master talks to the same slave through the same pty
// bridge as a yardstick. The runs take turns in rounds, so that a change of load on the
// machine falls on all of them alike.
//
//   modbus_exchange [-n N] [-r ROUNDS] [-i INTERVAL_US]... [-e]
//     -i adds our master with that quiet interval, -e with chunks at every read; either
//     replaces the three links above

#include "LibmodbusPeer.h"
#include "ModBusPro.h"
#include "Pty.h"
#include "VexaComms.h"

#include <QCoreApplication>

#include <modbus/modbus.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace corvane::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int slave = 1;
constexpr std::uint32_t baud = 115200;
constexpr std::uint16_t blockFirst = 10;
constexpr std::uint16_t blockCount = 16;
constexpr std::uint16_t readCount = 2;
constexpr std::uint16_t timeoutTicks = 15;
using Block = std::array<std::uint16_t, blockCount>;

struct Stats {
    double median = 0;
    double p95 = 0;
};

Stats summarise(std::vector<double> ms) {
    Stats s;
    if (ms.empty()) {
        return s;
    }
    std::sort(ms.begin(), ms.end());
    s.median = ms[ms.size() / 2];
    const auto idx = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(ms.size()))) - 1;
    s.p95 = ms[std::min(idx, ms.size() - 1)];
    return s;
}

// Times of one kind of exchange, in ms, and the failures.
struct Series {
    std::vector<double> ms;
    int failures = 0;
    void add(double t, bool ok) { ok ? ms.push_back(t) : void(++failures); }
};

// One master under test: a name and a function that runs `count` write/read pairs, the first
// `warmUp` of them unrecorded.
struct Master {
    using Run = std::function<bool(int count, int warmUp, Series& write, Series& read)>;
    Master(std::string n, Run r)
        : name(std::move(n))
        , run(std::move(r)) {}
    std::string name;
    Run run;
    Series write;
    Series read;
};

template <typename F>
double timed(F&& call, bool& ok) {
    const auto t0 = Clock::now();
    ok = call();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Our master on a link opened for one round.
bool runOurs(const QString& device, std::uint32_t intervalUs, ChunkEnd end, const Block& block,
             int count, int warmUp, Series& w, Series& r) {
    TVexaComms link;
    link.setCommPort(device);
    link.setBaudRate(baud);
    link.setRxBufferSize(0x4000);
    link.setInterCharTimeOutUs(intervalUs);
    link.setChunkEnd(end);
    if (!link.OpenComm()) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(device),
                     qPrintable(link.lastOpenError()));
        return false;
    }
    std::array<std::uint16_t, readCount> values{};
    for (int i = -warmUp; i < count; ++i) {
        bool ok = false;
        const double tw = timed(
            [&] {
                return MB_WriteMultiRegs(link, slave, 16, blockFirst, blockCount, block,
                                         timeoutTicks) == 1;
            },
            ok);
        if (i >= 0) {
            w.add(tw, ok);
        }
        values.fill(0);
        const double tr = timed(
            [&] {
                return MB_ReadRegs(link, slave, 3, blockFirst, readCount, timeoutTicks, values) ==
                       1;
            },
            ok);
        ok = ok && values[0] == block[0] && values[1] == block[1];
        if (i >= 0) {
            r.add(tr, ok);
        }
    }
    link.CloseComm();
    return true;
}

bool runLibmodbus(const QString& device, const Block& block, int count, int warmUp, Series& w,
                  Series& r) {
    const QByteArray path = device.toLocal8Bit();
    modbus_t* ctx = modbus_new_rtu(path.constData(), static_cast<int>(baud), 'N', 8, 1);
    if (ctx == nullptr || modbus_set_slave(ctx, slave) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus master: %s\n", modbus_strerror(errno));
        if (ctx != nullptr) {
            modbus_free(ctx);
        }
        return false;
    }
    modbus_set_response_timeout(ctx, 1, 600000); // as our time-out 15: about 1.6 s
    std::array<std::uint16_t, readCount> values{};
    for (int i = -warmUp; i < count; ++i) {
        bool ok = false;
        const double tw = timed(
            [&] { return modbus_write_registers(ctx, blockFirst, blockCount, block.data()) == 16; },
            ok);
        if (i >= 0) {
            w.add(tw, ok);
        }
        values.fill(0);
        const double tr = timed(
            [&] { return modbus_read_registers(ctx, blockFirst, readCount, values.data()) == 2; },
            ok);
        ok = ok && values[0] == block[0] && values[1] == block[1];
        if (i >= 0) {
            r.add(tr, ok);
        }
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return true;
}

double wireMs(int bytes) {
    return 1000.0 * bytes * 10 / baud;
}

std::string intervalName(std::uint32_t us) {
    return QString::number(us / 1000.0, 'g', 4).toStdString() + " ms";
}

// One of our master's links under test.
struct Link {
    std::string name;
    std::uint32_t intervalUs;
    ChunkEnd end;
};

struct Settings {
    int n = 2000;
    int rounds = 10;
    std::vector<Link> links;
};

// Nothing on a usage error.
std::optional<Settings> readArgs(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            s.n = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            s.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            const auto us = static_cast<std::uint32_t>(std::max(1, std::atoi(argv[++i])));
            s.links.push_back(
                {"ours, " + intervalName(us) + " quiet", us, ChunkEnd::QuietInterval});
        } else if (std::strcmp(argv[i], "-e") == 0) {
            s.links.push_back({"ours, each read", kFastReadIntervalUs, ChunkEnd::EachRead});
        } else {
            return std::nullopt;
        }
    }
    if (s.links.empty()) {
        s.links = {
            {"ours default, 10 ms", kReadIntervalUs, ChunkEnd::QuietInterval},
            {"fast before, 0.5 ms", kFastReadIntervalUs, ChunkEnd::QuietInterval},
            {"fast, each read", kFastReadIntervalUs, ChunkEnd::EachRead},
        };
    }
    s.rounds = std::min(s.rounds, s.n);
    return s;
}

void printHeading(int n, int rounds) {
    std::printf("Modbus RTU exchange latency, %d exchanges of each kind per master, in %d rounds "
                "(each round opens the port and starts with 5 unrecorded pairs)\n",
                n, rounds);
    std::printf("slave: libmodbus %s RTU slave %d on a pseudo-terminal, joined by a pty bridge\n",
                LIBMODBUS_VERSION_STRING, slave);
    std::printf("ours: MB_WriteMultiRegs / MB_ReadRegs on TVexaComms, %u baud set, receive ring "
                "16384, reply time-out 15 ticks\n",
                baud);
    std::printf("yardstick: libmodbus %s master (modbus_write_registers / "
                "modbus_read_registers)\n",
                LIBMODBUS_VERSION_STRING);
    std::printf("note: a pty has no line speed; bytes cross at memory speed, so these times are\n"
                "      software latency. The floor column is the wire time the same bytes need\n"
                "      at 115200 baud (10 bits per byte, no inter-frame gaps).\n\n");
    std::fflush(stdout);
}

// The masters take turns, a round each, so that a change of load falls on all of them alike.
bool runRounds(std::vector<Master>& masters, int n, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const int count = n / rounds + (round < n % rounds ? 1 : 0);
        for (Master& m : masters) {
            if (!m.run(count, 5, m.write, m.read)) {
                return false;
            }
        }
    }
    return true;
}

// One kind of exchange: median and p95 per master, the wire floor and the failures; then each
// median against libmodbus's (the last master).
void printRow(const std::vector<Master>& masters, const char* what, Series Master::*kind,
              int bytesOnWire) {
    std::printf("%-30s", what);
    std::string failed;
    for (const Master& m : masters) {
        const Stats s = summarise((m.*kind).ms);
        std::printf("      %7.3f %8.3f", s.median, s.p95);
        failed += (failed.empty() ? "" : "/") + std::to_string((m.*kind).failures);
    }
    std::printf(" %8.3f  %s\n", wireMs(bytesOnWire), failed.c_str());
    std::printf("%-30s", "  median / libmodbus median");
    const double yard = summarise((masters.back().*kind).ms).median;
    for (const Master& m : masters) {
        std::printf(" %21.2f", yard > 0 ? summarise((m.*kind).ms).median / yard : 0.0);
    }
    std::printf("\n");
}

void printTable(const std::vector<Master>& masters) {
    std::printf("%-30s", "ms per exchange, median p95");
    for (const Master& m : masters) {
        std::printf(" %21s", m.name.c_str());
    }
    std::printf(" %8s  %s\n", "floor", "failed");
    printRow(masters, "write 16 regs (fn 16, 41+8 B)", &Master::write, 9 + 2 * blockCount + 8);
    printRow(masters, "read 2 regs (fn 3, 8+9 B)", &Master::read, 8 + 5 + 2 * readCount);
    std::printf(
        "\nWith quiet-interval chunks our master learns that a reply is complete only when\n"
        "the line has been quiet for the interval after its last byte; with chunks at\n"
        "every read, when the read that brings its last byte returns. libmodbus's master\n"
        "reads to the reply's known length.\n");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<Settings> settings = readArgs(argc, argv);
    if (!settings) {
        std::fprintf(stderr,
                     "usage: modbus_exchange [-n N] [-r ROUNDS] [-i INTERVAL_US]... [-e]\n");
        return 2;
    }

    PtyBridge bridge;
    LibmodbusPeer peer;
    if (!peer.startRtu(bridge.endB(), slave, static_cast<int>(baud), true)) {
        std::fprintf(stderr, "libmodbus slave: %s\n", qPrintable(peer.error()));
        return 1;
    }
    Block block{};
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint16_t>(0x3C00 + 0x0111 * i);
    }

    std::vector<Master> masters;
    for (const Link& l : settings->links) {
        masters.emplace_back(
            l.name, [&bridge, &block, l](int count, int warmUp, Series& w, Series& r) {
                return runOurs(bridge.endA(), l.intervalUs, l.end, block, count, warmUp, w, r);
            });
    }
    masters.emplace_back("libmodbus",
                         [&bridge, &block](int count, int warmUp, Series& w, Series& r) {
                             return runLibmodbus(bridge.endA(), block, count, warmUp, w, r);
                         });

    printHeading(settings->n, settings->rounds);
    if (!runRounds(masters, settings->n, settings->rounds)) {
        return 1;
    }
    printTable(masters);
    bool failed = false;
    for (const Master& m : masters) {
        failed = failed || m.write.failures + m.read.failures > 0;
    }
    return failed ? 1 : 0;
}

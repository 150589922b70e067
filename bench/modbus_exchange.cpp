// Exchange latency of the Modbus RTU master on a real serial link: a 16-register function-16
// write (the shape of a sub-processor data block) and a 2-register read, against libmodbus's
// RTU slave on a pseudo-terminal, with the updater's two read intervals (the default 10 ms and
// the fast link's). In the same run libmodbus's own master talks to the same slave through the
// same pty bridge, as a yardstick.
//
//   modbus_exchange [-n N] [-i INTERVAL_US]...   (-i replaces the two intervals; repeatable)

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

struct Stats {
    double median = 0;
    double p95 = 0;
    int failures = 0;
};

Stats summarise(std::vector<double> ms, int failures) {
    Stats s;
    s.failures = failures;
    if (ms.empty()) {
        return s;
    }
    std::sort(ms.begin(), ms.end());
    s.median = ms[ms.size() / 2];
    const auto idx = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(ms.size()))) - 1;
    s.p95 = ms[std::min(idx, ms.size() - 1)];
    return s;
}

// Time of one call in milliseconds; ok is what the call reported.
double timed(const std::function<bool()>& call, bool& ok) {
    const auto t0 = Clock::now();
    ok = call();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Run {
    Stats write;
    Stats read;
};

Run runOurs(const QString& device, int n, std::uint32_t intervalUs,
            const std::array<std::uint16_t, blockCount>& block) {
    TVexaComms link;
    link.setCommPort(device);
    link.setBaudRate(baud);
    link.setRxBufferSize(0x4000);
    link.setInterCharTimeOutUs(intervalUs);
    if (!link.OpenComm()) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(device),
                     qPrintable(link.lastOpenError()));
        std::exit(1);
    }
    std::vector<double> w;
    std::vector<double> r;
    int wFail = 0;
    int rFail = 0;
    std::array<std::uint16_t, readCount> values{};
    for (int i = -10; i < n; ++i) { // ten warm-up rounds
        bool ok = false;
        const double tw = timed(
            [&] {
                return MB_WriteMultiRegs(link, slave, 16, blockFirst, blockCount, block,
                                         timeoutTicks) == 1;
            },
            ok);
        if (i >= 0) {
            ok ? w.push_back(tw) : void(++wFail);
        }
        const double tr = timed(
            [&] {
                return MB_ReadRegs(link, slave, 3, blockFirst, readCount, timeoutTicks, values) ==
                       1;
            },
            ok);
        if (i >= 0) {
            ok ? r.push_back(tr) : void(++rFail);
        }
    }
    if (values[0] != block[0] || values[1] != block[1]) {
        std::fprintf(stderr, "read back %04x %04x, wrote %04x %04x\n", values[0], values[1],
                     block[0], block[1]);
        ++rFail;
    }
    link.CloseComm();
    return {summarise(std::move(w), wFail), summarise(std::move(r), rFail)};
}

Run runLibmodbus(const QString& device, int n, const std::array<std::uint16_t, blockCount>& block) {
    const QByteArray path = device.toLocal8Bit();
    modbus_t* ctx = modbus_new_rtu(path.constData(), static_cast<int>(baud), 'N', 8, 1);
    if (ctx == nullptr || modbus_set_slave(ctx, slave) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus master: %s\n", modbus_strerror(errno));
        std::exit(1);
    }
    modbus_set_response_timeout(ctx, 1, 600000); // as our time-out 15: about 1.6 s
    std::vector<double> w;
    std::vector<double> r;
    int wFail = 0;
    int rFail = 0;
    std::array<std::uint16_t, readCount> values{};
    for (int i = -10; i < n; ++i) {
        bool ok = false;
        const double tw = timed(
            [&] { return modbus_write_registers(ctx, blockFirst, blockCount, block.data()) == 16; },
            ok);
        if (i >= 0) {
            ok ? w.push_back(tw) : void(++wFail);
        }
        const double tr = timed(
            [&] { return modbus_read_registers(ctx, blockFirst, readCount, values.data()) == 2; },
            ok);
        if (i >= 0) {
            ok ? r.push_back(tr) : void(++rFail);
        }
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return {summarise(std::move(w), wFail), summarise(std::move(r), rFail)};
}

double wireMs(int bytes) {
    return 1000.0 * bytes * 10 / baud;
}

void printCell(const Stats& s) {
    std::printf(" %8.3f %8.3f", s.median, s.p95);
}

QString intervalText(std::uint32_t us) {
    return QString::number(us / 1000.0, 'g', 4) + QStringLiteral(" ms");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int n = 2000;
    std::vector<std::uint32_t> intervals;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            n = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            intervals.push_back(static_cast<std::uint32_t>(std::max(1, std::atoi(argv[++i]))));
        } else {
            std::fprintf(stderr, "usage: modbus_exchange [-n N] [-i INTERVAL_US]...\n");
            return 2;
        }
    }
    if (intervals.empty()) {
        intervals = {kReadIntervalUs, kFastReadIntervalUs};
    }

    PtyBridge bridge;
    LibmodbusPeer peer;
    if (!peer.startRtu(bridge.endB(), slave, static_cast<int>(baud), true)) {
        std::fprintf(stderr, "libmodbus slave: %s\n", qPrintable(peer.error()));
        return 1;
    }
    std::array<std::uint16_t, blockCount> block{};
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint16_t>(0x3C00 + 0x0111 * i);
    }

    std::printf("Modbus RTU exchange latency, %d exchanges of each kind (after 10 warm-up)\n", n);
    std::printf("slave: libmodbus %s RTU slave %d on a pseudo-terminal, joined by a pty bridge\n",
                LIBMODBUS_VERSION_STRING, slave);
    std::printf("ours: MB_WriteMultiRegs / MB_ReadRegs on TVexaComms, %u baud set, receive ring "
                "16384, reply time-out 15 ticks, read interval",
                baud);
    for (const std::uint32_t us : intervals) {
        std::printf(" %s", qPrintable(intervalText(us)));
    }
    std::printf("\nyardstick: libmodbus %s master (modbus_write_registers / "
                "modbus_read_registers)\n",
                LIBMODBUS_VERSION_STRING);
    std::printf("note: a pty has no line speed; bytes cross at memory speed, so these times are\n"
                "      software latency. The floor column is the wire time the same bytes need\n"
                "      at 115200 baud (10 bits per byte, no inter-frame gaps).\n\n");
    std::fflush(stdout);

    std::vector<Run> ours;
    for (const std::uint32_t us : intervals) {
        ours.push_back(runOurs(bridge.endA(), n, us, block));
    }
    const Run theirs = runLibmodbus(bridge.endA(), n, block);

    std::printf("%-30s", "ms per exchange, median p95");
    for (const std::uint32_t us : intervals) {
        std::printf(" %17s", qPrintable(QStringLiteral("ours ") + intervalText(us)));
    }
    std::printf(" %17s %8s  %s\n", "libmodbus", "floor", "failed");
    auto row = [&](const char* what, Stats Run::*kind, int bytesOnWire) {
        std::printf("%-30s", what);
        int failures = 0;
        for (const Run& r : ours) {
            printCell(r.*kind);
            failures += (r.*kind).failures;
        }
        printCell(theirs.*kind);
        std::printf(" %8.3f  %d/%d\n", wireMs(bytesOnWire), failures, (theirs.*kind).failures);
    };
    row("write 16 regs (fn 16, 41+8 B)", &Run::write, 9 + 2 * blockCount + 8);
    row("read 2 regs (fn 3, 8+9 B)", &Run::read, 8 + 5 + 2 * readCount);
    std::printf("\nOur master learns that a reply is complete only when the receive thread\n"
                "delivers it, after the line has been quiet for the read interval; libmodbus's\n"
                "master reads to the reply's known length.\n");
    bool failed = theirs.write.failures + theirs.read.failures > 0;
    for (const Run& r : ours) {
        failed = failed || r.write.failures + r.read.failures > 0;
    }
    return failed ? 1 : 0;
}

// The read interval that ends a received chunk, on real pseudo-terminals with a scripted unit:
// a reply in bursts closer than the interval is one delivery, a reply split by longer gaps
// still completes (its conditions accumulate over the chunks) and is checked as a whole, and a
// chunk never ends before the line has been quiet for the whole interval. Every link here ends
// its chunks at the quiet interval, also below a millisecond where the fast link would end
// them at every read (tst_fast_link).

#include "ModBusPro.h"
#include "PosixSerialDevice.h"
#include "Pty.h"
#include "ScriptedPeers.h"
#include "VexaComms.h"

#include <QTest>

#include <array>
#include <chrono>
#include <thread>

using namespace corvane::testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t kSlave = 23;

// The reply to a read of `count` registers holding 0x1100 + i.
QByteArray readReply(std::uint16_t count) {
    return rtuReadReply(kSlave, count, 0x1100);
}

// Answers every request with the reply cut into `parts` pieces, `gapMs` apart.
PeerScript inBursts(const QByteArray& reply, int parts, int gapMs) {
    return [reply, parts, gapMs](const QByteArray&) {
        std::vector<PeerStep> steps;
        const qsizetype size = (reply.size() + parts - 1) / parts;
        for (qsizetype at = 0; at < reply.size(); at += size) {
            steps.push_back({reply.mid(at, size), at == 0 ? 0 : gapMs, false});
        }
        return steps;
    };
}

struct Link {
    TVexaComms link;
    QList<QByteArray> deliveries;

    Link(const QString& path, std::uint32_t intervalUs) {
        link.setCommPort(path);
        link.setBaudRate(115200);
        link.setRxBufferSize(0x4000);
        link.setInterCharTimeOutUs(intervalUs);
        link.setChunkEnd(ChunkEnd::QuietInterval);
        link.OnReceiveData = [this](const std::uint8_t* b, std::uint16_t n) {
            deliveries.append(QByteArray(reinterpret_cast<const char*>(b), n));
        };
    }
};

} // namespace

Q_DECLARE_METATYPE(std::chrono::microseconds)

class TestReadInterval : public QObject {
    Q_OBJECT
private slots:
    void burstsCloserThanTheIntervalAreOneDelivery_data();
    void burstsCloserThanTheIntervalAreOneDelivery();
    void burstsFartherApartStillComplete_data();
    void burstsFartherApartStillComplete();
    void trailingBytesInTheChunkFailTheCrc();
    void chunkEndsOnlyAfterTheWholeInterval_data();
    void chunkEndsOnlyAfterTheWholeInterval();
    void pseudoTerminalHasNoLowLatencyMode();
};

void TestReadInterval::burstsCloserThanTheIntervalAreOneDelivery_data() {
    QTest::addColumn<int>("intervalUs");
    QTest::addColumn<int>("parts");
    QTest::addColumn<int>("gapMs");
    // Writes back to back reach the reader a few microseconds apart.
    QTest::newRow("0.5 ms, two writes back to back") << 500 << 2 << 0;
    // A USB adapter's packets in low-latency mode, about 1 ms apart.
    QTest::newRow("4 ms, three packets 1 ms apart") << 4000 << 3 << 1;
}

void TestReadInterval::burstsCloserThanTheIntervalAreOneDelivery() {
    QFETCH(int, intervalUs);
    QFETCH(int, parts);
    QFETCH(int, gapMs);
    const QByteArray reply = readReply(16);
    ScriptedSerialPeer peer(inBursts(reply, parts, gapMs));
    Link l(peer.devicePath(), static_cast<std::uint32_t>(intervalUs));
    QVERIFY(l.link.OpenComm());
    // A busy machine may stretch a gap past the interval now and then; every try must read
    // the reply, and most must see it as one delivery.
    int whole = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        l.deliveries.clear();
        std::array<std::uint16_t, 16> values{};
        QCOMPARE(MB_ReadRegs(l.link, kSlave, 3, 0, 16, 10, values), 1);
        for (std::uint16_t i = 0; i < 16; ++i) {
            QCOMPARE(values[i], std::uint16_t(0x1100 + i));
        }
        QCOMPARE(l.deliveries.join(), reply);
        whole += l.deliveries.size() == 1 ? 1 : 0;
    }
    QVERIFY2(whole >= 4, qPrintable(QStringLiteral("one delivery in %1 of 8 tries").arg(whole)));
    l.link.CloseComm();
}

void TestReadInterval::burstsFartherApartStillComplete_data() {
    QTest::addColumn<int>("intervalUs");
    QTest::addColumn<int>("parts");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("registers");
    QTest::newRow("0.5 ms, two parts 20 ms apart") << 500 << 2 << 20 << 2;
    QTest::newRow("0.5 ms, five parts 3 ms apart") << 500 << 5 << 3 << 16;
    // An adapter whose latency timer was not lowered: 16 ms between its packets.
    QTest::newRow("10 ms, three parts 16 ms apart") << 10000 << 3 << 16 << 16;
}

void TestReadInterval::burstsFartherApartStillComplete() {
    QFETCH(int, intervalUs);
    QFETCH(int, parts);
    QFETCH(int, gapMs);
    QFETCH(int, registers);
    const auto count = static_cast<std::uint16_t>(registers);
    const QByteArray reply = readReply(count);
    ScriptedSerialPeer peer(inBursts(reply, parts, gapMs));
    Link l(peer.devicePath(), static_cast<std::uint32_t>(intervalUs));
    QVERIFY(l.link.OpenComm());
    std::array<std::uint16_t, 16> values{};
    int split = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        l.deliveries.clear();
        values.fill(0);
        QCOMPARE(MB_ReadRegs(l.link, kSlave, 3, 0, count, 10, values), 1);
        for (std::uint16_t i = 0; i < count; ++i) {
            QCOMPARE(values[i], std::uint16_t(0x1100 + i));
        }
        QCOMPARE(l.deliveries.join(), reply);
        // A gap longer than the interval ends a chunk, unless the receive thread was held up
        // for as long as the gap.
        split += l.deliveries.size() > 1 ? 1 : 0;
    }
    QVERIFY2(split > 0, "the reply never arrived in more than one delivery");
    l.link.CloseComm();
}

void TestReadInterval::trailingBytesInTheChunkFailTheCrc() {
    // Two stray bytes right behind the reply arrive within the interval: the CRC is taken over
    // everything received, so the reply is refused, never read short of its tail.
    const QByteArray reply = readReply(2);
    ScriptedSerialPeer peer([&](const QByteArray&) {
        return std::vector<PeerStep>{{reply + QByteArray::fromHex("5a5a"), 0, false}};
    });
    Link l(peer.devicePath(), 500);
    QVERIFY(l.link.OpenComm());
    std::array<std::uint16_t, 2> values{};
    QCOMPARE(MB_ReadRegs(l.link, kSlave, 3, 0, 2, 10, values), -1);
    l.link.CloseComm();
}

void TestReadInterval::chunkEndsOnlyAfterTheWholeInterval_data() {
    QTest::addColumn<std::chrono::microseconds>("interval");
    // Not whole milliseconds: a time-out rounded down to them would end these chunks early.
    QTest::newRow("0.3 ms") << std::chrono::microseconds(300);
    QTest::newRow("1.5 ms") << std::chrono::microseconds(1500);
    QTest::newRow("2.7 ms") << std::chrono::microseconds(2700);
}

void TestReadInterval::chunkEndsOnlyAfterTheWholeInterval() {
    QFETCH(std::chrono::microseconds, interval);
    Pty pty;
    corvane::PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(device.configure({115200}));
    int joined = 0;
    for (int round = 0; round < 5; ++round) {
        Clock::time_point lastWrite{};
        bool written = true;
        std::thread writer([&] {
            std::this_thread::sleep_for(5ms);
            written = writeAll(pty.masterFd(), "ab", 2);
            std::this_thread::sleep_for(interval / 3);
            // Taken before the write, so the reader cannot have seen these bytes earlier.
            lastWrite = Clock::now();
            written = writeAll(pty.masterFd(), "cd", 2) && written;
        });
        QByteArray chunk;
        const corvane::ReadStatus status = device.readChunk(chunk, interval);
        const Clock::time_point ended = Clock::now();
        writer.join();
        QVERIFY(written);
        QCOMPARE(status, corvane::ReadStatus::Data);
        if (chunk == QByteArray("ab")) {
            // The writer was held up past the interval: the first part ended alone, which is
            // right; its rest is the next chunk.
            QCOMPARE(device.readChunk(chunk, interval), corvane::ReadStatus::Data);
            QCOMPARE(chunk, QByteArray("cd"));
            continue;
        }
        QCOMPARE(chunk, QByteArray("abcd"));
        ++joined;
        const auto quiet = ended - lastWrite;
        QVERIFY2(
            quiet >= interval,
            qPrintable(
                QStringLiteral("ended %1 us after the last byte")
                    .arg(std::chrono::duration_cast<std::chrono::microseconds>(quiet).count())));
        QVERIFY(quiet < interval + 2s); // a hang, not a slow machine
    }
    QVERIFY2(joined > 0, "the two parts never arrived within one interval");
}

void TestReadInterval::pseudoTerminalHasNoLowLatencyMode() {
    ScriptedSerialPeer peer;
    TVexaComms link;
    link.setCommPort(peer.devicePath());
    QCOMPARE(link.lowLatency(), corvane::LowLatency::Unknown);
    QVERIFY(link.OpenComm());
    QCOMPARE(link.lowLatency(), corvane::LowLatency::PseudoTerminal);
    link.CloseComm();
    QCOMPARE(link.lowLatency(), corvane::LowLatency::Unknown);

    // The device itself, also after a close.
    corvane::PosixSerialDevice device;
    QVERIFY(device.open(peer.devicePath()).ok());
    QCOMPARE(device.lowLatency(), corvane::LowLatency::PseudoTerminal);
    device.close();
    QCOMPARE(device.lowLatency(), corvane::LowLatency::Unknown);
}

QTEST_GUILESS_MAIN(TestReadInterval)
#include "tst_read_interval.moc"

// The fast link: chunks end at every read, an exchange ends on the byte that completes its
// reply, and bytes received after a reply join no reply, also when they are handled only after
// the next request went out. Scripted replies on real pseudo-terminals, played on both links:
// the default link's behaviour on the same scripts stays as it was. The fake device pins down
// the same rules without timing.

#include "FakeSerialDevice.h"
#include "Pty.h"
#include "ScriptedPeers.h"
#include "SerialTestUtil.h"
#include "VexaComms.h"

#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

using namespace corvane::test;
using corvane::testsupport::Pty;
using corvane::testsupport::withCrc;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t kSlave = 0x11;

QByteArray readRequest(std::uint16_t count) {
    QByteArray r;
    r.append(char(kSlave)).append(char(3)).append(char(0)).append(char(0));
    r.append(char(count >> 8)).append(char(count & 0xFF));
    return withCrc(r);
}

QByteArray readReply(std::uint16_t count, std::uint16_t base) {
    return corvane::testsupport::rtuReadReply(kSlave, count, base);
}

// Bytes that look like the start of a reply: joined to one, they would start its condition.
const QByteArray stray = QByteArray::fromHex("110304");

// A Modbus read exchange as the RTU master runs it, left attached so that the reply can be
// looked at again later.
class Exchange {
public:
    Exchange(TVexaComms& link, std::uint16_t count)
        : m_link(link) {
        m_list.PrepRxBuffNew();
        m_list.PrepRxBuffAdd(1, {kSlave}, 0, 1, {0x03}, 0, 0, 1,
                             static_cast<std::uint16_t>(2 * count + 4));
        m_list.PrepRxBuffAdd(1, {kSlave}, 0, 1, {0x83}, 0, 0, 1, 4);
        m_link.AttachCond(&m_list);
        m_link.ClearFlags();
        const QByteArray request = readRequest(count);
        m_sent =
            m_link.SendCommData(bytes(request), static_cast<std::uint16_t>(request.size()), 10);
        result = m_sent ? m_link.WaitForResult() : -100;
    }
    ~Exchange() { m_link.DetachCond(); }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    [[nodiscard]] QByteArray reply() {
        if (result < 1) {
            return {};
        }
        std::vector<std::uint8_t> buf(0x4001);
        const auto n =
            m_link.GetReply(static_cast<std::uint16_t>(result), buf.data(), 0x4000, 0, -1, -1);
        return {reinterpret_cast<const char*>(buf.data()), n};
    }

    int result = -100;

private:
    TVexaComms& m_link;
    TRxCondition m_list;
    bool m_sent = false;
};

struct Piece {
    QByteArray bytes;
    std::chrono::microseconds gapBefore{0};
};
using Script = std::vector<Piece>;

// Plays the unit on the master end: the n-th 8-byte request is answered by the n-th script,
// its pieces written the given gaps apart (held to a few microseconds by spinning at the end).
class PacedUnit {
public:
    PacedUnit(Pty& pty, std::vector<Script> scripts)
        : m_pty(pty)
        , m_scripts(std::move(scripts))
        , m_thread([this] { run(); }) {}
    ~PacedUnit() {
        m_stop = true;
        m_thread.join();
    }
    PacedUnit(const PacedUnit&) = delete;
    PacedUnit& operator=(const PacedUnit&) = delete;

    // Scripts played to their end.
    [[nodiscard]] int played() const { return m_played; }
    // The longest gap that a script's first gap (reply to stray bytes) grew to.
    [[nodiscard]] std::chrono::microseconds longestFirstGap() const {
        return std::chrono::microseconds(m_longestFirstGapUs.load());
    }

private:
    void run() {
        for (const Script& script : m_scripts) {
            QByteArray request;
            while (!m_stop && request.size() < 8) {
                request += m_pty.read(8 - request.size(), 50ms);
            }
            if (m_stop) {
                return;
            }
            Clock::time_point last{};
            for (std::size_t i = 0; i < script.size(); ++i) {
                if (i > 0) {
                    const auto due = last + script[i].gapBefore;
                    if (due - Clock::now() > 300us) {
                        std::this_thread::sleep_until(due - 200us);
                    }
                    while (Clock::now() < due) {
                    }
                }
                const auto now = Clock::now();
                if (i == 1) {
                    const auto gap =
                        std::chrono::duration_cast<std::chrono::microseconds>(now - last);
                    m_longestFirstGapUs = std::max<long>(m_longestFirstGapUs.load(), gap.count());
                }
                last = now;
                m_pty.write(script[i].bytes);
            }
            ++m_played;
        }
    }

    Pty& m_pty;
    std::vector<Script> m_scripts;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_played{0};
    std::atomic<long> m_longestFirstGapUs{0};
    std::thread m_thread;
};

// Waits for pred() without handling events (queued deliveries stay queued); false after 5 s.
template <typename Pred>
bool waitWithoutEvents(Pred pred) {
    const auto deadline = Clock::now() + 5s;
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A link on the fake device, on the fast or the default link, with a 2-register read reply's
// condition attached once armed.
struct FakeLink {
    explicit FakeLink(bool fast) {
        link.setCommPort(QStringLiteral("/dev/fake0"));
        link.setRxBufferSize(256);
        link.setInterCharTimeOutUs(fast ? kFastReadIntervalUs : kReadIntervalUs);
        list.PrepRxBuffNew();
        list.PrepRxBuffAdd(1, {kSlave}, 0, 1, {0x03}, 0, 0, 1, 8);
    }
    ~FakeLink() {
        link.DetachCond();
        link.CloseComm();
    }
    FakeLink(const FakeLink&) = delete;
    FakeLink& operator=(const FakeLink&) = delete;

    bool send() {
        link.AttachCond(&list);
        link.ClearFlags();
        return link.SendCommData(bytes("q"), 1, 10);
    }
    QByteArray reply() {
        std::uint8_t buf[64] = {};
        const auto n = link.GetReply(1, buf, 63, 0, -1, -1);
        return {reinterpret_cast<const char*>(buf), n};
    }

    std::shared_ptr<FakeSerialScript> script = std::make_shared<FakeSerialScript>();
    TVexaComms link{nullptr, [s = script] { return std::make_unique<FakeSerialDevice>(s); }};
    TRxCondition list;
};

// The reply cut into pieces of `size` bytes, `gap` apart.
Script packets(const QByteArray& reply, qsizetype size, std::chrono::microseconds gap) {
    Script s;
    for (qsizetype at = 0; at < reply.size(); at += size) {
        s.push_back({reply.mid(at, size), at == 0 ? 0us : gap});
    }
    return s;
}

} // namespace

Q_DECLARE_METATYPE(Script)

class TestFastLink : public QObject {
    Q_OBJECT
private slots:
    void chunkEndFollowsTheInterval_data();
    void chunkEndFollowsTheInterval();
    void scriptedReplies_data();
    void scriptedReplies();
    void replyEndsOnItsCompletingByte_data();
    void replyEndsOnItsCompletingByte();
    void bytesReadBeforeTheRequestJoinNoReply_data();
    void bytesReadBeforeTheRequestJoinNoReply();
};

void TestFastLink::chunkEndFollowsTheInterval_data() {
    QTest::addColumn<quint32>("intervalUs");
    QTest::addColumn<ChunkEnd>("end");
    QTest::newRow("0: from the line speed") << 0u << ChunkEnd::QuietInterval;
    QTest::newRow("the fast link's") << kFastReadIntervalUs << ChunkEnd::EachRead;
    QTest::newRow("999 us") << 999u << ChunkEnd::EachRead;
    QTest::newRow("1 ms") << 1000u << ChunkEnd::QuietInterval;
    QTest::newRow("the default link's") << kReadIntervalUs << ChunkEnd::QuietInterval;
}

void TestFastLink::chunkEndFollowsTheInterval() {
    QFETCH(quint32, intervalUs);
    QFETCH(ChunkEnd, end);
    TVexaComms link;
    link.setInterCharTimeOutUs(intervalUs);
    QCOMPARE(link.chunkEnd(), end);
    // Set explicitly, it holds whatever the interval.
    link.setChunkEnd(ChunkEnd::QuietInterval);
    QCOMPARE(link.chunkEnd(), ChunkEnd::QuietInterval);
    link.setChunkEnd(ChunkEnd::EachRead);
    QCOMPARE(link.chunkEnd(), ChunkEnd::EachRead);
    link.setChunkEnd(std::nullopt);
    QCOMPARE(link.chunkEnd(), end);
}

void TestFastLink::scriptedReplies_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<int>("registers");
    QTest::addColumn<Script>("script");
    // What the first exchange takes as its reply on this link.
    QTest::addColumn<QByteArray>("expected");
    // Events are handled between the two exchanges (else the stray bytes wait in the queue
    // until the second one is armed).
    QTest::addColumn<bool>("handleBetween");

    const QByteArray short2 = readReply(2, 0x1100);
    const QByteArray long16 = readReply(16, 0x1200);
    const QByteArray long100 = readReply(100, 0x1300); // 205 bytes
    const Script pieces{{long16.left(9), 0us}, {long16.mid(9, 11), 200us}, {long16.mid(20), 3ms}};
    const Script withStray{{short2, 0us}, {stray, 100us}};
    // Late enough that the first exchange has returned before they are read.
    const Script withLateStray{{short2, 0us}, {stray, 2ms}};
    const Script usbPackets = packets(long100, 62, 1ms);
    for (const bool fast : {true, false}) {
        const char* link = fast ? "fast" : "default";
        QTest::addRow("%s: pieces 0.2 ms and 3 ms apart", link)
            << fast << 16 << pieces << long16 << true;
        // The default link's quiet interval takes the stray bytes into the reply's chunk, where
        // they follow the reply (and fail a Modbus master's CRC check).
        QTest::addRow("%s: stray bytes 0.1 ms after the reply", link)
            << fast << 2 << withStray << (fast ? short2 : short2 + stray) << true;
        QTest::addRow("%s: stray bytes 2 ms after, handled after the next request", link)
            << fast << 2 << withLateStray << (fast ? short2 : short2 + stray) << false;
        QTest::addRow("%s: 62-byte packets 1 ms apart", link)
            << fast << 100 << usbPackets << long100 << true;
    }
}

void TestFastLink::scriptedReplies() {
    QFETCH(bool, fast);
    QFETCH(int, registers);
    QFETCH(Script, script);
    QFETCH(QByteArray, expected);
    QFETCH(bool, handleBetween);
    const QByteArray next = readReply(2, 0x2200);
    Pty pty;
    PacedUnit unit(pty, {script, {{next, 0us}}});
    TVexaComms link;
    link.setCommPort(pty.slavePath());
    link.setBaudRate(115200);
    link.setRxBufferSize(0x4000);
    link.setInterCharTimeOutUs(fast ? kFastReadIntervalUs : kReadIntervalUs);
    QVERIFY2(link.OpenComm(), qPrintable(link.lastOpenError()));
    QCOMPARE(link.chunkEnd(), fast ? ChunkEnd::EachRead : ChunkEnd::QuietInterval);

    {
        Exchange first(link, static_cast<std::uint16_t>(registers));
        QCOMPARE(first.result, 1);
        const QByteArray reply = first.reply();
        if (!fast && reply.size() != expected.size() && unit.longestFirstGap() > 7ms) {
            QSKIP("the unit was held up past the default link's interval");
        }
        QCOMPARE(reply.toHex(), expected.toHex());
        QVERIFY(waitWithoutEvents([&] { return unit.played() == 1; }));
        std::this_thread::sleep_for(30ms); // the rest of the script waits in the queue
        if (handleBetween) {
            // Everything the script sent is handled: the exchange completed once.
            QTest::qWait(30);
            QCOMPARE(link.RxResult, 1);
            QCOMPARE(first.reply().toHex(), expected.toHex());
        }
    }
    Exchange second(link, 2);
    QCOMPARE(second.result, 1);
    QCOMPARE(second.reply().toHex(), next.toHex());
    link.CloseComm();
}

void TestFastLink::replyEndsOnItsCompletingByte_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray reply = readReply(2, 0x1100);
    QTest::newRow("fast") << true << reply;
    // Once per chunk: what follows the reply in its chunk and after it is stored with it.
    QTest::newRow("default: the whole chunk and after") << false << reply + stray + stray;
}

void TestFastLink::replyEndsOnItsCompletingByte() {
    QFETCH(bool, fast);
    QFETCH(QByteArray, expected);
    FakeLink f(fast);
    QList<QByteArray> deliveries;
    f.link.OnReceiveData = [&](const std::uint8_t* b, std::uint16_t n) {
        deliveries.append(QByteArray(reinterpret_cast<const char*>(b), n));
    };
    QVERIFY(f.link.OpenComm());
    QVERIFY(f.send());
    // One chunk: noise, the reply and stray bytes behind it; then more stray bytes.
    f.script->feed(QByteArray::fromHex("5a") + readReply(2, 0x1100) + stray);
    f.script->feed(stray);
    QCOMPARE(f.link.WaitForResult(), 1);
    QTRY_COMPARE(deliveries.size(), 2);
    QCOMPARE(f.reply().toHex(), expected.toHex());
    QCOMPARE(f.link.RxResult, 1);
}

void TestFastLink::bytesReadBeforeTheRequestJoinNoReply_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray reply = readReply(2, 0x2200);
    QTest::newRow("fast") << true << reply;
    // The default link takes a delivery handled during the wait as the new exchange's: the
    // stray bytes start its condition, and the reply's chunk completes it.
    QTest::newRow("default: they start the reply") << false << stray + reply;
}

void TestFastLink::bytesReadBeforeTheRequestJoinNoReply() {
    QFETCH(bool, fast);
    QFETCH(QByteArray, expected);
    FakeLink f(fast);
    QVERIFY(f.link.OpenComm());
    QVERIFY(waitWithoutEvents([&] { return f.script->readCalls() == 1; }));
    // The receive thread has read the stray bytes (it is waiting for more) but the link's
    // thread has not handled them when the next request is sent.
    f.script->feed(stray);
    QVERIFY(waitWithoutEvents([&] { return f.script->readCalls() == 2; }));
    QVERIFY(f.send());
    f.script->feed(readReply(2, 0x2200));
    QCOMPARE(f.link.WaitForResult(), 1);
    QCOMPARE(f.reply().toHex(), expected.toHex());
}

QTEST_GUILESS_MAIN(TestFastLink)
#include "tst_fast_link.moc"

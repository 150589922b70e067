// The serial link component on real pseudo-terminals: the component opens the slave end like a
// serial port, the test plays the unit on the master end.

#include "PosixSerialDevice.h"
#include "Pty.h"
#include "SerialTestUtil.h"
#include "VexaComms.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace corvane::test;
using corvane::testsupport::Pty;
using namespace std::chrono_literals;

namespace {

const char* const HoldPortVariable = "CORVANE_TEST_HOLD_PORT";

// The system's line settings.
void setUp(TVexaComms& link, const QString& path) {
    link.setCommPort(path);
    link.setBaudRate(115200);
    link.setDataBits(8);
    link.setParity(TParity::None);
    link.setStopBits(TStopBits::sb1);
    link.setRxBufferSize(0x4000);
    link.setInterCharTimeOut(10);
}

// Modbus register read reply shape: slave address, function code, 2 * count + 4 more bytes.
void addReadCondition(TRxCondition& list, std::uint8_t slave, std::uint16_t count) {
    list.PrepRxBuffNew();
    list.PrepRxBuffAdd(1, {slave}, 0, 1, {0x03}, 0, 0, 1,
                       static_cast<std::uint16_t>(2 * count + 4));
    list.PrepRxBuffAdd(1, {slave}, 0, 1, {0x83}, 0, 0, 1, 4);
}

const QByteArray readRequest = QByteArray::fromHex("110300000002c69b");
const QByteArray readReply = QByteArray::fromHex("1103040001000259f3");

// One exchange as the protocol layers run it; returns the wait's result and the reply.
int exchange(TVexaComms& link, const QByteArray& request, std::uint16_t tim, QByteArray* reply) {
    TRxCondition list;
    addReadCondition(list, 0x11, 2);
    link.AttachCond(&list);
    link.ClearFlags();
    if (!link.SendCommData(bytes(request), static_cast<std::uint16_t>(request.size()), tim)) {
        link.DetachCond();
        return -100;
    }
    const int r = link.WaitForResult();
    if (r >= 1 && reply != nullptr) {
        std::vector<std::uint8_t> buf(0x4001);
        const auto n = link.GetReply(static_cast<std::uint16_t>(r), buf.data(), 0x4000, 0, -1, -1);
        *reply = QByteArray(reinterpret_cast<const char*>(buf.data()), n);
    }
    link.DetachCond();
    return r;
}

// Answers one request on the master end: reads `expect` bytes, then writes the parts with
// `pause` between them.
std::thread answer(Pty& pty, const QByteArray& expect, QList<QByteArray> parts,
                   std::chrono::milliseconds pause, QByteArray* seen) {
    return std::thread([&pty, expect, parts, pause, seen] {
        const QByteArray got = pty.read(expect.size(), 3000ms);
        if (seen != nullptr) {
            *seen = got;
        }
        if (got != expect) {
            return;
        }
        for (qsizetype i = 0; i < parts.size(); ++i) {
            if (i > 0) {
                std::this_thread::sleep_for(pause);
            }
            pty.write(parts[i]);
        }
    });
}

// Child mode: hold the device open until stdin closes.
int holdPort(const QString& path) {
    corvane::PosixSerialDevice device;
    const corvane::OpenResult r = device.open(path);
    std::cout << (r.ok() ? "held" : "failed") << std::endl;
    std::string line;
    std::getline(std::cin, line);
    return r.ok() ? 0 : 1;
}

} // namespace

class TestSerialPty : public QObject {
    Q_OBJECT
private slots:
    void exchangeOnPty();
    void lineSettingsReachTheDevice();
    void splitReplyIsMatchedOnce();
    void replyTimeOut_data();
    void replyTimeOut();
    void closeFromHandlerEndsWait();
    void destroyedDuringWait();
    void peerHangUpEndsReceiveThreadQuietly();
    void hangUpDuringWaitEndsIt();
    void lateReplyIsDiscardedBeforeNextRequest();
    void settlingIsBounded();
    void secondOpenThrowsAndKeepsPort();
    void sameDeviceTwiceFails();
    void anotherProcessHoldsDevice();
    void openCloseCycles();
    void openFailures();
    void checkPort();
    void permissionDeniedIsExplained();
};

void TestSerialPty::exchangeOnPty() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY2(link.OpenComm(), qPrintable(link.lastOpenError()));
    QVERIFY(link.isOpen());
    QCOMPARE(link.RxResult, -1);
    QVERIFY(link.lastOpenError().isEmpty());

    QByteArray seen;
    std::thread peer = answer(pty, readRequest, {readReply}, 0ms, &seen);
    QByteArray reply;
    const int r = exchange(link, readRequest, 10, &reply);
    peer.join();
    QCOMPARE(seen, readRequest);
    QCOMPARE(r, 1);
    QCOMPARE(reply, readReply);

    // A second exchange on the same open port.
    peer = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(link, readRequest, 10, &reply), 1);
    peer.join();
    QCOMPARE(reply, readReply);

    link.CloseComm();
    QVERIFY(!link.isOpen());
    QCOMPARE(link.RxResult, -1);
}

void TestSerialPty::lineSettingsReachTheDevice() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    termios tio{};
    QCOMPARE(tcgetattr(pty.slaveFd(), &tio), 0);
    QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));

    // UpdateDCB applies the properties to the open port. (A pseudo-terminal always keeps 8
    // data bits without parity; those are checked on the termios image in the platform suite.)
    link.setBaudRate(9600);
    link.setStopBits(TStopBits::sb2);
    link.UpdateDCB();
    QCOMPARE(tcgetattr(pty.slaveFd(), &tio), 0);
    QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
    QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(CSTOPB));
    link.setStopBits(TStopBits::sb1);
    link.UpdateDCB();
    QCOMPARE(tcgetattr(pty.slaveFd(), &tio), 0);
    QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(0));
    link.CloseComm();

    // Closed: UpdateDCB changes nothing.
    link.setBaudRate(19200);
    link.UpdateDCB();
    QCOMPARE(tcgetattr(pty.slaveFd(), &tio), 0);
    QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
}

void TestSerialPty::splitReplyIsMatchedOnce() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    QList<QByteArray> deliveries;
    link.OnReceiveData = [&](const std::uint8_t* b, std::uint16_t n) {
        deliveries.append(QByteArray(reinterpret_cast<const char*>(b), n));
    };
    // A busy machine may merge the two parts now and then; the split must show up within a
    // few tries, and every try must match the reply as one.
    bool sawSplit = false;
    for (int attempt = 0; attempt < 5 && !sawSplit; ++attempt) {
        deliveries.clear();
        std::thread peer =
            answer(pty, readRequest, {readReply.left(4), readReply.mid(4)}, 20ms, nullptr);
        QByteArray reply;
        const int r = exchange(link, readRequest, 10, &reply);
        peer.join();
        QCOMPARE(r, 1);
        QCOMPARE(reply, readReply);
        QCOMPARE(deliveries.join(), readReply);
        sawSplit = deliveries.size() == 2;
    }
    QVERIFY2(sawSplit, "the reply never arrived as two deliveries");
}

void TestSerialPty::replyTimeOut_data() {
    QTest::addColumn<int>("tim");
    QTest::addColumn<int>("expectedMs");
    QTest::newRow("tim 0") << 0 << 100;
    QTest::newRow("tim 10") << 10 << 1100;
    QTest::newRow("tim 30") << 30 << 3100;
}

void TestSerialPty::replyTimeOut() {
    QFETCH(int, tim);
    QFETCH(int, expectedMs);
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    int timeOuts = 0;
    link.OnTimeOut = [&] { ++timeOuts; };
    QElapsedTimer clock;
    clock.start();
    const int r = exchange(link, readRequest, static_cast<std::uint16_t>(tim), nullptr);
    const auto elapsed = clock.elapsed();
    QCOMPARE(r, 0);
    QCOMPARE(link.RxResult, 0);
    QCOMPARE(timeOuts, 1);
    QVERIFY2(std::abs(elapsed - expectedMs) <= 60,
             qPrintable(QStringLiteral("timed out after %1 ms").arg(elapsed)));
    QCOMPARE(pty.read(readRequest.size(), 500ms), readRequest);
}

void TestSerialPty::closeFromHandlerEndsWait() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    QTimer::singleShot(150, &link, [&] { link.CloseComm(); });
    QElapsedTimer clock;
    clock.start();
    const int r = exchange(link, readRequest, 30, nullptr);
    QVERIFY2(r < 1, qPrintable(QString::number(r)));
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(!link.isOpen());
    // Transmissions are refused until the next open.
    QVERIFY(!link.SendCommData(bytes(readRequest), 8, 0));
    QVERIFY(link.OpenComm());
    std::thread peer = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(link, readRequest, 10, nullptr), 1);
    peer.join();
}

void TestSerialPty::destroyedDuringWait() {
    Pty pty;
    QVERIFY(pty.isValid());
    auto link = std::make_unique<TVexaComms>();
    setUp(*link, pty.slavePath());
    QVERIFY(link->OpenComm());
    TVexaComms* raw = link.get();
    TRxCondition list;
    addReadCondition(list, 0x11, 2);
    raw->AttachCond(&list);
    raw->ClearFlags();
    QVERIFY(raw->SendCommData(bytes(readRequest), 8, 30));
    QTimer::singleShot(100, [&] { link.reset(); });
    QElapsedTimer clock;
    clock.start();
    const int r = raw->WaitForResult(); // must not touch the object after it is gone
    QVERIFY(r < 1);
    QVERIFY(!link);
    QVERIFY(clock.elapsed() < 1000);
}

void TestSerialPty::peerHangUpEndsReceiveThreadQuietly() {
    auto pty = std::make_unique<Pty>(false);
    QVERIFY(pty->isValid());
    TVexaComms link;
    setUp(link, pty->slavePath());
    const int threadsBefore = threadCount();
    QVERIFY(link.OpenComm());
    QCOMPARE(threadCount(), threadsBefore + 1);

    pty->closeMaster();
    QElapsedTimer clock;
    clock.start();
    while (threadCount() > threadsBefore && clock.elapsed() < 2000) {
        QTest::qWait(10);
    }
    QCOMPARE(threadCount(), threadsBefore);

    const auto cpuBefore = processCpuTime();
    QTest::qWait(500);
    const auto cpuUsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(processCpuTime() - cpuBefore);
    QVERIFY2(cpuUsed < 150ms,
             qPrintable(QStringLiteral("%1 ms of CPU in 500 ms").arg(cpuUsed.count())));

    // The port stays open and reports the hang-up; every exchange fails at once instead of
    // waiting for its time-out (30 ticks, about 3 s).
    QVERIFY(link.isOpen());
    QVERIFY(link.hungUp());
    TRxCondition list;
    addReadCondition(list, 0x11, 2);
    for (int i = 0; i < 3; ++i) {
        link.AttachCond(&list);
        link.ClearFlags();
        clock.restart();
        QVERIFY(!link.SendCommData(bytes(readRequest), 8, 30));
        QCOMPARE(link.WaitForResult(), -2);
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        link.DetachCond();
    }
    link.CloseComm();
    QVERIFY(!link.isOpen());
    QVERIFY(!link.hungUp());
    QCOMPARE(link.RxResult, -1);
}

// A hang-up while a reply is awaited ends that wait at once.
void TestSerialPty::hangUpDuringWaitEndsIt() {
    auto pty = std::make_unique<Pty>(false);
    QVERIFY(pty->isValid());
    TVexaComms link;
    setUp(link, pty->slavePath());
    QVERIFY(link.OpenComm());
    QVERIFY(!link.hungUp());
    QTimer::singleShot(200, [&] { pty->closeMaster(); });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(exchange(link, readRequest, 50, nullptr), -2);
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(link.hungUp());
    QVERIFY(link.isOpen());
    // A fresh open of a live line clears the state.
    link.CloseComm();
    Pty other;
    QVERIFY(other.isValid());
    link.setCommPort(other.slavePath());
    QVERIFY(link.OpenComm());
    QVERIFY(!link.hungUp());
    std::thread peer = answer(other, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(link, readRequest, 10, nullptr), 1);
    peer.join();
}

// After a time-out the next request waits for the line to go quiet: the late reply to the
// first request is dropped, and the second request is answered by its own reply.
void TestSerialPty::lateReplyIsDiscardedBeforeNextRequest() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    const QByteArray lateReply = QByteArray::fromHex("110304aaaabbbb0000");
    std::thread peer([&] {
        (void)pty.read(readRequest.size(), 3000ms);
        std::this_thread::sleep_for(900ms); // the link gives up after about 600 ms
        pty.write(lateReply);
        const QByteArray second = pty.read(readRequest.size(), 5000ms);
        if (second == readRequest) {
            pty.write(readReply);
        }
    });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(exchange(link, readRequest, 5, nullptr), 0);
    QByteArray reply;
    QCOMPARE(exchange(link, readRequest, 30, &reply), 1);
    const qint64 total = clock.elapsed();
    peer.join();
    QCOMPARE(reply.toHex(), readReply.toHex());
    // Time-out, the late reply, then a quiet second before the next request.
    QVERIFY2(total >= 900 + TVexaComms::SettleQuietMs - 100, qPrintable(QString::number(total)));

    // A successful exchange costs no settling: the next request goes out at once.
    std::thread prompt = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    clock.restart();
    QCOMPARE(exchange(link, readRequest, 30, nullptr), 1);
    prompt.join();
    std::thread again = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(link, readRequest, 30, nullptr), 1);
    again.join();
    QVERIFY2(clock.elapsed() < TVexaComms::SettleQuietMs,
             qPrintable(QString::number(clock.elapsed())));
}

// A line that never goes quiet still lets the next request out after the settling limit, and
// a close during the settling wait ends it.
void TestSerialPty::settlingIsBounded() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    QCOMPARE(exchange(link, readRequest, 1, nullptr), 0);
    std::atomic<bool> chatter{true};
    std::thread noise([&] {
        while (chatter) {
            pty.write(QByteArray::fromHex("00"));
            std::this_thread::sleep_for(50ms);
        }
    });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(exchange(link, readRequest, 1, nullptr), 0);
    const qint64 ms = clock.elapsed();
    QVERIFY2(ms >= TVexaComms::SettleLimitMs - 100 && ms < TVexaComms::SettleLimitMs + 2000,
             qPrintable(QString::number(ms)));
    // Settling again (the last wait timed out): a close ends it within its first moments.
    QTimer::singleShot(100, &link, [&] { link.CloseComm(); });
    clock.restart();
    QVERIFY(exchange(link, readRequest, 1, nullptr) < 1);
    QVERIFY2(clock.elapsed() < 800, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!link.isOpen());
    chatter = false;
    noise.join();
}

void TestSerialPty::secondOpenThrowsAndKeepsPort() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    try {
        (void)link.OpenComm();
        QFAIL("no exception");
    } catch (const ECommsError& e) {
        QCOMPARE(QString::fromLatin1(e.what()), QStringLiteral("Already have a Comm File Open"));
    }
    QVERIFY(link.isOpen());
    std::thread peer = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(link, readRequest, 10, nullptr), 1);
    peer.join();
}

void TestSerialPty::sameDeviceTwiceFails() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms first;
    TVexaComms second;
    setUp(first, pty.slavePath());
    setUp(second, pty.slavePath());
    QVERIFY(first.OpenComm());
    QVERIFY(!second.OpenComm());
    QVERIFY(!second.isOpen());
    QVERIFY2(second.lastOpenError().contains(QStringLiteral("in use by another program")),
             qPrintable(second.lastOpenError()));
    QVERIFY(!second.SendCommData(bytes(readRequest), 8, 0));

    std::thread peer = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(first, readRequest, 10, nullptr), 1);
    peer.join();

    first.CloseComm();
    QVERIFY2(second.OpenComm(), qPrintable(second.lastOpenError()));
    QVERIFY(second.lastOpenError().isEmpty());
    peer = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(second, readRequest, 10, nullptr), 1);
    peer.join();
}

void TestSerialPty::anotherProcessHoldsDevice() {
    Pty pty;
    QVERIFY(pty.isValid());
    QProcess holder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(HoldPortVariable), pty.slavePath());
    holder.setProcessEnvironment(env);
    holder.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(holder.waitForStarted(5000));
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(!link.OpenComm());
    QVERIFY2(link.lastOpenError().contains(QStringLiteral("in use by another program")),
             qPrintable(link.lastOpenError()));

    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));
    QCOMPARE(holder.exitCode(), 0);
    QVERIFY2(link.OpenComm(), qPrintable(link.lastOpenError()));
}

void TestSerialPty::openCloseCycles() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    setUp(link, pty.slavePath());
    // One cycle first, so that lazily created process-wide things exist before counting.
    QVERIFY(link.OpenComm());
    link.CloseComm();
    const int fds = openFdCount();
    const int threads = threadCount();
    for (int i = 0; i < 500; ++i) {
        if (!link.OpenComm()) {
            QFAIL(
                qPrintable(QStringLiteral("open %1 failed: %2").arg(i).arg(link.lastOpenError())));
        }
        link.CloseComm();
    }
    // A leak grows with the cycles; a helper thread of an earlier test may end meanwhile.
    QVERIFY2(openFdCount() <= fds,
             qPrintable(QStringLiteral("%1 fds, %2 before").arg(openFdCount()).arg(fds)));
    QVERIFY2(threadCount() <= threads,
             qPrintable(QStringLiteral("%1 threads, %2 before").arg(threadCount()).arg(threads)));
    QVERIFY(link.OpenComm());
    std::thread peer = answer(pty, readRequest, {readReply}, 0ms, nullptr);
    QCOMPARE(exchange(link, readRequest, 10, nullptr), 1);
    peer.join();
}

void TestSerialPty::openFailures() {
    TVexaComms link;
    setUp(link, QStringLiteral("/dev/corvane-no-such-port"));
    QVERIFY(!link.OpenComm());
    QVERIFY(!link.isOpen());
    QVERIFY2(link.lastOpenError().contains(QStringLiteral("No such device")),
             qPrintable(link.lastOpenError()));

    link.setCommPort(QStringLiteral("/dev/null"));
    QVERIFY(!link.OpenComm());
    QVERIFY2(link.lastOpenError().contains(QStringLiteral("not a serial port")),
             qPrintable(link.lastOpenError()));

    link.setCommPort(QString());
    QVERIFY(!link.OpenComm());
    QVERIFY(!link.lastOpenError().isEmpty());

    QTemporaryFile file;
    QVERIFY(file.open());
    link.setCommPort(file.fileName());
    try {
        (void)link.OpenComm();
        QFAIL("no exception");
    } catch (const ECommsError& e) {
        QCOMPARE(QString::fromLatin1(e.what()),
                 QStringLiteral("File Handle is not a Comm Handle."));
    }
    QVERIFY(!link.isOpen());
}

void TestSerialPty::checkPort() {
    Pty pty;
    QVERIFY(pty.isValid());
    TVexaComms link;
    QVERIFY(link.CheckPort(pty.slavePath()));
    QVERIFY(!link.CheckPort(QStringLiteral("/dev/corvane-no-such-port")));
    QVERIFY(!link.isOpen());
    QTemporaryFile file;
    QVERIFY(file.open());
    QVERIFY_THROWS_EXCEPTION(ECommsError, (void)link.CheckPort(file.fileName()));
    // The probe leaves the device free, and is refused while the device is in use.
    setUp(link, pty.slavePath());
    QVERIFY(link.OpenComm());
    QVERIFY(!TVexaComms().CheckPort(pty.slavePath())); // in use
}

void TestSerialPty::permissionDeniedIsExplained() {
    if (geteuid() == 0) {
        QSKIP("root is never refused; the unprivileged run covers this");
    }
    Pty pty;
    QVERIFY(pty.isValid());
    QCOMPARE(fchmod(pty.slaveFd(), 0), 0);
    TVexaComms link;
    setUp(link, pty.slavePath());
    QVERIFY(!link.OpenComm());
    QVERIFY2(link.lastOpenError().contains(QStringLiteral("dialout")),
             qPrintable(link.lastOpenError()));
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet(HoldPortVariable)) {
        return holdPort(qEnvironmentVariable(HoldPortVariable));
    }
    QCoreApplication app(argc, argv);
    TestSerialPty tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_serial_pty.moc"

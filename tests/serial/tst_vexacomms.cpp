// The serial link component over the scriptable fake device: exchange state, the receive
// ring and GetReply, modem lines around writes, and the pure helpers. Deliveries and the
// event handlers are in tst_vexacomms_deliveries.

#include "FakeLink.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace corvane;
using namespace corvane::test;
using Kind = FakeEvent::Kind;

namespace {

QString describe(const std::vector<FakeEvent>& events) {
    QStringList out;
    for (const FakeEvent& e : events) {
        switch (e.kind) {
        case Kind::Open:
            out << QStringLiteral("open");
            break;
        case Kind::Close:
            out << QStringLiteral("close");
            break;
        case Kind::Configure:
            out << QStringLiteral("configure");
            break;
        case Kind::Dtr:
            out << (e.on ? QStringLiteral("DTR+") : QStringLiteral("DTR-"));
            break;
        case Kind::Rts:
            out << (e.on ? QStringLiteral("RTS+") : QStringLiteral("RTS-"));
            break;
        case Kind::Write:
            out << QStringLiteral("write ") + QString::fromLatin1(e.bytes.toHex());
            break;
        case Kind::Purge:
            out << QStringLiteral("purge");
            break;
        case Kind::PurgeInput:
            out << QStringLiteral("purge-in");
            break;
        }
    }
    return out.join(QStringLiteral(", "));
}

} // namespace

class TestVexaComms : public QObject {
    Q_OBJECT
private slots:
    void windowsPortNames_data();
    void windowsPortNames();
    void readInterval_data();
    void readInterval();
    void subMillisecondInterval();
    void bccCheck_data();
    void bccCheck();
    void findChar_data();
    void findChar();
    void byteMove();

    void openConfiguresAndRaisesDtr();
    void openFailures();
    void modemLinesAroundWrites();
    void sendStates();
    void shortWriteStaysArmed();
    void noTimeLimitNeverExpires();
    void waitWithoutDispatching();

    void getReply_data();
    void getReply();
    void getReplyWithoutListOrCondition();
    void fullRingKeepsOldestBytes();
    void emptyRingSize();
};

void TestVexaComms::windowsPortNames_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("name");
    QTest::newRow("1") << 1 << QStringLiteral("COM1");
    QTest::newRow("9") << 9 << QStringLiteral("COM9");
    QTest::newRow("10") << 10 << QStringLiteral("\\\\.\\COM10");
    QTest::newRow("33") << 33 << QStringLiteral("\\\\.\\COM33");
    QTest::newRow("256") << 256 << QStringLiteral("\\\\.\\COM256");
}

void TestVexaComms::windowsPortNames() {
    QFETCH(int, n);
    QFETCH(QString, name);
    QCOMPARE(windowsPortName(n), name);
}

void TestVexaComms::readInterval_data() {
    QTest::addColumn<quint32>("ict");
    QTest::addColumn<quint32>("baud");
    QTest::addColumn<quint32>("ms");
    QTest::newRow("9600") << 0u << 9600u << 4u;
    QTest::newRow("4800") << 0u << 4800u << 7u;
    QTest::newRow("1200") << 0u << 1200u << 25u;
    QTest::newRow("150") << 0u << 150u << 193u;
    QTest::newRow("19200") << 0u << 19200u << 2u;
    QTest::newRow("38400") << 0u << 38400u << 1u;
    QTest::newRow("115200") << 0u << 115200u << 1u;
    QTest::newRow("921600") << 0u << 921600u << 1u;
    QTest::newRow("ict 10 at 9600") << 10u << 9600u << 10u;
    QTest::newRow("ict 10 at 115200") << 10u << 115200u << 10u;
    QTest::newRow("ict 10 at 1200") << 10u << 1200u << 10u;
    QTest::newRow("baud 0") << 0u << 0u << 1u;
    QTest::newRow("baud 1") << 0u << 1u << 28801u;
}

void TestVexaComms::readInterval() {
    QFETCH(quint32, ict);
    QFETCH(quint32, baud);
    QFETCH(quint32, ms);
    QCOMPARE(readIntervalMs(ict, baud), ms);
    // What the receive thread is given: the same interval, set in ms or in microseconds.
    TVexaComms link;
    link.setInterCharTimeOut(ict);
    QCOMPARE(link.InterCharTimeOut(), ict);
    QCOMPARE(qint64(::readInterval(link.InterCharTimeOutUs(), baud).count()), qint64(ms) * 1000);
}

void TestVexaComms::subMillisecondInterval() {
    TVexaComms link;
    link.setInterCharTimeOutUs(500);
    QCOMPARE(qint64(::readInterval(link.InterCharTimeOutUs(), 115200).count()), qint64(500));
    QCOMPARE(qint64(::readInterval(link.InterCharTimeOutUs(), 1200).count()), qint64(500));
    QCOMPARE(link.InterCharTimeOut(), 1u); // rounded up: 0 would mean "from the line speed"
    link.setInterCharTimeOut(4294967295u); // no wrap-around to a short interval
    QVERIFY(link.InterCharTimeOutUs() >= 4294967000u);
}

void TestVexaComms::bccCheck_data() {
    QTest::addColumn<QByteArray>("buf");
    QTest::addColumn<int>("st");
    QTest::addColumn<int>("en");
    QTest::addColumn<int>("result");
    QTest::newRow("01 02 | 03") << QByteArray::fromHex("010203") << 0 << 1 << 1;
    QTest::newRow("01 02 | 04") << QByteArray::fromHex("010204") << 0 << 1 << 0;
    QTest::newRow("from the middle") << QByteArray::fromHex("ff0f0ff0f0") << 1 << 3 << 1;
    QTest::newRow("one byte") << QByteArray::fromHex("00aaaa") << 1 << 1 << 1;
    QTest::newRow("en < st: xor 0") << QByteArray::fromHex("0500") << 1 << 0 << 1;
    QTest::newRow("en < st: not 0") << QByteArray::fromHex("0501") << 1 << 0 << 0;
}

void TestVexaComms::bccCheck() {
    QFETCH(QByteArray, buf);
    QFETCH(int, st);
    QFETCH(int, en);
    QFETCH(int, result);
    QCOMPARE(BCC_Check(bytes(buf), static_cast<std::uint16_t>(st), static_cast<std::uint16_t>(en)),
             result);
}

void TestVexaComms::findChar_data() {
    QTest::addColumn<QByteArray>("buf"); // holds n + 1 bytes
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("result");
    QTest::newRow("wildcard") << QByteArray("xxABCx") << int('A') << int('*') << 5 << 4;
    QTest::newRow("pair") << QByteArray("ABACx") << int('A') << int('C') << 4 << 4;
    QTest::newRow("first byte") << QByteArray("ABx") << int('A') << int('B') << 2 << 2;
    QTest::newRow("pair ends at buf[n]") << QByteArray("xxAB") << int('A') << int('B') << 3 << 4;
    QTest::newRow("first at n is not scanned")
        << QByteArray("xxxA") << int('A') << int('*') << 3 << 0;
    QTest::newRow("none") << QByteArray("ABCDE") << int('Z') << int('*') << 4 << 0;
    QTest::newRow("n 0") << QByteArray("A") << int('A') << int('*') << 0 << 0;
}

void TestVexaComms::findChar() {
    QFETCH(QByteArray, buf);
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(int, n);
    QFETCH(int, result);
    QCOMPARE(Find_Char(bytes(buf), static_cast<std::uint8_t>(first),
                       static_cast<std::uint8_t>(second), static_cast<std::uint16_t>(n)),
             result);
}

void TestVexaComms::byteMove() {
    const std::uint8_t src[4] = {1, 2, 3, 4};
    std::uint8_t dest[6] = {9, 9, 9, 9, 9, 9};
    Byte_Move(src, dest, 3, true);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(dest), 6), QByteArray::fromHex("010203000909"));
    std::fill(std::begin(dest), std::end(dest), 9);
    Byte_Move(src, dest, 3, false);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(dest), 6), QByteArray::fromHex("010203090909"));
    std::fill(std::begin(dest), std::end(dest), 9);
    Byte_Move(src, dest, 0, true);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(dest), 6), QByteArray::fromHex("000909090909"));
    std::fill(std::begin(dest), std::end(dest), 9);
    Byte_Move(src, dest, -5, true);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(dest), 6), QByteArray::fromHex("000909090909"));
    std::fill(std::begin(dest), std::end(dest), 9);
    Byte_Move(src, dest, -1, false);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(dest), 6), QByteArray::fromHex("090909090909"));
}

void TestVexaComms::openConfiguresAndRaisesDtr() {
    Link link;
    QCOMPARE(link.comms.RxResult, 0);
    link.comms.setBaudRate(19200);
    link.comms.setDataBits(7);
    link.comms.setParity(TParity::Mark);
    link.comms.setStopBits(TStopBits::sb1_5);
    link.comms.UpdateDCB(); // closed: nothing happens
    QCOMPARE(link.script->openCount(), 0);
    QVERIFY(link.comms.OpenComm());
    QCOMPARE(link.script->lastPath(), QStringLiteral("/dev/fake0"));
    QCOMPARE(describe(link.script->events()), QStringLiteral("open, purge, configure, DTR+, RTS-"));
    const LineSettings line = link.script->events()[2].line;
    QCOMPARE(line.baudRate, 19200u);
    QCOMPARE(line.dataBits, 7);
    QCOMPARE(line.parity, Parity::Mark);
    QCOMPARE(line.stopBits, StopBits::OneAndHalf);
    QCOMPARE(link.comms.RxResult, -1);

    link.script->clearEvents();
    link.comms.setBaudRate(115200);
    link.comms.UpdateDCB();
    QCOMPARE(describe(link.script->events()), QStringLiteral("configure"));
    QCOMPARE(link.script->events()[0].line.baudRate, 115200u);

    link.script->clearEvents();
    link.comms.CloseComm();
    // The receive thread purges its side as it ends; the device is closed last.
    const QString closing = describe(link.script->events());
    QVERIFY2(closing.startsWith(QStringLiteral("purge")) &&
                 closing.endsWith(QStringLiteral("close")),
             qPrintable(closing));
    QVERIFY(!link.script->deviceOpen());
}

void TestVexaComms::openFailures() {
    Link link;
    link.script->setOpenResult({OpenError::Busy, QStringLiteral("it is busy")});
    QVERIFY(!link.comms.OpenComm());
    QVERIFY(!link.comms.isOpen());
    QCOMPARE(link.comms.lastOpenError(), QStringLiteral("it is busy"));
    QVERIFY(!link.comms.SendCommData(bytes("ab"), 2, 0));

    link.script->setOpenResult({OpenError::NotCharDevice, QStringLiteral("not a device")});
    QVERIFY_THROWS_EXCEPTION(ECommsError, link.comms.OpenComm());
    try {
        (void)link.comms.OpenComm();
    } catch (const ECommsError& e) {
        QCOMPARE(QString::fromLatin1(e.what()),
                 QStringLiteral("File Handle is not a Comm Handle."));
    }
    QVERIFY(!link.comms.isOpen());

    link.script->setOpenResult({});
    QVERIFY(link.comms.OpenComm());
    QVERIFY(link.comms.lastOpenError().isEmpty());

    TVexaComms noDevice(nullptr, [] { return std::unique_ptr<SerialDevice>(); });
    noDevice.setCommPort(QStringLiteral("/dev/fake1"));
    QVERIFY(!noDevice.OpenComm());
    QVERIFY(!noDevice.lastOpenError().isEmpty());
}

void TestVexaComms::modemLinesAroundWrites() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    link.script->clearEvents();
    const QByteArray frame = QByteArray::fromHex("1106000100022a9b");
    QVERIFY(link.comms.SendCommData(bytes(frame), 8, 5));
    QCOMPARE(describe(link.script->events()),
             QStringLiteral("DTR-, RTS+, write 1106000100022a9b, RTS-, DTR+"));

    // PutChar toggles RTS only.
    link.script->clearEvents();
    QVERIFY(link.comms.PutChar(0x55));
    QCOMPARE(describe(link.script->events()), QStringLiteral("RTS+, write 55, RTS-"));

    // Length 0 arms the wait and touches nothing.
    link.script->clearEvents();
    QVERIFY(link.comms.SendCommData(bytes(frame), 0, 0));
    QCOMPARE(describe(link.script->events()), QString());
    QCOMPARE(link.comms.RxResult, -1);
}

void TestVexaComms::sendStates() {
    Link link;
    const QByteArray frame("abc");
    QVERIFY(!link.comms.SendCommData(bytes(frame), 3, 0));
    QVERIFY(!link.comms.PutChar(1));
    QCOMPARE(link.comms.WaitForResult(), 0); // closed: at once
    link.comms.CloseComm();
    QCOMPARE(link.comms.RxResult, -2);
    QVERIFY(!link.comms.SendCommData(bytes(frame), 3, 0));
    QCOMPARE(link.comms.WaitForResult(), -2);
    QCOMPARE(link.script->written(), QByteArray());

    QVERIFY(link.comms.OpenComm());
    QCOMPARE(link.comms.RxResult, -1);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(link.comms.SendCommData(bytes(frame), 0, 0));
    QCOMPARE(link.comms.WaitForResult(), 0);
    const auto elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 60 && elapsed < 400, qPrintable(QString::number(elapsed)));
    QCOMPARE(link.script->written(), QByteArray());

    QVERIFY(link.comms.SendCommData(bytes(frame), 3, 0));
    QCOMPARE(link.script->written(), frame);
    link.comms.CloseComm();
    QCOMPARE(link.comms.RxResult, -1);
    QVERIFY(!link.comms.SendCommData(bytes(frame), 3, 0));
}

void TestVexaComms::shortWriteStaysArmed() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    link.script->setWriteLimit(2);
    const QByteArray frame("abcde");
    QVERIFY(!link.comms.SendCommData(bytes(frame), 5, 0));
    QCOMPARE(link.comms.RxResult, -1);
    // DTR comes back whatever the outcome.
    QVERIFY(describe(link.script->events()).endsWith(QStringLiteral("RTS-, DTR+")));
    QCOMPARE(link.comms.WaitForResult(), 0);
    QVERIFY(link.comms.PutChar(1)); // one byte fits the limit
    link.script->setWriteLimit(0);
    QVERIFY(!link.comms.PutChar(1));
}

void TestVexaComms::noTimeLimitNeverExpires() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    int timeOuts = 0;
    link.comms.OnTimeOut = [&] { ++timeOuts; };
    QVERIFY(link.comms.SendCommData(nullptr, 0, 65535));
    QTimer::singleShot(450, &link.comms, [&] { link.comms.CloseComm(); });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(link.comms.WaitForResult() < 1);
    QVERIFY(clock.elapsed() >= 400);
    QCOMPARE(timeOuts, 0);
}

void TestVexaComms::waitWithoutDispatching() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    QVERIFY(link.comms.SendCommData(nullptr, 0, 2));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.comms.WaitForResult_T(), 0);
    QVERIFY(clock.elapsed() >= 180);
    // A result that already exists is returned at once.
    TRxCondition list;
    addFrameCondition(list);
    link.comms.AttachCond(&list);
    link.comms.ClearFlags();
    QVERIFY(link.comms.SendCommData(nullptr, 0, 50));
    link.inject(QByteArray::fromHex("1002aa1003"));
    clock.restart();
    QCOMPARE(link.comms.WaitForResult_T(), 1);
    QVERIFY(clock.elapsed() < 100);
    link.comms.DetachCond();
}

void TestVexaComms::getReply_data() {
    QTest::addColumn<int>("ringSize");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("condnum");
    QTest::addColumn<int>("bufsize");
    QTest::addColumn<int>("pre");
    QTest::addColumn<int>("mid");
    QTest::addColumn<int>("post");
    QTest::addColumn<QByteArray>("expected");

    // Phases: pre aa 10 | mid 02 b1 b2 10 | post 03 cc
    const QByteArray in = QByteArray::fromHex("aa1002b1b21003cc");
    auto row = [&](const char* name, int cond, int bufsize, int pre, int mid, int post,
                   const char* hex) {
        QTest::newRow(name) << 256 << in << cond << bufsize << pre << mid << post
                            << QByteArray::fromHex(hex);
    };
    row("bootloader use: pre 1", 1, 200, 1, -1, -1, "1002b1b21003cc");
    row("register use: pre 0", 1, 256, 0, -1, -1, "02b1b21003cc");
    row("everything", 1, 256, -1, -1, -1, "aa1002b1b21003cc");
    row("pre larger than the pre phase", 1, 256, 9, -1, -1, "aa1002b1b21003cc");
    row("mid 2 then post from the first post byte", 1, 256, 0, 2, 1, "02b103");
    row("mid past the mid phase", 1, 256, 0, 6, 0, "02b1b21003cc");
    row("mid 0: post from the first post byte", 1, 256, 0, 0, -1, "03cc");
    row("post 1", 1, 256, 0, -1, 1, "02b1b21003");
    row("post past the received bytes", 1, 256, 0, -1, 40, "02b1b21003cc");
    // A mid count past the mid phase runs into the post bytes, and the post part starts again
    // at the first post byte.
    row("huge counts", 1, 256, 30000, 30000, 30000, "aa1002b1b21003cc03cc");
    row("bufsize smaller than the reply", 1, 3, -1, -1, -1, "aa1002");
    row("bufsize 0", 1, 0, -1, -1, -1, "");
    row("condition 0", 0, 256, -1, -1, -1, "");
    row("condition 2 of 1", 2, 256, -1, -1, -1, "");
    // Ring of 8: the first 7 bytes stay readable, later ones only overwrite the last slot.
    QTest::newRow("full ring") << 8 << QByteArray::fromHex("1002a1a2a3a4a5a61003") << 1 << 200 << -1
                               << -1 << -1 << QByteArray::fromHex("1002a1a2a3a4a5");
    QTest::newRow("full ring, post only") << 8 << QByteArray::fromHex("1002a1a2a3a4a5a61003") << 1
                                          << 200 << 0 << 0 << -1 << QByteArray();
}

void TestVexaComms::getReply() {
    QFETCH(int, ringSize);
    QFETCH(QByteArray, input);
    QFETCH(int, condnum);
    QFETCH(int, bufsize);
    QFETCH(int, pre);
    QFETCH(int, mid);
    QFETCH(int, post);
    QFETCH(QByteArray, expected);

    Link link(static_cast<std::uint16_t>(ringSize));
    QVERIFY(link.comms.OpenComm());
    TRxCondition list;
    addFrameCondition(list);
    link.comms.AttachCond(&list);
    link.comms.ClearFlags();
    QVERIFY(link.comms.SendCommData(nullptr, 0, 10));
    // In two deliveries: the split must not matter.
    link.inject(input.left(3));
    link.inject(input.mid(3));
    QCOMPARE(link.comms.RxResult, 1);

    constexpr std::size_t guard = 32;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(bufsize) + 1 + guard, 0xEE);
    const std::uint16_t n =
        link.comms.GetReply(static_cast<std::uint16_t>(condnum), buf.data(),
                            static_cast<std::uint16_t>(bufsize), pre, mid, post);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buf.data()), n), expected);
    QCOMPARE(buf[n], 0);
    for (std::size_t i = static_cast<std::size_t>(bufsize) + 1; i < buf.size(); ++i) {
        QCOMPARE(buf[i], 0xEE);
    }
    link.comms.DetachCond();
}

void TestVexaComms::getReplyWithoutListOrCondition() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    link.inject("abc");
    std::uint8_t buf[4] = {7, 7, 7, 7};
    QCOMPARE(link.comms.GetReply(1, buf, 3, -1, -1, -1), 0);
    QCOMPARE(buf[0], 0);
    QCOMPARE(buf[1], 7);
    QCOMPARE(link.comms.GetCondition(), -1);
    QVERIFY(!link.comms.CheckReply(1));
    link.comms.CheckCondFlags(0x10);
    QCOMPARE(link.comms.StartEnd_Cond, -1);
    link.comms.UpdateRxCharCounts(); // no list: nothing to do, nothing to crash
    QCOMPARE(link.comms.GetReply(1, nullptr, 3, -1, -1, -1), 0);

    // Closed: the ring is gone; nothing is read.
    TRxCondition list;
    addFrameCondition(list);
    link.comms.CloseComm();
    link.comms.AttachCond(&list);
    link.inject(QByteArray::fromHex("1002aa1003"));
    QCOMPARE(link.comms.GetReply(1, buf, 3, -1, -1, -1), 0);
    QCOMPARE(buf[0], 0);
    link.comms.DetachCond();
}

void TestVexaComms::fullRingKeepsOldestBytes() {
    Link link(8);
    QVERIFY(link.comms.OpenComm());
    link.inject(QByteArray::fromHex("0102030405060708090a0b0c"));
    QByteArray got;
    std::uint8_t ch = 0;
    while (link.comms.GetNextChar(&ch)) {
        got.append(static_cast<char>(ch));
    }
    QCOMPARE(got, QByteArray::fromHex("01020304050607"));
    // Reading frees room; the ring wraps around.
    link.inject(QByteArray::fromHex("2122232425"));
    got.clear();
    while (link.comms.GetNextChar(&ch)) {
        got.append(static_cast<char>(ch));
    }
    QCOMPARE(got, QByteArray::fromHex("2122232425"));
    QVERIFY(!link.comms.GetNextChar(nullptr));
    link.comms.ClearRxBuffer();
    QVERIFY(!link.comms.GetNextChar(&ch));
}

void TestVexaComms::emptyRingSize() {
    Link link(0);
    QVERIFY(link.comms.OpenComm());
    TRxCondition list;
    addFrameCondition(list);
    link.comms.AttachCond(&list);
    link.comms.ClearFlags();
    QVERIFY(link.comms.SendCommData(nullptr, 0, 10));
    link.inject(QByteArray::fromHex("1002aa1003"));
    QCOMPARE(link.comms.RxResult, 1); // matching does not depend on the ring
    std::uint8_t buf[9] = {};
    QCOMPARE(link.comms.GetReply(1, buf, 8, -1, -1, -1), 0);
    std::uint8_t ch = 0;
    QVERIFY(!link.comms.GetNextChar(&ch));
    link.comms.DetachCond();
}

QTEST_GUILESS_MAIN(TestVexaComms)
#include "tst_vexacomms.moc"

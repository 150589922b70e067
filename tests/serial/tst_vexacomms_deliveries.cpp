// The serial link component over the scriptable fake device: deliveries from the receive
// thread, and event handlers that close, reopen or destroy the link or start an exchange of
// their own while one waits.

#include "FakeLink.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <thread>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

class TestVexaCommsDeliveries : public QObject {
    Q_OBJECT
private slots:
    void deliveriesReachConditions();
    void staleDeliveriesDiscarded();
    void closeFromReceiveHandler();
    void reopenFromHandlerEndsWait();
    void destroyedFromEventHandler_data();
    void destroyedFromEventHandler();
    void receiveMsgEventTakesReply();
    void nestedExchangeEndsOuterWait();
    void conditionCheckEndsWait();
    void receiveThreadEndsWhenDeviceGone();
};

void TestVexaCommsDeliveries::deliveriesReachConditions() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    QList<QByteArray> seen;
    link.comms.OnReceiveData = [&](const std::uint8_t* b, std::uint16_t n) {
        seen.append(QByteArray(reinterpret_cast<const char*>(b), n));
    };
    TRxCondition list;
    addFrameCondition(list);
    link.comms.AttachCond(&list);
    link.comms.ClearFlags();
    QVERIFY(link.comms.SendCommData(bytes("q"), 1, 10));
    link.script->feed(QByteArray::fromHex("ff10"));
    link.script->feed(QByteArray::fromHex("02c1c2"));
    link.script->feed(QByteArray::fromHex("1003ee"));
    QCOMPARE(link.comms.WaitForResult(), 1);
    // The wait may end after the chunk that completes; later ones are still stored.
    QTRY_COMPARE(seen.size(), 3);
    QCOMPARE(seen.join(), QByteArray::fromHex("ff1002c1c21003ee"));
    std::uint8_t buf[32] = {};
    const auto n = link.comms.GetReply(1, buf, 31, 1, -1, -1);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), n), QByteArray::fromHex("1002c1c21003ee"));
    link.comms.DetachCond();
}

void TestVexaCommsDeliveries::staleDeliveriesDiscarded() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    QList<QByteArray> seen;
    link.comms.OnReceiveData = [&](const std::uint8_t* b, std::uint16_t n) {
        seen.append(QByteArray(reinterpret_cast<const char*>(b), n));
    };
    QTRY_COMPARE(link.script->readCalls(), 1); // the thread waits in its first read
    const int readsBefore = link.script->readCalls();
    link.script->feed("old");
    // The thread takes the chunk and posts it; it is not dispatched before the reopen.
    QElapsedTimer clock;
    clock.start();
    while (link.script->readCalls() < readsBefore + 1 && clock.elapsed() < 2000) {
        std::this_thread::sleep_for(1ms);
    }
    QCOMPARE(link.script->readCalls(), readsBefore + 1);
    link.comms.CloseComm();
    QVERIFY(link.comms.OpenComm());
    link.script->feed("new");
    QTRY_COMPARE(seen.size(), 1);
    QCOMPARE(seen.first(), QByteArray("new"));
    QTest::qWait(50);
    QCOMPARE(seen.size(), 1);
}

void TestVexaCommsDeliveries::closeFromReceiveHandler() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    TRxCondition list;
    addFrameCondition(list);
    link.comms.AttachCond(&list);
    link.comms.ClearFlags();
    link.comms.OnReceiveData = [&](const std::uint8_t*, std::uint16_t) { link.comms.CloseComm(); };
    QVERIFY(link.comms.SendCommData(bytes("q"), 1, 30));
    link.script->feed(QByteArray::fromHex("1002aa1003"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(link.comms.WaitForResult() < 1);
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(!link.comms.isOpen());
}

void TestVexaCommsDeliveries::reopenFromHandlerEndsWait() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    // A handler closes the port and opens it again (as around a line-speed change) while an
    // exchange waits: the wait ends below 1 and the port stays open.
    QTimer::singleShot(50, &link.comms, [&] {
        link.comms.CloseComm();
        QVERIFY(link.comms.OpenComm());
    });
    // Ends a wait that would otherwise never end.
    QTimer::singleShot(2500, &link.comms, [&] { link.comms.CloseComm(); });
    QVERIFY(link.comms.SendCommData(bytes("q"), 1, 30));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(link.comms.WaitForResult() < 1);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(link.comms.isOpen());
    // The reopened port carries the next exchange.
    TRxCondition list;
    addFrameCondition(list);
    link.comms.AttachCond(&list);
    link.comms.ClearFlags();
    QVERIFY(link.comms.SendCommData(bytes("q"), 1, 30));
    link.script->feed(QByteArray::fromHex("1002aa1003"));
    QCOMPARE(link.comms.WaitForResult(), 1);
    link.comms.DetachCond();
}

void TestVexaCommsDeliveries::destroyedFromEventHandler_data() {
    QTest::addColumn<int>("handler"); // 0 OnTimeOut, 1 OnReceiveData, 2 OnReceiveMsg
    QTest::newRow("time-out") << 0;
    QTest::newRow("received data") << 1;
    QTest::newRow("completed reply") << 2;
}

void TestVexaCommsDeliveries::destroyedFromEventHandler() {
    QFETCH(int, handler);
    auto script = std::make_shared<FakeSerialScript>();
    auto comms = std::make_unique<TVexaComms>(
        nullptr, [script] { return std::make_unique<FakeSerialDevice>(script); });
    comms->setCommPort(QStringLiteral("/dev/fake0"));
    QVERIFY(comms->OpenComm());
    TRxCondition list;
    addFrameCondition(list);
    comms->AttachCond(&list);
    comms->ClearFlags();
    auto destroy = [&] { comms.reset(); };
    if (handler == 0) {
        comms->OnTimeOut = destroy;
    } else if (handler == 1) {
        comms->OnReceiveData = [&](const std::uint8_t*, std::uint16_t) { destroy(); };
    } else {
        comms->OnReceiveMsg = [&](int) { destroy(); };
    }
    TVexaComms* raw = comms.get();
    QVERIFY(raw->SendCommData(bytes("q"), 1, handler == 0 ? 1 : 30));
    if (handler != 0) {
        // More bytes follow the completing ones in the same delivery.
        script->feed(QByteArray::fromHex("1002aa1003101002bb1003"));
    }
    QElapsedTimer clock;
    clock.start();
    QVERIFY(raw->WaitForResult() < 1);
    QVERIFY(!comms);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!script->deviceOpen());
}

void TestVexaCommsDeliveries::receiveMsgEventTakesReply() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    TRxCondition list;
    addFrameCondition(list);
    link.comms.AttachCond(&list);
    link.comms.ClearFlags();
    QList<int> completed;
    link.comms.OnReceiveMsg = [&](int c) { completed.append(c); };
    int timeOuts = 0;
    link.comms.OnTimeOut = [&] { ++timeOuts; };

    // Two replies in one chunk: each is handed over, the ring and the conditions reset.
    QVERIFY(link.comms.SendCommData(bytes("q"), 1, 2));
    link.script->feed(QByteArray::fromHex("1002aa10031002bb1003dd"));
    QElapsedTimer clock;
    clock.start();
    // The replies go to the event; the wait ends by its time-out, not by hanging.
    QCOMPARE(link.comms.WaitForResult(), 0);
    QVERIFY(clock.elapsed() >= 200 && clock.elapsed() < 1000);
    QCOMPARE(completed, (QList<int>{1, 1}));
    QCOMPARE(timeOuts, 1);
    std::uint8_t ch = 0;
    QVERIFY(link.comms.GetNextChar(&ch));
    QCOMPARE(ch, 0xdd);
    QVERIFY(!link.comms.GetNextChar(&ch));
    link.comms.DetachCond();
}

void TestVexaCommsDeliveries::nestedExchangeEndsOuterWait() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    int inner = 99;
    QTimer::singleShot(50, &link.comms, [&] {
        // A handler starts its own exchange while the outer one waits.
        if (link.comms.SendCommData(nullptr, 0, 0)) {
            inner = link.comms.WaitForResult();
        }
    });
    QVERIFY(link.comms.SendCommData(nullptr, 0, 30));
    QElapsedTimer clock;
    clock.start();
    const int outer = link.comms.WaitForResult();
    QCOMPARE(inner, 0);
    QCOMPARE(outer, 0); // the newer exchange's result
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
}

void TestVexaCommsDeliveries::conditionCheckEndsWait() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    TRxCondition list;
    addFrameCondition(list);
    for (const char b : QByteArray::fromHex("1002aa1003")) {
        (void)list.CheckConditions(static_cast<std::uint8_t>(b));
    }
    QVERIFY(link.comms.SendCommData(nullptr, 0, 30));
    QTimer::singleShot(50, &link.comms, [&] {
        link.comms.AttachCond(&list);
        link.comms.ConditionCheck();
    });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.comms.WaitForResult(), 1);
    QVERIFY(clock.elapsed() < 1000);
    link.comms.DetachCond();
    // Closing or closed: the result is left alone.
    link.comms.CloseComm();
    link.comms.CloseComm();
    link.comms.AttachCond(&list);
    link.comms.ConditionCheck();
    QCOMPARE(link.comms.RxResult, -2);
    link.comms.DetachCond();
}

void TestVexaCommsDeliveries::receiveThreadEndsWhenDeviceGone() {
    Link link;
    QVERIFY(link.comms.OpenComm());
    QTRY_COMPARE(link.script->readCalls(), 1);
    link.script->hangUp();
    QTest::qWait(100);
    QCOMPARE(link.script->readCalls(), 1); // no further reads: the thread has ended
    // The port stays open and reports the hang-up: nothing is sent, waits end at once.
    QVERIFY(link.comms.isOpen());
    QVERIFY(link.comms.hungUp());
    QVERIFY(!link.comms.SendCommData(nullptr, 0, 30));
    QVERIFY(!link.comms.PutChar(0x55));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.comms.WaitForResult(), -2);
    QVERIFY(clock.elapsed() < 500);
    link.comms.CloseComm();
    QVERIFY(!link.comms.isOpen());
    QVERIFY(!link.comms.hungUp());
}

QTEST_GUILESS_MAIN(TestVexaCommsDeliveries)
#include "tst_vexacomms_deliveries.moc"

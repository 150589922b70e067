// Proof that the simulated unit speaks real Modbus: masters nobody here wrote (mbpoll and
// libmodbus) over the pseudo-terminal and over TCP, and the corvane-sim program itself.

#include "SimTestSupport.h"
#include "SimulatedUnit.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <modbus.h>
#include <poll.h>
#include <unistd.h>

using namespace corvane::sim;

namespace {

// "[8]: \t3200" lines of mbpoll's output.
QMap<int, int> mbpollValues(const QByteArray& out) {
    QMap<int, int> values;
    static const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+(-?\\d+)\\s*$"),
                                         QRegularExpression::MultilineOption);
    auto it = line.globalMatch(QString::fromLocal8Bit(out));
    while (it.hasNext()) {
        const auto m = it.next();
        values.insert(m.captured(1).toInt(), m.captured(2).toInt());
    }
    return values;
}

struct MbpollResult {
    int exitCode = -1;
    QByteArray output;
};

MbpollResult mbpoll(const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("mbpoll"), args);
    MbpollResult r;
    if (!p.waitForStarted(5000)) {
        return r;
    }
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished(2000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = p.readAll();
    return r;
}

} // namespace

class TestSimInterop : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void mbpollReadsAndWrites_data();
    void mbpollReadsAndWrites();
    void libmodbusMaster_data();
    void libmodbusMaster();
    void tcpFramingEdges();
    void programRunsAndReports();
    void programRejectsBadOptions();

private:
    Scenario base() const {
        Scenario s;
        s.buildData = m_dir.path();
        return s;
    }
    QTemporaryDir m_dir;
};

void TestSimInterop::initTestCase() {
    QVERIFY(m_dir.isValid());
    simtest::writeBuildData(m_dir.path());
    if (QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty()) {
        QFAIL("mbpoll is not installed (Debian package mbpoll)");
    }
}

void TestSimInterop::mbpollReadsAndWrites_data() {
    QTest::addColumn<bool>("tcp");
    QTest::newRow("RTU on the pty") << false;
    QTest::newRow("Modbus TCP") << true;
}

void TestSimInterop::mbpollReadsAndWrites() {
    QFETCH(bool, tcp);
    SimulatedUnit unit(base());
    QStringList common{QStringLiteral("-a"), QStringLiteral("23"), QStringLiteral("-0"),
                       QStringLiteral("-1"), QStringLiteral("-o"), QStringLiteral("2")};
    if (tcp) {
        const std::uint16_t port = unit.listenTcp();
        common << QStringLiteral("-m") << QStringLiteral("tcp") << QStringLiteral("-p")
               << QString::number(port);
    } else {
        common << QStringLiteral("-m") << QStringLiteral("rtu") << QStringLiteral("-b")
               << QStringLiteral("115200") << QStringLiteral("-P") << QStringLiteral("none");
    }
    const QString target = tcp ? QStringLiteral("127.0.0.1") : unit.openPty();
    auto run = [&](const QStringList& extra, const QStringList& values = {}) {
        return mbpoll(common + extra + QStringList{target} + values);
    };

    auto r =
        run({QStringLiteral("-r"), QStringLiteral("0"), QStringLiteral("-c"), QStringLiteral("2")});
    QCOMPARE(r.exitCode, 0);
    auto v = mbpollValues(r.output);
    QCOMPARE(v.value(0), 4001);
    QCOMPARE(v.value(1), 215);

    r = run({QStringLiteral("-r"), QStringLiteral("8"), QStringLiteral("-c"), QStringLiteral("4")});
    QCOMPARE(r.exitCode, 0);
    v = mbpollValues(r.output);
    QCOMPARE(v.value(8), 3200);
    QCOMPARE(v.value(9), 105);
    QCOMPARE(v.value(10), 3100);
    QCOMPARE(v.value(11), 100);

    // One value goes out as function 6, several as function 16.
    r = run({QStringLiteral("-r"), QStringLiteral("100")}, {QStringLiteral("4660")});
    QCOMPARE(r.exitCode, 0);
    r = run({QStringLiteral("-r"), QStringLiteral("101")},
            {QStringLiteral("7"), QStringLiteral("8"), QStringLiteral("32767")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(unit.exchanges(Exchange::ModbusWrite), 2);
    r = run(
        {QStringLiteral("-r"), QStringLiteral("100"), QStringLiteral("-c"), QStringLiteral("4")});
    QCOMPARE(r.exitCode, 0);
    v = mbpollValues(r.output);
    QCOMPARE(v.value(100), 4660);
    QCOMPARE(v.value(101), 7);
    QCOMPARE(v.value(102), 8);
    QCOMPARE(v.value(103), 32767);

    // A register outside the map is refused with an exception.
    r = run({QStringLiteral("-r"), QStringLiteral("60")});
    QVERIFY(r.exitCode != 0 || !mbpollValues(r.output).contains(60));
    QVERIFY2(r.output.contains("Illegal data address"), r.output.constData());
}

void TestSimInterop::libmodbusMaster_data() {
    QTest::addColumn<bool>("tcp");
    QTest::newRow("RTU on the pty") << false;
    QTest::newRow("Modbus TCP") << true;
}

void TestSimInterop::libmodbusMaster() {
    QFETCH(bool, tcp);
    SimulatedUnit unit(base());
    modbus_t* ctx = nullptr;
    if (tcp) {
        ctx = modbus_new_tcp("127.0.0.1", unit.listenTcp());
    } else {
        const QByteArray path = unit.openPty().toLocal8Bit();
        ctx = modbus_new_rtu(path.constData(), 115200, 'N', 8, 1);
    }
    QVERIFY(ctx);
    const auto cleanup = qScopeGuard([ctx] {
        modbus_close(ctx);
        modbus_free(ctx);
    });
    QCOMPARE(modbus_set_slave(ctx, 23), 0);
    modbus_set_response_timeout(ctx, 2, 0);
    QCOMPARE(modbus_connect(ctx), 0);

    std::uint16_t regs[8] = {};
    QCOMPARE(modbus_read_registers(ctx, 0, 2, regs), 2);
    QCOMPARE(regs[0], std::uint16_t{4001});
    QCOMPARE(regs[1], std::uint16_t{215});
    QCOMPARE(modbus_read_registers(ctx, 8, 4, regs), 4);
    QCOMPARE(regs[0], std::uint16_t{3200});
    QCOMPARE(regs[3], std::uint16_t{100});

    QCOMPARE(modbus_write_register(ctx, 150, 0xA5A5), 1);
    const std::uint16_t values[3] = {1, 0x8000, 0xFFFF};
    QCOMPARE(modbus_write_registers(ctx, 197, 3, values), 3);
    QCOMPARE(modbus_read_registers(ctx, 197, 3, regs), 3);
    QCOMPARE(regs[0], std::uint16_t{1});
    QCOMPARE(regs[1], std::uint16_t{0x8000});
    QCOMPARE(regs[2], std::uint16_t{0xFFFF});
    QCOMPARE(modbus_read_registers(ctx, 150, 1, regs), 1);
    QCOMPARE(regs[0], std::uint16_t{0xA5A5});

    // Exceptions as a standard master sees them.
    QCOMPARE(modbus_read_registers(ctx, 60, 1, regs), -1);
    QCOMPARE(errno, int(EMBXILADD));
    QCOMPARE(modbus_write_register(ctx, 0, 1), -1);
    QCOMPARE(errno, int(EMBXILADD));
    QCOMPARE(modbus_write_registers(ctx, 198, 3, values), -1);
    QCOMPARE(errno, int(EMBXILADD));
    std::uint8_t bits[4] = {};
    QCOMPARE(modbus_read_bits(ctx, 0, 1, bits), -1);
    QCOMPARE(errno, int(EMBXILFUN));
    // Still answering afterwards.
    QCOMPARE(modbus_read_registers(ctx, 0, 2, regs), 2);

    if (!tcp) {
        // The unit's own control function in the layout of function 6.
        const std::uint8_t upgrade[] = {23, 0x67, 0x00, 0x0C, 0x19, 0x66};
        QCOMPARE(modbus_send_raw_request(ctx, upgrade, sizeof upgrade), 8);
        // libmodbus cannot size the reply of a function it does not know: read it raw.
        QByteArray rsp;
        const int fd = modbus_get_socket(ctx);
        QElapsedTimer t;
        t.start();
        while (rsp.size() < 8 && t.elapsed() < 2000) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                char buf[64];
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) {
                    rsp.append(buf, n);
                }
            }
        }
        QCOMPARE(rsp, QByteArray::fromHex("1767000C19667D4D"));
        QVERIFY(unit.summary().upgradeModeSeen);
    }
}

void TestSimInterop::tcpFramingEdges() {
    SimulatedUnit unit(base());
    const std::uint16_t port = unit.listenTcp();
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(s.waitForConnected(3000));
    auto exchange = [&s](const QByteArray& req, int wantBytes, int ms = 1000) {
        s.write(req);
        s.waitForBytesWritten(1000);
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < wantBytes && t.elapsed() < ms) {
            if (s.bytesAvailable() == 0) {
                s.waitForReadyRead(static_cast<int>(std::max<qint64>(1, ms - t.elapsed())));
            }
            got += s.readAll();
        }
        return got;
    };
    // Transaction identifier echoed; the request in two pieces.
    s.write(QByteArray::fromHex("1234000000061703"));
    s.flush();
    QTest::qWait(20);
    QCOMPARE(exchange(QByteArray::fromHex("00000002"), 13),
             QByteArray::fromHex("1234000000071703040FA100D7"));
    // Functions 103 and 104 exist on the serial line only.
    QCOMPARE(exchange(QByteArray::fromHex("000100000006 1767000C1966"), 9),
             QByteArray::fromHex("000100000003 17E701"));
    // Another unit identifier is not answered.
    QCOMPARE(exchange(QByteArray::fromHex("000200000006 050300000002"), 9, 200), QByteArray());
    // A broken header ends the connection.
    s.write(QByteArray::fromHex("000300010006 170300000002"));
    QVERIFY(s.waitForDisconnected(2000) || s.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(unit.exchanges(Exchange::ModbusRead), 1);
    QCOMPARE(unit.exchanges(Exchange::Other), 1);
}

void TestSimInterop::programRunsAndReports() {
    const QString link = m_dir.filePath(QStringLiteral("unit-tty"));
    QProcess sim;
    sim.start(QStringLiteral(CORVANE_SIM_EXE),
              {QStringLiteral("--build-data"), m_dir.path(), QStringLiteral("--link"), link,
               QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--cpu1"),
               QStringLiteral("4002:2.44"), QStringLiteral("--fault"),
               QStringLiteral("drop:modbus-read,after=1"), QStringLiteral("--duration"),
               QStringLiteral("30")});
    QVERIFY(sim.waitForStarted(5000));
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains("unit:") && t.elapsed() < 10000) {
        sim.waitForReadyRead(500);
        out += sim.readAllStandardOutput();
    }
    QVERIFY2(out.contains("pty: /dev/pts/"), out.constData());
    QVERIFY(out.contains("link: "));
    const QRegularExpression tcpLine(QStringLiteral("tcp: 127\\.0\\.0\\.1:(\\d+)"));
    const auto tcpMatch = tcpLine.match(QString::fromLocal8Bit(out));
    QVERIFY(tcpMatch.hasMatch());
    QVERIFY(out.contains("CPU-1 RM4002 v2.44"));
    QVERIFY(out.contains("HMI none")); // product 4002 has no HMI in the product table

    const QStringList rtu{QStringLiteral("-m"),
                          QStringLiteral("rtu"),
                          QStringLiteral("-b"),
                          QStringLiteral("115200"),
                          QStringLiteral("-P"),
                          QStringLiteral("none"),
                          QStringLiteral("-a"),
                          QStringLiteral("23"),
                          QStringLiteral("-0"),
                          QStringLiteral("-1"),
                          QStringLiteral("-o"),
                          QStringLiteral("1"),
                          QStringLiteral("-r"),
                          QStringLiteral("0"),
                          QStringLiteral("-c"),
                          QStringLiteral("2"),
                          link};
    auto r = mbpoll(rtu);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(mbpollValues(r.output).value(0), 4002);
    QCOMPARE(mbpollValues(r.output).value(1), 244);
    r = mbpoll(rtu); // the planned fault drops this one
    QVERIFY(r.exitCode != 0 || mbpollValues(r.output).isEmpty());
    r = mbpoll({QStringLiteral("-m"), QStringLiteral("tcp"), QStringLiteral("-p"),
                tcpMatch.captured(1), QStringLiteral("-a"), QStringLiteral("23"),
                QStringLiteral("-0"), QStringLiteral("-1"), QStringLiteral("-r"),
                QStringLiteral("10"), QStringLiteral("-c"), QStringLiteral("2"),
                QStringLiteral("127.0.0.1")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(mbpollValues(r.output).value(10), 3100);

    sim.terminate(); // SIGTERM: stop and print the summary
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    out += sim.readAllStandardOutput();
    QVERIFY2(out.contains("CPU-1      running     4002"), out.constData());
    QVERIFY(out.contains("Exchanges: modbus-read 3"));
    QVERIFY(out.contains("Faults injected: 1"));
    QVERIFY(!QFileInfo::exists(link));
}

void TestSimInterop::programRejectsBadOptions() {
    QProcess sim;
    sim.start(QStringLiteral(CORVANE_SIM_EXE), {QStringLiteral("--fault"), QStringLiteral("melt")});
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardError().contains("unknown fault"));

    sim.start(QStringLiteral(CORVANE_SIM_EXE), {QStringLiteral("--help")});
    QVERIFY(sim.waitForFinished(5000));
    const QByteArray help = sim.readAllStandardOutput();
    for (const char* option : {"--link", "--tcp", "--duration", "--fault", "--timing", "--seed",
                               "--bootloader", "--cpu2-boot", "--hmi-silent"}) {
        QVERIFY2(help.contains(option), option);
    }
}

QTEST_GUILESS_MAIN(TestSimInterop)
#include "tst_siminterop.moc"

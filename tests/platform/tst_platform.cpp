// The POSIX serial device on real pseudo-terminals, its termios image, and the port filter.

#include "PortList.h"
#include "PosixSerialDevice.h"
#include "Pty.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace corvane;
using corvane::testsupport::Pty;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(std::vector<corvane::PortEntry>)
Q_DECLARE_METATYPE(corvane::OpenError)

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void filterPorts_data();
    void filterPorts();
    void devicePathOrder_data();
    void devicePathOrder();
    void termiosImage_data();
    void termiosImage();

    void openFailures_data();
    void openFailures();
    void exclusiveOpen();
    void heldByAnotherProcessLock();
    void heldByAnotherExclusiveOpen();
    void staleExclusiveMark();
    void chunksFollowLinePauses();
    void zeroIntervalEndsAChunkAtEachRead();
    void chunkSizeIsCapped();
    void stopEndsPendingRead();
    void hangUpEndsReading();
    void writeReachesPeer();
    void writeGivesUpWhenPeerStalls();
    void purgeDropsPendingInput();
    void configureOnPty();
};

void TestPlatform::filterPorts_data() {
    QTest::addColumn<std::vector<PortEntry>>("ports");
    QTest::addColumn<QStringList>("kept");
    const QString ftdi = QStringLiteral("FTDI");
    QTest::newRow("none") << std::vector<PortEntry>{} << QStringList{};
    QTest::newRow("mixed makers, sorted")
        << std::vector<PortEntry>{{QStringLiteral("/dev/ttyUSB3"), ftdi},
                                  {QStringLiteral("/dev/ttyACM0"), QStringLiteral("Arduino")},
                                  {QStringLiteral("/dev/ttyUSB1"), QStringLiteral("FTDI Ltd")},
                                  {QStringLiteral("/dev/ttyS0"), QString()}}
        << QStringList{QStringLiteral("/dev/ttyUSB1"), QStringLiteral("/dev/ttyUSB3")};
    QTest::newRow("case-sensitive")
        << std::vector<PortEntry>{{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("ftdi")},
                                  {QStringLiteral("/dev/ttyUSB1"), QStringLiteral("Ftdi")},
                                  {QStringLiteral("/dev/ttyUSB2"), QStringLiteral("xFTDIx")}}
        << QStringList{QStringLiteral("/dev/ttyUSB2")};
    QTest::newRow("numbers by value")
        << std::vector<PortEntry>{{QStringLiteral("/dev/ttyUSB10"), ftdi},
                                  {QStringLiteral("/dev/ttyUSB2"), ftdi},
                                  {QStringLiteral("/dev/ttyUSB1"), ftdi}}
        << QStringList{QStringLiteral("/dev/ttyUSB1"), QStringLiteral("/dev/ttyUSB2"),
                       QStringLiteral("/dev/ttyUSB10")};
}

void TestPlatform::filterPorts() {
    QFETCH(std::vector<PortEntry>, ports);
    QFETCH(QStringList, kept);
    QStringList got;
    for (const PortEntry& p : corvane::filterPorts(ports, QStringLiteral("FTDI"))) {
        got << p.devicePath;
    }
    QCOMPARE(got, kept);
}

void TestPlatform::devicePathOrder_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("less");
    QTest::newRow("2 < 10") << "/dev/ttyUSB2"
                            << "/dev/ttyUSB10" << true;
    QTest::newRow("10 > 2") << "/dev/ttyUSB10"
                            << "/dev/ttyUSB2" << false;
    QTest::newRow("equal") << "/dev/ttyUSB2"
                           << "/dev/ttyUSB2" << false;
    QTest::newRow("prefix first") << "/dev/ttyUSB"
                                  << "/dev/ttyUSB0" << true;
    QTest::newRow("ACM before USB") << "/dev/ttyACM9"
                                    << "/dev/ttyUSB0" << true;
    QTest::newRow("leading zero after same value") << "/dev/tty2"
                                                   << "/dev/tty02" << true;
    QTest::newRow("same value, then text") << "/dev/tty02a"
                                           << "/dev/tty2b" << false;
    QTest::newRow("by-id paths") << "/dev/serial/by-id/usb-A9"
                                 << "/dev/serial/by-id/usb-A10" << true;
}

void TestPlatform::devicePathOrder() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, less);
    QCOMPARE(devicePathLess(a, b), less);
}

void TestPlatform::termiosImage_data() {
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<quint32>("baud");
    QTest::addColumn<uint>("cflagBits"); // CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    QTest::addColumn<uint>("speed");
    QTest::newRow("8N1 115200") << 8 << 0 << 0 << 115200u << uint(CS8) << uint(B115200);
    QTest::newRow("7E1 9600") << 7 << 2 << 0 << 9600u << uint(CS7 | PARENB) << uint(B9600);
    QTest::newRow("8O2 19200") << 8 << 1 << 2 << 19200u << uint(CS8 | PARENB | PARODD | CSTOPB)
                               << uint(B19200);
    QTest::newRow("6M1") << 6 << 3 << 0 << 4800u << uint(CS6 | PARENB | PARODD | CMSPAR)
                         << uint(B4800);
    QTest::newRow("5S1.5") << 5 << 4 << 1 << 1200u << uint(CS5 | PARENB | CMSPAR | CSTOPB)
                           << uint(B1200);
    QTest::newRow("921600") << 8 << 0 << 0 << 921600u << uint(CS8) << uint(B921600);
    // Without a B-constant the speed is set separately; the image keeps the old one.
    QTest::newRow("12345 baud") << 8 << 0 << 0 << 12345u << uint(CS8) << uint(B38400);
}

void TestPlatform::termiosImage() {
    QFETCH(int, dataBits);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(quint32, baud);
    QFETCH(uint, cflagBits);
    QFETCH(uint, speed);

    termios tio{};
    // Start from a cooked line with everything switched on that must go.
    tio.c_iflag =
        IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | INPCK | IGNPAR;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    tio.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    LineSettings s;
    s.baudRate = baud;
    s.dataBits = static_cast<std::uint8_t>(dataBits);
    s.parity = static_cast<Parity>(parity);
    s.stopBits = static_cast<StopBits>(stopBits);
    QVERIFY(applyLineSettings(tio, s));
    QCOMPARE(uint(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)), cflagBits);
    QCOMPARE(tio.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(tio.c_iflag, tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(tio.c_lflag, tcflag_t(0));
    QCOMPARE(uint(cfgetospeed(&tio)), speed);
    QCOMPARE(uint(cfgetispeed(&tio)), speed);
}

void TestPlatform::openFailures_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<OpenError>("error");
    QTest::addColumn<QString>("words");
    QTest::newRow("missing") << "/dev/corvane-no-such-port" << OpenError::NoSuchDevice
                             << "No such device";
    QTest::newRow("not a tty") << "/dev/null" << OpenError::NotSerialPort << "not a serial port";
    QTest::newRow("directory") << "/tmp" << OpenError::Other << "Cannot open /tmp";
}

void TestPlatform::openFailures() {
    QFETCH(QString, path);
    QFETCH(OpenError, error);
    QFETCH(QString, words);
    PosixSerialDevice device;
    const OpenResult r = device.open(path);
    QCOMPARE(r.error, error);
    QVERIFY2(r.message.contains(words), qPrintable(r.message));
    QVERIFY(!device.isOpen());

    QTemporaryFile file;
    QVERIFY(file.open());
    QCOMPARE(device.open(file.fileName()).error, OpenError::NotCharDevice);
    QVERIFY(!device.isOpen());
}

void TestPlatform::exclusiveOpen() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice first;
    PosixSerialDevice second;
    QVERIFY(first.open(pty.slavePath()).ok());
    const OpenResult r = second.open(pty.slavePath());
    QCOMPARE(r.error, OpenError::Busy);
    QVERIFY2(r.message.contains(QStringLiteral("another program")), qPrintable(r.message));
    // The refused open must not have lifted the holder's exclusive flag.
    int exclusive = 0;
    QCOMPARE(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
    QVERIFY(exclusive != 0);

    first.close();
    QCOMPARE(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 0);
    QVERIFY(second.open(pty.slavePath()).ok());
    second.close();
    QVERIFY(first.open(pty.slavePath()).ok());
}

void TestPlatform::heldByAnotherProcessLock() {
    Pty pty;
    QVERIFY(pty.isValid());
    // flock(1) holds only the advisory lock, no exclusive flag.
    QProcess holder;
    holder.start(QStringLiteral("flock"),
                 {pty.slavePath(), QStringLiteral("-c"), QStringLiteral("echo locked; cat")});
    QVERIFY(holder.waitForStarted(5000));
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));
    PosixSerialDevice device;
    QCOMPARE(device.open(pty.slavePath()).error, OpenError::Busy);
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));
    QVERIFY(device.open(pty.slavePath()).ok());
}

void TestPlatform::heldByAnotherExclusiveOpen() {
    Pty pty;
    QVERIFY(pty.isValid());
    // Another program opened the line with TIOCEXCL but takes no lock. Root gets past the
    // flag, yet must still leave the line alone.
    QCOMPARE(ioctl(pty.slaveFd(), TIOCEXCL), 0);
    PosixSerialDevice device;
    QCOMPARE(device.open(pty.slavePath()).error, OpenError::Busy);
    int exclusive = 0;
    QCOMPARE(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
    QVERIFY(exclusive != 0);
    QCOMPARE(ioctl(pty.slaveFd(), TIOCNXCL), 0);
    QVERIFY(device.open(pty.slavePath()).ok());
}

void TestPlatform::staleExclusiveMark() {
    // A program killed while it held the line: its descriptor and lock are gone, but a pty
    // keeps the exclusive mark while its master lives.
    Pty pty(false);
    QVERIFY(pty.isValid());
    {
        const int fd =
            ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QCOMPARE(ioctl(fd, TIOCEXCL), 0);
        ::close(fd);
    }
    PosixSerialDevice device;
    const OpenResult r = device.open(pty.slavePath());
    if (::geteuid() != 0) {
        // An ordinary user cannot lift the mark, and is told what happened.
        QCOMPARE(r.error, OpenError::StaleExclusive);
        QVERIFY2(r.message.contains(QStringLiteral("no program has it open")),
                 qPrintable(r.message));
        return;
    }
    QVERIFY2(r.ok(), qPrintable(r.message));
    // The line is ours now, exclusively, and free again after the close.
    int exclusive = 0;
    QCOMPARE(ioctl(device.fd(), TIOCGEXCL, &exclusive), 0);
    QVERIFY(exclusive != 0);
    PosixSerialDevice second;
    QCOMPARE(second.open(pty.slavePath()).error, OpenError::Busy);
    device.close();
    QVERIFY(second.open(pty.slavePath()).ok());
}

void TestPlatform::chunksFollowLinePauses() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(device.configure({}));
    std::thread peer([&] {
        std::this_thread::sleep_for(30ms);
        pty.write("abc");
        std::this_thread::sleep_for(100ms);
        pty.write("def");
    });
    QByteArray chunk;
    QCOMPARE(device.readChunk(chunk, 10ms), ReadStatus::Data);
    QCOMPARE(chunk, QByteArray("abc"));
    QCOMPARE(device.readChunk(chunk, 10ms), ReadStatus::Data);
    QCOMPARE(chunk, QByteArray("def"));
    peer.join();
}

void TestPlatform::zeroIntervalEndsAChunkAtEachRead() {
    Pty pty;
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(device.configure({}));
    QCOMPARE(device.pendingInput(), std::size_t(0));
    // Bytes the driver holds and no read took yet.
    pty.write("abc");
    QTRY_COMPARE(device.pendingInput(), std::size_t(3));
    QByteArray chunk;
    QCOMPARE(device.readChunk(chunk, 0us), ReadStatus::Data);
    QCOMPARE(chunk, QByteArray("abc"));
    QCOMPARE(device.pendingInput(), std::size_t(0));
    // Bytes 2 ms after the first ones, far less than any quiet interval, are the next chunk.
    std::thread peer([&] {
        std::this_thread::sleep_for(20ms);
        pty.write("d");
        std::this_thread::sleep_for(2ms);
        pty.write("ef");
    });
    QCOMPARE(device.readChunk(chunk, 0us), ReadStatus::Data);
    QByteArray all = chunk;
    const bool separate = chunk == QByteArray("d");
    while (all.size() < 3 && device.readChunk(chunk, 0us) == ReadStatus::Data) {
        all += chunk;
    }
    peer.join();
    QCOMPARE(all, QByteArray("def"));
    device.close();
    QCOMPARE(device.pendingInput(), std::size_t(0));
    // A reader held up for 2 ms takes both writes at once; that is all it may do.
    if (!separate) {
        QSKIP("the reader was held up past the 2 ms gap");
    }
}

void TestPlatform::chunkSizeIsCapped() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(device.configure({}));
    QByteArray sent(20000, Qt::Uninitialized);
    for (qsizetype i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i * 7);
    }
    std::thread peer([&] { pty.write(sent); });
    QByteArray chunk;
    QCOMPARE(device.readChunk(chunk, 300ms), ReadStatus::Data);
    QCOMPARE(chunk.size(), qsizetype(SerialDevice::MaxChunk));
    QByteArray all = chunk;
    while (all.size() < sent.size() && device.readChunk(chunk, 300ms) == ReadStatus::Data) {
        all += chunk;
    }
    peer.join();
    QCOMPARE(all, sent);
}

void TestPlatform::stopEndsPendingRead() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    auto pending = std::async(std::launch::async, [&] {
        QByteArray chunk;
        return device.readChunk(chunk, 10ms);
    });
    QCOMPARE(pending.wait_for(100ms), std::future_status::timeout); // waits for data
    QElapsedTimer clock;
    clock.start();
    device.requestStop();
    QCOMPARE(pending.wait_for(2s), std::future_status::ready);
    QCOMPARE(pending.get(), ReadStatus::Stopped);
    QVERIFY(clock.elapsed() < 500);
    // Later reads end at once, even with data waiting.
    pty.write("x");
    QByteArray chunk;
    QCOMPARE(device.readChunk(chunk, 10ms), ReadStatus::Stopped);
    QVERIFY(chunk.isEmpty());
}

void TestPlatform::hangUpEndsReading() {
    Pty pty(false);
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    auto pending = std::async(std::launch::async, [&] {
        QByteArray chunk;
        return device.readChunk(chunk, 10ms);
    });
    QCOMPARE(pending.wait_for(50ms), std::future_status::timeout);
    pty.closeMaster();
    QCOMPARE(pending.wait_for(2s), std::future_status::ready);
    QCOMPARE(pending.get(), ReadStatus::Gone);
    QByteArray chunk;
    QCOMPARE(device.readChunk(chunk, 10ms), ReadStatus::Gone);
    QCOMPARE(device.write(reinterpret_cast<const std::uint8_t*>("abc"), 3) < 3, true);
    device.close(); // still closes cleanly
    QVERIFY(!device.isOpen());
}

void TestPlatform::writeReachesPeer() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(device.configure({115200, 8, Parity::None, StopBits::One}));
    // A pseudo-terminal has no modem lines; asking for them must do no harm.
    device.setDtr(false);
    device.setRts(true);
    const QByteArray frame = QByteArray::fromHex("0a0d00ff7f11130d0a");
    QCOMPARE(device.write(reinterpret_cast<const std::uint8_t*>(frame.constData()),
                          static_cast<std::size_t>(frame.size())),
             std::size_t(frame.size()));
    device.setRts(false);
    device.setDtr(true);
    // Raw both ways: CR, LF, XON/XOFF and NUL pass unchanged.
    QCOMPARE(pty.read(frame.size(), 1000ms), frame);
    QCOMPARE(device.write(nullptr, 5), std::size_t(0));
}

void TestPlatform::writeGivesUpWhenPeerStalls() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(device.configure({4000000, 8, Parity::None, StopBits::One}));
    // Nobody reads the master end, so the pseudo-terminal's buffers fill up.
    const QByteArray big(64 * 1024, 'z');
    QElapsedTimer clock;
    clock.start();
    const std::size_t written = device.write(reinterpret_cast<const std::uint8_t*>(big.constData()),
                                             static_cast<std::size_t>(big.size()));
    QVERIFY(written < std::size_t(big.size()));
    QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
}

void TestPlatform::purgeDropsPendingInput() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(device.configure({}));
    pty.write("junk");
    std::this_thread::sleep_for(50ms);
    device.purge();
    pty.write("ok");
    QByteArray chunk;
    QCOMPARE(device.readChunk(chunk, 20ms), ReadStatus::Data);
    QCOMPARE(chunk, QByteArray("ok"));
    pty.write("more");
    std::this_thread::sleep_for(50ms);
    device.purgeInput();
    pty.write("!");
    QCOMPARE(device.readChunk(chunk, 20ms), ReadStatus::Data);
    QCOMPARE(chunk, QByteArray("!"));
}

void TestPlatform::configureOnPty() {
    Pty pty;
    QVERIFY(pty.isValid());
    PosixSerialDevice device;
    QVERIFY(!device.configure({})); // not open
    QVERIFY(device.open(pty.slavePath()).ok());
    QVERIFY(!device.configure({9600, 9, Parity::None, StopBits::One}));
    QVERIFY(!device.configure({9600, 4, Parity::None, StopBits::One}));
    QVERIFY(device.configure({12345, 8, Parity::None, StopBits::One}));
    QVERIFY(device.configure({57600, 8, Parity::None, StopBits::Two}));
    termios tio{};
    QCOMPARE(tcgetattr(pty.slaveFd(), &tio), 0);
    QCOMPARE(cfgetospeed(&tio), speed_t(B57600));
    QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(CSTOPB));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"

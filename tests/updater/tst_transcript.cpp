// The run transcript: its line format, how frames are labelled with the exchange they belong
// to, the build-data line, and a file that holds every line as soon as it is written.

#include "Transcript.h"

#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Captured {
    QStringList lines;
    qint64 now = 0;
    std::unique_ptr<RunTranscript> transcript = std::make_unique<RunTranscript>(
        [this](const QByteArray& line) { lines << QString::fromUtf8(line); },
        [this] { return now; });
};

QByteArray word(std::uint16_t v) {
    QByteArray b;
    b.append(static_cast<char>(v & 0xFF)).append(static_cast<char>(v >> 8));
    return b;
}

} // namespace

class TestTranscript : public QObject {
    Q_OBJECT
private slots:
    void hex_data();
    void hex();
    void lineFormat();
    void framesCarryTheirExchange();
    void buildDataLine();
    void fileHoldsEachLineAtOnce();
    void unwritableFile();
};

void TestTranscript::hex_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("one byte") << QByteArray::fromHex("0a") << QStringLiteral("0A");
    QTest::newRow("extremes") << QByteArray::fromHex("00ff7f80") << QStringLiteral("00 FF 7F 80");
    QTest::newRow("read request") << QByteArray::fromHex("010300080004c5cb")
                                  << QStringLiteral("01 03 00 08 00 04 C5 CB");
}

void TestTranscript::hex() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(hexBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                      static_cast<std::size_t>(bytes.size())),
             text);
}

void TestTranscript::lineFormat() {
    Captured c;
    c.transcript->info(QStringLiteral("Corvane Firmware Updater 1.4.2.87"));
    c.now = 12;
    c.transcript->ports({QStringLiteral("/dev/pts/3"), QStringLiteral("/dev/ttyUSB0")});
    c.transcript->ports({});
    c.now = 345;
    c.transcript->scan(QStringLiteral("/dev/pts/3 found CV."));
    // A label text with its line breaks stays on one line.
    c.transcript->progress(QStringLiteral("Unable to find\ra device.\nTry again"));
    c.now = 123456789;
    c.transcript->result(QStringLiteral("Result: upgrade complete."), 0);
    const QStringList expected{
        QStringLiteral("       0 ms  info     Corvane Firmware Updater 1.4.2.87"),
        QStringLiteral("      12 ms  ports    /dev/pts/3, /dev/ttyUSB0"),
        QStringLiteral("      12 ms  ports    (no serial port)"),
        QStringLiteral("     345 ms  scan     /dev/pts/3 found CV."),
        QStringLiteral("     345 ms  progress Unable to find a device. Try again"),
        QStringLiteral("123456789 ms  result   Result: upgrade complete. (exit code 0)"),
    };
    QCOMPARE(c.lines, expected);
}

void TestTranscript::framesCarryTheirExchange() {
    Captured c;
    const std::uint8_t request[] = {0x01, 0x03, 0x00, 0x08, 0x00, 0x04, 0xC5, 0xCB};
    const std::uint8_t part1[] = {0x01, 0x03};
    const std::uint8_t part2[] = {0x08, 0x00};
    const std::uint8_t late[] = {0xAA};

    c.transcript->exchangeBegun("modbus fn 3 slave 1 reg 8 x4");
    c.transcript->frameSent(request, sizeof request);
    c.now = 4;
    c.transcript->chunkReceived(part1, sizeof part1);
    c.transcript->chunkReceived(part2, sizeof part2);
    c.now = 1600;
    c.transcript->exchangeEnded(0);
    // A byte that arrives after the exchange has ended belongs to none.
    c.transcript->chunkReceived(late, sizeof late);
    // A short write records only the bytes the device took.
    c.transcript->exchangeBegun("bootloader cmd 0x08 len 4 count 0");
    c.transcript->frameSent(request, 3);
    c.transcript->exchangeEnded(-2);

    const QStringList expected{
        QStringLiteral(
            "       0 ms  tx       modbus fn 3 slave 1 reg 8 x4  01 03 00 08 00 04 C5 CB"),
        QStringLiteral("       4 ms  rx       modbus fn 3 slave 1 reg 8 x4  01 03"),
        QStringLiteral("       4 ms  rx       modbus fn 3 slave 1 reg 8 x4  08 00"),
        QStringLiteral("    1600 ms  end      modbus fn 3 slave 1 reg 8 x4  result 0"),
        QStringLiteral("    1600 ms  rx       (between exchanges)  AA"),
        QStringLiteral("    1600 ms  tx       bootloader cmd 0x08 len 4 count 0  01 03 00"),
        QStringLiteral("    1600 ms  end      bootloader cmd 0x08 len 4 count 0  result -2"),
    };
    QCOMPARE(c.lines, expected);
}

void TestTranscript::buildDataLine() {
    MemoryResourceSource resources;
    resources.set(QStringLiteral("RM_NUM_1"), word(4001));
    resources.set(QStringLiteral("FW_VER_1"), word(245));
    resources.set(QStringLiteral("RM_NUM_2"), word(5103));
    resources.set(QStringLiteral("FW_VER_2"), word(7));
    // HMI: no RM word, and a one-byte version word (read as its low byte).
    resources.set(QStringLiteral("FW_VER_3"), QByteArray(1, char(120)));
    std::vector<TProduct_Rec> rows(3);
    rows[0].RM = 4001;
    rows[1].RM = 4002;
    rows[2].RM = 5103;
    const ProductTable products(std::move(rows));
    const QString line = buildDataSummary(resources, products);
    QVERIFY2(line.contains(QStringLiteral("CPU-1 RM4001 v2.45, CPU-2 RM5103 v0.07, HMI RM? v1.20")),
             qPrintable(line));
    QVERIFY2(line.endsWith(QStringLiteral("product table 3 rows")), qPrintable(line));
    // The images are those compiled into the program: the demo set carries CPU-1 images.
    QVERIFY2(line.contains(QRegularExpression(QStringLiteral("CPU-1 images for RM \\d{4}"))),
             qPrintable(line));
}

void TestTranscript::fileHoldsEachLineAtOnce() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("run.txt"));
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("left over from an earlier run\n");
    }
    QString why;
    auto transcript = RunTranscript::openFile(path, &why);
    QVERIFY2(transcript, qPrintable(why));
    auto contents = [&path] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
    };
    QCOMPARE(contents(), QByteArray());
    transcript->info(QStringLiteral("first"));
    // Read while the transcript is still open: the line is already complete on disk.
    QVERIFY2(contents().endsWith(" ms  info     first\n"), contents().constData());
    const std::uint8_t b[] = {0x10, 0x02};
    transcript->exchangeBegun("bootloader cmd 0x00 len 2 count 0");
    transcript->frameSent(b, sizeof b);
    const QList<QByteArray> lines = contents().split('\n');
    QCOMPARE(lines.size(), 3); // two lines and the empty rest after the last line end
    QVERIFY2(lines[1].endsWith("tx       bootloader cmd 0x00 len 2 count 0  10 02"),
             lines[1].constData());
}

void TestTranscript::unwritableFile() {
    QString why;
    const QString path = QStringLiteral("/nonexistent-folder/run.txt");
    QVERIFY(!RunTranscript::openFile(path, &why));
    QVERIFY2(why.contains(path) && why.contains(QStringLiteral("No such file")), qPrintable(why));
}

QTEST_GUILESS_MAIN(TestTranscript)
#include "tst_transcript.moc"

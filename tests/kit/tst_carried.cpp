// The carried firmware's digests: those compiled in agree with the program's embedded data and
// with sha256sum over the build-data folder's files; the comparison finds each kind of damage;
// the window's start-up warning box says the program is damaged.

#include "FieldKit.h"
#include "MessageDialog.h"
#include "StartupCheck.h"

#include "firmware/FirmwareCheck.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using Damage = std::function<void(MemoryResourceSource&, QStringList&)>;
Q_DECLARE_METATYPE(Damage)

namespace {

const QString kFolder = QStringLiteral(CORVANE_BUILD_DATA_DIR);

// The embedded build data, copied into memory where a test may damage it.
MemoryResourceSource embeddedCopy() {
    MemoryResourceSource copy;
    for (const QString& name : embeddedResourceNames()) {
        copy.set(name, *embeddedResources().read(name, -1));
    }
    return copy;
}

QByteArray sha256sum(const QByteArray& input) {
    QProcess p;
    p.start(QStringLiteral("sha256sum"), {QStringLiteral("-")});
    if (!p.waitForStarted(5000)) {
        return {};
    }
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(10000);
    return p.readAllStandardOutput().left(64);
}

QByteArray folderFile(const QString& name) {
    QFile f(kFolder + u'/' + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Damage flip(const QString& name, qsizetype offset) {
    return [name, offset](MemoryResourceSource& s, QStringList&) {
        QByteArray bytes = *s.read(name, -1);
        bytes[offset] = static_cast<char>(bytes[offset] ^ 0x01);
        s.set(name, bytes);
    };
}

} // namespace

class TestCarried : public QObject {
    Q_OBJECT
private slots:
    void builtDigestsMatchTheProgram();
    void digestsAgreeWithSha256sum();
    void damage_data();
    void damage();
    void messages();
    void verboseVersion();
    void windowShowsWarningBox();
};

void TestCarried::builtDigestsMatchTheProgram() {
    const QStringList differences = verifyCarriedFirmware();
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(u'\n')));
    const CarriedDigests& d = carriedDigests();
    QCOMPARE(d.buildDataSet, QFileInfo(kFolder).fileName());
    QCOMPARE(d.buildDataSha256.size(), 32);
    const QStringList images =
        QDir(kFolder).entryList({QStringLiteral("HFILE_*")}, QDir::Files, QDir::Name);
    QCOMPARE(qsizetype(d.images.size()), images.size());
    // The demo data: CPU-1 images for RM 4001..4006 from 0x0800, CPU-2 and HMI from 0x1000,
    // each processor's range ending at 0xFFFF.
    QVERIFY(d.image(1, 4001) && d.image(1, 4006) && !d.image(1, 4007));
    QCOMPARE(d.image(1, 4003)->resource, QStringLiteral("HFILE_4003"));
    QCOMPARE(d.image(1, 4003)->version, std::uint16_t{245});
    QCOMPARE(d.image(1, 4003)->start, 0x0800u);
    QCOMPARE(d.image(2)->rm, std::uint16_t{5103});
    QCOMPARE(d.image(2)->resource, QStringLiteral("HFILE_2"));
    QCOMPARE(d.image(3)->rm, std::uint16_t{6204});
    QCOMPARE(d.image(3)->version, std::uint16_t{112});
    QCOMPARE(d.image(3)->start, 0x1000u);
    QCOMPARE(d.image(3)->last, 0xFFFFu);
    for (const CarriedImageDigest& i : d.images) {
        QCOMPARE(i.sha256.size(), 32);
    }
}

void TestCarried::digestsAgreeWithSha256sum() {
    // Each image over its program range, hashed by coreutils from the folder's file.
    for (const CarriedImageDigest& image : carriedDigests().images) {
        const QByteArray range =
            folderFile(image.resource).mid(image.start, image.last + 1 - image.start);
        QCOMPARE(range.size(), qsizetype(image.last + 1 - image.start));
        QCOMPARE(sha256sum(range), image.sha256.toHex());
    }
    // The build data: sha256sum's lines for the embedded files, in name order, hashed again.
    QByteArray manifest;
    const QStringList files = QDir(kFolder).entryList(QDir::Files, QDir::Name);
    QStringList names = embeddedResourceNames();
    std::sort(names.begin(), names.end());
    for (const QString& name : names) {
        const auto file = std::find_if(files.begin(), files.end(),
                                       [&](const QString& f) { return f.toUpper() == name; });
        QVERIFY2(file != files.end(), qPrintable(name));
        manifest += sha256sum(folderFile(*file)) + "  " + name.toUtf8() + '\n';
    }
    QCOMPARE(sha256sum(manifest), carriedDigests().buildDataSha256.toHex());
}

void TestCarried::damage_data() {
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QStringList>("expected"); // the start of each difference, in order
    const QString data =
        QStringLiteral("build data \"%1\": SHA-256").arg(QFileInfo(kFolder).fileName());
    QTest::newRow("none") << Damage([](MemoryResourceSource&, QStringList&) {}) << QStringList{};
    QTest::newRow("a byte of CPU-2's program range")
        << flip(QStringLiteral("HFILE_2"), 0x1000 + 5)
        << QStringList{QStringLiteral("HFILE_2 (CPU-2 RM5103 v2.32): SHA-256"), data};
    QTest::newRow("a byte outside every program range")
        << flip(QStringLiteral("HFILE_2"), 3) << QStringList{data};
    QTest::newRow("the last byte of a CPU-1 image")
        << flip(QStringLiteral("HFILE_4003"), 0xFFFF)
        << QStringList{QStringLiteral("HFILE_4003 (CPU-1 RM4003 v2.45): SHA-256"), data};
    QTest::newRow("the first byte of the HMI's range")
        << flip(QStringLiteral("HFILE_3"), 0x1000)
        << QStringList{QStringLiteral("HFILE_3 (HMI RM6204 v1.12): SHA-256"), data};
    QTest::newRow("an image gone") << Damage([](MemoryResourceSource& s, QStringList& names) {
        s.remove(QStringLiteral("HFILE_4005"));
        names.removeAll(QStringLiteral("HFILE_4005"));
    }) << QStringList{QStringLiteral("HFILE_4005 (CPU-1 RM4005 v2.45) is missing"), data};
    QTest::newRow("an image more") << Damage([](MemoryResourceSource& s, QStringList& names) {
        s.set(QStringLiteral("HFILE_4010"), *s.read(QStringLiteral("HFILE_4001"), -1));
        names << QStringLiteral("HFILE_4010");
    }) << QStringList{QStringLiteral("HFILE_4010 was not carried"), data};
    QTest::newRow("an image cut short") << Damage([](MemoryResourceSource& s, QStringList&) {
        s.set(QStringLiteral("HFILE_3"), s.read(QStringLiteral("HFILE_3"), 0x8000).value());
    }) << QStringList{QStringLiteral("HFILE_3 (HMI RM6204 v1.12): SHA-256"), data};
    QTest::newRow("a program range moved") << Damage([](MemoryResourceSource& s, QStringList&) {
        s.set(QStringLiteral("PROG_MEM_START_2"), QByteArray("\xE8\x0F", 2));
    }) << QStringList{QStringLiteral("HFILE_2 (CPU-2 RM5103 v2.32): SHA-256"), data};
    QTest::newRow("release notes changed") << Damage([](MemoryResourceSource& s, QStringList&) {
        s.set(QStringLiteral("VERTEXT_CPU1"),
              *s.read(QStringLiteral("VERTEXT_CPU1"), -1) + "v9.99\r\n");
    }) << QStringList{data};
    QTest::newRow("product table unreadable") << Damage([](MemoryResourceSource& s, QStringList&) {
        s.remove(QStringLiteral("PRODUCTS.CSV"));
    }) << QStringList{data};
}

void TestCarried::damage() {
    QFETCH(Damage, damage);
    QFETCH(QStringList, expected);
    MemoryResourceSource copy = embeddedCopy();
    QStringList names = embeddedResourceNames();
    damage(copy, names);
    const QStringList differences = verifyCarriedFirmware(copy, names, carriedDigests());
    QCOMPARE(differences.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QVERIFY2(differences[i].startsWith(expected[i]), qPrintable(differences[i]));
    }
}

void TestCarried::messages() {
    const QStringList differences{QStringLiteral("HFILE_2 (CPU-2 RM5103 v2.32): differs")};
    const QString message = damagedProgramMessage(differences);
    QVERIFY(message.startsWith(QStringLiteral("The program is damaged")));
    QVERIFY(message.contains(differences.first()));
    QVERIFY(message.contains(QStringLiteral("Reinstall corvane-updater")));
    const QString line = damagedProgramLine(differences);
    QCOMPARE(line, QStringLiteral("corvane-updater: ") + message);
    QVERIFY(!line.contains(u'\n'));
}

void TestCarried::verboseVersion() {
    const CarriedDigests& d = carriedDigests();
    const QStringList lines = verboseVersionText(QStringLiteral("1.4.2.87"), d);
    QCOMPARE(lines.size(), qsizetype(d.images.size()) + 2);
    QCOMPARE(lines[0], QStringLiteral("Corvane Firmware Updater 1.4.2.87"));
    QVERIFY(lines[1].endsWith(QString::fromLatin1(d.buildDataSha256.toHex())));
    QCOMPARE(lines[2], QStringLiteral("CPU-1 RM4001 v2.45  HFILE_4001  0x0800..0xFFFF  SHA-256 ") +
                           QString::fromLatin1(d.image(1, 4001)->sha256.toHex()));
    QVERIFY(lines.constLast().startsWith(QStringLiteral("HMI   RM6204 v1.12  HFILE_3  ")));
}

void TestCarried::windowShowsWarningBox() {
    QString shown;
    TMsgDlgType type = TMsgDlgType::mtInformation;
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto* box = qobject_cast<MessageDialogForm*>(QApplication::activeModalWidget())) {
            shown = box->message();
            type = box->dialogType();
            box->accept();
        }
    });
    poll.start();
    const QString message = damagedProgramMessage({QStringLiteral("HFILE_3: differs")});
    showDamagedProgramBox(message);
    QCOMPARE(shown, message);
    QCOMPARE(type, TMsgDlgType::mtWarning);
}

QTEST_MAIN(TestCarried)
#include "tst_carried.moc"

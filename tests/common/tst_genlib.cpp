#include "common/gen_lib.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTest>
#include <QTimer>

#include <chrono>

Q_DECLARE_METATYPE(TMsgDlgType)
Q_DECLARE_METATYPE(std::optional<ScaleRatio>)

namespace {

class CountingObject : public QObject {
public:
    int events = 0;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) {
            ++events;
            return true;
        }
        return QObject::event(e);
    }
};

qint64 msSince(const QElapsedTimer& t) {
    return t.elapsed();
}

} // namespace

class TestGenLib : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        resumeDelays();
        setKeyboardModifiersSource({});
        sounds().setPlayer({});
        sounds().clearRequested();
    }

    void soundPerDialogType_data() {
        QTest::addColumn<TMsgDlgType>("type");
        QTest::addColumn<quint32>("code");
        QTest::newRow("warning") << TMsgDlgType::mtWarning << 0x30U;
        QTest::newRow("error") << TMsgDlgType::mtError << 0x10U;
        QTest::newRow("information: default sound") << TMsgDlgType::mtInformation << 0x00U;
        QTest::newRow("confirmation") << TMsgDlgType::mtConfirmation << 0x20U;
        QTest::newRow("custom: asterisk") << TMsgDlgType::mtCustom << 0x40U;
    }
    void soundPerDialogType() {
        QFETCH(TMsgDlgType, type);
        QFETCH(quint32, code);
        std::vector<std::uint32_t> played;
        sounds().setPlayer([&played](std::uint32_t c) { played.push_back(c); });
        sounds().playFor(type);
        QCOMPARE(sounds().requested(), std::vector<std::uint32_t>{code});
        QCOMPARE(played, std::vector<std::uint32_t>{code});
    }

    void soundsRecordedWithoutPlayer() {
        sounds().playFor(TMsgDlgType::mtError);
        sounds().playFor(TMsgDlgType::mtWarning);
        QCOMPARE(sounds().requested(), (std::vector<std::uint32_t>{0x10, 0x30}));
    }

    void captions() {
        QCOMPARE(dialogCaption(TMsgDlgType::mtError), QStringLiteral(" Error"));
        QCOMPARE(dialogCaption(TMsgDlgType::mtWarning), QStringLiteral(" Warning"));
        QCOMPARE(dialogCaption(TMsgDlgType::mtConfirmation), QStringLiteral(" Confirm"));
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Corvane Firmware Updater"));
        QCOMPARE(dialogCaption(TMsgDlgType::mtCustom), QStringLiteral(" Corvane Firmware Updater"));
    }

    void scaleForm_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<std::optional<ScaleRatio>>("expected");
        using R = std::optional<ScaleRatio>;
        QTest::newRow("1280x1024 (1.25)") << 1280 << 1024 << R{ScaleRatio{1280, 1024}};
        QTest::newRow("1920x1080 (1.78)") << 1920 << 1080 << R{ScaleRatio{1080, 768}};
        QTest::newRow("1366x768 unscaled") << 1366 << 768 << R{};
        QTest::newRow("1600x1200 exactly 4:3") << 1600 << 1200 << R{ScaleRatio{1600, 1024}};
        QTest::newRow("1024x768 scaled by 1024/1024") << 1024 << 768 << R{ScaleRatio{1024, 1024}};
        QTest::newRow("800x600") << 800 << 600 << R{ScaleRatio{800, 1024}};
        QTest::newRow("2560x1440") << 2560 << 1440 << R{ScaleRatio{1440, 768}};
        QTest::newRow("1025x768 just wider") << 1025 << 768 << R{};
        QTest::newRow("no reference display") << 0 << 0 << R{};
        QTest::newRow("zero height") << 1024 << 0 << R{};
        QTest::newRow("negative width") << -1280 << 1024 << R{};
    }
    void scaleForm() {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(std::optional<ScaleRatio>, expected);
        const auto ratio = scaleFormRatio(w, h);
        QCOMPARE(ratio.has_value(), expected.has_value());
        if (expected) {
            QCOMPARE(ratio->multiplier, expected->multiplier);
            QCOMPARE(ratio->divisor, expected->divisor);
        }
    }

    void dialogsUnscaledByDefault() {
        QVERIFY(!scaleFormRatio(Display_Width, Display_Height).has_value());
    }

    void delayZeroOrNegativeDispatchesNothing_data() {
        QTest::addColumn<int>("ms");
        QTest::newRow("0") << 0;
        QTest::newRow("-1") << -1;
        QTest::newRow("-100000") << -100000;
    }
    void delayZeroOrNegativeDispatchesNothing() {
        QFETCH(int, ms);
        CountingObject target;
        QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
        QElapsedTimer t;
        t.start();
        QVERIFY(Delay_MS(ms));
        QVERIFY(msSince(t) < 50);
        QCOMPARE(target.events, 0);
        QCoreApplication::sendPostedEvents(&target);
        QCOMPARE(target.events, 1);
    }

    void delayNeverEarlyWhileEventsArrive_data() {
        QTest::addColumn<int>("ms");
        QTest::newRow("1") << 1;
        QTest::newRow("100") << 100;
        QTest::newRow("150") << 150;
    }
    void delayNeverEarlyWhileEventsArrive() {
        QFETCH(int, ms);
        int ticks = 0;
        QTimer busy;
        busy.setInterval(3);
        connect(&busy, &QTimer::timeout, this, [&ticks] { ++ticks; });
        busy.start();
        CountingObject target;
        QCoreApplication::postEvent(&target, new QEvent(QEvent::User));

        const auto start = std::chrono::steady_clock::now();
        QVERIFY(Delay_MS(ms));
        const auto took = std::chrono::steady_clock::now() - start;

        QVERIFY2(took >= std::chrono::milliseconds(ms),
                 qPrintable(QString::number(
                     std::chrono::duration_cast<std::chrono::microseconds>(took).count())));
        QVERIFY(took < std::chrono::milliseconds(ms + 1500));
        QCOMPARE(target.events, 1);
        if (ms >= 100) {
            QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        }
    }

    void delayWithoutEvents() {
        QElapsedTimer t;
        t.start();
        QVERIFY(Delay_MS(60));
        QVERIFY(t.elapsed() >= 60);
        QVERIFY(t.elapsed() < 1500);
    }

    void abandonEndsRunningAndLaterDelays() {
        QTimer::singleShot(30, [] { abandonDelays(); });
        QElapsedTimer t;
        t.start();
        QVERIFY(!Delay_MS(8000));
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(delaysAbandoned());

        t.restart();
        QVERIFY(!Delay_MS(1000));
        QVERIFY(t.elapsed() < 100);

        resumeDelays();
        QVERIFY(Delay_MS(20));
    }

    void nestedDelayAbandonedFromInside() {
        bool innerResult = true;
        QTimer::singleShot(10, [&innerResult] {
            QTimer::singleShot(20, [] { abandonDelays(); });
            innerResult = Delay_MS(5000);
        });
        QElapsedTimer t;
        t.start();
        QVERIFY(!Delay_MS(5000));
        QVERIFY(!innerResult);
        QVERIFY(t.elapsed() < 2000);
    }

    void stopPredicate() {
        int ticks = 0;
        QTimer busy;
        busy.setInterval(5);
        connect(&busy, &QTimer::timeout, this, [&ticks] { ++ticks; });
        busy.start();
        QElapsedTimer t;
        t.start();
        QVERIFY(!Delay_MS(8000, [&ticks] { return ticks >= 4; }));
        QVERIFY(ticks >= 4);
        QVERIFY(t.elapsed() < 2000);
        QVERIFY(Delay_MS(30, [] { return false; }));
    }

    void versionInfoFromBlock_data() {
        QTest::addColumn<bool>("hasBlock");
        QTest::addColumn<VersionBlock>("block");
        QTest::addColumn<QStringList>("expected");
        const QString na = QStringLiteral("N/A");
        QTest::newRow("no version block") << false << VersionBlock{} << QStringList(10, na);
        VersionBlock full;
        QStringList values;
        const auto& keys = versionInfoKeys();
        for (int i = 0; i < kVersionKeyCount; ++i) {
            // Reverse order in the block: the entries follow the key order, not the block's.
            full.insert(full.begin(), {keys[i], QStringLiteral("value %1").arg(i)});
            values << QStringLiteral("value %1").arg(i);
        }
        QTest::newRow("all keys") << true << full << values;
        VersionBlock noComments = full;
        noComments.erase(noComments.begin()); // "Comments" was inserted last, so it is first
        QStringList withoutComments = values;
        withoutComments[9] = na;
        QTest::newRow("no Comments") << true << noComments << withoutComments;
        VersionBlock emptyValue{{QStringLiteral("FileVersion"), QString()},
                                {QStringLiteral("ProductName"), QStringLiteral("P")}};
        QStringList onlyProduct(10, na);
        onlyProduct[7] = QStringLiteral("P");
        QTest::newRow("empty value and unknown keys") << true << emptyValue << onlyProduct;
    }
    void versionInfoFromBlock() {
        QFETCH(bool, hasBlock);
        QFETCH(VersionBlock, block);
        QFETCH(QStringList, expected);
        Version_Info.fill(QStringLiteral("stale"));
        fillVersionInfo(hasBlock ? std::optional<VersionBlock>(block) : std::nullopt);
        for (int i = 0; i < kVersionKeyCount; ++i) {
            QCOMPARE(Version_Info[i], expected[i]);
        }
    }

    void versionKeysInOrder() {
        const QStringList expected{"CompanyName",      "FileDescription", "FileVersion",
                                   "InternalName",     "LegalCopyright",  "LegalTradeMarks",
                                   "OriginalFilename", "ProductName",     "ProductVersion",
                                   "Comments"};
        const auto& keys = versionInfoKeys();
        QCOMPARE(QStringList(keys.begin(), keys.end()), expected);
    }

    void programVersionInfo() {
        Get_Version_Info();
        QCOMPARE(Version_Info[2], QStringLiteral(EXPECTED_FILE_VERSION));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$"))
                    .match(Version_Info[2])
                    .hasMatch());
        QVERIFY(Version_Info[8].count(QLatin1Char('.')) == 2);
        QVERIFY(Version_Info[2].startsWith(Version_Info[8] + QLatin1Char('.')));
        for (const QString& v : Version_Info) {
            QVERIFY(!v.isEmpty());
        }
    }

    void ctrlKey_data() {
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("down");
        QTest::newRow("none") << int(Qt::NoModifier) << false;
        QTest::newRow("ctrl") << int(Qt::ControlModifier) << true;
        QTest::newRow("shift") << int(Qt::ShiftModifier) << false;
        QTest::newRow("ctrl+shift") << int(Qt::ControlModifier | Qt::ShiftModifier) << true;
        QTest::newRow("alt+meta") << int(Qt::AltModifier | Qt::MetaModifier) << false;
    }
    void ctrlKey() {
        QFETCH(int, modifiers);
        QFETCH(bool, down);
        setKeyboardModifiersSource(
            [modifiers] { return Qt::KeyboardModifiers::fromInt(modifiers); });
        QCOMPARE(Ctrl_Key_Down(), down);
    }

    void ctrlKeyFromPlatform() {
        // The offscreen platform holds no key down.
        QVERIFY(!Ctrl_Key_Down());
    }
};

QTEST_MAIN(TestGenLib)
#include "tst_genlib.moc"

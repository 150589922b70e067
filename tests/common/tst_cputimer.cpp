#include "common/CPU_Timer.h"

#include <QTest>

#include <thread>

class TestCpuTimer : public QObject {
    Q_OBJECT

private:
    std::int64_t m_now = 0; // scripted counter, in nanoseconds

private slots:
    void init() {
        m_now = 1'000'000'000'000;
        setTimerCounter([this] { return m_now; });
        QVERIFY(Timer_Init());
    }
    void cleanup() { setTimerCounter({}); }

    void frequencyIsNanoseconds() { QCOMPARE(Timer_Freq, std::int64_t{1'000'000'000}); }

    void resetValues() {
        Timer_Start();
        m_now += 5'000'000;
        (void)Timer_Elapsed();
        Timer_Reset();
        QCOMPARE(Timer_Max(), 0.0F);
        QCOMPARE(Timer_Min_Ticks, std::int64_t{2147483647});
        QCOMPARE(Timer_Min(), 2.147483647F);
    }

    void minimumAndMaximum_data() {
        QTest::addColumn<QList<qint64>>("intervals"); // ns, each from its own Timer_Start
        QTest::addColumn<float>("expectedMin");
        QTest::addColumn<float>("expectedMax");
        QTest::newRow("1, 3, 2 ms")
            << QList<qint64>{1'000'000, 3'000'000, 2'000'000} << 0.001F << 0.003F;
        QTest::newRow("one interval") << QList<qint64>{7'500'000} << 0.0075F << 0.0075F;
        QTest::newRow("zero length") << QList<qint64>{0, 4'000'000} << 0.0F << 0.004F;
        // Longer than 2^31 - 1 counts: the minimum keeps its reset value.
        QTest::newRow("beyond reset minimum")
            << QList<qint64>{3'000'000'000} << 2.147483647F << 3.0F;
    }
    void minimumAndMaximum() {
        QFETCH(QList<qint64>, intervals);
        QFETCH(float, expectedMin);
        QFETCH(float, expectedMax);
        Timer_Reset();
        for (qint64 d : intervals) {
            Timer_Start();
            m_now += d;
            QCOMPARE(Timer_Elapsed(), static_cast<float>(double(d) / 1e9));
        }
        QCOMPARE(Timer_Min(), expectedMin);
        QCOMPARE(Timer_Max(), expectedMax);
    }

    void elapsedWithoutRestartGrows() {
        Timer_Reset();
        Timer_Start();
        m_now += 1'000'000;
        const float first = Timer_Elapsed();
        m_now += 4'000'000;
        const float second = Timer_Elapsed();
        QCOMPARE(first, 0.001F);
        QCOMPARE(second, 0.005F);
        QCOMPARE(Timer_Min(), 0.001F);
        QCOMPARE(Timer_Max(), 0.005F);
    }

    void noRateGivesZero() {
        Timer_Freq = 0;
        Timer_Reset();
        Timer_Start();
        m_now += 1'000'000;
        QCOMPARE(Timer_Elapsed(), 0.0F);
        QCOMPARE(Timer_Min(), 0.0F);
        QVERIFY(Timer_Init());
        QCOMPARE(Timer_Min(), 0.001F);
    }

    void realClockMeasuresSleep() {
        setTimerCounter({});
        Timer_Reset();
        Timer_Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const float elapsed = Timer_Elapsed();
        QVERIFY2(elapsed >= 0.020F && elapsed < 2.0F, qPrintable(QString::number(elapsed)));
        QCOMPARE(Timer_Max(), elapsed);
    }
};

QTEST_GUILESS_MAIN(TestCpuTimer)
#include "tst_cputimer.moc"

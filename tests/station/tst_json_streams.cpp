// `--auto --json` and `--identify --json` as a script reads them: the whole stream of a full
// run and of each way a run fails validates against the schema, standard output carries
// nothing else, the result object agrees with the exit code, and what it says each processor
// holds agrees with the simulated unit's own account (its flash compared with the carried
// images byte for byte).

#include "StationRun.h"

#include "firmware/FirmwareCheck.h"
#include "support/Scenarios.h"

#include <QJsonArray>
#include <QMap>
#include <QRegularExpression>

using corvane::station_test::JsonRun;
using corvane::station_test::schemaFaults;
using corvane::station_test::slowPaceOptions;
using corvane::test::versionArg;

namespace {

// A unit whose CPU-2 alone is behind: the shortest run with a transfer.
QStringList cpu2Behind() {
    const auto& c = corvane::test::carried();
    return {"--simulate", "--fast",
            "--cpu1",     versionArg(c.version[1]),
            "--hmi",      versionArg(c.version[3])};
}

// The exit class each exit code belongs to.
QString exitClassOf(int code) {
    static const QMap<int, QString> classes{
        {0, "success"}, {1, "upgrade-failed"}, {2, "bad-command-line"}, {3, "no-unit-found"},
        {4, "refused"}, {6, "stalled"},        {10, "upgrade-due"}};
    return code > 128 ? QStringLiteral("stopped") : classes.value(code);
}

struct SimRow {
    QString rm;
    QString version;
    bool carriedImage = false;
};

// The simulated unit's table after the run ("CPU-2 running 5103 2.32 yes (...) yes").
QMap<QString, SimRow> simulatedUnit(const QString& err) {
    QMap<QString, SimRow> rows;
    for (const QString& line : err.split(u'\n')) {
        const QStringList cells = line.simplified().split(u' ');
        if (cells.size() < 6 || !QStringList{"CPU-1", "CPU-2", "HMI"}.contains(cells[0])) {
            continue;
        }
        rows.insert(cells[0], {cells[2], cells[3], cells.constLast() == QLatin1String("yes")});
    }
    return rows;
}

} // namespace

class TestJsonStreams : public QObject {
    Q_OBJECT
private slots:
    void streams_data();
    void streams();
    void validatorRejectsAWrongStream();
};

void TestJsonStreams::streams_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("processor"); // the failed one; empty for the unit
    // The simulated unit's flash afterwards: does each processor hold the carried image?
    QTest::addColumn<QString>("carriedImages");
    QTest::addColumn<bool>("stopInTransfer");

    QTest::newRow("full upgrade") << QStringList{"--auto", "--simulate", "--fast"} << 0 << "none"
                                  << ""
                                  << "yes yes yes" << false;
    QTest::newRow("identify, upgrade due")
        << QStringList{"--identify", "--simulate"} << 10 << "none"
        << ""
        << "no no no" << false;
    QTest::newRow("no unit") << QStringList{"--auto", "--port", "/dev/null"} << 3
                             << "ports-unopenable"
                             << ""
                             << "" << false;
    QTest::newRow("refused") << QStringList{"--auto", "--simulate", "--cpu1", ":1.50"} << 4
                             << "firmware-too-old"
                             << "CPU-1"
                             << "no no no" << false;
    QTest::newRow("stage failure: another model")
        << QStringList{"--auto", "--simulate", "--fast", "--model", "4002"} << 1
        << "incompatible-model"
        << "CPU-1"
        << "no no no" << false;
    QTest::newRow("stage failure: data corrupt")
        << (QStringList{"--auto", "--fault", "corrupt-status:fn104-command,after=1"} + cpu2Behind())
        << 1 << "data-corrupt"
        << "CPU-2"
        << "yes no yes" << false;
    QTest::newRow("verification mismatch")
        << (QStringList{"--auto", "--cpu2-keeps-version"} + cpu2Behind()) << 1 << "verify-mismatch"
        << "CPU-2"
        << "yes yes yes" << false;
    QTest::newRow("stop by SIGINT")
        << (QStringList{"--auto"} + slowPaceOptions() + cpu2Behind()) << 130 << "stopped"
        << ""
        << "yes no yes" << true;
    QTest::newRow("transcript cannot be written")
        << QStringList{"--auto", "--simulate", "--log", "/nonexistent-folder/run.txt"} << 2
        << "none"
        << ""
        << "" << false;
}

void TestJsonStreams::streams() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, cause);
    QFETCH(QString, processor);
    QFETCH(QString, carriedImages);
    QFETCH(bool, stopInTransfer);

    JsonRun run(args << "--json");
    if (stopInTransfer) {
        const QJsonObject p = run.waitFor([](const QJsonObject& o) {
            return o.value("type").toString() == "progress" &&
                   o.value("stage").toString() == "transfer" && o.value("percent").toDouble() >= 10;
        });
        QVERIFY2(!p.isEmpty(), qPrintable(run.context()));
        run.signal(SIGINT);
    }
    QCOMPARE(run.finish(), exitCode);
    const QString faults = schemaFaults(run.stream());
    QVERIFY2(faults.isEmpty(), qPrintable(faults + run.context()));

    const QJsonObject start = run.objects().constFirst();
    QCOMPARE(start.value("mode").toString(), args.contains("--identify") ? "identify" : "auto");
    const QJsonObject result = run.objects().constLast();
    QCOMPARE(result.value("exit").toInt(), exitCode);
    QCOMPARE(result.value("exitClass").toString(), exitClassOf(exitCode));
    QCOMPARE(result.value("cause").toString(), cause);
    QCOMPARE(result.value("name").toString(), processor);
    if (stopInTransfer) {
        QCOMPARE(run.ofType("stopping").size(), 1);
        QCOMPARE(result.value("signal").toString(), QStringLiteral("SIGINT"));
        QVERIFY(!result.value("state").toString().isEmpty());
    }
    if (carriedImages.isEmpty()) {
        return;
    }

    // What the run says each processor holds against what the simulated unit holds.
    const QMap<QString, SimRow> unit = simulatedUnit(run.err());
    QCOMPARE(unit.size(), 3);
    const QStringList expected = carriedImages.split(u' ');
    const QJsonArray processors = result.value("processors").toArray();
    for (int n = 0; n < 3; ++n) {
        const QJsonObject p = processors[n].toObject();
        const QString name = p.value("name").toString();
        const SimRow& sim = unit[name];
        QVERIFY2(sim.carriedImage == (expected[n] == "yes"), qPrintable(name + run.context()));
        if (p.value("holding").toString() == "carried") {
            QVERIFY2(sim.carriedImage, qPrintable(name + " said to hold the carried firmware"));
        }
        if (p.value("verified").toBool()) {
            const QJsonObject carried = p.value("carried").toObject();
            QCOMPARE(sim.rm, QString::number(carried.value("rm").toInt()));
            QCOMPARE(sim.version, carried.value("version").toString());
        }
        if (p.value("programmed").toBool()) {
            QVERIFY2(sim.carriedImage, qPrintable(name + " said to be programmed"));
        }
        if (exitCode == 0) {
            QVERIFY(p.value("verified").toBool());
            QJsonObject carried = p.value("carried").toObject();
            // The image written, exactly: the digest the start-up check knows for it.
            QCOMPARE(carried.take("sha256").toString(),
                     QString::fromLatin1(carriedImageSha256(n + 1, 4001).toHex()));
            QCOMPARE(p.value("after").toObject(), carried);
        }
        if (name == processor && cause == "verify-mismatch") {
            // Programmed byte for byte, yet it reports its old version: the run says so.
            QCOMPARE(p.value("after").toObject().value("version").toString(), sim.version);
            QVERIFY(!p.value("verified").toBool());
        }
    }

    // A pipe is not flooded: one progress object per stage every 250 ms at most, besides
    // the first and the one at 100 %.
    QMap<QString, qint64> last;
    for (const QJsonObject& o : run.ofType("progress")) {
        const QString key =
            o.value("stage").toString() + QString::number(o.value("processor").toInt());
        const qint64 t = o.value("t").toInteger();
        if (last.contains(key) && o.value("percent").toDouble() < 100) {
            QVERIFY2(t - last[key] >= 250, qPrintable(key));
        }
        last[key] = t;
    }
    if (exitCode == 0) {
        QVERIFY(run.ofType("progress").size() >= 6);
        QCOMPARE(run.ofType("review").size(), 1);
        QCOMPARE(run.ofType("stage-ended").constLast().value("stage").toString(),
                 QStringLiteral("verification"));
    }
}

void TestJsonStreams::validatorRejectsAWrongStream() {
    // The checks above are only worth something if the validator can say no.
    const QByteArray start =
        R"({"type":"start","t":0,"schema":1,"program":"p","version":"1","mode":"auto",)"
        R"("link":"fast","verify":true})"
        "\n";
    const QByteArray processors =
        R"([{"processor":1,"name":"CPU-1","present":true,"before":{"rm":1,"version":"1.00"},)"
        R"("carried":{"rm":1,"version":"1.00"},"after":{"rm":1,"version":"1.00"},)"
        R"("holding":"carried","programmed":false,"verified":true}])";
    const QByteArray result = R"({"type":"result","t":1,"exit":0,"exitClass":"success",)"
                              R"("cause":"none","processor":0,"summary":"s","upgradeStarted":)"
                              R"(false,"port":"","productRm":1,"processors":)";
    // One processor instead of three; a renamed field; a human line in the stream.
    QVERIFY(!schemaFaults(start + result + processors + "}\n").isEmpty());
    QByteArray three = processors;
    three.chop(1);
    const QByteArray row = processors.mid(1, processors.size() - 2);
    three += "," + row + "," + row + "]";
    QVERIFY2(schemaFaults(start + result + three + "}\n").isEmpty(),
             qPrintable(schemaFaults(start + result + three + "}\n")));
    QByteArray renamed = start + result + three + "}\n";
    renamed.replace("\"exitClass\"", "\"exitKind\"");
    QVERIFY(!schemaFaults(renamed).isEmpty());
    QVERIFY(
        !schemaFaults(start + "Result: upgrade complete.\n" + result + three + "}\n").isEmpty());
}

QTEST_GUILESS_MAIN(TestJsonStreams)
#include "tst_json_streams.moc"

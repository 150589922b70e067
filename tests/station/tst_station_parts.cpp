// The parts of --json and --station that decide without a process: the JSON line's shape, the
// progress throttle, the result's fields, slot names from by-path links, the station's
// options, its exit code and summary.

#include "AppOptions.h"
#include "JsonView.h"
#include "SlotNames.h"
#include "StationView.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace {

QJsonObject parse(const QByteArray& line) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning("not JSON: %s", line.constData());
    }
    return doc.object();
}

AppOptions parseArgs(const QStringList& args) {
    return parseAppOptions(QStringList{QStringLiteral("corvane-updater")} + args);
}

SlotRun finishedRun(const QString& slot, int index, int exitCode, const QString& cause) {
    SlotRun run;
    run.slot = slot;
    run.slotIndex = index;
    run.run = 1;
    run.ended = true;
    run.haveResult = exitCode >= 0;
    run.exitCode = exitCode;
    run.cause = cause;
    run.ms = 1500;
    return run;
}

} // namespace

class TestStationParts : public QObject {
    Q_OBJECT
private slots:
    void jsonLinePutsTypeAndTimeFirst_data();
    void jsonLinePutsTypeAndTimeFirst();
    void progressIsRateLimited_data();
    void progressIsRateLimited();
    void resultCarriesEveryProcessor();
    void resultOfAStop();
    void eventFieldsOfStageDetails();
    void slotNameFromByPath_data();
    void slotNameFromByPath();
    void slotNamesFollowLinks();
    void stationOptions_data();
    void stationOptions();
    void exitCodeAndSummaryNameTheFailedSlot();
    void childLineGetsItsSlot_data();
    void childLineGetsItsSlot();
};

void TestStationParts::jsonLinePutsTypeAndTimeFirst_data() {
    QTest::addColumn<QJsonObject>("fields");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("no fields") << QJsonObject{} << QByteArray(R"({"type":"x","t":12})");
    QTest::newRow("fields after") << QJsonObject{{"b", 1}, {"a", "q\"uote"}}
                                  << QByteArray(R"({"type":"x","t":12,"a":"q\"uote","b":1})");
}

void TestStationParts::jsonLinePutsTypeAndTimeFirst() {
    QFETCH(QJsonObject, fields);
    QFETCH(QByteArray, line);
    QCOMPARE(jsonLine("x", 12, fields), line);
    QCOMPARE(parse(line).value("type").toString(), QStringLiteral("x"));
}

void TestStationParts::progressIsRateLimited_data() {
    // Steps of one stage: percent, time (ms), admitted?
    QTest::addColumn<QList<double>>("percents");
    QTest::addColumn<QList<int>>("times");
    QTest::addColumn<QList<bool>>("admitted");
    QTest::newRow("first, then every 250 ms")
        << QList<double>{0, 1, 2, 3, 4} << QList<int>{0, 100, 249, 250, 400}
        << QList<bool>{true, false, false, true, false};
    QTest::newRow("100 % always, once")
        << QList<double>{0, 99, 100, 100, 101} << QList<int>{0, 10, 20, 600, 700}
        << QList<bool>{true, false, true, false, false};
}

void TestStationParts::progressIsRateLimited() {
    QFETCH(QList<double>, percents);
    QFETCH(QList<int>, times);
    QFETCH(QList<bool>, admitted);
    ProgressThrottle throttle(250);
    throttle.stageStarted(Stage::Transfer, 2);
    for (qsizetype i = 0; i < percents.size(); ++i) {
        QVERIFY2(throttle.admit(Stage::Transfer, 2, percents[i], times[i]) == admitted[i],
                 qPrintable(QStringLiteral("step %1").arg(i)));
    }
    // Another stage, or the same one started again, has its own first object.
    QVERIFY(throttle.admit(Stage::Erase, 2, 50, times.constLast()));
    throttle.stageStarted(Stage::Transfer, 2);
    QVERIFY(throttle.admit(Stage::Transfer, 2, 0, times.constLast()));
}

void TestStationParts::resultCarriesEveryProcessor() {
    RunOutcome o;
    o.exit = RunExit::UpgradeFailed;
    o.cause = Cause::DataCorrupt;
    o.processor = 2;
    o.summary = QStringLiteral("the upgrade failed: Erasing CPU-2......Data Corrupt");
    o.upgradeStarted = true;
    o.port = QStringLiteral("/dev/ttyUSB0");
    o.productRm = 4001;
    o.processors[1] = {4001, 215, 4001, 245, 4001, 245, true, true, true, Holding::Carried};
    o.processors[2] = {5103, 100, 5103, 232, 5103, 100, true, false, false, Holding::BootLoader};
    o.processors[3] = {0, 0, 0, 0, 0, 0, false, false, false, Holding::Absent};
    const QString digest(64, u'a');
    const QJsonObject r = resultFields(o, [&](int processor, std::uint16_t rm) {
        return processor == 1 && rm == 4001 ? digest : QString();
    });
    QCOMPARE(r.value("exit").toInt(), 1);
    QCOMPARE(r.value("exitClass").toString(), QStringLiteral("upgrade-failed"));
    QCOMPARE(r.value("cause").toString(), QStringLiteral("data-corrupt"));
    QCOMPARE(r.value("name").toString(), QStringLiteral("CPU-2"));
    QVERIFY(!r.contains("signal"));
    const QJsonArray p = r.value("processors").toArray();
    QCOMPARE(p.size(), 3);
    const QJsonObject cpu1 = p[0].toObject();
    QCOMPARE(cpu1.value("before").toObject().value("version").toString(), QStringLiteral("2.15"));
    QCOMPARE(cpu1.value("carried").toObject().value("sha256").toString(), digest);
    QCOMPARE(cpu1.value("holding").toString(), QStringLiteral("carried"));
    const QJsonObject cpu2 = p[1].toObject();
    QCOMPARE(cpu2.value("after").toObject().value("version").toString(), QStringLiteral("1.00"));
    QCOMPARE(cpu2.value("holding").toString(), QStringLiteral("bootloader"));
    QVERIFY(!cpu2.value("carried").toObject().contains("sha256"));
    QCOMPARE(cpu2.value("programmed").toBool(), false);
    QCOMPARE(p[2].toObject().value("present").toBool(), false);
}

void TestStationParts::resultOfAStop() {
    RunOutcome o;
    o.exit = RunExit::Stopped;
    o.signal = 2;
    o.cause = Cause::Stopped;
    o.stateAfterStop = QStringLiteral("CPU-1 is left in its bootloader.");
    const QJsonObject r = resultFields(o);
    QCOMPARE(r.value("exit").toInt(), 130);
    QCOMPARE(r.value("exitClass").toString(), QStringLiteral("stopped"));
    QCOMPARE(r.value("signal").toString(), QStringLiteral("SIGINT"));
    QCOMPARE(r.value("state").toString(), o.stateAfterStop);
}

void TestStationParts::eventFieldsOfStageDetails() {
    const auto info = eventFields(
        ev::StageEnded{Stage::BootloaderInfo, 1, StageResult::Done, Cause::None, 258u << 16 | 105});
    QVERIFY(info);
    QCOMPARE(QByteArray(info->first), QByteArray("stage-ended"));
    QCOMPARE(info->second.value("bootloader").toObject(), firmwareObject(258, 105));
    const auto entry = eventFields(
        ev::StageEnded{Stage::BootModeEntry, 3, StageResult::Failed, Cause::NoReply, 2});
    QVERIFY(entry);
    QCOMPARE(entry->second.value("failedExchange").toString(), QStringLiteral("status"));
    QCOMPARE(entry->second.value("name").toString(), QStringLiteral("HMI"));
    QCOMPARE(entry->second.value("cause").toString(), QStringLiteral("no-reply"));
    // Label texts and block timings are not a script's business.
    QVERIFY(!eventFields(ev::TextsChanged{}));
    QVERIFY(!eventFields(ev::BlockTimed{}));
    // Progress is the view's own (rate-limited).
    QVERIFY(!eventFields(ev::StageProgress{}));
}

void TestStationParts::slotNameFromByPath_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("name");
    QTest::newRow("usual adapter") << "pci-0000:00:14.0-usb-0:1.3:1.0-port0"
                                   << "usb-0:1.3";
    QTest::newRow("newer udev") << "pci-0000:00:14.0-usbv2-0:1.3:1.0-port0"
                                << "usb-0:1.3";
    QTest::newRow("hub port") << "pci-0000:00:14.0-usb-0:2.4.1:1.0-port0"
                              << "usb-0:2.4.1";
    QTest::newRow("second interface of a 4-port adapter") << "pci-0000:00:14.0-usb-0:1.3:1.2-port0"
                                                          << "usb-0:1.3:1.2";
    QTest::newRow("second port of one interface") << "pci-0000:00:14.0-usb-0:1.3:1.0-port1"
                                                  << "usb-0:1.3:1.0-port1";
    QTest::newRow("platform controller") << "platform-3f980000.usb-usb-0:1.3:1.0-port0"
                                         << "usb-0:1.3";
    QTest::newRow("no USB part") << "pci-0000:00:16.3"
                                 << "pci-0000:00:16.3";
}

void TestStationParts::slotNameFromByPath() {
    QFETCH(QString, link);
    QFETCH(QString, name);
    QCOMPARE(::slotNameFromByPath(link), name);
}

void TestStationParts::slotNamesFollowLinks() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir root(dir.path());
    QVERIFY(root.mkdir("by-path"));
    // Regular files stand in for the devices: only where the links lead matters.
    for (const char* device : {"ttyA", "ttyB", "ttyC", "ttyD", "ttyE"}) {
        QFile f(root.filePath(device));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    auto link = [&](const QString& name, const char* device) {
        QVERIFY(QFile::link(root.filePath(device), root.filePath("by-path/" + name)));
    };
    link("pci-0000:00:14.0-usb-0:1.3:1.0-port0", "ttyA");
    link("pci-0000:00:14.0-usbv2-0:1.3:1.0-port0", "ttyA");
    link("pci-0000:00:14.0-usb-0:1.4:1.2-port0", "ttyB");
    // Two host controllers with the same USB path: the whole names tell them apart.
    link("pci-0000:00:14.0-usb-0:2:1.0-port0", "ttyD");
    link("pci-0000:00:1d.0-usb-0:2:1.0-port0", "ttyE");
    const QStringList ports{root.filePath("ttyA"), root.filePath("ttyB"), root.filePath("ttyC"),
                            root.filePath("ttyD"), root.filePath("ttyE")};
    const QStringList names = slotNames(ports, root.filePath("by-path"));
    QCOMPARE(names, (QStringList{"usb-0:1.3", "usb-0:1.4:1.2", root.filePath("ttyC"),
                                 "pci-0000:00:14.0-usb-0:2:1.0-port0",
                                 "pci-0000:00:1d.0-usb-0:2:1.0-port0"}));
    // No such folder (a machine without USB serial adapters): every port by its path.
    QCOMPARE(slotNames(ports.mid(0, 2), root.filePath("none")), ports.mid(0, 2));
}

void TestStationParts::stationOptions_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error"); // a part of the message; empty: accepted
    QTest::addColumn<int>("units");
    QTest::newRow("simulated station")
        << QStringList{"--station", "--simulate", "4",    "--slot-scenario", "3:--hmi-silent",
                       "--loop",    "--log-dir",  "logs", "--json"}
        << QString() << 4;
    QTest::newRow("one simulated unit") << QStringList{"--station", "--simulate"} << QString() << 1;
    QTest::newRow("ports") << QStringList{"--station", "--port", "/dev/ttyUSB0"} << QString() << 0;
    QTest::newRow("--json with --auto") << QStringList{"--auto", "--json"} << QString() << 0;
    QTest::newRow("--json alone") << QStringList{"--json"} << "--json needs" << 0;
    QTest::newRow("N without --station")
        << QStringList{"--simulate", "4"} << "needs --station" << 4;
    QTest::newRow("station with --auto") << QStringList{"--station", "--auto"} << "--station" << 0;
    QTest::newRow("station with --log")
        << QStringList{"--station", "--log", "x.txt"} << "--log-dir" << 0;
    QTest::newRow("--loop without --station") << QStringList{"--loop"} << "needs --station" << 0;
    QTest::newRow("no such slot") << QStringList{"--station", "--simulate", "2", "--slot-scenario",
                                                 "3:--hmi-silent"}
                                  << "no simulated unit 3" << 2;
    QTest::newRow("bad scenario") << QStringList{"--station", "--simulate", "2", "--slot-scenario",
                                                 "2:--melt"}
                                  << "--slot-scenario 2:--melt" << 2;
    QTest::newRow("malformed") << QStringList{"--station", "--simulate", "2", "--slot-scenario",
                                              "--hmi-silent"}
                               << "expected N:OPTIONS" << 2;
    QTest::newRow("silence limit")
        << QStringList{"--station", "--silence-limit", "0"} << "--silence-limit" << 0;
}

void TestStationParts::stationOptions() {
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    QFETCH(int, units);
    const AppOptions o = parseArgs(args);
    if (error.isEmpty()) {
        QVERIFY2(o.error.isEmpty(), qPrintable(o.error));
    } else {
        QVERIFY2(o.error.contains(error), qPrintable(o.error));
    }
    QCOMPARE(o.station.simulatedUnits, units);
    if (QTest::currentDataTag() == QByteArray("simulated station")) {
        QVERIFY(o.station.enabled && o.station.loop && o.json);
        QCOMPARE(o.station.logDir, QStringLiteral("logs"));
        QCOMPARE(o.station.slotScenarios.at(3), QStringList{"--hmi-silent"});
    }
}

void TestStationParts::exitCodeAndSummaryNameTheFailedSlot() {
    std::vector<SlotRun> runs{finishedRun("usb-0:1.1", 1, 0, "none"),
                              finishedRun("usb-0:1.2", 2, -1, "killed")};
    QCOMPARE(stationExitCode({runs[0]}), 0);
    QCOMPARE(stationExitCode({}), 0);
    runs[1].signal = QStringLiteral("SIGKILL");
    runs[1].summary = QStringLiteral("the updater was killed by SIGKILL during CPU-2 transfer.");
    QCOMPARE(stationExitCode(runs), kStationSlotsFailed);
    // A run that said 0 without its result object did not succeed.
    SlotRun silent = finishedRun("usb-0:1.3", 3, 0, "no-result");
    silent.haveResult = false;
    QCOMPARE(stationExitCode({silent}), kStationSlotsFailed);

    const QStringList lines = stationSummaryLines(runs, kStationSlotsFailed);
    QVERIFY2(lines.constFirst().contains("1 succeeded, 1 failed; exit code 8"),
             qPrintable(lines.join(u'\n')));
    QVERIFY(lines.filter("usb-0:1.2").filter("FAILED killed").size() == 1);
    QVERIFY(lines.contains("usb-0:1.2 run 1: " + runs[1].summary));
    const QJsonObject summary = stationSummaryFields(runs, kStationSlotsFailed);
    QCOMPARE(summary.value("failed").toInt(), 1);
    const QJsonObject killed = summary.value("runs").toArray()[1].toObject();
    QCOMPARE(killed.value("signal").toString(), QStringLiteral("SIGKILL"));
    QVERIFY(!killed.contains("exit"));
    QCOMPARE(killed.value("ok").toBool(), false);
}

void TestStationParts::childLineGetsItsSlot_data() {
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QByteArray>("child");
    QTest::newRow("fields") << "usb-0:1.3" << QByteArray(R"({"type":"x","t":5})");
    QTest::newRow("quote in the name") << "a\"b" << QByteArray(R"({"type":"x","t":5})");
    QTest::newRow("empty object") << "sim-1" << QByteArray("{}");
}

void TestStationParts::childLineGetsItsSlot() {
    QFETCH(QString, slot);
    QFETCH(QByteArray, child);
    const QJsonObject joined = parse(withSlot(slot, child));
    QCOMPARE(joined.value("slot").toString(), slot);
    QJsonObject expected = parse(child);
    expected.insert("slot", slot);
    QCOMPARE(joined, expected);
}

QTEST_GUILESS_MAIN(TestStationParts)
#include "tst_station_parts.moc"

// Whole stations, as a production line runs them: simulated units on pseudo-terminals, one
// updater process per slot. A faulty unit fails its slot alone; a child killed with SIGKILL
// or hung fails its slot alone; slots are named by their by-path links; --loop programs the
// next unit once the last one was taken away, and Ctrl-C winds every run up.

#include "StationRun.h"

#include "SimulatedUnit.h"
#include "support/Scenarios.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <memory>

using corvane::station_test::JsonRun;
using corvane::station_test::kSlowPaceScale;
using corvane::station_test::schemaFaults;
using corvane::station_test::slowPaceOptions;
using corvane::test::versionArg;
namespace sim = corvane::sim;

namespace {

// Units whose CPU-2 alone is behind (about 1 s each on the fast link), with the fast link.
QStringList cpu2Behind() {
    const auto& c = corvane::test::carried();
    return {"--fast", "--cpu1", versionArg(c.version[1]), "--hmi", versionArg(c.version[3])};
}

// A slot scenario: slot N's unit at the slow pace.
QString slowSlot(int slot) {
    return QStringLiteral("%1:").arg(slot) + slowPaceOptions().join(u' ');
}

bool ofType(const QJsonObject& o, const char* type) {
    return o.value("type").toString() == QLatin1String(type);
}

// The summary's runs by slot (the last run of each).
QMap<QString, QJsonObject> runsBySlot(const JsonRun& run) {
    QMap<QString, QJsonObject> runs;
    for (const QJsonValue& v : run.objects().constLast().value("runs").toArray()) {
        runs.insert(v.toObject().value("slot").toString(), v.toObject());
    }
    return runs;
}

bool unitHoldsCarriedImages(const QJsonObject& run) {
    const QJsonArray processors =
        run.value("simulatedUnit").toObject().value("processors").toArray();
    if (processors.size() != 3) {
        return false;
    }
    for (const QJsonValue& p : processors) {
        if (!p.toObject().value("carriedImage").toBool()) {
            return false;
        }
    }
    return true;
}

bool processGone(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

class TestStation : public QObject {
    Q_OBJECT
private slots:
    void fourSlotsOneFaulty();
    void childKilledMidTransfer();
    void hungChildFailsAlone();
    void loopProgramsTheNextUnitUntilCtrlC();
    void loopWaitsAtAnEmptySocket();
};

void TestStation::fourSlotsOneFaulty() {
    QTemporaryDir logs;
    QVERIFY(logs.isValid());
    JsonRun run(QStringList{"--station", "--json", "--simulate", "4", "--log-dir", logs.path(),
                            "--slot-scenario", "3:--fault corrupt-status:fn104-command,after=1"} +
                cpu2Behind());
    QCOMPARE(run.finish(), 8);
    const QString faults = schemaFaults(run.stream());
    QVERIFY2(faults.isEmpty(), qPrintable(faults + run.context()));

    const QMap<QString, QJsonObject> runs = runsBySlot(run);
    QCOMPARE(runs.keys(), (QStringList{"sim-1", "sim-2", "sim-3", "sim-4"}));
    for (const QString& slot : runs.keys()) {
        const QJsonObject r = runs[slot];
        if (slot == "sim-3") {
            QCOMPARE(r.value("ok").toBool(), false);
            QCOMPARE(r.value("cause").toString(), QStringLiteral("data-corrupt"));
            QCOMPARE(r.value("name").toString(), QStringLiteral("CPU-2"));
            QCOMPARE(r.value("exit").toInt(), 1);
            QVERIFY(!unitHoldsCarriedImages(r));
        } else {
            QVERIFY2(r.value("ok").toBool(), qPrintable(slot + run.context()));
            // The simulated unit compared its flash with the carried images byte for byte.
            QVERIFY2(unitHoldsCarriedImages(r), qPrintable(slot));
        }
        // Each child's own result came through with its slot and agrees with the summary.
        bool found = false;
        for (const QJsonObject& o : run.ofType("result")) {
            if (o.value("slot").toString() == slot) {
                found = true;
                QCOMPARE(o.value("exit").toInt(), r.value("exit").toInt());
            }
        }
        QVERIFY2(found, qPrintable(slot));
        // Its transcript, ended by the run's result line.
        const QString log = r.value("log").toString();
        QVERIFY2(log.startsWith(logs.path() + "/" + slot + "-run1-"), qPrintable(log));
        QFile file(log);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(log));
        const QByteArray text = file.readAll().trimmed();
        QVERIFY2(text.mid(text.lastIndexOf('\n') + 1)
                     .contains(QStringLiteral("result   Result: ").toUtf8()),
                 qPrintable(log));
        QVERIFY(
            text.endsWith(QStringLiteral("(exit code %1)").arg(r.value("exit").toInt()).toUtf8()));
    }
    QCOMPARE(QDir(logs.path()).entryList(QDir::Files).size(), 4);
    // The summary a technician reads names the failed slot and why.
    QVERIFY2(run.err().contains("1 failed; exit code 8"), qPrintable(run.err()));
    QVERIFY2(run.err().contains(QRegularExpression("\nsim-3 +1 +RM\\d+ .*FAILED data-corrupt "
                                                   "\\(CPU-2\\)")),
             qPrintable(run.err()));
    QVERIFY(run.err().contains("sim-3 run 1: the upgrade failed: "));
}

void TestStation::childKilledMidTransfer() {
    // Three units of the test's own, reached through by-path links as udev makes them.
    const auto& c = corvane::test::carried();
    std::vector<std::unique_ptr<sim::SimulatedUnit>> units;
    QTemporaryDir byPath;
    QVERIFY(byPath.isValid());
    QStringList args{"--station", "--json", "--fast"};
    for (int n = 1; n <= 3; ++n) {
        sim::Scenario scenario = corvane::test::withVersions(c.version[1], 100, c.version[3]);
        if (n == 2) { // the one killed mid-transfer
            scenario.timing.enabled = true;
            scenario.timing.scale = kSlowPaceScale;
        }
        units.push_back(std::make_unique<sim::SimulatedUnit>(scenario));
        const QString pty = units.back()->openPty();
        QVERIFY(QFile::link(
            pty, byPath.filePath(QStringLiteral("pci-0000:00:14.0-usb-0:1.%1:1.0-port0").arg(n))));
        args << "--port" << pty;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CORVANE_SERIAL_BY_PATH", byPath.path());
    JsonRun run(args, env);

    const QJsonObject start =
        run.waitFor([](const QJsonObject& o) { return ofType(o, "station-start"); });
    QJsonArray slotList = start.value("slots").toArray();
    QCOMPARE(slotList.size(), 3);
    for (int n = 1; n <= 3; ++n) {
        QCOMPARE(slotList[n - 1].toObject().value("slot").toString(),
                 QStringLiteral("usb-0:1.%1").arg(n));
    }
    const QJsonObject started = run.waitFor([](const QJsonObject& o) {
        return ofType(o, "slot-started") && o.value("slot").toString() == "usb-0:1.2";
    });
    QVERIFY2(!started.isEmpty(), qPrintable(run.context()));
    const QJsonObject moving = run.waitFor([](const QJsonObject& o) {
        return ofType(o, "progress") && o.value("slot").toString() == "usb-0:1.2" &&
               o.value("stage").toString() == "transfer" && o.value("percent").toDouble() >= 20;
    });
    QVERIFY2(!moving.isEmpty(), qPrintable(run.context()));
    const qint64 pid = started.value("pid").toInteger();
    QVERIFY(::kill(static_cast<pid_t>(pid), SIGKILL) == 0);

    QCOMPARE(run.finish(), 8);
    const QString faults = schemaFaults(run.stream());
    QVERIFY2(faults.isEmpty(), qPrintable(faults + run.context()));
    const QMap<QString, QJsonObject> runs = runsBySlot(run);
    const QJsonObject killed = runs["usb-0:1.2"];
    QCOMPARE(killed.value("ok").toBool(), false);
    QCOMPARE(killed.value("cause").toString(), QStringLiteral("killed"));
    QCOMPARE(killed.value("signal").toString(), QStringLiteral("SIGKILL"));
    QVERIFY(!killed.contains("exit"));
    QVERIFY2(killed.value("summary").toString().contains("killed by SIGKILL during CPU-2 transfer"),
             qPrintable(killed.value("summary").toString()));
    QVERIFY(runs["usb-0:1.1"].value("ok").toBool());
    QVERIFY(runs["usb-0:1.3"].value("ok").toBool());
    for (auto& unit : units) {
        unit->stop();
    }
    QVERIFY(units[0]->summary().processors[2].holdsCarriedImage);
    QVERIFY(!units[1]->summary().processors[2].holdsCarriedImage);
    QVERIFY(units[2]->summary().processors[2].holdsCarriedImage);
}

void TestStation::hungChildFailsAlone() {
    JsonRun run(QStringList{"--station", "--json", "--simulate", "2", "--silence-limit", "2",
                            "--slot-scenario", slowSlot(1)} +
                cpu2Behind());
    const QJsonObject started = run.waitFor([](const QJsonObject& o) {
        return ofType(o, "slot-started") && o.value("slot").toString() == "sim-1";
    });
    QVERIFY2(!started.isEmpty(), qPrintable(run.context()));
    // A process that no longer runs at all: neither its own stall limit nor a signal
    // handler of its own can end it.
    QVERIFY(::kill(static_cast<pid_t>(started.value("pid").toInteger()), SIGSTOP) == 0);
    QCOMPARE(run.finish(), 8);
    const QMap<QString, QJsonObject> runs = runsBySlot(run);
    QCOMPARE(runs["sim-1"].value("cause").toString(), QStringLiteral("hung"));
    QCOMPARE(runs["sim-1"].value("signal").toString(), QStringLiteral("SIGKILL"));
    QVERIFY2(runs["sim-2"].value("ok").toBool(), qPrintable(run.context()));
    QVERIFY(unitHoldsCarriedImages(runs["sim-2"]));
}

void TestStation::loopProgramsTheNextUnitUntilCtrlC() {
    JsonRun run(QStringList{"--station", "--json", "--simulate", "2", "--loop", "--slot-scenario",
                            slowSlot(2)} +
                cpu2Behind());
    // The first units are programmed, taken away, new ones loaded: a second run starts. Slot 2's
    // is the one cut.
    const QJsonObject second = run.waitFor(
        [](const QJsonObject& o) {
            return ofType(o, "slot-started") && o.value("slot").toString() == "sim-2" &&
                   o.value("run").toInt() == 2;
        },
        90000);
    QVERIFY2(!second.isEmpty(), qPrintable(run.context()));
    const QString slot = second.value("slot").toString();
    const QJsonObject moving = run.waitFor([&](const QJsonObject& o) {
        return ofType(o, "progress") && o.value("slot").toString() == slot &&
               o.value("stage").toString() == "transfer";
    });
    QVERIFY2(!moving.isEmpty(), qPrintable(run.context()));
    run.signal(SIGINT);
    QCOMPARE(run.finish(60000), 8);
    const QString faults = schemaFaults(run.stream());
    QVERIFY2(faults.isEmpty(), qPrintable(faults + run.context()));

    QCOMPARE(run.ofType("station-stopping").size(), 1);
    const QJsonObject summary = run.objects().constLast();
    const QJsonArray runs = summary.value("runs").toArray();
    QVERIFY2(runs.size() >= 3, qPrintable(run.context()));
    int stopped = 0;
    for (const QJsonValue& v : runs) {
        const QJsonObject r = v.toObject();
        if (r.value("run").toInt() == 1) {
            QVERIFY2(r.value("ok").toBool() && unitHoldsCarriedImages(r),
                     qPrintable(run.context()));
        }
        stopped += r.value("cause").toString() == "stopped" ? 1 : 0;
    }
    // The cut run ended through its own SIGINT handling: a result with exit 130.
    QVERIFY(stopped >= 1);
    QVERIFY(summary.value("failed").toInt() == stopped);
    int waitedForUnit = 0;
    for (const QJsonObject& o : run.ofType("slot-waiting")) {
        waitedForUnit += o.value("waitingFor").toString() == "unit" ? 1 : 0;
    }
    QVERIFY(waitedForUnit >= 1);
    for (const QJsonObject& o : run.ofType("slot-started")) {
        QVERIFY2(processGone(o.value("pid").toInteger()), "a child outlived the station");
    }
}

void TestStation::loopWaitsAtAnEmptySocket() {
    // A socket of a fixture: the port is there only while a unit sits in it.
    const auto& c = corvane::test::carried();
    sim::SimulatedUnit unit(corvane::test::withVersions(c.version[1], 100, c.version[3]));
    const QString pty = unit.openPty();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString socket = dir.filePath("socket");
    JsonRun run({"--station", "--json", "--loop", "--fast", "--port", socket});
    // The first run finds no unit: the slot waits for one and no failure is counted.
    const QJsonObject empty =
        run.waitFor([](const QJsonObject& o) { return ofType(o, "slot-ended"); });
    QCOMPARE(empty.value("counted").toBool(true), false);
    QVERIFY(!run.waitFor([](const QJsonObject& o) {
                    return ofType(o, "slot-waiting") && o.value("waitingFor").toString() == "unit";
                })
                 .isEmpty());
    QVERIFY(QFile::link(pty, socket)); // a unit is put in
    const QJsonObject programmed =
        run.waitFor([](const QJsonObject& o) { return ofType(o, "slot-ended"); });
    QVERIFY2(programmed.value("ok").toBool(), qPrintable(run.context()));
    QVERIFY(!run.waitFor([](const QJsonObject& o) {
                    return ofType(o, "slot-waiting") &&
                           o.value("waitingFor").toString() == "removal";
                })
                 .isEmpty());
    QVERIFY(QFile::remove(socket)); // and taken away
    QVERIFY(!run.waitFor([](const QJsonObject& o) {
                    return ofType(o, "slot-waiting") && o.value("waitingFor").toString() == "unit";
                })
                 .isEmpty());
    // Ctrl-C while no unit is being programmed: every counted run succeeded.
    run.signal(SIGINT);
    QCOMPARE(run.finish(30000), 0);
    const QJsonObject summary = run.objects().constLast();
    QCOMPARE(summary.value("succeeded").toInt(), 1);
    QCOMPARE(summary.value("failed").toInt(), 0);
    unit.stop();
    QVERIFY(unit.summary().processors[2].holdsCarriedImage);
}

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"

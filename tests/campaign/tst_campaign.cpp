// The fault campaign's own parts: where its faults land, what it counts as a violation, how
// its workers pass runs and results, and a clean upgrade of the reduced unit it is built on.

#include "Plan.h"
#include "Report.h"
#include "Runner.h"

#include <QTest>

#include <set>

using namespace corvane::campaign;
namespace sim = corvane::sim;
using sim::Exchange;
using sim::FaultKind;

namespace {

// A made-up upgrade: scan reads, CPU-1 through its bootloader, then CPU-2.
std::vector<sim::ExchangeRecord> sampleTrace() {
    std::vector<sim::ExchangeRecord> t;
    auto add = [&](Exchange k, const char* detail = "") {
        t.push_back({k, QString::fromLatin1(detail)});
    };
    add(Exchange::ModbusRead, "reg 0");
    add(Exchange::ModbusRead, "reg 8");
    add(Exchange::ModbusRead, "reg 10");
    add(Exchange::Fn103, "upgrade-mode");
    add(Exchange::Fn103, "bootloader");
    add(Exchange::BlModel);
    add(Exchange::BlInfo);
    for (int i = 0; i < 4; ++i) {
        add(Exchange::BlErase);
    }
    for (int i = 0; i < 7; ++i) {
        add(Exchange::BlProgram);
    }
    add(Exchange::BlWriteByte);
    add(Exchange::BlReset);
    add(Exchange::ModbusRead, "reg 0");
    add(Exchange::Fn104Command, "CPU-2 boot-entry");
    add(Exchange::ModbusRead, "reg 10");
    for (int i = 0; i < 5; ++i) {
        add(Exchange::Fn104Data, "CPU-2");
    }
    add(Exchange::Fn104Command, "CPU-2 erase");
    add(Exchange::StatusRead, "CPU-2");
    add(Exchange::StatusRead, "CPU-2");
    add(Exchange::Fn104Command, "CPU-2 program");
    add(Exchange::StatusRead, "CPU-2");
    add(Exchange::StatusRead, "CPU-2");
    add(Exchange::StatusRead, "CPU-2");
    add(Exchange::Fn103, "restart");
    return t;
}

UnitSetup sampleSetup() {
    UnitSetup s;
    s.name = QStringLiteral("sample");
    return s;
}

PlanOptions only(bool cross, bool power, bool late, bool discovery, int seeds) {
    PlanOptions o;
    o.crossKinds = cross;
    o.powerLoss = power;
    o.late = late;
    o.discovery = discovery;
    o.randomSeeds = seeds;
    return o;
}

const Phase* phaseNamed(const std::vector<Phase>& phases, const char* name) {
    for (const Phase& p : phases) {
        if (p.name == QLatin1String(name)) {
            return &p;
        }
    }
    return nullptr;
}

// A run that upgraded all three processors as it should.
Observation goodRun(int exitCode = 0) {
    Observation o;
    o.exitCode = exitCode;
    o.lastLines = {QStringLiteral("Restarting System....Done"),
                   QStringLiteral("Result: upgrade complete.")};
    for (std::size_t n = 1; n <= 3; ++n) {
        o.flagged[n] = true;
        o.flashOk[n] = true;
        o.reports[n] = o.carried[n] = QStringLiteral("RM%1 v1.00").arg(n);
    }
    return o;
}

Observation failedRun(int exitCode, const QString& last) {
    Observation o = goodRun(exitCode);
    o.lastLines = {QStringLiteral("Erasing CPU-2......"), last};
    o.flashOk[2] = false;
    o.reports[2] = QStringLiteral("RM9000 v0.00");
    return o;
}

} // namespace

class TestCampaign : public QObject {
    Q_OBJECT
private slots:
    void aimsAtOneExchangeOfItsKind();
    void crossesEveryKindWithEveryFault();
    void findsTheStepsOfAnUpgrade();
    void powerLossAndLateRepliesCoverEveryStep();
    void discoveryFaultsHitTheScanReads();
    void randomChainsAreRepeatable();
    void invariants_data();
    void invariants();
    void linesRoundTrip();
    void malformedLinesAreRefused();
    void tallyCountsOutcomes();
    void programCommandOnlyForRealRanges();
    void reducedUnitUpgradesCleanly();
};

void TestCampaign::aimsAtOneExchangeOfItsKind() {
    const auto t = sampleTrace();
    // Index 13 is the third bl-program; two of its kind come first.
    const sim::Fault f = aimAt(t, 13, FaultKind::DropReply);
    QCOMPARE(f.on, Exchange::BlProgram);
    QCOMPARE(f.after, 2);
    QCOMPARE(f.count, 1);
    // The last status read: four of its kind before it.
    const sim::Fault last = aimAt(t, t.size() - 2, FaultKind::DelayReply, 1800);
    QCOMPARE(last.on, Exchange::StatusRead);
    QCOMPARE(last.after, 4);
    QCOMPARE(last.param, 1800);
    // The next exchange of any kind: every exchange up to and including index passes first.
    const sim::Fault next = aimAtNext(13, FaultKind::DropReply);
    QCOMPARE(next.on, Exchange::Any);
    QCOMPARE(next.after, 14);
}

void TestCampaign::crossesEveryKindWithEveryFault() {
    const auto t = sampleTrace();
    std::vector<PlannedRun> runs;
    planRuns(runs, sampleSetup(), t, only(true, false, false, false, 0));
    std::map<Exchange, int> countOf;
    for (const auto& r : t) {
        ++countOf[r.kind];
    }

    std::set<QString> seen;
    for (const PlannedRun& r : runs) {
        QCOMPARE(r.faults.size(), std::size_t{1});
        const sim::Fault& f = r.faults.front();
        QCOMPARE(sim::faultName(f.kind), r.group);
        QCOMPARE(sim::exchangeName(f.on), r.phase);
        QVERIFY2(f.kind != FaultKind::ExceptionReply ||
                     !sim::exchangeName(f.on).startsWith(QLatin1String("bl-")),
                 qPrintable(r.phase)); // the bootloader has no exception reply
        const int n = countOf[f.on];
        const int expected = r.position == QLatin1String("first")    ? 0
                             : r.position == QLatin1String("middle") ? n / 2
                                                                     : n - 1;
        QCOMPARE(f.after, expected);
        QVERIFY(seen.insert(r.group + r.phase + r.position).second); // no run twice
    }
    // Modbus kinds get five faults, bootloader kinds four, at up to three places each.
    for (const auto& [kind, n] : countOf) {
        const bool modbus = !sim::exchangeName(kind).startsWith(QLatin1String("bl-"));
        const int places = std::min(n, 3);
        const auto planned = std::count_if(runs.begin(), runs.end(), [&](const PlannedRun& r) {
            return r.faults.front().on == kind;
        });
        QCOMPARE(int(planned), places * (modbus ? 5 : 4));
    }
}

void TestCampaign::findsTheStepsOfAnUpgrade() {
    const auto phases = phasesOf(sampleTrace());
    const Phase* erase = phaseNamed(phases, "CPU-1 erase");
    QVERIFY(erase);
    QCOMPARE(erase->exchanges, (std::vector<std::size_t>{7, 8, 9, 10}));
    QVERIFY(phaseNamed(phases, "CPU-1 programming"));
    QCOMPARE(phaseNamed(phases, "CPU-1 programming")->exchanges.size(), std::size_t{7});
    QCOMPARE(phaseNamed(phases, "disable")->exchanges, (std::vector<std::size_t>{18}));
    QCOMPARE(phaseNamed(phases, "reset")->exchanges, (std::vector<std::size_t>{19}));
    QCOMPARE(phaseNamed(phases, "CPU-2 boot entry")->exchanges, (std::vector<std::size_t>{21}));
    QCOMPARE(phaseNamed(phases, "CPU-2 transfer")->exchanges.size(), std::size_t{5});
    // An operation is its command and its own status reads, up to the next command.
    QCOMPARE(phaseNamed(phases, "CPU-2 erase")->exchanges, (std::vector<std::size_t>{28, 29, 30}));
    QCOMPARE(phaseNamed(phases, "CPU-2 programming")->exchanges,
             (std::vector<std::size_t>{31, 32, 33, 34}));
    QCOMPARE(phaseNamed(phases, "restart")->exchanges, (std::vector<std::size_t>{35}));
    QVERIFY(!phaseNamed(phases, "HMI transfer")); // no HMI in this trace
}

void TestCampaign::powerLossAndLateRepliesCoverEveryStep() {
    const auto t = sampleTrace();
    std::vector<PlannedRun> runs;
    PlanOptions o = only(false, true, true, false, 0);
    o.powerLossSilentMs = 250;
    planRuns(runs, sampleSetup(), t, o);
    std::map<QString, std::set<QString>> power;
    std::map<QString, int> late;
    for (const PlannedRun& r : runs) {
        if (r.group == QLatin1String("power-loss")) {
            QCOMPARE(r.faults.size(), std::size_t{1});
            QCOMPARE(r.faults[0].kind, FaultKind::PowerLoss);
            QCOMPARE(r.faults[0].param, 250);
            power[r.phase].insert(r.position);
        } else {
            QCOMPARE(r.group, QStringLiteral("late"));
            QCOMPARE(r.faults[0].kind, FaultKind::DelayReply);
            QVERIFY(r.faults[0].param > 1000);
            if (r.position.endsWith(QLatin1String("alone"))) {
                QCOMPARE(r.faults.size(), std::size_t{1});
            } else {
                QCOMPARE(r.faults.size(), std::size_t{2});
                QCOMPARE(r.faults[1].on, Exchange::Any); // the very next exchange
                QCOMPARE(r.faults[1].kind, r.position.endsWith(QLatin1String("lost"))
                                               ? FaultKind::DropReply
                                               : FaultKind::DelayReply);
            }
            ++late[r.phase];
        }
    }
    const std::set<QString> three{"first", "middle", "last"};
    QCOMPARE(power[QStringLiteral("CPU-1 erase")], three);
    QCOMPARE(power[QStringLiteral("CPU-1 programming")], three);
    QCOMPARE(power[QStringLiteral("CPU-2 transfer")], three);
    for (const char* step :
         {"disable", "reset", "CPU-2 boot entry", "CPU-2 erase", "CPU-2 programming", "restart"}) {
        QCOMPARE(power[QString::fromLatin1(step)].size(), std::size_t{1});
    }
    // The late reply of an operation's last status read (its "finished") is among them.
    const auto finishedLate = std::find_if(runs.begin(), runs.end(), [](const PlannedRun& r) {
        return r.group == QLatin1String("late") && r.phase == QLatin1String("CPU-2 programming") &&
               r.position == QLatin1String("last then lost");
    });
    QVERIFY(finishedLate != runs.end());
    QCOMPARE(finishedLate->faults[0].on, Exchange::StatusRead);
    QCOMPARE(finishedLate->faults[0].after, 4);
    QCOMPARE(finishedLate->faults[1].after, 35);
    for (const Phase& p : phasesOf(t)) {
        QCOMPARE(late[p.name], p.exchanges.size() > 1 ? 6 : 3);
    }
}

void TestCampaign::discoveryFaultsHitTheScanReads() {
    std::vector<PlannedRun> runs;
    planRuns(runs, sampleSetup(), sampleTrace(), only(false, false, false, true, 0));
    QCOMPARE(runs.size(), std::size_t{15}); // three reads before the first command, five faults
    for (const PlannedRun& r : runs) {
        QCOMPARE(r.faults[0].on, Exchange::ModbusRead);
        QVERIFY(r.faults[0].after <= 2);
    }
}

void TestCampaign::randomChainsAreRepeatable() {
    const auto t = sampleTrace();
    std::vector<PlannedRun> a;
    std::vector<PlannedRun> b;
    planRuns(a, sampleSetup(), t, only(false, false, false, false, 100));
    planRuns(b, sampleSetup(), t, only(false, false, false, false, 100));
    QCOMPARE(a.size(), std::size_t{100});
    std::set<std::size_t> sizes;
    for (std::size_t i = 0; i < a.size(); ++i) {
        QCOMPARE(encodeRun(a[i]), encodeRun(b[i]));
        QVERIFY(a[i].faults.size() >= 1 && a[i].faults.size() <= 5);
        sizes.insert(a[i].faults.size());
        for (const sim::Fault& f : a[i].faults) {
            QVERIFY(f.kind != FaultKind::ExceptionReply ||
                    !sim::exchangeName(f.on).startsWith(QLatin1String("bl-")));
        }
    }
    QCOMPARE(sizes.size(), std::size_t{5}); // every chain length from 1 to 5 occurs
}

void TestCampaign::invariants_data() {
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("last");
    QTest::addColumn<int>("brokenProcessor"); // 0: all good
    QTest::addColumn<bool>("powerLost");
    QTest::addColumn<int>("recoveryExit"); // -2: no recovery run
    QTest::addColumn<bool>("recoveryFlashOk");
    QTest::addColumn<int>("violations");
    const QString failed = QStringLiteral("Result: the upgrade failed: Erasing CPU-2......Error");
    const QString done = QStringLiteral("Result: upgrade complete.");
    QTest::newRow("clean success") << 0 << done << 0 << false << -2 << true << 0;
    QTest::newRow("exit 0, one flash wrong") << 0 << done << 2 << false << -2 << true << 2;
    QTest::newRow("failure that says why") << 1 << failed << 2 << false << -2 << true << 0;
    QTest::newRow("failure without a result line")
        << 1 << QStringLiteral("Erasing CPU-2......") << 2 << false << -2 << true << 1;
    QTest::newRow("non-zero but says complete") << 1 << done << 2 << false << -2 << true << 1;
    QTest::newRow("stalled") << 6 << QStringLiteral("Result: nothing happened for 30 s") << 2
                             << false << -2 << true << 1;
    QTest::newRow("never ended") << -1 << QString() << 2 << false << -2 << true << 1;
    QTest::newRow("power loss, recovered") << 1 << failed << 2 << true << 0 << true << 0;
    QTest::newRow("power loss, recovery fails") << 1 << failed << 2 << true << 1 << false << 1;
    QTest::newRow("power loss, recovery exit 0 but flash wrong")
        << 1 << failed << 2 << true << 0 << false << 1;
    QTest::newRow("power loss, no recovery run") << 1 << failed << 2 << true << -2 << true << 1;
    QTest::newRow("power loss survived in the run") << 0 << done << 0 << true << -2 << true << 0;
}

void TestCampaign::invariants() {
    QFETCH(int, exitCode);
    QFETCH(QString, last);
    QFETCH(int, brokenProcessor);
    QFETCH(bool, powerLost);
    QFETCH(int, recoveryExit);
    QFETCH(bool, recoveryFlashOk);
    QFETCH(int, violations);
    Observation run = goodRun(exitCode);
    run.lastLines = {QStringLiteral("something"), last};
    if (brokenProcessor != 0) {
        run.flashOk[static_cast<std::size_t>(brokenProcessor)] = false;
        run.reports[static_cast<std::size_t>(brokenProcessor)] = QStringLiteral("RM9000 v0.00");
    }
    std::optional<Observation> recovery;
    if (recoveryExit != -2) {
        recovery =
            recoveryExit == 0 ? goodRun() : failedRun(recoveryExit, QStringLiteral("Result: x"));
        recovery->flashOk[2] = recoveryFlashOk;
    }
    const QStringList v = checkRun(run, powerLost, recovery ? &*recovery : nullptr);
    QVERIFY2(v.size() == violations, qPrintable(v.join(u'\n')));

    // A processor that was not out of date is not held to the carried image.
    Observation unflagged = goodRun();
    unflagged.flagged[3] = false;
    unflagged.flashOk[3] = false;
    unflagged.reports[3] = QStringLiteral("RM6204 v1.05");
    QVERIFY(checkRun(unflagged, false, nullptr).isEmpty());
}

void TestCampaign::linesRoundTrip() {
    PlannedRun s;
    s.id = 417;
    s.setup = QStringLiteral("three");
    s.group = QStringLiteral("late");
    s.phase = QStringLiteral("HMI programming");
    s.position = QStringLiteral("last then late");
    s.seed = 77;
    s.faults.push_back({FaultKind::DelayReply, Exchange::StatusRead, 12, 1, 1.0, 1800});
    s.faults.push_back({FaultKind::Noise, Exchange::Any, 40, 2, 0.5, 3});
    const auto back = decodeRun(encodeRun(s));
    QVERIFY(back);
    QCOMPARE(back->id, 417);
    QCOMPARE(back->phase, s.phase);
    QCOMPARE(back->position, s.position);
    QCOMPARE(back->seed, 77u);
    QCOMPARE(back->faults.size(), std::size_t{2});
    for (std::size_t i = 0; i < 2; ++i) {
        QCOMPARE(back->faults[i].kind, s.faults[i].kind);
        QCOMPARE(back->faults[i].on, s.faults[i].on);
        QCOMPARE(back->faults[i].after, s.faults[i].after);
        QCOMPARE(back->faults[i].count, s.faults[i].count);
        QCOMPARE(back->faults[i].probability, s.faults[i].probability);
        QCOMPARE(back->faults[i].param, s.faults[i].param);
    }

    RunResult r;
    r.id = 9;
    r.exitCode = 1;
    r.recoveryExit = 0;
    r.faultsFired = 1;
    r.faultsPlanned = 2;
    r.powerLost = true;
    r.ms = 1234;
    r.violations = {QStringLiteral("exit 0 but\tHMI\nreports")};
    r.lastLines = {QStringLiteral("a"), QStringLiteral("Result: b")};
    const auto rb = decodeResult(encodeResult(r));
    QVERIFY(rb);
    QCOMPARE(rb->exitCode, 1);
    QCOMPARE(rb->recoveryExit, 0);
    QCOMPARE(rb->faultsFired, 1);
    QCOMPARE(rb->faultsPlanned, 2);
    QVERIFY(rb->powerLost);
    QCOMPARE(rb->ms, 1234);
    QCOMPARE(rb->violations, QStringList{QStringLiteral("exit 0 but HMI reports")});
    QCOMPARE(rb->lastLines, r.lastLines);
}

void TestCampaign::malformedLinesAreRefused() {
    QVERIFY(!decodeRun(QString()));
    QVERIFY(!decodeRun(QStringLiteral("1\tthree\tdrop\tbl-erase\tfirst\t1"))); // a field short
    QVERIFY(!decodeRun(QStringLiteral("x\tthree\tdrop\tbl-erase\tfirst\t1\tdrop")));
    QVERIFY(!decodeRun(QStringLiteral("1\tthree\tdrop\tbl-erase\tfirst\t1\tmelt:bl-erase")));
    QVERIFY(!decodeResult(QStringLiteral("1\t0\t-2\t1\t1\t0\tfast\t\t")));
    QVERIFY(!decodeResult(QStringLiteral("1\t0")));
}

void TestCampaign::tallyCountsOutcomes() {
    std::vector<PlannedRun> runs(5);
    for (int i = 0; i < 5; ++i) {
        runs[static_cast<std::size_t>(i)].id = i;
        runs[static_cast<std::size_t>(i)].setup = QStringLiteral("three");
        runs[static_cast<std::size_t>(i)].group =
            i < 3 ? QStringLiteral("power-loss") : QStringLiteral("drop");
    }
    std::map<int, RunResult> results;
    auto result = [](int id, int exit, bool power, int recovery, int fired, QStringList v = {}) {
        RunResult r;
        r.id = id;
        r.exitCode = exit;
        r.powerLost = power;
        r.recoveryExit = recovery;
        r.faultsPlanned = 1;
        r.faultsFired = fired;
        r.violations = std::move(v);
        return r;
    };
    results[0] = result(0, 1, true, 0, 1);                                      // recovered
    results[1] = result(1, 1, true, 1, 1, {QStringLiteral("recovery failed")}); // not
    results[2] = result(2, 0, true, -2, 1);                                     // survived it
    results[3] = result(3, 0, false, -2, 0);                                    // never fired
    // run 4 has no result
    const auto rows = tally(runs, results, false);
    QCOMPARE(rows.size(), std::size_t{3});
    const Tally& power = rows[0].second;
    QCOMPARE(rows[0].first, QStringLiteral("three  power-loss"));
    QCOMPARE(power.runs, 3);
    QCOMPARE(power.ended0, 1);
    QCOMPARE(power.endedNonZero, 2);
    QCOMPARE(power.powerLost, 3);
    QCOMPARE(power.recovered, 1);
    QCOMPARE(power.violations, 1);
    const Tally& total = rows.back().second;
    QCOMPARE(total.runs, 5);
    QCOMPARE(total.notFired, 1);
    QCOMPARE(total.missing, 1);
    QCOMPARE(total.violations, 2);
    const QString text =
        violationsText(runs, results, {}, QStringLiteral("fault_campaign --slice ci"));
    QVERIFY(text.contains(QStringLiteral("rerun: fault_campaign --slice ci --only 1")));
    QVERIFY(text.contains(QStringLiteral("rerun: fault_campaign --slice ci --only 4")));
    QVERIFY(!text.contains(QStringLiteral("--only 0")));
}

void TestCampaign::programCommandOnlyForRealRanges() {
    const auto setups = unitSetups();
    PlannedRun r;
    r.seed = 3;
    r.faults.push_back({FaultKind::DropReply, Exchange::BlProgram, 10, 1, 1.0, 0});
    r.faults.push_back({FaultKind::PowerLoss, Exchange::Fn104Data, 5, 1, 1.0, 300});
    QVERIFY(programCommand(r, *findSetup(setups, QStringLiteral("three"))).isEmpty());
    QCOMPARE(programCommand(r, *findSetup(setups, QStringLiteral("full"))),
             QStringLiteral("corvane-updater --auto --simulate --cpu1 :2.15 --cpu2 :1.00 --hmi "
                            ":1.05 --seed 3 --fault drop:bl-program,after=10 --fault "
                            "power-loss:fn104-data,after=5,param=300"));
}

void TestCampaign::reducedUnitUpgradesCleanly() {
    ReducedBuildData reduced;
    QVERIFY(reduced.ok());
    const auto setups = unitSetups();
    RunnerOptions options;
    QString why;
    const auto trace =
        cleanTrace(*findSetup(setups, QStringLiteral("three")), reduced, options, &why);
    QVERIFY2(!trace.empty(), qPrintable(why));
    const auto phases = phasesOf(trace);
    // 0x1800..0x1FFF: four 512-byte rows and sixteen 128-byte blocks for CPU-1.
    QCOMPARE(phaseNamed(phases, "CPU-1 erase")->exchanges.size(), std::size_t{4});
    QCOMPARE(phaseNamed(phases, "CPU-1 programming")->exchanges.size(), std::size_t{16});
    for (const char* step :
         {"upgrade mode", "bootloader entry", "disable", "reset", "CPU-2 boot entry",
          "CPU-2 transfer", "CPU-2 erase", "CPU-2 programming", "HMI boot entry", "HMI transfer",
          "HMI erase", "HMI programming", "restart"}) {
        QVERIFY2(phaseNamed(phases, step), step);
    }
    // The operations end with their status reads (busy, then finished).
    QVERIFY(phaseNamed(phases, "HMI erase")->exchanges.size() >= 2);
    QCOMPARE(trace.front().kind, Exchange::ModbusRead);

    // A fault aimed at the middle of CPU-2's transfer fires on it and the run still holds.
    const Phase* transfer = phaseNamed(phases, "CPU-2 transfer");
    PlannedRun job;
    job.setup = QStringLiteral("three");
    job.faults = {
        aimAt(trace, transfer->exchanges[transfer->exchanges.size() / 2], FaultKind::CorruptByte)};
    const RunResult r = runOne(job, *findSetup(setups, job.setup), reduced, options);
    QCOMPARE(r.faultsFired, 1);
    QVERIFY2(r.violations.isEmpty(), qPrintable(r.violations.join(u'\n')));

    // A power loss in the middle of CPU-1's programming, and every data block of the
    // sub-processors dropped after it: the first run ends before any block is sent, and the
    // recovery run is clean (the faults not fired yet never fire), so it restores the unit.
    const Phase* programming = phaseNamed(phases, "CPU-1 programming");
    PlannedRun cut;
    cut.setup = QStringLiteral("three");
    cut.faults = {aimAt(trace, programming->exchanges[8], FaultKind::PowerLoss, 300),
                  {FaultKind::DropReply, Exchange::Fn104Data, 0, 100000, 1.0, 0}};
    const RunResult c = runOne(cut, *findSetup(setups, cut.setup), reduced, options);
    QVERIFY(c.powerLost);
    QVERIFY2(c.exitCode != 0, qPrintable(c.lastLines.join(u'\n')));
    QCOMPARE(c.recoveryExit, 0);
    QVERIFY2(c.violations.isEmpty(), qPrintable(c.violations.join(u'\n')));
}

QTEST_MAIN(TestCampaign)
#include "tst_campaign.moc"

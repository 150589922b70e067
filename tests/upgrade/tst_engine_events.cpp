// The engine's events as the technician and a script meet them: the progress list the caption
// table makes of an event sequence, the outcome a sequence comes to (exit, cause, the line a
// report quotes), and the state a stopped run leaves the unit in.
//
// Sequences are written compactly, items separated by ';':
//   up                     the upgrade starts (the list is emptied)
//   +stage/n[/bar]         a stage starts for processor n (with its bar at 0)
//   =stage/n[/detail]      it ends done
//   !stage/n/cause[/d]     it ends failed
//   %stage/n/percent       its bar moves
//   #note/n[/text]         a line that is not a stage
// with the names the machine-readable output uses (stageName, causeName, noteName).

#include "upgrade/Captions.h"
#include "upgrade/Outcome.h"
#include "upgrade/ProgressLines.h"

#include <QTest>

namespace {

template <typename E, int Count>
E byName(const QString& name, const char* (*nameOf)(E)) {
    for (int i = 0; i < Count; ++i) {
        if (name == QLatin1String(nameOf(static_cast<E>(i)))) {
            return static_cast<E>(i);
        }
    }
    qFatal("unknown name %s", qPrintable(name));
}

Stage stageOf(const QString& name) {
    return byName<Stage, kStageCount>(name, stageName);
}
Cause causeOf(const QString& name) {
    return byName<Cause, static_cast<int>(Cause::InternalError) + 1>(name, causeName);
}
Note noteOf(const QString& name) {
    return byName<Note, static_cast<int>(Note::UnitRestarted) + 1>(name, noteName);
}

std::vector<EngineEvent> events(const QString& text) {
    std::vector<EngineEvent> out;
    for (const QString& item : text.split(u';', Qt::SkipEmptyParts)) {
        const QString body = item.trimmed();
        if (body == QLatin1String("up")) {
            out.emplace_back(ev::UpgradeStarted{});
            continue;
        }
        const QChar kind = body.at(0);
        const QStringList f = body.mid(1).split(u'/');
        const int n = f.value(1).toInt();
        if (kind == u'+') {
            out.emplace_back(
                ev::StageStarted{stageOf(f[0]), n, f.value(2) == QLatin1String("bar")});
        } else if (kind == u'=') {
            out.emplace_back(ev::StageEnded{stageOf(f[0]), n, StageResult::Done, Cause::None,
                                            f.value(2).toUInt(nullptr, 0)});
        } else if (kind == u'!') {
            out.emplace_back(ev::StageEnded{stageOf(f[0]), n, StageResult::Failed, causeOf(f[2]),
                                            f.value(3).toUInt()});
        } else if (kind == u'%') {
            out.emplace_back(ev::StageProgress{stageOf(f[0]), n, f[2].toDouble(), 0, 0});
        } else if (kind == u'#') {
            out.emplace_back(ev::Noted{noteOf(f[0]), n, f.mid(2).join(u'/')});
        } else {
            qFatal("bad item %s", qPrintable(body));
        }
    }
    return out;
}

// The list as a report would print it: "caption", or "caption 40%" with a visible bar.
QStringList listAfter(const QString& sequence) {
    ProgressLines lines;
    for (const EngineEvent& e : events(sequence)) {
        applyProgressOps(lines, progressOps(e));
    }
    QStringList out;
    for (const ProgressLineState& line : lines.lines()) {
        out << ProgressReporter::lineText(line);
    }
    return out;
}

RunOutcome outcomeOf(const QString& sequence, bool verificationRequired = true) {
    OutcomeTracker tracker;
    ProgressLines lines;
    for (const EngineEvent& e : events(sequence)) {
        tracker.record(e);
        applyProgressOps(lines, progressOps(e));
    }
    const QString last = lines.lines().empty() ? QString() : lines.lines().back().caption;
    return tracker.upgradeOutcome(verificationRequired, last);
}

// A whole CPU-1 upgrade that went well.
const QString kCpu1 = QStringLiteral(
    "+bootloader-entry/1;=bootloader-entry/1;+bootloader-info/1;=bootloader-info/1/0x01020069;"
    "+model-check/1;=model-check/1;+erase/1/bar;%erase/1/100;=erase/1;+transfer/1/bar;"
    "%transfer/1/100;=transfer/1;+boot-mode-exit/1;=boot-mode-exit/1;+cpu1-restart/1;"
    "=cpu1-restart/1;+cpu1-reread/1;=cpu1-reread/1");
// CPU-2 programmed from its boot-mode entry to its reprogramming.
const QString kCpu2 = QStringLiteral(
    "+boot-mode-entry/2;=boot-mode-entry/2;+transfer/2/bar;%transfer/2/100;=transfer/2;"
    "+erase/2/bar;%erase/2/50;=erase/2;+reprogram/2/bar;=reprogram/2");
const QString kRestart = QStringLiteral("+system-restart/0;=system-restart/0");
const QString kVerified = QStringLiteral("+verification/0;=verification/0");

} // namespace

class TestEngineEvents : public QObject {
    Q_OBJECT
private slots:
    void captions_data();
    void captions();
    void outcome_data();
    void outcome();
    void holdings();
    void stateAfterStop_data();
    void stateAfterStop();
    void reporterSteps_data();
    void reporterSteps();
    void scanTexts();
};

void TestEngineEvents::captions_data() {
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("CPU-1 upgraded") << (QStringLiteral("up;#all-processors/0;") + kCpu1)
                                    << QStringList{"Updating All Available CPUs.....",
                                                   "Enabling BootLoader.....Done",
                                                   "Retrieving Bootloader Info......RM258 v1.05",
                                                   "Retrieving Model Number......OK",
                                                   "Erasing Program Memory...... 100%",
                                                   "Sending New Firmware...... 100%",
                                                   "Disabling Boot Mode......Done",
                                                   "Restarting CPU-1......Done"};
    QTest::newRow("bootloader version under 1.00 keeps two decimals")
        << "+bootloader-info/1;=bootloader-info/1/0x01020063"
        << QStringList{"Retrieving Bootloader Info......RM258 v0.99"};
    QTest::newRow("no bootloader information")
        << "+bootloader-info/1;!bootloader-info/1/no-reply"
        << QStringList{"Retrieving Bootloader Info......Info Unavailable"};
    QTest::newRow("model check, silent and another model")
        << "+model-check/1;!model-check/1/no-reply;+model-check/1;!model-check/1/"
           "incompatible-model"
        << QStringList{"Retrieving Model Number......Error (No Reply)",
                       "Retrieving Model Number......Error (Incompatible Model)"};
    // CPU-1's transfer fails in the unit's own words, and its bar stays where it stopped.
    QTest::newRow("CPU-1 transfer failed")
        << "+transfer/1/bar;%transfer/1/40;!transfer/1/command-failed"
        << QStringList{"Sending New Program Data......Error Detected 40%"};
    QTest::newRow("CPU-1 erase failed")
        << "+erase/1/bar;%erase/1/25;!erase/1/command-failed"
        << QStringList{"Erasing Program Memory......Error Detected 25%"};
    QTest::newRow("CPU-2 upgraded")
        << kCpu2
        << QStringList{"Enabling CPU-2 Boot Mode......Done",
                       "Sending New Firmware for CPU-2...... 100%", "Erasing CPU-2......OK 100%",
                       "Reprogramming CPU-2......OK 100%"};
    QTest::newRow("boot mode: command, then status read")
        << "+boot-mode-entry/3;!boot-mode-entry/3/command-failed/1;+boot-mode-entry/2;"
           "!boot-mode-entry/2/status-unreadable/2"
        << QStringList{"Enabling HMI Boot Mode......Error Detected (1)",
                       "Enabling CPU-2 Boot Mode......Error Detected (2)"};
    // A sub-processor's bar goes away when the stage fails, but not when its data was found
    // corrupt: that bar shows how far it got.
    QTest::newRow("sub-processor failures")
        << "+transfer/3/bar;%transfer/3/30;!transfer/3/command-failed;+erase/3/bar;%erase/3/10;"
           "!erase/3/data-corrupt;+reprogram/2/bar;%reprogram/2/60;!reprogram/2/status-unreadable"
        << QStringList{"Sending New Firmware for HMI......Error Detected",
                       "Erasing HMI......Data Corrupt 10%",
                       "Reprogramming CPU-2......Error Detected"};
    QTest::newRow("unit restarted under the transfer")
        << "+transfer/2/bar;%transfer/2/40;!transfer/2/unit-restarted;#unit-restarted/2"
        << QStringList{"Sending New Firmware for CPU-2......Error (Unit Restarted)",
                       "The unit restarted during the upgrade (a power dip or a reset). Run the "
                       "upgrade again to finish it."};
    QTest::newRow("stuck: the line stays, the limit says so")
        << "+erase/2/bar;%erase/2/70;!erase/2/stuck;#poll-limit/2"
        << QStringList{"Erasing CPU-2...... 70%", "Error detected. Terminating upgrade."};
    QTest::newRow("skipped processors")
        << "#up-to-date/1;#not-responding/2;#cannot-be-programmed/3;#already-in-boot-mode/2;"
           "#not-upgradeable/3/HMI Firmware Not Upgradeable (RM6204 v1.00)"
        << QStringList{"CPU-1 Firmware Up To Date.", "CPU-2 Not Responding. Upgrade Aborted",
                       "HMI Cannot Be Programmed. Upgrade Aborted", "CPU-2 Already In Boot Mode.",
                       "HMI Firmware Not Upgradeable (RM6204 v1.00). Upgrade Aborted"};
    QTest::newRow("restart and verification")
        << (kRestart + QStringLiteral(";+verification/0;!verification/0/verify-mismatch;"
                                      "#verify-report/3/HMI reports RM9000 v0.00, expected "
                                      "RM6204 v1.12"))
        << QStringList{"Restarting System....Done", "Verifying Firmware......Failed",
                       "HMI reports RM9000 v0.00, expected RM6204 v1.12"};
    QTest::newRow("restart refused, no answer after the restart")
        << "+system-restart/0;!system-restart/0/command-failed;+verification/0;"
           "!verification/0/no-reply"
        << QStringList{"Restarting System....Error Detected",
                       "Verifying Firmware......Error (No Reply)"};
    QTest::newRow("CPU-1 silent after its restart; a step error; the adapter gone")
        << "+cpu1-reread/1;!cpu1-reread/1/not-responding-after-restart;+transfer/2/bar;"
           "#step-error/2/port closed;#adapter-disconnected/0"
        << QStringList{"CPU-1 Not Responding After Restart. Upgrade Aborted",
                       "Sending New Firmware for CPU-2......",
                       "Error Detected (port closed). Upgrade Aborted",
                       "USB adapter disconnected. Reconnect the unit and run the upgrade again."};
    QTest::newRow("a new upgrade empties the list")
        << "#up-to-date/1;up;#up-to-date/2" << QStringList{"CPU-2 Firmware Up To Date."};
}

void TestEngineEvents::captions() {
    QFETCH(QString, sequence);
    QFETCH(QStringList, lines);
    QCOMPARE(listAfter(sequence), lines);
}

void TestEngineEvents::outcome_data() {
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<int>("processor");
    QTest::addColumn<QString>("summary");
    const int ok = int(RunExit::Success);
    const int failed = int(RunExit::UpgradeFailed);
    QTest::newRow("complete and verified")
        << (QStringLiteral("up;") + kCpu1 + u';' + kCpu2 + u';' + kRestart + u';' + kVerified)
        << true << ok << "none" << 0 << "upgrade complete.";
    QTest::newRow("complete, not verified by choice")
        << (QStringLiteral("up;#up-to-date/1;") + kCpu2 + u';' + kRestart) << false << ok << "none"
        << 0 << "upgrade complete.";
    QTest::newRow("bootloader information missing is no failure")
        << (QStringLiteral("up;+bootloader-info/1;!bootloader-info/1/no-reply;") + kRestart)
        << false << ok << "none" << 0 << "upgrade complete.";
    QTest::newRow("verification required but not run")
        << (QStringLiteral("up;#up-to-date/1;") + kRestart + QStringLiteral(";+verification/0"))
        << true << failed << "interrupted" << 0 << "the upgrade failed: Verifying Firmware......";
    QTest::newRow("verified without the restart")
        << (QStringLiteral("up;") + kCpu2 + u';' + kVerified) << true << failed << "interrupted"
        << 0 << "the upgrade failed: Verifying Firmware......OK";
    QTest::newRow("nothing at all")
        << "up" << true << failed << "interrupted" << 0 << "the upgrade failed: no progress";
    QTest::newRow("restart refused")
        << "up;+system-restart/0;!system-restart/0/command-failed" << true << failed
        << "command-failed" << 0 << "the upgrade failed: Restarting System....Error Detected";
    QTest::newRow("stuck erase names the processor, quotes the limit's line")
        << "up;+erase/2/bar;!erase/2/stuck;#poll-limit/2" << true << failed << "stuck" << 2
        << "the upgrade failed: Error detected. Terminating upgrade.";
    QTest::newRow("incompatible model")
        << "up;+model-check/1;!model-check/1/incompatible-model" << true << failed
        << "incompatible-model" << 1
        << "the upgrade failed: Retrieving Model Number......Error (Incompatible Model)";
    QTest::newRow("a silent processor fails the run even when the rest is done")
        << (QStringLiteral("up;#up-to-date/1;#not-responding/2;#up-to-date/3;") + kRestart + u';' +
            kVerified)
        << true << failed << "processor-silent" << 2
        << "the upgrade failed: CPU-2 Not Responding. Upgrade Aborted";
    QTest::newRow("data corrupt") << "up;+erase/3/bar;!erase/3/data-corrupt" << true << failed
                                  << "data-corrupt" << 3
                                  << "the upgrade failed: Erasing HMI......Data Corrupt";
    QTest::newRow("the first failure, not the last line")
        << (QStringLiteral("up;#up-to-date/1;#not-responding/2;") + kRestart +
            QStringLiteral(";+verification/0;!verification/0/verify-mismatch;#verify-report/2/"
                           "CPU-2 reports RM0000 v0.00, expected RM5103 v2.32"))
        << true << failed << "processor-silent" << 2
        << "the upgrade failed: CPU-2 Not Responding. Upgrade Aborted";
    QTest::newRow("verification names the processor")
        << (QStringLiteral("up;#up-to-date/1;") + kRestart +
            QStringLiteral(";+verification/0;!verification/0/verify-mismatch;#verify-report/3/"
                           "HMI reports RM9000 v0.00, expected RM6204 v1.12"))
        << true << failed << "verify-mismatch" << 3
        << "the upgrade failed: HMI reports RM9000 v0.00, expected RM6204 v1.12";
    QTest::newRow("no answer after the restart")
        << (QStringLiteral("up;") + kRestart +
            QStringLiteral(";+verification/0;"
                           "!verification/0/no-reply"))
        << true << failed << "no-reply" << 0
        << "the upgrade failed: Verifying Firmware......Error (No Reply)";
    QTest::newRow("the unit restarted: said as the cause, not as a line")
        << "up;+erase/3/bar;%erase/3/30;!erase/3/unit-restarted;#unit-restarted/3" << true << failed
        << "unit-restarted" << 3
        << "the upgrade failed: the unit restarted under the run (a power dip or a reset); a new "
           "run will finish the upgrade.";
    QTest::newRow("the adapter went away: that is the cause")
        << "up;+transfer/2/bar;!transfer/2/command-failed;#adapter-disconnected/0" << true << failed
        << "adapter-disconnected" << 2
        << "the upgrade failed: Sending New Firmware for CPU-2......Error Detected";
}

void TestEngineEvents::outcome() {
    QFETCH(QString, sequence);
    QFETCH(bool, verify);
    const RunOutcome o = outcomeOf(sequence, verify);
    QTEST(int(o.exit), "exit");
    QTEST(QString::fromLatin1(causeName(o.cause)), "cause");
    QTEST(o.processor, "processor");
    QTEST(o.summary, "summary");
}

void TestEngineEvents::holdings() {
    // The review: CPU-1 old, CPU-2 in boot mode, no HMI.
    ev::ReviewOpened review;
    review.processors[1] = {4001,  215,  4001, 245, ProcessorState::Different,
                            false, true, {},   {},  {}};
    review.processors[2] = {9000, 0, 5103, 232, ProcessorState::Different, true, true, {}, {}, {}};
    review.processors[3] = {0, 0, 0, 0, ProcessorState::Absent, false, false, {}, {}, {}};
    OutcomeTracker t;
    t.record(review);
    QCOMPARE(t.processors()[1].holding, Holding::Previous);
    QCOMPARE(t.processors()[2].holding, Holding::BootLoader);
    QCOMPARE(t.processors()[3].holding, Holding::Absent);
    QVERIFY(!t.processors()[3].present);

    // CPU-1 into its bootloader and erased: it holds its bootloader only.
    for (const EngineEvent& e :
         events(QStringLiteral("up;+bootloader-entry/1;=bootloader-entry/1"))) {
        t.record(e);
    }
    QCOMPARE(t.processors()[1].holding, Holding::BootLoader);
    QVERIFY(!t.processors()[1].programmed);
    for (const EngineEvent& e : events(QStringLiteral("+erase/1/bar;=erase/1;+transfer/1/bar;"
                                                      "=transfer/1;+transfer/2/bar;=transfer/2"))) {
        t.record(e);
    }
    QVERIFY(t.processors()[1].programmed);
    QVERIFY(!t.processors()[2].programmed); // received its image, not yet programmed

    // After the restart the unit reports CPU-1 and CPU-2 with the carried firmware.
    ev::UnitReported after{true, review.processors};
    after.processors[1].installedVersion = 245;
    after.processors[1].state = ProcessorState::Current;
    after.processors[2] = {5103, 232, 5103, 232, ProcessorState::Current, false, false, {}, {}, {}};
    t.record(after);
    QCOMPARE(t.processors()[1].holding, Holding::Carried);
    QCOMPARE(t.processors()[2].holding, Holding::Carried);
    QVERIFY(t.processors()[1].verified && t.processors()[2].verified);
    QCOMPARE(t.processors()[1].versionBefore, std::uint16_t(215));
    QCOMPARE(t.processors()[1].versionAfter, std::uint16_t(245));
}

void TestEngineEvents::stateAfterStop_data() {
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<QString>("words");
    const QString cpu1 =
        QStringLiteral("up;=bootloader-entry/1;=bootloader-info/1/0x01020069;=model-check/1;");
    const QString cpu1Done = cpu1 + QStringLiteral("+erase/1/bar;+transfer/1/bar;"
                                                   "=boot-mode-exit/1;=cpu1-restart/1;");
    QTest::newRow("before Load Firmware") << ""
                                          << "Nothing was written";
    QTest::newRow("bootloader entered")
        << cpu1 << "CPU-1 is left in its bootloader; its firmware was not yet touched";
    QTest::newRow("CPU-1 half programmed")
        << (cpu1 + QStringLiteral("+erase/1/bar;+transfer/1/bar"))
        << "CPU-1 is left in its bootloader without complete firmware";
    QTest::newRow("CPU-1 programmed, not restarted")
        << (cpu1 + QStringLiteral("+erase/1/bar;+transfer/1/bar;=boot-mode-exit/1;"
                                  "+cpu1-restart/1"))
        << "CPU-1 holds its new firmware but was not restarted";
    QTest::newRow("CPU-2 in boot mode")
        << (cpu1Done + QStringLiteral("=boot-mode-entry/2;+transfer/2/bar"))
        << "CPU-2 is left in boot mode";
    QTest::newRow("CPU-2 done, HMI half way")
        << (cpu1Done + QStringLiteral("=reprogram/2;#already-in-boot-mode/3;+transfer/3/bar"))
        << "HMI is left in boot mode";
    QTest::newRow("CPU-2 done, HMI not begun") << "up;#up-to-date/1;=boot-mode-entry/2;=reprogram/2"
                                               << "no processor is left half-programmed";
    QTest::newRow("restart not answered") << "up;#up-to-date/1;+system-restart/0"
                                          << "the unit was not restarted";
    QTest::newRow("all done") << "up;#up-to-date/1;=system-restart/0"
                              << "The upgrade had ended and the unit was restarted.";
}

void TestEngineEvents::stateAfterStop() {
    QFETCH(QString, sequence);
    QFETCH(QString, words);
    RunLedger ledger;
    for (const EngineEvent& e : events(sequence)) {
        ledger.record(e);
    }
    const QString text = unitStateAfterStop(ledger);
    QVERIFY2(text.contains(words), qPrintable(text));
    // Whatever is left half-done, the reader learns that a later run recovers it.
    const bool unfinished = ledger.upgradeStarted() && !ledger.done(Stage::SystemRestart, 0);
    QCOMPARE(text.contains(QLatin1String("Run the upgrade again")), unfinished);
}

void TestEngineEvents::reporterSteps_data() {
    QTest::addColumn<QStringList>("snapshots");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("a line, then completed")
        << QStringList{"A", "A", "A done"} << QStringList{"A", "A done"};
    QTest::newRow("bar in whole steps of 10 %")
        << QStringList{"X@0", "X@5", "X@10", "X@19.9", "X@25", "X@99", "X@100", "X@100"}
        << QStringList{"X 0%", "X 10%", "X 25%", "X 99%", "X 100%"};
    QTest::newRow("completed with its bar at 100")
        << QStringList{"E@0", "E@100", "E ok@100"} << QStringList{"E 0%", "E 100%", "E ok 100%"};
    QTest::newRow("bar hidden on an error")
        << QStringList{"S@40", "S error"} << QStringList{"S 40%", "S error"};
    QTest::newRow("bar shown later")
        << QStringList{"S", "S@0", "S@30"} << QStringList{"S", "S 0%", "S 30%"};
    QTest::newRow("past the range")
        << QStringList{"R@90", "R@120"} << QStringList{"R 90%", "R 120%"};
    QTest::newRow("several new lines at once")
        << QStringList{"", "A;B@0;C"} << QStringList{"A", "B 0%", "C"};
    QTest::newRow("list emptied and begun again")
        << QStringList{"A;B", "C"} << QStringList{"A", "B", "C"};
    QTest::newRow("earlier line changes")
        << QStringList{"A;B", "A done;B"} << QStringList{"A", "B", "A done"};
}

void TestEngineEvents::reporterSteps() {
    QFETCH(QStringList, snapshots);
    QFETCH(QStringList, expected);
    // Snapshots written as text: lines separated by ';', a bar as "caption@value".
    ProgressReporter reporter;
    QStringList out;
    for (const QString& snapshot : snapshots) {
        std::vector<ProgressLineState> lines;
        for (const QString& item : snapshot.split(u';', Qt::SkipEmptyParts)) {
            const qsizetype at = item.indexOf(u'@');
            if (at < 0) {
                lines.push_back({item, false, 0});
            } else {
                lines.push_back({item.left(at), true, item.mid(at + 1).toDouble()});
            }
        }
        for (const ProgressReporter::Report& r : reporter.update(lines)) {
            out << r.text;
        }
    }
    QCOMPARE(out, expected);
}

void TestEngineEvents::scanTexts() {
    QCOMPARE(scanLogText(QStringLiteral("/dev/ttyUSB0"), ScanLog::FoundBootloader),
             QStringLiteral("/dev/ttyUSB0 found CV. (B)"));
    QCOMPARE(scanLogText(QStringLiteral("/dev/ttyUSB1"), ScanLog::NotFoundModbus),
             QStringLiteral("/dev/ttyUSB1 CV not found(1)."));
    QCOMPARE(scanLogText(QStringLiteral("/dev/ttyUSB1"), ScanLog::UnknownRmBoot),
             QStringLiteral("/dev/ttyUSB1 Unknown RM number.(B)"));
    QCOMPARE(oneLine(scanErrorText(ScanError::Incompatible)),
             QStringLiteral("Incompatible Corvane device. (Wrong Manufacturer). Use Correct "
                            "Upgrade Software."));
    QCOMPARE(oneLine(refusalText(Cpu1Verdict::NotUpgradeable)),
             QStringLiteral("Unable To Upgrade! Only units with v2.00 firmware and above can be "
                            "upgraded."));
    QVERIFY(refusalText(Cpu1Verdict::Accepted).isEmpty());
}

QTEST_MAIN(TestEngineEvents)
#include "tst_engine_events.moc"

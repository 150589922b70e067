// The simulated unit's faults on a real pseudo-terminal: reply and status faults, and restarts:
// power dips at a data block, during
// a sub-processor's erase or programming and during CPU-1's bootloader transfer (what the unit
// says after them, and that a new transfer finishes what the dip cut), the power-loss fault
// and the restart command.

#include "SimTestSupport.h"
#include "SimulatedUnit.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace corvane::sim;
using namespace simtest;

namespace {

using Regs = std::vector<std::uint16_t>;

// Small sub-processor ranges keep a whole transfer short: 0xF4C0..0xFFFF is 240 blocks of 12.
constexpr std::uint32_t kSubFirst = 0xF4C0;
constexpr std::uint32_t kSubLast = 0xFFFF;
constexpr int kBlocks = 240;
constexpr int kWindowLength = 10; // CPU-1 firmware 2.15
constexpr int kRestartMs = 600;
constexpr std::uint16_t kBootRm = 999;

struct Sub {
    int n;
    std::uint16_t window;
    std::uint16_t idRegister; // RM number, then the version
    std::uint16_t oldRm;
    std::uint16_t oldVersion;
    std::uint16_t carriedVersion;
    const char* image;
    const char* name;
};
const Sub kCpu2{2, 26, 10, 3100, 100, 232, "HFILE_2", "cpu2"};
const Sub kHmi{3, 16, 8, 3200, 105, 112, "HFILE_3", "hmi"};

const Sub& subNumber(int n) {
    return n == 2 ? kCpu2 : kHmi;
}

Regs idOf(LineMaster& m, const Sub& s) {
    return readRegisters(m, s.idRegister, 2);
}

// Polls the status words until the operation settles (finished or corrupt).
Regs settle(LineMaster& m, const Sub& s) {
    Regs st;
    for (int i = 0; i < 20; ++i) {
        st = readRegisters(m, s.window, 2);
        if (st.empty() || (st[0] & 0xC000) != 0) {
            break;
        }
    }
    return st;
}

// The whole upgrade of a sub-processor as the updater drives it; the status each stage ends
// with (0x8000 finished).
std::uint16_t upgradeSub(LineMaster& m, const Sub& s, const QByteArray& img, bool enterBootMode) {
    if (enterBootMode) {
        windowWrite(m, s.window, kWindowLength, commandBlock(kWindowLength, 0x222D, s.oldRm, 0));
        if (settle(m, s) != Regs{0x8000, 0}) {
            return 0;
        }
    }
    sendImageBlocks(m, s.window, kWindowLength, img, kSubFirst, kSubLast);
    const std::uint16_t crc = imageCrcWord(img, kSubFirst, kSubLast);
    for (std::uint16_t cmd : {std::uint16_t{0x1A9B}, std::uint16_t{0x1997}}) {
        windowWrite(m, s.window, kWindowLength, commandBlock(kWindowLength, cmd, crc, s.oldRm));
        const Regs st = settle(m, s);
        if (st.empty() || st[0] != 0x8000) {
            return st.empty() ? 0 : st[0];
        }
    }
    return 0x8000;
}

void waitUntil(const QElapsedTimer& t, int ms) {
    while (t.elapsed() < ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The request that meets the dip goes unanswered, and so does everything until the restart.
bool silentAfter(LineMaster& m, const Bytes& request) {
    m.send(request);
    if (!m.receiveFor(150).empty()) {
        return false;
    }
    m.send(readRequest(23, 0, 2));
    return m.receiveFor(150).empty();
}

bool logged(const SimulatedUnit& unit, const QString& what) {
    for (const QString& line : unit.summary().faultsInjected) {
        if (line.endsWith(what)) {
            return true;
        }
    }
    return false;
}

} // namespace

class TestSimFaults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void replyFaults_data();
    void replyFaults();
    void statusFaults_data();
    void statusFaults();
    void sameSeedSameFaults();
    void dipDuringTransfer_data();
    void dipDuringTransfer();
    void dipDuringStage_data();
    void dipDuringStage();
    void dipDuringCpu1Transfer_data();
    void dipDuringCpu1Transfer();
    void clearedDipNeverFires();
    void powerLossDuringCpu1Programming();
    void powerLossDuringSubTransfer();
    void restartCommand();

private:
    Scenario scenario() const {
        Scenario s;
        s.buildData = m_dir.path();
        return s;
    }
    // Sub-processor ranges of kBlocks blocks (the same images).
    Scenario smallRanges() const {
        Scenario s;
        s.buildData = m_smallDir.path();
        return s;
    }
    static FaultPlan dipPlan(const QString& text) {
        FaultPlan plan;
        plan.powerDips.push_back(*parsePowerDip(text));
        return plan;
    }

    QTemporaryDir m_dir;
    QTemporaryDir m_smallDir;
};

void TestSimFaults::initTestCase() {
    QVERIFY(m_dir.isValid() && m_smallDir.isValid());
    writeBuildData(m_dir.path());
    BuildDataLayout small;
    small.progStart = {0, 0x0800, kSubFirst, kSubFirst};
    small.bootRm = kBootRm;
    writeBuildData(m_smallDir.path(), small);
}

void TestSimFaults::replyFaults_data() {
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<QString>("outcomes"); // per read: ok, none, exception, noise, corrupt, late
    QTest::newRow("drop once") << "drop:modbus-read"
                               << "none,ok,ok";
    QTest::newRow("drop after two") << "drop:modbus-read,after=2"
                                    << "ok,ok,none,ok";
    QTest::newRow("drop twice") << "drop,count=2"
                                << "none,none,ok";
    QTest::newRow("exception 6") << "exception:modbus-read,param=6"
                                 << "exception,ok";
    QTest::newRow("noise") << "noise:modbus-read,count=2"
                           << "noise,noise,ok";
    QTest::newRow("corrupt byte") << "corrupt:modbus-read"
                                  << "corrupt,ok";
    QTest::newRow("late reply") << "delay:modbus-read,param=400"
                                << "late";
    QTest::newRow("never") << "drop:modbus-read,p=0"
                           << "ok,ok,ok";
    QTest::newRow("other kind untouched") << "drop:status-read,count=5"
                                          << "ok,ok";
}

void TestSimFaults::replyFaults() {
    QFETCH(QString, faultText);
    QFETCH(QString, outcomes);
    FaultPlan plan;
    plan.seed = 42;
    plan.faults.push_back(*parseFault(faultText));
    SimulatedUnit unit(scenario(), plan);
    LineMaster m(unit.openPty());
    const Bytes req = readRequest(23, 0, 2);
    const Bytes good = withCrc(fromHex("1703040FA100D7"));
    int injected = 0;
    for (const QString& expected : outcomes.split(u',')) {
        m.send(req);
        const Bytes got = m.receiveFor(expected == QLatin1String("late") ? 150 : 120);
        if (expected == QLatin1String("ok")) {
            QCOMPARE(qb(got), qb(good));
        } else if (expected == QLatin1String("none")) {
            QVERIFY(got.empty());
            ++injected;
        } else if (expected == QLatin1String("exception")) {
            QCOMPARE(qb(got), qb(withCrc(fromHex("178306"))));
            ++injected;
        } else if (expected == QLatin1String("noise")) {
            QVERIFY(got.size() > good.size());
            QVERIFY(got.size() <= good.size() + 8);
            const std::size_t extra = got.size() - good.size();
            QCOMPARE(qb(Bytes(got.begin() + static_cast<std::ptrdiff_t>(extra), got.end())),
                     qb(good));
            for (std::size_t i = 0; i < extra; ++i) {
                QVERIFY(got[i] != 23 && got[i] != 0x10);
            }
            ++injected;
        } else if (expected == QLatin1String("corrupt")) {
            QCOMPARE(got.size(), good.size());
            QVERIFY(got != good);
            ++injected;
        } else if (expected == QLatin1String("late")) {
            QVERIFY(got.empty());
            QCOMPARE(qb(m.receiveCount(good.size(), 2000)), qb(good));
            ++injected;
        }
    }
    QCOMPARE(unit.faultsInjected(), injected);
    QCOMPARE(static_cast<int>(unit.summary().faultsInjected.size()), injected);
}

void TestSimFaults::statusFaults_data() {
    QTest::addColumn<QString>("faultText");
    QTest::addColumn<int>("expect"); // 0: stays busy at one address, 1: stays 0,0, 2: corrupt
    QTest::newRow("stuck busy") << "stuck-busy,after=1" << 0;
    QTest::newRow("no news") << "no-news,after=1" << 1;
    QTest::newRow("corrupt data") << "corrupt-status,after=1" << 2;
}

void TestSimFaults::statusFaults() {
    QFETCH(QString, faultText);
    QFETCH(int, expect);
    FaultPlan plan;
    plan.faults.push_back(*parseFault(faultText));
    SimulatedUnit unit(scenario(), plan);
    LineMaster m(unit.openPty());
    const QByteArray img = image(m_dir.path(), QStringLiteral("HFILE_2"));
    windowWrite(m, 26, 10, commandBlock(10, 0x222D, 3100, 0)); // served normally (after=1)
    QCOMPARE(readRegisters(m, 26, 2)[0], std::uint16_t{0x8000});
    sendImageBlocks(m, 26, 10, img, 0x1000, 0xFFFF);
    windowWrite(m, 26, 10, commandBlock(10, 0x1A9B, imageCrcWord(img, 0x1000, 0xFFFF), 3100));
    // A stuck operation may move a little before it stops moving.
    for (int i = 0; expect == 0 && i < 4; ++i) {
        readRegisters(m, 26, 2);
    }
    std::vector<std::uint16_t> first = readRegisters(m, 26, 2);
    for (int i = 0; i < 12; ++i) {
        const auto st = readRegisters(m, 26, 2);
        QCOMPARE(st.size(), std::size_t{2});
        if (expect == 0) {
            QCOMPARE(st, first);
            QVERIFY(st[0] != 0 && (st[0] & 0xC000) == 0);
            QVERIFY(st[1] > 0x1000 && st[1] < 0xFFFF);
        } else if (expect == 1) {
            QCOMPARE(st, (std::vector<std::uint16_t>{0, 0}));
        } else {
            QCOMPARE(first[0], std::uint16_t{0x4000});
        }
    }
    QCOMPARE(unit.faultsInjected(), 1);
}

void TestSimFaults::sameSeedSameFaults() {
    auto run = [this](std::uint32_t seed) {
        FaultPlan plan;
        plan.seed = seed;
        plan.faults.push_back(*parseFault(QStringLiteral("noise,count=100,p=0.5")));
        plan.faults.push_back(*parseFault(QStringLiteral("corrupt,count=100,p=0.3")));
        SimulatedUnit unit(scenario(), plan);
        LineMaster m(unit.openPty());
        Bytes all;
        for (int i = 0; i < 20; ++i) {
            m.send(readRequest(23, 0, 2));
            const Bytes got = m.receiveFor(40);
            all.insert(all.end(), got.begin(), got.end());
            all.push_back(0xEE); // separator
        }
        return all;
    };
    const Bytes a = run(5);
    QCOMPARE(qb(run(5)), qb(a));
    QVERIFY(run(6) != a);
}

void TestSimFaults::dipDuringTransfer_data() {
    QTest::addColumn<int>("processor");
    QTest::addColumn<int>("kept"); // blocks acknowledged before the dip
    QTest::newRow("CPU-2, first block") << 2 << 0;
    QTest::newRow("CPU-2, middle block") << 2 << kBlocks / 2;
    QTest::newRow("CPU-2, last block") << 2 << kBlocks - 1;
    QTest::newRow("HMI, middle block") << 3 << kBlocks / 2;
}

void TestSimFaults::dipDuringTransfer() {
    QFETCH(int, processor);
    QFETCH(int, kept);
    const Sub& s = subNumber(processor);
    SimulatedUnit unit(smallRanges(), dipPlan(QStringLiteral("%1-data=%2,restart=%3")
                                                  .arg(QLatin1String(s.name))
                                                  .arg(kept)
                                                  .arg(kRestartMs)));
    LineMaster m(unit.openPty());
    const QByteArray img = image(m_dir.path(), QLatin1String(s.image));
    const QByteArray before = unit.flash(s.n);

    windowWrite(m, s.window, kWindowLength, commandBlock(kWindowLength, 0x222D, s.oldRm, 0));
    QCOMPARE(settle(m, s), (Regs{0x8000, 0}));
    QCOMPARE(idOf(m, s), (Regs{kBootRm, 0}));
    int sent = -1;
    const std::uint32_t cut = kSubFirst + 12U * static_cast<std::uint32_t>(kept);
    sendImageBlocks(m, s.window, kWindowLength, img, kSubFirst, cut - 1, &sent);
    QCOMPARE(sent, kept);

    // The next block meets the dip.
    QElapsedTimer t;
    t.start();
    std::vector<std::uint16_t> block(kWindowLength, 0);
    block[2] = static_cast<std::uint16_t>(cut - kSubFirst);
    block[kWindowLength - 1] = 0xA6;
    QVERIFY(silentAfter(m, writeMulti(23, 104, s.window, block)));
    waitUntil(t, kRestartMs + 50);

    // CPU-1 runs its firmware, the sub-processor its old firmware; the window is blank.
    QCOMPARE(readRegisters(m, 0, 2), (Regs{4001, 215}));
    QCOMPARE(idOf(m, s), (Regs{s.oldRm, s.oldVersion}));
    QVERIFY(!unit.inBootMode(s.n));
    QCOMPARE(readRegisters(m, s.window, 2), (Regs{0, 0}));

    // The rest of the transfer is acknowledged, and goes nowhere: the erase that follows finds
    // the data corrupt, and the flash is as it was.
    sendImageBlocks(m, s.window, kWindowLength, img, cut, kSubLast, &sent);
    QCOMPARE(sent, kBlocks - kept);
    windowWrite(
        m, s.window, kWindowLength,
        commandBlock(kWindowLength, 0x1A9B, imageCrcWord(img, kSubFirst, kSubLast), s.oldRm));
    QCOMPARE(settle(m, s), (Regs{0x4000, 0}));
    QCOMPARE(unit.flash(s.n), before);
    const Summary sum = unit.summary();
    QCOMPARE(sum.processors[static_cast<std::size_t>(s.n)].blocksProgrammed, kept);
    QVERIFY(!sum.restartSeen); // no restart command: the supply did it
    QCOMPARE(unit.faultsInjected(), 1);
    QVERIFY(logged(unit, QStringLiteral("(fn104-data): power-dip")));

    // A new run finishes the upgrade.
    QCOMPARE(upgradeSub(m, s, img, true), std::uint16_t{0x8000});
    QCOMPARE(idOf(m, s), (Regs{s.oldRm, s.carriedVersion}));
    QCOMPARE(unit.flash(s.n).mid(kSubFirst), img.mid(kSubFirst));
}

void TestSimFaults::dipDuringStage_data() {
    QTest::addColumn<int>("processor");
    QTest::addColumn<QString>("stage");
    QTest::addColumn<int>("busyReads"); // status reads answered before the dip
    QTest::addColumn<bool>("bootMode"); // what the sub-processor comes back in
    // Nothing erased yet: the old firmware is whole and starts.
    QTest::newRow("CPU-2 erase, at once") << 2 << "erase" << 0 << false;
    QTest::newRow("CPU-2 erase, under way") << 2 << "erase" << 1 << true;
    QTest::newRow("HMI erase, near its end") << 3 << "erase" << 3 << true;
    QTest::newRow("CPU-2 programming, under way") << 2 << "program" << 1 << true;
    QTest::newRow("HMI programming, under way") << 3 << "program" << 2 << true;
}

void TestSimFaults::dipDuringStage() {
    QFETCH(int, processor);
    QFETCH(QString, stage);
    QFETCH(int, busyReads);
    QFETCH(bool, bootMode);
    const Sub& s = subNumber(processor);
    SimulatedUnit unit(smallRanges(), dipPlan(QStringLiteral("%1-%2=%3,restart=%4")
                                                  .arg(QLatin1String(s.name), stage)
                                                  .arg(busyReads)
                                                  .arg(kRestartMs)));
    LineMaster m(unit.openPty());
    const QByteArray img = image(m_dir.path(), QLatin1String(s.image));
    const std::uint16_t crc = imageCrcWord(img, kSubFirst, kSubLast);

    windowWrite(m, s.window, kWindowLength, commandBlock(kWindowLength, 0x222D, s.oldRm, 0));
    QCOMPARE(settle(m, s), (Regs{0x8000, 0}));
    int sent = 0;
    sendImageBlocks(m, s.window, kWindowLength, img, kSubFirst, kSubLast, &sent);
    QCOMPARE(sent, kBlocks);
    windowWrite(m, s.window, kWindowLength, commandBlock(kWindowLength, 0x1A9B, crc, s.oldRm));
    if (stage == QLatin1String("program")) {
        QCOMPARE(settle(m, s)[0], std::uint16_t{0x8000});
        windowWrite(m, s.window, kWindowLength, commandBlock(kWindowLength, 0x1997, crc, s.oldRm));
    }
    for (int i = 0; i < busyReads; ++i) {
        const Regs st = readRegisters(m, s.window, 2);
        QCOMPARE(st.size(), std::size_t{2});
        QVERIFY2(st[0] != 0 && (st[0] & 0xC000) == 0, "busy");
    }
    QElapsedTimer t;
    t.start();
    QVERIFY(silentAfter(m, readRequest(23, s.window, 2)));
    waitUntil(t, kRestartMs + 50);

    QCOMPARE(readRegisters(m, 0, 2), (Regs{4001, 215}));
    QCOMPARE(readRegisters(m, s.window, 2), (Regs{0, 0}));
    QCOMPARE(unit.inBootMode(s.n), bootMode);
    QCOMPARE(idOf(m, s), (bootMode ? Regs{kBootRm, 0} : Regs{s.oldRm, s.oldVersion}));
    QVERIFY(logged(unit, QStringLiteral("(status-read): power-dip")));

    // A new run finishes the upgrade, entering boot mode only when it has to.
    QCOMPARE(upgradeSub(m, s, img, !bootMode), std::uint16_t{0x8000});
    QCOMPARE(idOf(m, s), (Regs{s.oldRm, s.carriedVersion}));
    QCOMPARE(unit.flash(s.n).mid(kSubFirst), img.mid(kSubFirst));
}

void TestSimFaults::dipDuringCpu1Transfer_data() {
    QTest::addColumn<QString>("dip");
    QTest::addColumn<int>("programmed"); // 128-byte blocks in flash after the dip
    QTest::newRow("erase step 4") << "cpu1-erase=3" << 0;
    QTest::newRow("program block 11") << "cpu1-program=10" << 10;
}

void TestSimFaults::dipDuringCpu1Transfer() {
    QFETCH(QString, dip);
    QFETCH(int, programmed);
    SimulatedUnit unit(smallRanges(), dipPlan(dip + QStringLiteral(",restart=%1").arg(kRestartMs)));
    LineMaster m(unit.openPty());
    const QByteArray img = image(m_dir.path(), QStringLiteral("HFILE_4001"));
    m.transact(writeSingle(23, 103, 12, 0x222D), 8);
    QElapsedTimer t;
    t.start();
    QVERIFY(!programCpu1(m, img, 496, 150));
    // Still silent: neither the bootloader nor the firmware answers.
    QVERIFY(m.transactBoot(bootFrame(0x08, 4, {}), 100).empty());
    QVERIFY(m.transact(readRequest(23, 0, 2), 9, 100).empty());
    waitUntil(t, kRestartMs + 50);

    // Back in the bootloader: the boot-mode byte is set and the flash is incomplete.
    QVERIFY(unit.cpu1InBootloader());
    QCOMPARE(bootBody(m.transactBoot(bootFrame(0x08, 4, {}))).size(), std::size_t{7});
    const QByteArray f = unit.flash(1);
    QCOMPARE(f.mid(0x800, 128 * programmed), img.mid(0x800, 128 * programmed));
    QCOMPARE(f.mid(0x800 + 128 * programmed, 128), QByteArray(128, '\xFF'));
    QCOMPARE(unit.faultsInjected(), 1);

    // A new transfer finishes it; CPU-1 then starts the carried firmware.
    QVERIFY(programCpu1(m, img, 496));
    QCOMPARE(bootBody(m.transactBoot(bootFrame(0x05, 1, {0xFF, 0x03, 0x00, 0x00}))).size(),
             std::size_t{4});
    m.transactBoot(bootFrame(0x00, 0, {}));
    QVERIFY(!unit.cpu1InBootloader());
    QCOMPARE(readRegisters(m, 0, 2), (Regs{4001, 245}));
}

void TestSimFaults::clearedDipNeverFires() {
    // The recovery run of the fault campaign: clearFaults drops a dip that has not fired.
    SimulatedUnit unit(smallRanges(), dipPlan(QStringLiteral("cpu2-data=5")));
    unit.clearFaults();
    LineMaster m(unit.openPty());
    const QByteArray img = image(m_dir.path(), QLatin1String(kCpu2.image));
    QCOMPARE(upgradeSub(m, kCpu2, img, true), std::uint16_t{0x8000});
    QCOMPARE(unit.faultsInjected(), 0);
}

void TestSimFaults::powerLossDuringCpu1Programming() {
    FaultPlan plan;
    plan.faults.push_back(*parseFault(QStringLiteral("power-loss:bl-program,after=10,param=2000")));
    SimulatedUnit unit(scenario(), plan);
    LineMaster m(unit.openPty());
    m.transact(writeSingle(23, 103, 12, 0x222D), 8);
    const QByteArray img = image(m_dir.path(), QStringLiteral("HFILE_4001"));
    QElapsedTimer t;
    t.start();
    QVERIFY(!programCpu1(m, img, 496, 1000)); // block 11 is not answered
    QVERIFY(t.elapsed() < 1500);
    t.restart();
    QVERIFY(m.transactBoot(bootFrame(0x08, 4, {}), 100).empty()); // still silent
    while (t.elapsed() < 1100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Back, in the bootloader (incomplete image), with ten blocks programmed.
    QCOMPARE(bootBody(m.transactBoot(bootFrame(0x08, 4, {}))).size(), std::size_t{7});
    QVERIFY(unit.cpu1InBootloader());
    const QByteArray f = unit.flash(1);
    QCOMPARE(f.mid(0x800, 1280), img.mid(0x800, 1280));
    QCOMPARE(f.mid(0x800 + 1280, 128), QByteArray(128, '\xFF'));
    QCOMPARE(unit.summary().processors[1].blocksProgrammed, 10);
    QCOMPARE(unit.faultsInjected(), 1);
}

void TestSimFaults::powerLossDuringSubTransfer() {
    FaultPlan plan;
    plan.faults.push_back(*parseFault(QStringLiteral("power-loss:fn104-data,after=5,param=1500")));
    SimulatedUnit unit(scenario(), plan);
    LineMaster m(unit.openPty());
    windowWrite(m, 26, 10, commandBlock(10, 0x222D, 3100, 0));
    QCOMPARE(readRegisters(m, 26, 2)[0], std::uint16_t{0x8000});
    int sent = 0;
    const QByteArray img = image(m_dir.path(), QStringLiteral("HFILE_2"));
    QElapsedTimer t;
    t.start();
    sendImageBlocks(m, 26, 10, img, 0x1000, 0x1000 + 12 * 6 - 1, &sent);
    QCOMPARE(sent, 5); // the sixth is lost with the power
    m.send(readRequest(23, 0, 2));
    QVERIFY(m.receiveFor(100).empty());
    while (t.elapsed() < 1600) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // CPU-1 runs its firmware again; CPU-2's flash is whole, so it left boot mode and runs its
    // old firmware.
    QCOMPARE(readRegisters(m, 0, 2), (std::vector<std::uint16_t>{4001, 215}));
    QCOMPARE(readRegisters(m, 10, 2), (std::vector<std::uint16_t>{3100, 100}));
    QVERIFY(!unit.inBootMode(2));
    QCOMPARE(readRegisters(m, 26, 2), (std::vector<std::uint16_t>{0, 0}));
}

void TestSimFaults::restartCommand() {
    SimulatedUnit unit(scenario());
    LineMaster m(unit.openPty());
    QCOMPARE(qb(m.transact(writeSingle(23, 103, 12, 0x1BC5), 8)),
             qb(writeSingle(23, 103, 12, 0x1BC5)));
    QCOMPARE(readRegisters(m, 0, 2), (std::vector<std::uint16_t>{4001, 215}));
    const Summary s = unit.summary();
    QVERIFY(s.restartSeen);
    QVERIFY(!s.upgradeModeSeen);
    QVERIFY(s.toText().contains(QStringLiteral("unit restarted: yes")));
}

QTEST_GUILESS_MAIN(TestSimFaults)
#include "tst_simfaults.moc"

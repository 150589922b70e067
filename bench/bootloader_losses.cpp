// bootloader_losses: how often CPU-1's erase and programming survive a line that loses or
// damages bootloader replies at random. Each run erases and programs CPU-1 of a fresh
// simulated unit (in its bootloader, on a pseudo-terminal, 10 ms read interval as the window
// configures it), then compares the flash with the image. Prints the runs that failed, the
// faults injected and the time per run.
//
//   bootloader_losses [-n RUNS] [-p PROBABILITY] [--kind drop|corrupt] [--seed S]
//
// Defaults: 10 runs, one reply in 500 lost (p 0.002).

#include "common/CPU_Timer.h"
#include "programming/Programmer.h"
#include "serial/VexaComms.h"

#include "SimulatedUnit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <memory>

namespace sim = corvane::sim;

namespace {

struct RunResult {
    bool erased = false;
    bool programmed = false;
    bool flashMatches = false;
    int faults = 0;
    qint64 ms = 0;
};

RunResult runOnce(double probability, sim::FaultKind kind, std::uint32_t seed) {
    sim::Scenario scenario;
    scenario.startInBootloader = true;
    sim::FaultPlan plan;
    plan.seed = seed;
    for (const sim::Exchange on : {sim::Exchange::BlErase, sim::Exchange::BlProgram}) {
        sim::Fault f;
        f.kind = kind;
        f.on = on;
        f.count = 1000000;
        f.probability = probability;
        plan.faults.push_back(f);
    }
    sim::SimulatedUnit unit(scenario, plan);
    const auto& carried = unit.carried();
    auto state = std::make_unique<UnitState>();
    const std::uint16_t rm = carried.cpu1Images.begin()->first;
    const QByteArray image = carried.cpu1Images.at(rm);
    auto& rec = state->PMem_Store[1];
    std::copy(image.begin(), image.begin() + std::min<qsizetype>(image.size(), 65536),
              rec.Mem_Data.begin());
    rec.Prog_Mem_Start = carried.progStart[1];
    rec.Max_Prog_Addr = carried.progEnd[1];
    rec.Block_Used.fill(false);
    std::fill_n(rec.Block_Used.begin(), 512, true);

    TVexaComms link;
    link.setCommPort(unit.openPty());
    link.setBaudRate(115200);
    link.setRxBufferSize(0x4000);
    link.setInterCharTimeOut(10);
    RunResult r;
    if (!link.OpenComm()) {
        return r;
    }
    Programmer prog(link, *state);
    QElapsedTimer clock;
    clock.start();
    r.erased = prog.Erase_Program_Memory(1);
    r.programmed = r.erased && prog.Send_Program_Data(1);
    r.ms = clock.elapsed();
    link.CloseComm();
    r.faults = unit.faultsInjected();
    const QByteArray flash = unit.flash(1);
    r.flashMatches = r.programmed && flash.size() == 65536;
    for (std::uint32_t a = rec.Prog_Mem_Start; r.flashMatches && a <= rec.Max_Prog_Addr; ++a) {
        r.flashMatches = static_cast<std::uint8_t>(flash[qsizetype(a)]) == rec.Mem_Data[a];
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("n"), QStringLiteral("Runs."), QStringLiteral("RUNS"),
                      QStringLiteral("10")});
    parser.addOption({QStringLiteral("p"), QStringLiteral("Chance per reply."),
                      QStringLiteral("PROBABILITY"), QStringLiteral("0.002")});
    parser.addOption({QStringLiteral("kind"), QStringLiteral("drop or corrupt."),
                      QStringLiteral("KIND"), QStringLiteral("drop")});
    parser.addOption({QStringLiteral("seed"), QStringLiteral("First seed."), QStringLiteral("S"),
                      QStringLiteral("1")});
    parser.process(app);
    const int runs = parser.value(QStringLiteral("n")).toInt();
    const double p = parser.value(QStringLiteral("p")).toDouble();
    const bool corrupt = parser.value(QStringLiteral("kind")) == QStringLiteral("corrupt");
    const auto seed = parser.value(QStringLiteral("seed")).toUInt();
    Timer_Init();

    int failed = 0;
    int faults = 0;
    qint64 totalMs = 0;
    for (int i = 0; i < runs; ++i) {
        const RunResult r =
            runOnce(p, corrupt ? sim::FaultKind::CorruptByte : sim::FaultKind::DropReply,
                    seed + static_cast<std::uint32_t>(i));
        const bool ok = r.erased && r.programmed && r.flashMatches;
        failed += ok ? 0 : 1;
        faults += r.faults;
        totalMs += r.ms;
        std::printf("run %2d: %s, %d faults, %.1f s\n", i + 1,
                    ok ? "flash holds the image"
                       : (r.erased ? "programming failed" : "erase failed"),
                    r.faults, double(r.ms) / 1000.0);
        std::fflush(stdout);
    }
    std::printf("%d of %d runs failed; %d replies %s (p %.4f); %.1f s per run\n", failed, runs,
                faults, corrupt ? "corrupted" : "lost", p,
                runs > 0 ? double(totalMs) / 1000.0 / runs : 0.0);
    return 0;
}

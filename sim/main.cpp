// corvane-sim: a simulated Corvane unit on a pseudo-terminal and, if asked, on Modbus TCP.

#include "SimulatedUnit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

using namespace corvane::sim;

namespace {

// "2.15" -> 215, "215" -> 215.
std::optional<std::uint16_t> parseVersion(const QString& text) {
    bool ok = false;
    if (text.contains(u'.')) {
        const double v = text.toDouble(&ok);
        if (!ok || v < 0 || v > 655.35)
            return std::nullopt;
        return static_cast<std::uint16_t>(v * 100.0 + 0.5);
    }
    const uint v = text.toUInt(&ok);
    if (!ok || v > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

std::optional<std::uint16_t> parseWord(const QString& text) {
    bool ok = false;
    const uint v = text.toUInt(&ok, 0);
    if (!ok || v > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

// "RM:VERSION"; either part may be left empty to keep the default.
bool parsePair(const QString& text, std::uint16_t& first, std::uint16_t& second) {
    const QStringList parts = text.split(u':');
    if (parts.size() != 2)
        return false;
    if (!parts[0].isEmpty()) {
        const auto v = parseWord(parts[0]);
        if (!v)
            return false;
        first = *v;
    }
    if (!parts[1].isEmpty()) {
        const auto v = parseVersion(parts[1]);
        if (!v)
            return false;
        second = *v;
    }
    return true;
}

[[noreturn]] void fail(const QString& message) {
    std::fprintf(stderr, "corvane-sim: %s\n", qPrintable(message));
    std::exit(2);
}

} // namespace

int main(int argc, char* argv[]) {
    // Signals are taken by sigtimedwait below; block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated Corvane unit: Modbus RTU slave and CPU-1 bootloader on a pseudo-terminal,\n"
        "Modbus TCP on 127.0.0.1. Versions are written 2.15 or 215 (version x 100)."));
    parser.addHelpOption();
    const QCommandLineOption linkOpt(QStringLiteral("link"),
                                     QStringLiteral("Make a symbolic link PATH to the pty."),
                                     QStringLiteral("PATH"));
    const QCommandLineOption noPtyOpt(QStringLiteral("no-pty"),
                                      QStringLiteral("Do not open a pseudo-terminal."));
    const QCommandLineOption tcpOpt(QStringLiteral("tcp"),
                                    QStringLiteral("Serve Modbus TCP on 127.0.0.1:PORT (0: free)."),
                                    QStringLiteral("PORT"));
    const QCommandLineOption durationOpt(
        QStringLiteral("duration"), QStringLiteral("Stop after SECONDS (default: until a signal)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption slaveOpt(QStringLiteral("slave"),
                                      QStringLiteral("Modbus slave address (default 23)."),
                                      QStringLiteral("N"));
    const QCommandLineOption cpu1Opt(
        QStringLiteral("cpu1"),
        QStringLiteral("CPU-1 firmware RM:VERSION (default: first carried product, 2.15)."),
        QStringLiteral("RM:VER"));
    const QCommandLineOption cpu2Opt(
        QStringLiteral("cpu2"),
        QStringLiteral("CPU-2 firmware RM:VERSION (default: carried RM, 1.00)."),
        QStringLiteral("RM:VER"));
    const QCommandLineOption hmiOpt(
        QStringLiteral("hmi"),
        QStringLiteral("HMI firmware RM:VERSION (default: carried RM, 1.05)."),
        QStringLiteral("RM:VER"));
    const QCommandLineOption noHmiOpt(QStringLiteral("no-hmi"),
                                      QStringLiteral("The product has no HMI."));
    const QCommandLineOption withHmiOpt(QStringLiteral("with-hmi"),
                                        QStringLiteral("The product has an HMI."));
    const QCommandLineOption cpu2SilentOpt(QStringLiteral("cpu2-silent"),
                                           QStringLiteral("CPU-2 does not answer."));
    const QCommandLineOption hmiSilentOpt(QStringLiteral("hmi-silent"),
                                          QStringLiteral("The HMI does not answer."));
    const QCommandLineOption cpu2BootOpt(QStringLiteral("cpu2-boot"),
                                         QStringLiteral("CPU-2 is already in boot mode."));
    const QCommandLineOption hmiBootOpt(QStringLiteral("hmi-boot"),
                                        QStringLiteral("The HMI is already in boot mode."));
    const QCommandLineOption bootloaderOpt(QStringLiteral("bootloader"),
                                           QStringLiteral("CPU-1 starts in its bootloader."));
    const QCommandLineOption modelOpt(
        QStringLiteral("model"),
        QStringLiteral("Model number CPU-1's bootloader reports (default: CPU-1's RM)."),
        QStringLiteral("RM"));
    const QCommandLineOption blInfoOpt(
        QStringLiteral("bootloader-info"),
        QStringLiteral("Bootloader RM:VERSION it reports (default 258:1.05)."),
        QStringLiteral("RM:VER"));
    const QCommandLineOption bootRmOpt(
        QStringLiteral("boot-rm"),
        QStringLiteral("RM a sub-processor in boot mode reports (default: BOOT_RM_NUMBER)."),
        QStringLiteral("RM"));
    const QCommandLineOption buildDataOpt(
        QStringLiteral("build-data"),
        QStringLiteral("Build-data folder (default: %1).").arg(defaultBuildDataFolder()),
        QStringLiteral("DIR"));
    const QCommandLineOption timingOpt(QStringLiteral("timing"),
                                       QStringLiteral("Turn the timing model on."));
    const QCommandLineOption scaleOpt(QStringLiteral("timing-scale"),
                                      QStringLiteral("Multiply every modelled time by X."),
                                      QStringLiteral("X"));
    const QCommandLineOption busyReadsOpt(
        QStringLiteral("busy-reads"),
        QStringLiteral("Without timing: status reads that show busy (default 3)."),
        QStringLiteral("N"));
    const QCommandLineOption seedOpt(QStringLiteral("seed"),
                                     QStringLiteral("Seed of the fault injector (default 1)."),
                                     QStringLiteral("N"));
    const QCommandLineOption faultOpt(
        QStringLiteral("fault"),
        QStringLiteral("Inject a fault, repeatable: KIND[:EXCHANGE][,after=N][,count=N][,p=X]"
                       "[,param=N]. Kinds: noise drop corrupt delay exception stuck-busy "
                       "no-news corrupt-status power-loss. Exchanges: modbus-read status-read "
                       "modbus-write fn103 fn104-command fn104-data bl-model bl-info bl-erase "
                       "bl-program bl-write-byte bl-reset other any."),
        QStringLiteral("SPEC"));
    parser.addOptions({linkOpt,       noPtyOpt,     tcpOpt,      durationOpt,  slaveOpt,
                       cpu1Opt,       cpu2Opt,      hmiOpt,      noHmiOpt,     withHmiOpt,
                       cpu2SilentOpt, hmiSilentOpt, cpu2BootOpt, hmiBootOpt,   bootloaderOpt,
                       modelOpt,      blInfoOpt,    bootRmOpt,   buildDataOpt, timingOpt,
                       scaleOpt,      busyReadsOpt, seedOpt,     faultOpt});
    parser.process(app);

    Scenario sc;
    FaultPlan plan;
    if (parser.isSet(slaveOpt)) {
        const auto v = parseWord(parser.value(slaveOpt));
        if (!v || *v < 1 || *v > 247)
            fail(QStringLiteral("--slave wants 1..247"));
        sc.slaveAddress = static_cast<std::uint8_t>(*v);
    }
    if (parser.isSet(cpu1Opt) && !parsePair(parser.value(cpu1Opt), sc.cpu1.rm, sc.cpu1.version))
        fail(QStringLiteral("--cpu1 wants RM:VERSION"));
    if (parser.isSet(cpu2Opt) && !parsePair(parser.value(cpu2Opt), sc.cpu2.rm, sc.cpu2.version))
        fail(QStringLiteral("--cpu2 wants RM:VERSION"));
    if (parser.isSet(hmiOpt) && !parsePair(parser.value(hmiOpt), sc.hmi.rm, sc.hmi.version))
        fail(QStringLiteral("--hmi wants RM:VERSION"));
    if (parser.isSet(noHmiOpt))
        sc.hasHmi = false;
    if (parser.isSet(withHmiOpt))
        sc.hasHmi = true;
    sc.cpu2.silent = parser.isSet(cpu2SilentOpt);
    sc.hmi.silent = parser.isSet(hmiSilentOpt);
    sc.cpu2.inBootMode = parser.isSet(cpu2BootOpt);
    sc.hmi.inBootMode = parser.isSet(hmiBootOpt);
    sc.startInBootloader = parser.isSet(bootloaderOpt);
    if (parser.isSet(modelOpt)) {
        const auto v = parseWord(parser.value(modelOpt));
        if (!v)
            fail(QStringLiteral("--model wants a number"));
        sc.modelRm = *v;
    }
    if (parser.isSet(blInfoOpt) &&
        !parsePair(parser.value(blInfoOpt), sc.bootloaderRm, sc.bootloaderVersion))
        fail(QStringLiteral("--bootloader-info wants RM:VERSION"));
    if (parser.isSet(bootRmOpt)) {
        const auto v = parseWord(parser.value(bootRmOpt));
        if (!v)
            fail(QStringLiteral("--boot-rm wants a number"));
        sc.bootRmNumber = *v;
    }
    if (parser.isSet(buildDataOpt))
        sc.buildData = parser.value(buildDataOpt);
    sc.timing.enabled = parser.isSet(timingOpt);
    if (parser.isSet(scaleOpt)) {
        bool ok = false;
        sc.timing.scale = parser.value(scaleOpt).toDouble(&ok);
        if (!ok || sc.timing.scale < 0)
            fail(QStringLiteral("--timing-scale wants a number >= 0"));
    }
    if (parser.isSet(busyReadsOpt)) {
        bool ok = false;
        sc.untimedBusyReads = parser.value(busyReadsOpt).toInt(&ok);
        if (!ok || sc.untimedBusyReads < 0)
            fail(QStringLiteral("--busy-reads wants a number >= 0"));
    }
    if (parser.isSet(seedOpt)) {
        bool ok = false;
        plan.seed = parser.value(seedOpt).toUInt(&ok);
        if (!ok)
            fail(QStringLiteral("--seed wants a number"));
    }
    for (const QString& spec : parser.values(faultOpt)) {
        QString why;
        const auto f = parseFault(spec, &why);
        if (!f)
            fail(QStringLiteral("--fault %1: %2").arg(spec, why));
        plan.faults.push_back(*f);
    }
    double duration = -1;
    if (parser.isSet(durationOpt)) {
        bool ok = false;
        duration = parser.value(durationOpt).toDouble(&ok);
        if (!ok || duration < 0)
            fail(QStringLiteral("--duration wants seconds"));
    }

    SimulatedUnit unit(sc, plan);
    for (const QString& p : unit.carried().problems)
        std::fprintf(stderr, "corvane-sim: build data: %s\n", qPrintable(p));

    QString linkPath;
    try {
        if (!parser.isSet(noPtyOpt)) {
            const QString path = unit.openPty();
            std::printf("pty: %s\n", qPrintable(path));
            if (parser.isSet(linkOpt)) {
                linkPath = parser.value(linkOpt);
                const QFileInfo existing(linkPath);
                if (existing.isSymLink())
                    QFile::remove(linkPath);
                if (::symlink(path.toLocal8Bit().constData(), linkPath.toLocal8Bit().constData()) !=
                    0)
                    fail(QStringLiteral("cannot make the link %1").arg(linkPath));
                std::printf("link: %s\n", qPrintable(linkPath));
            }
        }
        if (parser.isSet(tcpOpt)) {
            const auto port = parseWord(parser.value(tcpOpt));
            if (!port)
                fail(QStringLiteral("--tcp wants a port number"));
            std::printf("tcp: 127.0.0.1:%u\n", unit.listenTcp(*port));
        }
    } catch (const std::exception& e) {
        fail(QString::fromLocal8Bit(e.what()));
    }
    const Scenario& r = unit.scenario();
    std::printf("unit: slave %u, CPU-1 RM%u v%u.%02u%s, CPU-2 RM%u v%u.%02u, HMI %s\n",
                r.slaveAddress, r.cpu1.rm, r.cpu1.version / 100, r.cpu1.version % 100,
                r.startInBootloader ? " (in bootloader)" : "", r.cpu2.rm, r.cpu2.version / 100,
                r.cpu2.version % 100,
                r.hasHmi.value_or(true)
                    ? qPrintable(QStringLiteral("RM%1 v%2.%3")
                                     .arg(r.hmi.rm)
                                     .arg(r.hmi.version / 100)
                                     .arg(r.hmi.version % 100, 2, 10, QLatin1Char('0')))
                    : "none");
    std::fflush(stdout);

    timespec wait{};
    timespec* waitPtr = nullptr;
    if (duration >= 0) {
        wait.tv_sec = static_cast<time_t>(duration);
        wait.tv_nsec = static_cast<long>((duration - static_cast<double>(wait.tv_sec)) * 1e9);
        waitPtr = &wait;
    }
    for (;;) {
        const int sig = sigtimedwait(&stopSignals, nullptr, waitPtr);
        if (sig >= 0 || errno == EAGAIN)
            break; // a signal, or the duration is over
    }

    unit.stop();
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    std::printf("%s\n", qPrintable(unit.summary().toText()));
    std::fflush(stdout);
    return 0;
}

// corvane-sim: a simulated Corvane unit on a pseudo-terminal and, if asked, on Modbus TCP.

#include "ScenarioOptions.h"
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

[[noreturn]] void fail(const QString& message) {
    std::fprintf(stderr, "corvane-sim: %s\n", qPrintable(message));
    std::exit(2);
}

// Opens the pty (and its link) and the TCP port as asked; returns the link's path, if any.
QString openLines(SimulatedUnit& unit, const QCommandLineParser& parser,
                  const QCommandLineOption& linkOpt, const QCommandLineOption& noPtyOpt,
                  const QCommandLineOption& tcpOpt) {
    QString linkPath;
    try {
        if (!parser.isSet(noPtyOpt)) {
            const QString path = unit.openPty();
            std::printf("pty: %s\n", qPrintable(path));
            if (parser.isSet(linkOpt)) {
                linkPath = parser.value(linkOpt);
                const QFileInfo existing(linkPath);
                if (existing.isSymLink()) {
                    QFile::remove(linkPath);
                }
                if (::symlink(path.toLocal8Bit().constData(), linkPath.toLocal8Bit().constData()) !=
                    0) {
                    fail(QStringLiteral("cannot make the link %1").arg(linkPath));
                }
                std::printf("link: %s\n", qPrintable(linkPath));
            }
        }
        if (parser.isSet(tcpOpt)) {
            const auto port = parseWord(parser.value(tcpOpt));
            if (!port) {
                fail(QStringLiteral("--tcp wants a port number"));
            }
            std::printf("tcp: 127.0.0.1:%u\n", unit.listenTcp(*port));
        }
    } catch (const std::exception& e) {
        fail(QString::fromLocal8Bit(e.what()));
    }
    return linkPath;
}

void printUnit(const Scenario& r) {
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
}

// Until SIGINT or SIGTERM, or the duration (seconds, negative: none) is over.
void waitForStop(const sigset_t& stopSignals, double duration) {
    timespec wait{};
    timespec* waitPtr = nullptr;
    if (duration >= 0) {
        wait.tv_sec = static_cast<time_t>(duration);
        wait.tv_nsec = static_cast<long>((duration - static_cast<double>(wait.tv_sec)) * 1e9);
        waitPtr = &wait;
    }
    for (;;) {
        const int sig = sigtimedwait(&stopSignals, nullptr, waitPtr);
        if (sig >= 0 || errno == EAGAIN) {
            break; // a signal, or the duration is over
        }
    }
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
    const ScenarioOptions scenarioOptions;
    parser.addOptions({linkOpt, noPtyOpt, tcpOpt, durationOpt});
    parser.addOptions(scenarioOptions.options());
    parser.process(app);

    Scenario sc;
    FaultPlan plan;
    if (QString why; !scenarioOptions.read(parser, sc, plan, &why)) {
        fail(why);
    }
    double duration = -1;
    if (parser.isSet(durationOpt)) {
        bool ok = false;
        duration = parser.value(durationOpt).toDouble(&ok);
        if (!ok || duration < 0) {
            fail(QStringLiteral("--duration wants seconds"));
        }
    }

    SimulatedUnit unit(sc, plan);
    for (const QString& p : unit.carried().problems) {
        std::fprintf(stderr, "corvane-sim: build data: %s\n", qPrintable(p));
    }

    const QString linkPath = openLines(unit, parser, linkOpt, noPtyOpt, tcpOpt);
    printUnit(unit.scenario());
    waitForStop(stopSignals, duration);

    unit.stop();
    if (!linkPath.isEmpty()) {
        QFile::remove(linkPath);
    }
    std::printf("%s\n", qPrintable(unit.summary().toText()));
    std::fflush(stdout);
    return 0;
}

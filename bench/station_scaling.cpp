// station_scaling: a station of 1, 2, 4, 8 and 16 simulated units, each a complete upgrade of
// CPU-1, CPU-2 and the HMI with the unit's timing model (wire time at 115200 baud, device
// processing times), on the default link and on the fast link. Runs the real program
// (`corvane-updater --station --simulate N --timing --json`) and prints, per link and count,
// the station's wall time, its ratio to one unit's, and the CPU seconds (the station, its
// simulated units and every child) per unit.
//
//   station_scaling [--units 1,2,4,8,16] [--link default|fast|both] [--scale X]
//     X multiplies the units' modelled times (default 1)

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <sys/resource.h>

#include <cstdio>
#include <map>

namespace {

double childrenCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    auto s = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return s(u.ru_utime) + s(u.ru_stime);
}

struct Figures {
    double wall = 0;
    double cpu = 0;
    int succeeded = 0;
    int exitCode = -1;
    double longestRun = 0; // the slowest child's own time
};

Figures runStation(int units, bool fast, const QString& scale) {
    QStringList args{QStringLiteral("--station"),
                     QStringLiteral("--json"),
                     QStringLiteral("--simulate"),
                     QString::number(units),
                     QStringLiteral("--timing"),
                     QStringLiteral("--timing-scale"),
                     scale};
    if (fast) {
        args << QStringLiteral("--fast");
    }
    QProcess station;
    station.setStandardErrorFile(QProcess::nullDevice());
    Figures f;
    const double cpuBefore = childrenCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    station.start(QStringLiteral(CORVANE_UPDATER_EXE), args);
    if (!station.waitForFinished(-1)) {
        return f;
    }
    f.wall = static_cast<double>(wall.elapsed()) / 1000.0;
    // The station has waited for its children, so their time is in its own children's.
    f.cpu = childrenCpuSeconds() - cpuBefore;
    f.exitCode = station.exitStatus() == QProcess::NormalExit ? station.exitCode() : -1;
    const QList<QByteArray> lines = station.readAllStandardOutput().trimmed().split('\n');
    const QJsonObject summary = QJsonDocument::fromJson(lines.constLast()).object();
    f.succeeded = summary.value(QStringLiteral("succeeded")).toInt();
    for (const QJsonValue& run : summary.value(QStringLiteral("runs")).toArray()) {
        f.longestRun =
            std::max(f.longestRun, run.toObject().value(QStringLiteral("seconds")).toDouble());
    }
    return f;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption unitsOption(QStringLiteral("units"),
                                         QStringLiteral("Unit counts (default 1,2,4,8,16)."),
                                         QStringLiteral("LIST"), QStringLiteral("1,2,4,8,16"));
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("default, fast or both (default both)."),
                                        QStringLiteral("LINK"), QStringLiteral("both"));
    const QCommandLineOption scaleOption(QStringLiteral("scale"),
                                         QStringLiteral("Timing model scale (default 1)."),
                                         QStringLiteral("X"), QStringLiteral("1"));
    parser.addOption(unitsOption);
    parser.addOption(linkOption);
    parser.addOption(scaleOption);
    parser.process(app);

    QList<int> counts;
    for (const QString& n : parser.value(unitsOption).split(u',')) {
        counts << n.toInt();
    }
    const QString link = parser.value(linkOption);
    QList<bool> links;
    if (link != QLatin1String("fast")) {
        links << false;
    }
    if (link != QLatin1String("default")) {
        links << true;
    }

    std::printf("%-8s %5s %9s %9s %8s %10s %10s %6s\n", "link", "units", "wall s", "x one",
                "slowest", "CPU s", "CPU s/unit", "ok");
    int failures = 0;
    for (const bool fast : links) {
        double one = 0;
        for (const int units : counts) {
            const Figures f = runStation(units, fast, parser.value(scaleOption));
            if (one == 0) {
                one = f.wall;
            }
            std::printf("%-8s %5d %9.2f %9.3f %8.2f %10.2f %10.2f %3d/%-3d\n",
                        fast ? "fast" : "default", units, f.wall, f.wall / one, f.longestRun, f.cpu,
                        f.cpu / units, f.succeeded, units);
            std::fflush(stdout);
            failures += f.exitCode == 0 && f.succeeded == units ? 0 : 1;
        }
    }
    return failures == 0 ? 0 : 1;
}

#include "Station.h"

#include "AppOptions.h"
#include "RunSignals.h"
#include "SlotNames.h"
#include "StationUnits.h"
#include "StationView.h"

#include "upgrade/UpgradeEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

QStringList stationPorts(const QStringList& preferred) {
    // The scan's own rule: the ports it would try.
    QStringList ports;
    QStringList devices;
    for (const QString& port : candidatePorts(preferred, corvane::availablePorts())) {
        const QString device = QFileInfo(port).canonicalFilePath();
        if (!device.isEmpty() && devices.contains(device)) {
            continue;
        }
        devices << device;
        ports << port;
    }
    return ports;
}

namespace {

// The exit code of a run that found no unit.
constexpr int kNoUnitFound = static_cast<int>(RunExit::NoUnitFound);

} // namespace

int stationExitCode(const std::vector<SlotRun>& runs) {
    for (const SlotRun& run : runs) {
        if (!run.ok()) {
            return kStationSlotsFailed;
        }
    }
    return 0;
}

Station::Station(const std::vector<SlotTarget>& slotTargets, SlotChildSetup setup, bool loop,
                 QObject* parent)
    : QObject(parent)
    , m_loop(loop) {
    int index = 0;
    for (const SlotTarget& target : slotTargets) {
        auto slot = std::make_unique<StationSlot>(++index, target.name, target.port, setup);
        connect(slot.get(), &StationSlot::runEnded, this, &Station::onRunEnded);
        connect(slot.get(), &StationSlot::idle, this, &Station::checkFinished);
        m_slots.push_back(std::move(slot));
    }
    m_grace.setSingleShot(true);
    connect(&m_grace, &QTimer::timeout, this, [this] {
        for (const auto& slot : m_slots) {
            slot->kill();
        }
    });
}

Station::~Station() = default;

void Station::start() {
    for (const auto& slot : m_slots) {
        slot->startRun();
    }
    checkFinished();
}

void Station::stop(int signal, int graceMs) {
    if (m_stopSignal != 0) {
        return;
    }
    m_stopSignal = signal;
    m_grace.start(graceMs);
    for (const auto& slot : m_slots) {
        slot->stop(signal);
    }
    checkFinished();
}

void Station::onRunEnded(StationSlot* slot, const SlotRun& ended) {
    SlotRun run = ended;
    if (m_unitHolding) {
        run.simulatedUnit = m_unitHolding(slot->index());
    }
    // With --loop an empty socket is no failed unit: the slot waits for one.
    if (m_loop && m_stopSignal == 0 && run.haveResult && run.exitCode == kNoUnitFound) {
        run.counted = false;
        emit runRecorded(slot, run);
        slot->awaitNextUnit(false);
        return;
    }
    // In slot order, each slot's runs in turn.
    const auto at =
        std::upper_bound(m_runs.begin(), m_runs.end(), run, [](const SlotRun& a, const SlotRun& b) {
            return std::pair(a.slotIndex, a.run) < std::pair(b.slotIndex, b.run);
        });
    emit runRecorded(slot, *m_runs.insert(at, run));
    if (m_loop && m_stopSignal == 0) {
        slot->awaitNextUnit();
    }
}

void Station::checkFinished() {
    if (m_finished || (m_loop && m_stopSignal == 0)) {
        return;
    }
    for (const auto& slot : m_slots) {
        if (slot->busy() || slot->phase() == StationSlot::Phase::Running) {
            return;
        }
    }
    m_finished = true;
    m_grace.stop();
    emit finished(stationExitCode(m_runs));
}

namespace {

void writeOut(const QByteArray& text) {
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void writeReport(const QByteArray& text) {
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
    std::fputc('\n', stderr);
}

int stationError(const QString& text, int code) {
    std::fprintf(stderr, "corvane-updater: %s\n", qPrintable(text));
    return code;
}

} // namespace

namespace {

// Slots for the ports the scan would try, named by their by-path links.
std::vector<SlotTarget> portSlots(const QStringList& preferred) {
    const QStringList ports = stationPorts(preferred);
    const QByteArray folder = qgetenv(kByPathVariable);
    const QStringList names =
        slotNames(ports, folder.isEmpty() ? QString::fromLatin1(kByPathDefault)
                                          : QString::fromLocal8Bit(folder));
    std::vector<SlotTarget> targets;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        targets.push_back({names[i], ports[i]});
    }
    return targets;
}

// What every child is given: the program itself and the options it passes on.
SlotChildSetup childSetup(const AppOptions& options) {
    SlotChildSetup setup;
    setup.program = QCoreApplication::applicationFilePath();
    if (options.fastLink) {
        setup.passOn << QStringLiteral("--fast");
    }
    if (!options.verify) {
        setup.passOn << QStringLiteral("--no-verify");
    }
    // Every child writes its own record; the database's write-ahead log lets them write at once.
    if (!options.historyPath.isEmpty()) {
        setup.passOn << QStringLiteral("--history")
                     << QFileInfo(options.historyPath).absoluteFilePath();
    }
    setup.silenceLimitMs = options.station.silenceLimitS * 1000;
    if (!options.station.logDir.isEmpty()) {
        setup.logDir = QFileInfo(options.station.logDir).absoluteFilePath();
    }
    return setup;
}

} // namespace

int runStation(AppOptions& options) {
    RunSignals signalWatch;
    const StationOptions& so = options.station;
    std::vector<SlotTarget> targets;
    QStringList notes;
    std::unique_ptr<StationUnits> units;
    if (so.simulatedUnits > 0) {
        units = std::make_unique<StationUnits>(so.simulatedUnits, options.simScenario,
                                               options.simFaults, so.slotScenarios);
        try {
            units->start();
        } catch (const std::exception& e) {
            return stationError(
                QStringLiteral("simulated units: ") + QString::fromLocal8Bit(e.what()), 1);
        }
        for (int n = 1; n <= units->count(); ++n) {
            targets.push_back({QStringLiteral("sim-%1").arg(n), units->linkOf(n)});
            notes << QStringLiteral("sim-%1: ").arg(n) + units->description(n);
        }
    }
    if (!options.ports.isEmpty() || so.simulatedUnits == 0) {
        for (const SlotTarget& target : portSlots(options.ports)) {
            targets.push_back(target);
        }
    }
    const SlotChildSetup setup = childSetup(options);
    if (!setup.logDir.isEmpty() && !QDir().mkpath(setup.logDir)) {
        return stationError(QStringLiteral("cannot create the folder %1").arg(so.logDir), 2);
    }

    Station station(targets, setup, so.loop);
    if (units) {
        station.setUnitHolding([&units](int slot) { return units->holding(slot); });
    }
    const StationView::Mode mode = options.json       ? StationView::Mode::Json
                                   : ::isatty(1) == 1 ? StationView::Mode::Table
                                                      : StationView::Mode::Lines;
    StationView view(station, mode, writeOut, writeReport);
    view.begin({{QStringLiteral("link"),
                 options.fastLink ? QStringLiteral("fast") : QStringLiteral("default")},
                {QStringLiteral("verify"), options.verify},
                {QStringLiteral("loop"), so.loop},
                {QStringLiteral("logDir"), setup.logDir}},
               notes);
    if (targets.empty()) {
        stationError(QStringLiteral("no port to try: no FTDI adapter is attached and no --port "
                                    "was given"),
                     kNoUnitFound);
        view.finish(kNoUnitFound);
        return kNoUnitFound;
    }
    if (units && so.loop) {
        QObject::connect(&station, &Station::runRecorded, units.get(),
                         [&station, &units](StationSlot* slot, const SlotRun& run) {
                             if (!station.stopping() && run.exitCode != kNoUnitFound) {
                                 units->replace(slot->index());
                             }
                         });
    }
    QObject::connect(&station, &Station::finished, &station,
                     [](int code) { QCoreApplication::exit(code); });
    QObject::connect(&signalWatch, &RunSignals::stopRequested, &station, [&](int signal) {
        if (station.stopping()) {
            return;
        }
        view.stopping(signal);
        station.stop(signal);
    });
    QTimer::singleShot(0, &station, [&station] { station.start(); });
    const int code = QCoreApplication::exec();
    view.finish(code);
    return code;
}

// Program entry: the command line, the application's identity, then either the window (the
// three forms in their start order and the event loop until the main window closes) or, with
// --auto and --identify, the engine on its own with the command line's report: no window, no
// window system. With --simulate a simulated unit answers on a pseudo-terminal inside the
// process.

#include "AppOptions.h"
#include "BuiltInSimulator.h"
#include "CliView.h"
#include "Doctor.h"
#include "FieldKit.h"
#include "JsonView.h"
#include "RunHistory.h"
#include "RunSignals.h"
#include "StartupCheck.h"
#include "Station.h"
#include "Theme.h"
#include "Transcript.h"
#include "main.h"

#include "common/gen_lib.h"
#include "firmware/FirmwareCheck.h"
#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"
#include "platform/PosixSerialDevice.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSaveFile>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>

namespace {

void setIdentity() {
    QCoreApplication::setApplicationName(QStringLiteral("corvane-updater"));
    QCoreApplication::setApplicationVersion(Version_Info[2]);
}

// Where the report goes: standard output, or standard error when --json has standard output.
std::FILE* g_report = stdout;

// Output errors (a closed pipe or terminal) are ignored: the run goes on without its output.
void printLine(const QString& line) {
    std::fprintf(g_report, "%s\n", qPrintable(line));
    std::fflush(g_report);
}

void writeJsonLine(const QByteArray& line) {
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printError(const QString& line) {
    std::fprintf(stderr, "corvane-updater: %s\n", qPrintable(line));
}

// When a run began, for its record in the history.
struct RunClock {
    QDateTime startedUtc = QDateTime::currentDateTimeUtc();
    QElapsedTimer elapsed;
    RunClock() { elapsed.start(); }
};

// --history FILE: the run's record, once at its end. A record the database does not take goes
// to standard error as one JSON line, so that nothing is lost, and one line says so; the run's
// exit code stays what it is.
void recordRun(const AppOptions& options, const RunClock& clock, const char* mode,
               const RunOutcome& outcome, int exitCode, const QString& summary) {
    if (options.historyPath.isEmpty()) {
        return;
    }
    RunRecord record;
    record.startedUtc = clock.startedUtc;
    record.endedUtc = QDateTime::currentDateTimeUtc();
    record.durationMs = clock.elapsed.elapsed();
    record.host = QSysInfo::machineHostName();
    record.programVersion = QCoreApplication::applicationVersion();
    record.mode = QString::fromLatin1(mode);
    record.exitCode = exitCode;
    record.summary = summary;
    if (!options.logPath.isEmpty()) {
        record.transcriptPath = QFileInfo(options.logPath).absoluteFilePath();
    }
    record.outcome = outcome;
    for (int n = 1; n <= 3; ++n) {
        if (outcome.processors[static_cast<std::size_t>(n)].rmCarried != 0) {
            record.imageSha256[static_cast<std::size_t>(n)] =
                carriedImageSha256(n, outcome.productRm);
        }
    }
    record.buildDataSha256 = carriedDigests().buildDataSha256;
    // No unit found: the ports the command line named (a station's slot) stand in for it.
    if (record.outcome.port.isEmpty()) {
        record.outcome.port = options.ports.join(QStringLiteral(", "));
    }
    const QString error = writeRunRecord(options.historyPath, record);
    if (error.isEmpty()) {
        return;
    }
    std::fprintf(stderr, "%s\n", recordJsonLine(record, options.historyPath, error).constData());
    printError(QStringLiteral("the run was not recorded: %1; its record is the JSON line above.")
                   .arg(error));
}

// --history FILE --show [N] / --export-csv OUT: the history is read; nothing is run.
int runHistoryQuery(int argc, char** argv, const AppOptions& options) {
    QCoreApplication app(argc, argv);
    RunHistory history(options.historyPath, RunHistory::Access::ReadOnly);
    const HistoryRows rows =
        history.runs(options.historyCsvPath.isEmpty() ? options.historyShow : -1);
    if (!history.isOpen()) {
        printError(history.error());
        return 1;
    }
    if (!options.historyCsvPath.isEmpty()) {
        const QByteArray csv = historyCsv(rows);
        if (options.historyCsvPath == QLatin1String("-")) {
            std::fwrite(csv.constData(), 1, std::size_t(csv.size()), stdout);
        } else {
            QSaveFile out(options.historyCsvPath);
            if (!out.open(QIODevice::WriteOnly) || out.write(csv) != csv.size() || !out.commit()) {
                printError(QStringLiteral("cannot write %1: %2")
                               .arg(options.historyCsvPath, out.errorString()));
                return 1;
            }
        }
    }
    if (options.historyShow > 0) {
        HistoryRows last{rows.columns, {}};
        const std::size_t n = std::min(rows.rows.size(), std::size_t(options.historyShow));
        last.rows.assign(rows.rows.end() - std::ptrdiff_t(n), rows.rows.end());
        std::fputs(qPrintable(historyTable(last)), stdout);
    }
    return 0;
}

// What both faces of the program set up before the engine: the transcript, the simulated
// unit, and the engine's dependencies.
struct RunSetup {
    std::unique_ptr<RunTranscript> transcript;
    std::unique_ptr<BuiltInSimulator> simulator;
    EngineDeps deps;
    int failedWith = 0; // non-zero: the run cannot start; exit with this code

    explicit RunSetup(AppOptions& options) {
        if (!options.logPath.isEmpty() && !openTranscript(options.logPath)) {
            return;
        }
        if (options.simulate && !startSimulator(options)) {
            return;
        }
        deps.preferredPorts = options.ports;
        deps.fastLink = options.fastLink;
        deps.verifyAfterRestart = options.verify;
        deps.deviceFactory = [] {
            return std::make_unique<GatedSerialDevice>(
                std::make_unique<corvane::PosixSerialDevice>());
        };
        deps.refusedRequests = &RunSignals::refusedRequests;
    }

    bool openTranscript(const QString& path) {
        QString why;
        transcript = RunTranscript::openFile(path, &why);
        if (!transcript) {
            printError(why);
            failedWith = 2;
            return false;
        }
        transcript->info(QStringLiteral("Corvane Firmware Updater %1").arg(Version_Info[2]));
        transcript->info(QStringLiteral("command line: ") +
                         QCoreApplication::arguments().mid(1).join(u' '));
        try {
            transcript->info(buildDataSummary(embeddedResources(), Product_Table()));
        } catch (const std::exception& e) {
            transcript->info(QStringLiteral("build data: %1").arg(QString::fromUtf8(e.what())));
        }
        // Which firmware the run carries, exactly: the digests checked at start-up.
        for (const QString& line : verboseVersionText(Version_Info[2], carriedDigests()).mid(1)) {
            transcript->info(line);
        }
        return true;
    }

    bool startSimulator(AppOptions& options) {
        simulator = std::make_unique<BuiltInSimulator>(options.simScenario, options.simFaults);
        for (const QString& problem : simulator->problems()) {
            printError(QStringLiteral("simulated unit: build data: ") + problem);
        }
        try {
            options.ports.prepend(simulator->start());
        } catch (const std::exception& e) {
            printError(QStringLiteral("simulated unit: ") + QString::fromLocal8Bit(e.what()));
            if (transcript) {
                transcript->result(QStringLiteral("Result: the simulated unit could not start: ") +
                                       QString::fromLocal8Bit(e.what()),
                                   1);
            }
            failedWith = 1;
            return false;
        }
        printLine(simulator->description());
        if (transcript) {
            transcript->info(simulator->description());
        }
        return true;
    }

    // After the run: what the simulated unit holds, and the transcript's last line.
    void finish(const QString& resultLine, int exitCode) {
        if (simulator) {
            simulator->unit().stop();
            printLine(QStringLiteral("\nSimulated unit after the run:\n") +
                      simulator->summaryText());
            if (transcript) {
                for (const QString& line : simulator->summaryText().split(u'\n')) {
                    transcript->info(QStringLiteral("simulated unit: ") + line);
                }
            }
        }
        if (transcript) {
            transcript->result(resultLine, exitCode);
        }
    }
};

// --auto and --identify: the engine drives itself; the report goes to standard output and the
// result line comes last.
int runUnattended(int argc, char** argv, AppOptions& options) {
    const RunClock clock;
    QCoreApplication app(argc, argv);
    RunSignals signalWatch;
    setIdentity();
    std::unique_ptr<JsonView> json;
    if (options.json) {
        g_report = stderr;
        json = std::make_unique<JsonView>(writeJsonLine);
        json->setDigestLookup([](int processor, std::uint16_t carriedRm) {
            return QString::fromLatin1(carriedImageSha256(processor, carriedRm).toHex());
        });
        json->begin(jsonRunFields(options));
    }
    RunSetup setup(options);
    if (setup.failedWith != 0) {
        if (json) {
            json->finishEarly(setup.failedWith, QStringLiteral("the run could not start."));
        }
        return setup.failedWith;
    }

    UpgradeEngine engine(setup.deps);
    engine.setMode(options.identify ? EngineMode::Identify : EngineMode::Auto);
    for (const UpgradeEngine::StartupMessage& m : engine.startupMessages()) {
        printLine(QStringLiteral("Message: ") + m.text);
        if (json) {
            json->message(m.kind, m.text);
        }
    }
    CliView view(engine, printLine);
    if (json) {
        json->attach(engine);
    }
    std::unique_ptr<EngineTranscriber> transcriber;
    if (setup.transcript) {
        transcriber = std::make_unique<EngineTranscriber>(engine, *setup.transcript);
    }

    RunOutcome outcome;
    if (engine.startupRefused()) {
        outcome.exit = RunExit::UpgradeFailed;
        outcome.summary = QStringLiteral("the program cannot start: its build data is not usable.");
    } else {
        QObject::connect(&engine, &UpgradeEngine::reported, &app, [](const EngineEvent& e) {
            if (const auto* finished = std::get_if<ev::RunFinished>(&e)) {
                QCoreApplication::exit(finished->outcome.exitCode());
            }
        });
        QObject::connect(&signalWatch, &RunSignals::stopRequested, &engine, [&](int signal) {
            if (engine.isFinished()) {
                return;
            }
            view.stopRequested(signal);
            if (json) {
                json->stopRequested(signal);
            }
            engine.requestStop(signal);
        });
        QTimer::singleShot(0, &engine, [&engine] { engine.startScan(); });
        QCoreApplication::exec();
        outcome = engine.outcome();
    }
    transcriber.reset();
    const QString result = QStringLiteral("Result: ") + outcome.summary;
    setup.finish(result, outcome.exitCode());
    recordRun(options, clock, options.identify ? "identify" : "auto", outcome, outcome.exitCode(),
              outcome.summary);
    printLine(result);
    if (json) {
        json->finish(outcome);
    }
    return outcome.exitCode();
}

// The window. After SIGINT/SIGTERM no further step starts, boxes are closed, and once the step
// in progress has returned the state is reported and the window closes.
int runWindow(int argc, char** argv, AppOptions& options) {
    const RunClock clock;
    QApplication app(argc, argv);
    RunSignals signalWatch;
    setIdentity();
    QApplication::setApplicationDisplayName(QStringLiteral("Corvane Firmware Updater"));
    corvane::ui::installAppFonts();
    QApplication::setFont(corvane::ui::uiFont());
    sounds().setPlayer([](std::uint32_t) { QApplication::beep(); });

    RunSetup setup(options);
    if (setup.failedWith != 0) {
        return setup.failedWith;
    }
    const std::unique_ptr<TForm3> form = createUpdaterForms(setup.deps);
    UpgradeEngine& engine = form->engine();
    std::unique_ptr<EngineTranscriber> transcriber;
    if (setup.transcript) {
        transcriber = std::make_unique<EngineTranscriber>(engine, *setup.transcript);
    }
    form->show();

    int stoppedBy = 0;
    QObject::connect(&engine, &UpgradeEngine::reported, form.get(), [&](const EngineEvent& e) {
        const auto* finished = std::get_if<ev::RunFinished>(&e);
        if (!finished || finished->outcome.exit != RunExit::Stopped) {
            return;
        }
        printError(finished->outcome.stateAfterStop);
        form->close();
    });
    QObject::connect(&signalWatch, &RunSignals::stopRequested, form.get(), [&](int signal) {
        if (stoppedBy != 0) {
            return;
        }
        stoppedBy = signal;
        printError(signalName(signal) +
                   QStringLiteral(" received; stopping after the exchange in progress."));
        // A box open in the step in progress would keep it from returning.
        auto* boxes = new QTimer(form.get());
        QObject::connect(boxes, &QTimer::timeout, form.get(), [&engine, boxes] {
            if (engine.isFinished()) {
                boxes->stop();
            } else if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                dialog->reject();
            }
        });
        boxes->start(10);
        engine.requestStop(signal);
    });
    const int code = QApplication::exec();
    const int result = stoppedBy != 0 ? signalExitCode(stoppedBy) : code;
    const RunOutcome outcome = engine.outcome();
    transcriber.reset();
    const QString line = windowResult(outcome);
    setup.finish(line, result);
    recordRun(options, clock, "window", outcome, result,
              line.mid(QStringLiteral("Result: ").size()));
    return result;
}

} // namespace

int main(int argc, char** argv) {
    Get_Version_Info();
    AppOptions options;
    {
        // The command line is read before any window system is needed, so --help and
        // --version also work without a display.
        QCoreApplication probe(argc, argv);
        setIdentity();
        options = parseAppOptions(QCoreApplication::arguments());
    }
    if (!options.error.isEmpty()) {
        std::fprintf(stderr,
                     "corvane-updater: %s\nTry 'corvane-updater --help' for more information.\n",
                     qPrintable(options.error));
        return 2;
    }
    if (options.showHelp) {
        std::fputs(qPrintable(options.helpText), stdout);
        return 0;
    }
    if (options.station.showHelp) {
        std::fputs(qPrintable(options.station.helpText), stdout);
        return 0;
    }
    if (options.showSimulateHelp) {
        std::fputs(qPrintable(options.simulateHelpText), stdout);
        return 0;
    }
    // Field kit: neither needs an application object.
    if (options.doctor) {
        return runDoctor(options.ports, options.json, Version_Info[2]);
    }
    if (options.showVersion && options.verbose) {
        return printVerboseVersion(Version_Info[2]);
    }
    if (options.showVersion) {
        std::printf("Corvane Firmware Updater %s\n", qPrintable(Version_Info[2]));
        return 0;
    }

    if (options.historyQuery()) {
        return runHistoryQuery(argc, argv, options);
    }

    // The carried firmware, hashed again before the first window or exchange.
    if (const int damaged = checkCarriedFirmwareAtStart(options.windowless(), argc, argv)) {
        return damaged;
    }

    // Before any thread exists, so that every thread inherits the dispositions.
    RunSignals::install();
    if (options.station.enabled) {
        QCoreApplication app(argc, argv);
        setIdentity();
        return runStation(options);
    }
    if (options.windowless()) {
        return runUnattended(argc, argv, options);
    }
    return runWindow(argc, argv, options);
}

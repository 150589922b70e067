#include "StationSlot.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>

#include <csignal>
#include <cstring>

#include <signal.h>

QString slotFileName(const QString& slot) {
    QString name = slot;
    for (QChar& c : name) {
        if (!c.isLetterOrNumber() && c != u'.' && c != u'-' && c != u'_') {
            c = u'_';
        }
    }
    while (name.startsWith(u'_')) {
        name.remove(0, 1);
    }
    return name.isEmpty() ? QStringLiteral("slot") : name;
}

QString signalAbbreviation(int signal) {
    if (const char* abbreviation = ::sigabbrev_np(signal)) {
        return QStringLiteral("SIG") + QString::fromLatin1(abbreviation);
    }
    return QStringLiteral("signal %1").arg(signal);
}

StationSlot::StationSlot(int index, QString name, QString port, SlotChildSetup setup,
                         QObject* parent)
    : QObject(parent)
    , m_index(index)
    , m_name(std::move(name))
    , m_port(std::move(port))
    , m_setup(std::move(setup)) {
    m_watchdog.setInterval(1000);
    connect(&m_watchdog, &QTimer::timeout, this, &StationSlot::checkSilence);
    m_probeTimer.setSingleShot(true);
    connect(&m_probeTimer, &QTimer::timeout, this, &StationSlot::probe);
    m_live.phase = QStringLiteral("idle");
}

StationSlot::~StationSlot() {
    for (QProcess* child : {m_child.get(), m_probe.get()}) {
        if (child && child->state() != QProcess::NotRunning) {
            child->disconnect(this);
            child->kill();
            child->waitForFinished(2000);
        }
    }
}

bool StationSlot::busy() const {
    return (m_child && m_child->state() != QProcess::NotRunning) ||
           (m_probe && m_probe->state() != QProcess::NotRunning);
}

void StationSlot::setPhase(Phase phase, const QString& text) {
    m_phase = phase;
    m_live.phase = text;
    emit liveChanged(this);
}

void StationSlot::startRun() {
    if (m_stopping) {
        return;
    }
    ++m_runs;
    m_run = SlotRun{};
    m_run.slot = m_name;
    m_run.slotIndex = m_index;
    m_run.run = m_runs;
    m_run.port = m_port;
    m_hung = false;
    m_errorTail.clear();
    m_errorPartial.clear();
    const SlotLive previous = m_live;
    m_live = SlotLive{};
    m_live.result = previous.result;

    QStringList args{QStringLiteral("--auto"), QStringLiteral("--json"), QStringLiteral("--port"),
                     m_port};
    args += m_setup.passOn;
    if (!m_setup.logDir.isEmpty()) {
        m_run.logFile = QDir(m_setup.logDir)
                            .filePath(QStringLiteral("%1-run%2-%3.txt")
                                          .arg(slotFileName(m_name))
                                          .arg(m_runs)
                                          .arg(QDateTime::currentDateTime().toString(
                                              QStringLiteral("yyyyMMdd-HHmmss"))));
        args << QStringLiteral("--log") << m_run.logFile;
    }
    m_child = std::make_unique<QProcess>();
    connect(m_child.get(), &QProcess::readyReadStandardOutput, this, &StationSlot::readOutput);
    connect(m_child.get(), &QProcess::readyReadStandardError, this, &StationSlot::readErrors);
    connect(m_child.get(), &QProcess::finished, this,
            [this](int code, QProcess::ExitStatus status) {
                runFinished(code, status == QProcess::CrashExit);
            });
    connect(m_child.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            m_run.cause = QStringLiteral("start-failed");
            m_run.summary =
                QStringLiteral("the updater could not be started: ") + m_child->errorString();
            runFinished(-1, false);
        }
    });
    m_started.start();
    m_lastOutput.start();
    m_child->start(m_setup.program, args);
    m_run.pid = m_child->processId();
    m_watchdog.start();
    setPhase(Phase::Running, QStringLiteral("starting"));
    emit runStarted(this);
}

void StationSlot::readOutput() {
    m_lastOutput.restart();
    while (m_child && m_child->canReadLine()) {
        QByteArray line = m_child->readLine();
        while (line.endsWith('\n') || line.endsWith('\r')) {
            line.chop(1);
        }
        if (line.isEmpty()) {
            continue;
        }
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            continue; // standard output carries JSON only; anything else is not ours to read
        }
        const QJsonObject object = doc.object();
        take(object);
        emit childObject(this, line, object);
    }
}

void StationSlot::readErrors() {
    m_lastOutput.restart();
    m_errorPartial += m_child->readAllStandardError();
    qsizetype end = 0;
    while ((end = m_errorPartial.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_errorPartial.left(end)).trimmed();
        m_errorPartial.remove(0, end + 1);
        if (line.isEmpty()) {
            continue;
        }
        m_errorTail << line;
        if (m_errorTail.size() > 4) {
            m_errorTail.removeFirst();
        }
    }
}

void StationSlot::take(const QJsonObject& o) {
    const QString type = o.value(QStringLiteral("type")).toString();
    auto stageOf = [&o] {
        const QString name = o.value(QStringLiteral("name")).toString();
        const QString stage = o.value(QStringLiteral("stage")).toString();
        return name.isEmpty() ? stage : name + u' ' + stage;
    };
    if (type == QLatin1String("start")) {
        m_live.phase = QStringLiteral("scanning");
    } else if (type == QLatin1String("unit-found")) {
        m_live.productRm = o.value(QStringLiteral("rm")).toInt();
        m_run.productRm = m_live.productRm;
        m_live.phase = QStringLiteral("found");
    } else if (type == QLatin1String("upgrade-started")) {
        m_live.phase = QStringLiteral("programming");
    } else if (type == QLatin1String("stage-started")) {
        m_live.stage = stageOf();
        m_live.percent = m_live.rate = m_live.secondsLeft = -1;
    } else if (type == QLatin1String("progress")) {
        m_live.stage = stageOf();
        m_live.percent = o.value(QStringLiteral("percent")).toDouble();
        m_live.rate = o.value(QStringLiteral("rate")).toDouble(-1);
        m_live.secondsLeft = o.value(QStringLiteral("secondsLeft")).toDouble(-1);
    } else if (type == QLatin1String("stage-ended")) {
        if (o.value(QStringLiteral("result")).toString() == QLatin1String("failed")) {
            m_live.stage = stageOf() + QStringLiteral(" failed");
        }
        m_live.rate = m_live.secondsLeft = -1;
    } else if (type == QLatin1String("result")) {
        m_run.haveResult = true;
        m_run.exitClass = o.value(QStringLiteral("exitClass")).toString();
        m_run.cause = o.value(QStringLiteral("cause")).toString();
        m_run.summary = o.value(QStringLiteral("summary")).toString();
        // After a stop: what the unit holds and how to recover.
        if (const QString state = o.value(QStringLiteral("state")).toString(); !state.isEmpty()) {
            m_run.summary += u' ' + state;
        }
        m_run.failedProcessor = o.value(QStringLiteral("name")).toString();
        m_run.productRm = o.value(QStringLiteral("productRm")).toInt();
        m_run.processors = o.value(QStringLiteral("processors")).toArray();
        m_live.phase = QStringLiteral("ending");
    } else {
        return;
    }
    if (!m_live.stage.isEmpty()) {
        m_run.lastStage = m_live.percent >= 0
                              ? QStringLiteral("%1 %2%").arg(m_live.stage).arg(m_live.percent)
                              : m_live.stage;
    }
    emit liveChanged(this);
}

void StationSlot::checkSilence() {
    if (!m_child || m_child->state() == QProcess::NotRunning || m_hung) {
        return;
    }
    if (m_lastOutput.elapsed() < m_setup.silenceLimitMs) {
        return;
    }
    // Hung: its own stall limit would have ended it with a result long before.
    m_hung = true;
    m_child->kill();
}

void StationSlot::runFinished(int exitCode, bool crashed) {
    if (m_run.ended) {
        return;
    }
    m_watchdog.stop();
    readOutput();
    m_run.ended = true;
    m_run.ms = m_started.elapsed();
    const QString during =
        m_run.lastStage.isEmpty() ? QString() : QStringLiteral(" during ") + m_run.lastStage;
    if (crashed) {
        m_run.signal = signalAbbreviation(exitCode);
        m_run.exitCode = -1;
        if (m_hung) {
            m_run.cause = QStringLiteral("hung");
            m_run.summary = QStringLiteral("the updater reported nothing for %1 s%2 and was "
                                           "killed.")
                                .arg(m_setup.silenceLimitMs / 1000)
                                .arg(during);
        } else if (!m_run.haveResult) {
            m_run.cause = QStringLiteral("killed");
            m_run.summary =
                QStringLiteral("the updater was killed by %1%2.").arg(m_run.signal, during);
        }
    } else {
        m_run.exitCode = exitCode;
        if (!m_run.haveResult && m_run.cause.isEmpty()) {
            m_run.cause = QStringLiteral("no-result");
            m_run.summary =
                QStringLiteral("the updater ended with exit code %1 without a "
                               "result%2.")
                    .arg(exitCode)
                    .arg(m_errorTail.isEmpty() ? QString()
                                               : QStringLiteral(": ") + m_errorTail.constLast());
        }
    }
    m_live.result = m_run.ok() ? QStringLiteral("ok") : QStringLiteral("FAILED ") + m_run.cause;
    m_live.rate = m_live.secondsLeft = -1;
    setPhase(Phase::Idle, m_run.ok() ? QStringLiteral("done") : QStringLiteral("failed"));
    emit runEnded(this, m_run);
    if (m_phase == Phase::Idle && !busy()) {
        emit idle(this);
    }
}

void StationSlot::awaitNextUnit(bool removalFirst) {
    if (m_stopping) {
        return;
    }
    if (removalFirst) {
        setPhase(Phase::WaitingRemoval, QStringLiteral("take the unit away"));
    } else {
        setPhase(Phase::WaitingUnit, QStringLiteral("load a unit"));
    }
    m_probeTimer.start(m_setup.probePauseMs);
}

void StationSlot::probe() {
    if (m_stopping) {
        return;
    }
    // A port that is gone (an adapter unplugged with its unit) has no unit.
    if (!QFileInfo::exists(m_port)) {
        probeFinished(false);
        return;
    }
    m_probe = std::make_unique<QProcess>();
    m_probe->setStandardOutputFile(QProcess::nullDevice());
    m_probe->setStandardErrorFile(QProcess::nullDevice());
    connect(m_probe.get(), &QProcess::finished, this,
            [this](int code, QProcess::ExitStatus status) {
                // 3: no unit answered, or the port could not be opened.
                probeFinished(status == QProcess::NormalExit && code != 3);
            });
    QStringList args{QStringLiteral("--identify"), QStringLiteral("--port"), m_port};
    if (m_setup.passOn.contains(QStringLiteral("--fast"))) {
        args << QStringLiteral("--fast");
    }
    m_probe->start(m_setup.program, args);
}

void StationSlot::probeFinished(bool present) {
    if (m_stopping) {
        if (!busy()) {
            emit idle(this);
        }
        return;
    }
    if (m_phase == Phase::WaitingRemoval && !present) {
        setPhase(Phase::WaitingUnit, QStringLiteral("load a unit"));
    } else if (m_phase == Phase::WaitingUnit && present) {
        startRun();
        return;
    }
    m_probeTimer.start(m_setup.probePauseMs);
}

void StationSlot::stop(int signal) {
    m_stopping = true;
    m_probeTimer.stop();
    for (QProcess* child : {m_child.get(), m_probe.get()}) {
        if (child && child->state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(child->processId()), signal);
        }
    }
    if (m_phase != Phase::Running) {
        setPhase(Phase::Stopped, QStringLiteral("stopped"));
    }
    if (!busy()) {
        emit idle(this);
    }
}

void StationSlot::kill() {
    for (QProcess* child : {m_child.get(), m_probe.get()}) {
        if (child && child->state() != QProcess::NotRunning) {
            child->kill();
        }
    }
}

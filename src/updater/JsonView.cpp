#include "JsonView.h"

#include "AppOptions.h"
#include "CliView.h"

#include "firmware/ProcessorName.h"
#include "firmware/VersionText.h"
#include "upgrade/Captions.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <cmath>

QJsonObject jsonRunFields(const AppOptions& options) {
    return {{QStringLiteral("mode"),
             options.identify ? QStringLiteral("identify") : QStringLiteral("auto")},
            {QStringLiteral("link"),
             options.fastLink ? QStringLiteral("fast") : QStringLiteral("default")},
            {QStringLiteral("verify"), options.verify},
            {QStringLiteral("simulate"), options.simulate},
            {QStringLiteral("ports"), QJsonArray::fromStringList(options.ports)}};
}

QByteArray jsonLine(const char* type, qint64 ms, const QJsonObject& fields) {
    QByteArray line = "{\"type\":\"";
    line += type;
    line += "\",\"t\":";
    line += QByteArray::number(ms);
    const QByteArray rest = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    // rest is "{}" or "{...}": its fields follow the type and time.
    if (rest.size() > 2) {
        line += ',';
        line += rest.mid(1);
    } else {
        line += '}';
    }
    return line;
}

QJsonObject firmwareObject(std::uint16_t rm, std::uint16_t version) {
    return {{QStringLiteral("rm"), rm},
            {QStringLiteral("version"), versionNumberText(version, QLocale::c())}};
}

namespace {

QJsonObject linkObject(const LinkInfo& link) {
    return {{QStringLiteral("port"), link.port},
            {QStringLiteral("lowLatency"), lowLatencyName(link.lowLatency)},
            {QStringLiteral("readIntervalUs"), static_cast<qint64>(link.readIntervalUs)},
            {QStringLiteral("replyEnd"), link.chunkEnd == ChunkEnd::EachRead
                                             ? QStringLiteral("last-byte")
                                             : QStringLiteral("quiet-interval")},
            {QStringLiteral("text"), linkReport(link)}};
}

QJsonArray reviewArray(const std::array<ProcessorReview, 4>& rows) {
    QJsonArray array;
    for (int n = 1; n <= 3; ++n) {
        const ProcessorReview& r = rows[static_cast<std::size_t>(n)];
        QJsonObject installed = firmwareObject(r.installedRm, r.installedVersion);
        installed.insert(QStringLiteral("text"), r.installedText);
        QJsonObject carried = firmwareObject(r.carriedRm, r.carriedVersion);
        carried.insert(QStringLiteral("text"), r.carriedText);
        QJsonObject row{{QStringLiteral("processor"), n},
                        {QStringLiteral("name"), processorName(n)},
                        {QStringLiteral("installed"), installed},
                        {QStringLiteral("carried"), carried},
                        {QStringLiteral("finding"), stateName(r.state)},
                        {QStringLiteral("inBootLoader"), r.inBootLoader},
                        {QStringLiteral("toProgram"), r.toProgram},
                        {QStringLiteral("text"), reviewLine(n, r)}};
        if (!r.findingLine.isEmpty()) {
            row.insert(QStringLiteral("findingText"), oneLine(r.findingLine));
        }
        array.append(row);
    }
    return array;
}

QJsonObject stageFields(Stage stage, int processor) {
    QJsonObject o{{QStringLiteral("stage"), stageName(stage)},
                  {QStringLiteral("processor"), processor}};
    if (processor >= 1 && processor <= 3) {
        o.insert(QStringLiteral("name"), processorName(processor));
    }
    return o;
}

QJsonObject stageEndedFields(const ev::StageEnded& e) {
    QJsonObject o = stageFields(e.stage, e.processor);
    o.insert(QStringLiteral("result"),
             e.result == StageResult::Done ? QStringLiteral("done") : QStringLiteral("failed"));
    o.insert(QStringLiteral("cause"), causeName(e.cause));
    if (e.stage == Stage::BootloaderInfo && e.result == StageResult::Done) {
        o.insert(QStringLiteral("bootloader"),
                 firmwareObject(static_cast<std::uint16_t>(e.detail >> 16),
                                static_cast<std::uint16_t>(e.detail & 0xFFFF)));
    }
    if (e.stage == Stage::BootModeEntry && e.result == StageResult::Failed && e.detail != 0) {
        o.insert(QStringLiteral("failedExchange"),
                 e.detail == 1 ? QStringLiteral("command") : QStringLiteral("status"));
    }
    return o;
}

using Fields = std::optional<std::pair<const char*, QJsonObject>>;

Fields scanFields(const EngineEvent& event) {
    if (std::holds_alternative<ev::ScanStarted>(event)) {
        return Fields{{"scan-started", QJsonObject{}}};
    }
    if (const auto* listed = std::get_if<ev::PortsListed>(&event)) {
        return Fields{
            {"ports", {{QStringLiteral("ports"), QJsonArray::fromStringList(listed->ports)}}}};
    }
    if (const auto* log = std::get_if<ev::ScanLogged>(&event)) {
        QJsonObject o{{QStringLiteral("port"), log->port},
                      {QStringLiteral("result"), scanLogName(log->kind)},
                      {QStringLiteral("text"), scanLogText(log->port, log->kind)}};
        if (!log->detail.isEmpty()) {
            o.insert(QStringLiteral("detail"), log->detail);
        }
        return Fields{{"scan", o}};
    }
    if (const auto* failed = std::get_if<ev::ScanFailed>(&event)) {
        return Fields{{"scan-failed",
                       {{QStringLiteral("error"), scanErrorName(failed->error)},
                        {QStringLiteral("cause"), causeName(failed->cause)},
                        {QStringLiteral("reason"), failed->reason}}}};
    }
    if (const auto* found = std::get_if<ev::UnitFound>(&event)) {
        return Fields{{"unit-found",
                       {{QStringLiteral("port"), found->link.port},
                        {QStringLiteral("rm"), found->rm},
                        {QStringLiteral("throughBootloader"), found->throughBootloader}}}};
    }
    return std::nullopt;
}

} // namespace

Fields eventFields(const EngineEvent& event) {
    if (Fields scan = scanFields(event)) {
        return scan;
    }
    if (const auto* review = std::get_if<ev::ReviewOpened>(&event)) {
        QJsonObject o{{QStringLiteral("verdict"), verdictName(review->verdict)},
                      {QStringLiteral("loadOffered"), review->loadOffered},
                      {QStringLiteral("link"), linkObject(review->link)},
                      {QStringLiteral("processors"), reviewArray(review->processors)}};
        if (review->verdict != Cpu1Verdict::Accepted) {
            o.insert(QStringLiteral("refusal"), oneLine(review->refusal));
        }
        return Fields{{"review", o}};
    }
    if (const auto* reported = std::get_if<ev::UnitReported>(&event)) {
        return Fields{{"unit-reported",
                       {{QStringLiteral("afterRestart"), reported->afterRestart},
                        {QStringLiteral("processors"), reviewArray(reported->processors)}}}};
    }
    if (const auto* message = std::get_if<ev::MessageShown>(&event)) {
        return Fields{{"message",
                       {{QStringLiteral("kind"), messageKindName(message->kind)},
                        {QStringLiteral("text"), oneLine(message->text)}}}};
    }
    if (const auto* started = std::get_if<ev::UpgradeStarted>(&event)) {
        return Fields{{"upgrade-started", {{QStringLiteral("allMode"), started->allMode}}}};
    }
    if (const auto* s = std::get_if<ev::StageStarted>(&event)) {
        QJsonObject o = stageFields(s->stage, s->processor);
        o.insert(QStringLiteral("bar"), s->withBar);
        return Fields{{"stage-started", o}};
    }
    if (const auto* e = std::get_if<ev::StageEnded>(&event)) {
        return Fields{{"stage-ended", stageEndedFields(*e)}};
    }
    if (const auto* n = std::get_if<ev::Noted>(&event)) {
        QJsonObject o{{QStringLiteral("note"), noteName(n->note)},
                      {QStringLiteral("processor"), n->processor}};
        if (!n->text.isEmpty()) {
            o.insert(QStringLiteral("detail"), oneLine(n->text));
        }
        return Fields{{"note", o}};
    }
    return std::nullopt;
}

QJsonObject resultFields(const RunOutcome& outcome, const DigestLookup& digests) {
    QJsonArray processors;
    for (int n = 1; n <= 3; ++n) {
        const ProcessorOutcome& p = outcome.processors[static_cast<std::size_t>(n)];
        QJsonObject carried = firmwareObject(p.rmCarried, p.versionCarried);
        if (digests && p.present) {
            if (const QString digest = digests(n, p.rmCarried); !digest.isEmpty()) {
                carried.insert(QStringLiteral("sha256"), digest);
            }
        }
        processors.append(
            QJsonObject{{QStringLiteral("processor"), n},
                        {QStringLiteral("name"), processorName(n)},
                        {QStringLiteral("present"), p.present},
                        {QStringLiteral("before"), firmwareObject(p.rmBefore, p.versionBefore)},
                        {QStringLiteral("carried"), carried},
                        {QStringLiteral("after"), firmwareObject(p.rmAfter, p.versionAfter)},
                        {QStringLiteral("holding"), holdingName(p.holding)},
                        {QStringLiteral("programmed"), p.programmed},
                        {QStringLiteral("verified"), p.verified}});
    }
    QJsonObject o{{QStringLiteral("exit"), outcome.exitCode()},
                  {QStringLiteral("exitClass"), exitName(outcome.exit)},
                  {QStringLiteral("cause"), causeName(outcome.cause)},
                  {QStringLiteral("processor"), outcome.processor},
                  {QStringLiteral("summary"), outcome.summary},
                  {QStringLiteral("upgradeStarted"), outcome.upgradeStarted},
                  {QStringLiteral("port"), outcome.port},
                  {QStringLiteral("productRm"), outcome.productRm},
                  {QStringLiteral("processors"), processors}};
    if (outcome.processor >= 1 && outcome.processor <= 3) {
        o.insert(QStringLiteral("name"), processorName(outcome.processor));
    }
    if (outcome.exit == RunExit::Stopped) {
        o.insert(QStringLiteral("signal"), signalName(outcome.signal));
        o.insert(QStringLiteral("state"), outcome.stateAfterStop);
    }
    return o;
}

bool ProgressThrottle::admit(Stage stage, int processor, double percent, qint64 nowMs) {
    const auto key = std::make_pair(static_cast<int>(stage), processor);
    const auto it = m_last.find(key);
    const bool full = percent >= 100.0;
    if (it != m_last.end()) {
        Last& last = it->second;
        if (last.full || (!full && nowMs - last.ms < m_intervalMs)) {
            return false;
        }
    }
    m_last[key] = Last{nowMs, full};
    return true;
}

void ProgressThrottle::stageStarted(Stage stage, int processor) {
    m_last.erase(std::make_pair(static_cast<int>(stage), processor));
}

JsonView::JsonView(Output output, QObject* parent)
    : QObject(parent)
    , m_output(std::move(output)) {
    m_clock.start();
}

void JsonView::write(const char* type, const QJsonObject& fields, qint64 ms) {
    if (m_output) {
        m_output(jsonLine(type, ms < 0 ? m_clock.elapsed() : ms, fields));
    }
}

void JsonView::begin(const QJsonObject& run) {
    QJsonObject o = run;
    o.insert(QStringLiteral("schema"), kJsonSchemaVersion);
    o.insert(QStringLiteral("program"), QCoreApplication::applicationName());
    o.insert(QStringLiteral("version"), QCoreApplication::applicationVersion());
    write("start", o);
}

void JsonView::attach(UpgradeEngine& engine) {
    m_engine = &engine;
    connect(&engine, &UpgradeEngine::reported, this, &JsonView::onEvent);
}

void JsonView::message(ev::MessageKind kind, const QString& text) {
    write("message", {{QStringLiteral("kind"), messageKindName(kind)},
                      {QStringLiteral("text"), oneLine(text)}});
}

void JsonView::stopRequested(int signal) {
    write("stopping", {{QStringLiteral("signal"), signalName(signal)}});
}

void JsonView::finish(const RunOutcome& outcome) {
    // The engine ends a failed verification for the unit as a whole; the report that follows
    // names the processor.
    if (outcome.cause == Cause::VerifyMismatch && outcome.processor == 0 && m_verifyMismatch) {
        RunOutcome named = outcome;
        named.processor = m_verifyMismatch;
        write("result", resultFields(named, m_digests));
        return;
    }
    write("result", resultFields(outcome, m_digests));
}

void JsonView::finishEarly(int exitCode, const QString& summary) {
    RunOutcome outcome;
    outcome.exit = RunExit::UpgradeFailed;
    outcome.cause = Cause::InternalError;
    outcome.summary = summary;
    QJsonObject o = resultFields(outcome, {});
    o.insert(QStringLiteral("exit"), exitCode);
    if (exitCode == 2) {
        o.insert(QStringLiteral("exitClass"), QStringLiteral("bad-command-line"));
        o.insert(QStringLiteral("cause"), causeName(Cause::None));
    }
    write("result", o);
}

QString JsonView::lastCaption() const {
    if (!m_engine || m_engine->progressLines().lines().empty()) {
        return {};
    }
    return m_engine->progressLines().lines().back().caption;
}

void JsonView::progress(const ev::StageProgress& p) {
    // The time the throttle judged is the time the object carries.
    const qint64 now = m_clock.elapsed();
    if (!m_throttle.admit(p.stage, p.processor, p.percent, now)) {
        return;
    }
    QJsonObject o = stageFields(p.stage, p.processor);
    o.insert(QStringLiteral("percent"), std::round(p.percent * 10.0) / 10.0);
    if (const QString caption = lastCaption(); !caption.isEmpty()) {
        o.insert(QStringLiteral("text"), caption);
    }
    if (p.bytesTotal > 0) {
        o.insert(QStringLiteral("bytesDone"), p.bytesDone);
        o.insert(QStringLiteral("bytesTotal"), p.bytesTotal);
        const double seconds = static_cast<double>(m_stageSince.elapsed()) / 1000.0;
        if (seconds >= 0.2 && p.bytesDone > 0) {
            const double rate = static_cast<double>(p.bytesDone) / seconds;
            o.insert(QStringLiteral("rate"), std::round(rate));
            o.insert(QStringLiteral("secondsLeft"),
                     std::round(static_cast<double>(p.bytesTotal - p.bytesDone) / rate));
        }
    }
    write("progress", o, now);
}

void JsonView::onEvent(const EngineEvent& event) {
    if (const auto* p = std::get_if<ev::StageProgress>(&event)) {
        progress(*p);
        return;
    }
    std::optional<std::pair<const char*, QJsonObject>> fields = eventFields(event);
    if (!fields) {
        return;
    }
    QJsonObject& o = fields->second;
    if (const auto* n = std::get_if<ev::Noted>(&event);
        n && n->note == Note::VerifyReport && m_verifyMismatch == 0) {
        m_verifyMismatch = n->processor;
    }
    if (const auto* s = std::get_if<ev::StageStarted>(&event)) {
        m_stageSince.start();
        m_throttle.stageStarted(s->stage, s->processor);
    } else if (std::holds_alternative<ev::StageEnded>(event) && m_stageSince.isValid()) {
        o.insert(QStringLiteral("seconds"),
                 std::round(static_cast<double>(m_stageSince.elapsed())) / 1000.0);
    }
    // The progress list's line as the event left it, for a reader: the text decides nothing.
    if (!o.contains(QStringLiteral("text")) && !progressOps(event).empty() &&
        !lastCaption().isEmpty()) {
        o.insert(QStringLiteral("text"), lastCaption());
    }
    write(fields->first, o);
}

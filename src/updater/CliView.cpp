#include "CliView.h"

#include "firmware/FirmwareCheck.h"
#include "firmware/ProcessorName.h"

#include "upgrade/Captions.h"

#include <cmath>

QString linkReport(const LinkInfo& link) {
    using corvane::LowLatency;
    const QString ends = link.chunkEnd == ChunkEnd::EachRead
                             ? QStringLiteral("a reply ends on its last byte")
                             : QStringLiteral("a reply ends after %1 ms of quiet")
                                   .arg(QString::number(link.readIntervalUs / 1000.0, 'g', 4));
    QString adapter;
    switch (link.lowLatency) {
    case LowLatency::Granted:
        adapter = QStringLiteral("the adapter granted its low-latency mode.");
        break;
    case LowLatency::NotGranted:
        adapter = QStringLiteral("the adapter did not grant its low-latency mode: its latency "
                                 "timer (16 ms by default on common adapters) then dominates "
                                 "each exchange.");
        break;
    case LowLatency::NotOffered:
        adapter = QStringLiteral("the driver offers no low-latency mode: an adapter's latency "
                                 "timer (16 ms by default on common adapters), if it has one, "
                                 "then dominates each exchange.");
        break;
    case LowLatency::PseudoTerminal:
        adapter = QStringLiteral("a pseudo-terminal, not an adapter: no latency timer, and no "
                                 "low-latency mode to grant.");
        break;
    case LowLatency::Unknown:
        adapter = QStringLiteral("the port is not open, so the adapter was not asked for its "
                                 "low-latency mode.");
        break;
    }
    return QStringLiteral("Link: %1, %2; %3").arg(link.port, ends, adapter);
}

QString reviewLine(int processor, const ProcessorReview& review) {
    return QStringLiteral("%1: installed %2, carried %3%4")
        .arg(processorName(processor), review.installedText, review.carriedText,
             review.toProgram ? QStringLiteral(", to be programmed") : QString());
}

QStringList carriedImageLines(const std::array<ProcessorReview, 4>& processors) {
    QStringList lines;
    const std::uint16_t productRm = processors[1].carriedRm; // CPU-1's image is the product's
    for (int n = 1; n <= 3; ++n) {
        const ProcessorReview& r = processors[static_cast<std::size_t>(n)];
        if (r.state == ProcessorState::Absent || r.carriedRm == 0) {
            continue;
        }
        const QByteArray digest = carriedImageSha256(n, productRm);
        if (!digest.isEmpty()) {
            lines << QStringLiteral("%1: carried image SHA-256 %2")
                         .arg(processorName(n), QString::fromLatin1(digest.toHex()));
        }
    }
    return lines;
}

CliView::CliView(UpgradeEngine& engine, Output output, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_output(std::move(output)) {
    connect(&engine, &UpgradeEngine::reported, this, &CliView::onEvent);
}

void CliView::print(const QString& line) {
    if (m_output) {
        m_output(line);
    }
}

void CliView::stopRequested(int signal) {
    print(QStringLiteral("Stopping: %1 received; the exchange in progress ends, then the port "
                         "is closed.")
              .arg(signalName(signal)));
}

void CliView::onEvent(const EngineEvent& event) {
    if (std::holds_alternative<ev::ScanStarted>(event)) {
        if (!m_connectingShown) {
            print(QStringLiteral("Connecting via USB..."));
        }
        m_connectingShown = true;
    } else if (const auto* log = std::get_if<ev::ScanLogged>(&event)) {
        print(QStringLiteral("Scan: ") + scanLogText(log->port, log->kind));
        // The scan log only says " unable to open."; the reason, with what to do, follows.
        if (log->kind == ScanLog::UnableToOpen && !log->detail.isEmpty()) {
            print(QStringLiteral("Scan: ") + log->detail);
        }
    } else if (std::holds_alternative<ev::ScanFailed>(event)) {
        print(QStringLiteral("Scan: ") + kScanCompleteText);
    } else if (const auto* message = std::get_if<ev::MessageShown>(&event)) {
        print(QStringLiteral("Message: ") + oneLine(message->text));
    } else if (const auto* review = std::get_if<ev::ReviewOpened>(&event)) {
        if (review->verdict != Cpu1Verdict::Accepted) {
            print(QStringLiteral("Message: ") + oneLine(review->refusal));
        }
        print(linkReport(review->link));
        for (int n = 1; n <= 3; ++n) {
            print(reviewLine(n, review->processors[static_cast<std::size_t>(n)]));
        }
        for (const QString& line : carriedImageLines(review->processors)) {
            print(line);
        }
    } else if (std::holds_alternative<ev::UpgradeStarted>(event)) {
        print(QStringLiteral("Loading firmware..."));
        m_reporter.reset();
        m_transfers.clear();
    } else if (const auto* finished = std::get_if<ev::RunFinished>(&event)) {
        if (finished->outcome.exit == RunExit::Stopped) {
            print(QStringLiteral("State: ") + finished->outcome.stateAfterStop);
        }
    }
    if (const auto* started = std::get_if<ev::StageStarted>(&event);
        started && started->stage == Stage::Transfer) {
        Transfer& t = m_transfers[m_engine.progressLines().lines().size() - 1];
        t.since.start();
    }
    if (const auto* p = std::get_if<ev::StageProgress>(&event);
        p && p->stage == Stage::Transfer && !m_engine.progressLines().lines().empty()) {
        m_transfers[m_engine.progressLines().lines().size() - 1].bytes = p->bytesTotal;
    }
    if (!progressOps(event).empty()) {
        reportProgress();
    }
}

void CliView::reportProgress() {
    const std::vector<ProgressLineState>& lines = m_engine.progressLines().lines();
    for (const ProgressReporter::Report& r : m_reporter.update(lines)) {
        QString text = r.text;
        const auto t = m_transfers.find(r.index);
        const ProgressLineState& line = lines[r.index];
        if (t != m_transfers.end() && line.barVisible && t->second.since.isValid()) {
            text += transferEstimate(std::trunc(line.barValue),
                                     static_cast<double>(t->second.since.elapsed()) / 1000.0,
                                     static_cast<double>(t->second.bytes));
        }
        print(QStringLiteral("Progress: ") + text);
    }
}

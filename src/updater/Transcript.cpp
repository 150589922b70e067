#include "Transcript.h"

#include "BuildData.h"
#include "firmware/ProcessorName.h"
#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"
#include "firmware/VersionText.h"
#include "upgrade/Captions.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef CORVANE_BUILD_DATA_SET
#define CORVANE_BUILD_DATA_SET "?"
#endif

QString hexBytes(const std::uint8_t* bytes, std::size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    QString out;
    if (bytes == nullptr || length == 0) {
        return out;
    }
    out.reserve(static_cast<qsizetype>(length * 3 - 1));
    for (std::size_t i = 0; i < length; ++i) {
        if (i > 0) {
            out += QLatin1Char(' ');
        }
        out += QLatin1Char(digits[bytes[i] >> 4]);
        out += QLatin1Char(digits[bytes[i] & 0x0F]);
    }
    return out;
}

QString buildDataSummary(const ResourceSource& resources, const ProductTable& products) {
    QStringList parts;
    for (int n = 1; n <= 3; ++n) {
        const auto rm = readResourceWord(resources, QStringLiteral("RM_NUM_%1").arg(n));
        const auto version = readResourceWord(resources, QStringLiteral("FW_VER_%1").arg(n));
        parts << QStringLiteral("%1 RM%2 %3")
                     .arg(processorName(n), rm ? QString::number(*rm) : QStringLiteral("?"),
                          version ? QStringLiteral("v") + versionNumberText(*version, QLocale::c())
                                  : QStringLiteral("v?"));
    }
    // The CPU-1 images are the HFILE_<RM> resources; HFILE_2 and HFILE_3 are the others'.
    static const QRegularExpression image(QStringLiteral("^HFILE_(\\d{4,5})$"));
    QString folder = QLatin1String(corvane::kBuildDataPrefix);
    folder.chop(1);
    QStringList images;
    for (const QString& name : QDir(folder).entryList(QDir::Files, QDir::Name)) {
        const auto m = image.match(name);
        if (m.hasMatch()) {
            images << m.captured(1);
        }
    }
    return QStringLiteral("build data \"%1\": %2; CPU-1 images for RM %3; product table %4 rows")
        .arg(QLatin1String(CORVANE_BUILD_DATA_SET), parts.join(QStringLiteral(", ")),
             images.isEmpty() ? QStringLiteral("(none)") : images.join(u' '))
        .arg(products.size());
}

RunTranscript::RunTranscript(Sink sink, Clock clock)
    : m_sink(std::move(sink))
    , m_clock(std::move(clock)) {
    m_started.start();
}

std::unique_ptr<RunTranscript> RunTranscript::openFile(const QString& path, QString* error) {
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "w");
    if (file == nullptr) {
        if (error != nullptr) {
            *error = QStringLiteral("cannot write the transcript %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        }
        return nullptr;
    }
    // The file is shared by the sink's copies and closed with the last of them.
    std::shared_ptr<std::FILE> shared(file, [](std::FILE* f) { std::fclose(f); });
    return std::make_unique<RunTranscript>([shared](const QByteArray& line) {
        // A full disk must not stop an upgrade: write errors are ignored.
        (void)std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), shared.get());
        (void)std::fputc('\n', shared.get());
        (void)std::fflush(shared.get());
    });
}

void RunTranscript::write(const char* tag, const QString& text) {
    const qint64 ms = m_clock ? m_clock() : m_started.elapsed();
    // Label texts break lines with carriage returns; a transcript line stays one line.
    QString clean = text;
    clean.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QByteArray line = QByteArray::number(ms).rightJustified(8, ' ');
    line += " ms  ";
    line += QByteArray(tag).leftJustified(8, ' ');
    line += ' ';
    line += clean.toUtf8();
    if (m_sink) {
        m_sink(line);
    }
}

void RunTranscript::ports(const QStringList& ports) {
    write("ports",
          ports.isEmpty() ? QStringLiteral("(no serial port)") : ports.join(QStringLiteral(", ")));
}

void RunTranscript::result(const QString& text, int exitCode) {
    write("result", QStringLiteral("%1 (exit code %2)").arg(text).arg(exitCode));
}

QString RunTranscript::currentKind() const {
    return m_kind.empty() ? QStringLiteral("(between exchanges)")
                          : QString::fromUtf8(m_kind.data(), qsizetype(m_kind.size()));
}

void RunTranscript::exchangeBegun(std::string_view kind) {
    m_kind.assign(kind);
}

void RunTranscript::exchangeEnded(int result) {
    write("end", QStringLiteral("%1  result %2").arg(currentKind()).arg(result));
    m_kind.clear();
}

void RunTranscript::frameSent(const std::uint8_t* bytes, std::size_t written) {
    write("tx", currentKind() + QStringLiteral("  ") + hexBytes(bytes, written));
}

void RunTranscript::chunkReceived(const std::uint8_t* bytes, std::size_t length) {
    write("rx", currentKind() + QStringLiteral("  ") + hexBytes(bytes, length));
}

EngineTranscriber::EngineTranscriber(UpgradeEngine& engine, RunTranscript& transcript,
                                     QObject* parent)
    : QObject(parent)
    , m_engine(&engine)
    , m_transcript(transcript) {
    connect(&engine, &UpgradeEngine::reported, this, &EngineTranscriber::onEvent);
    if (TVexaComms* link = engine.VexaComms1()) {
        link->setTap(&m_transcript);
    }
}

EngineTranscriber::~EngineTranscriber() {
    if (m_engine) {
        if (TVexaComms* link = m_engine->VexaComms1()) {
            link->setTap(nullptr);
        }
    }
}

void EngineTranscriber::onEvent(const EngineEvent& event) {
    if (const auto* listed = std::get_if<ev::PortsListed>(&event)) {
        m_transcript.ports(listed->ports);
    } else if (const auto* log = std::get_if<ev::ScanLogged>(&event)) {
        m_transcript.scan(scanLogText(log->port, log->kind));
        // The scan log only says "unable to open."; the transcript keeps why.
        if (log->kind == ScanLog::UnableToOpen && !log->detail.isEmpty()) {
            m_transcript.scan(QStringLiteral("  why: ") + log->detail);
        }
    } else if (std::holds_alternative<ev::LinkReleased>(event)) {
        m_engine = nullptr; // the link (and its tap) is gone
        return;
    }
    if (!progressOps(event).empty() && m_engine) {
        for (const ProgressReporter::Report& r :
             m_reporter.update(m_engine->progressLines().lines())) {
            m_transcript.progress(r.text);
        }
    }
}

QString windowResult(const RunOutcome& outcome) {
    if (!outcome.upgradeStarted) {
        return QStringLiteral("Result: the window closed; no upgrade was run.");
    }
    if (outcome.exit == RunExit::Success) {
        return QStringLiteral("Result: the window closed after the upgrade completed.");
    }
    return QStringLiteral("Result: the window closed; ") + outcome.summary;
}

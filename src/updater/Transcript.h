#pragma once
// The transcript of a run (--log FILE): one line per event, written and flushed as it happens,
// so that a run cut off at any point still leaves what it did. Each line starts with the time
// since the transcript began in milliseconds and a tag: "info", "ports", "scan", "tx", "rx",
// "end", "progress", "result".

#include "serial/LinkTap.h"
#include "upgrade/UpgradeEngine.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class ProductTable;
class ResourceSource;

// "01 03 00 08": upper-case hex, one space between bytes.
[[nodiscard]] QString hexBytes(const std::uint8_t* bytes, std::size_t length);

// What the program carries, on one line: the build-data set, each processor's carried RM and
// version, the CPU-1 images and the size of the product table.
[[nodiscard]] QString buildDataSummary(const ResourceSource& resources,
                                       const ProductTable& products);

class RunTranscript final : public LinkTap {
public:
    // Receives each finished line without its line end; must write it out at once.
    using Sink = std::function<void(const QByteArray& line)>;
    // Milliseconds since the run began.
    using Clock = std::function<qint64()>;

    explicit RunTranscript(Sink sink, Clock clock = {});

    // A transcript written to path (created or emptied). Null when the file cannot be opened;
    // why goes to *error.
    [[nodiscard]] static std::unique_ptr<RunTranscript> openFile(const QString& path,
                                                                 QString* error);

    void info(const QString& text) { write("info", text); }
    void ports(const QStringList& ports);
    void scan(const QString& line) { write("scan", line); }
    void progress(const QString& line) { write("progress", line); }
    // The last line of a transcript.
    void result(const QString& text, int exitCode);

    void exchangeBegun(std::string_view kind) override;
    void exchangeEnded(int result) override;
    void frameSent(const std::uint8_t* bytes, std::size_t written) override;
    void chunkReceived(const std::uint8_t* bytes, std::size_t length) override;

private:
    void write(const char* tag, const QString& text);
    [[nodiscard]] QString currentKind() const;

    Sink m_sink;
    Clock m_clock;
    QElapsedTimer m_started;
    std::string m_kind; // the exchange in progress; empty between exchanges
};

// Feeds a transcript from the engine: the scan's port list and log, every progress line as it
// appears (a line, a new caption, a bar at another 10 % step) and the link's traffic.
class EngineTranscriber : public QObject {
    Q_OBJECT
public:
    EngineTranscriber(UpgradeEngine& engine, RunTranscript& transcript, QObject* parent = nullptr);
    ~EngineTranscriber() override;

private:
    void onEvent(const EngineEvent& event);

    UpgradeEngine* m_engine;
    RunTranscript& m_transcript;
    ProgressReporter m_reporter;
};

// The result line of a run with the window: how the upgrade ended, if one was run.
[[nodiscard]] QString windowResult(const RunOutcome& outcome);

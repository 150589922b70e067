#pragma once
// The unattended run as JSON Lines (--json): one object per line on standard output, nothing
// else. The first object names the schema version and the program; one object follows per
// engine event a script needs (scan, review, stages, notes, messages); progress objects are
// rate-limited; the last object is the result with the exit code. The schema is written down
// in docs/json-lines.schema.json; within a schema version fields are only added.

#include "upgrade/UpgradeEngine.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <optional>
#include <utility>

inline constexpr int kJsonSchemaVersion = 1;

struct AppOptions;
// The start object's fields of a run: mode, link, verification, simulated unit, ports named.
[[nodiscard]] QJsonObject jsonRunFields(const AppOptions& options);

// The carried image's SHA-256 of a processor (carriedRm picks CPU-1's image), lower-case
// hex; empty when not known.
using DigestLookup = std::function<QString(int processor, std::uint16_t carriedRm)>;

// One line: {"type":TYPE,"t":MS, ...fields}, the type and time first.
[[nodiscard]] QByteArray jsonLine(const char* type, qint64 ms, const QJsonObject& fields);

// {"rm":4001,"version":"2.15"}
[[nodiscard]] QJsonObject firmwareObject(std::uint16_t rm, std::uint16_t version);
// The fields of an event's object, with its type; nothing for events a script has no use
// for (label texts, block timings, the link's release) and for progress (see JsonView).
[[nodiscard]] std::optional<std::pair<const char*, QJsonObject>>
eventFields(const EngineEvent& event);
// The result's fields: the exit code and its class, the cause, the failed processor, the
// summary sentence and, per processor, before / carried / after, what it holds, programmed,
// verified.
[[nodiscard]] QJsonObject resultFields(const RunOutcome& outcome, const DigestLookup& digests = {});

// At most one progress object per stage and processor every intervalMs, and always the first
// and the one that reaches 100 %.
class ProgressThrottle {
public:
    explicit ProgressThrottle(qint64 intervalMs = 250)
        : m_intervalMs(intervalMs) {}
    [[nodiscard]] bool admit(Stage stage, int processor, double percent, qint64 nowMs);
    void stageStarted(Stage stage, int processor);

private:
    struct Last {
        qint64 ms = 0;
        bool full = false;
    };
    qint64 m_intervalMs;
    std::map<std::pair<int, int>, Last> m_last;
};

class JsonView : public QObject {
    Q_OBJECT
public:
    using Output = std::function<void(const QByteArray& line)>;

    explicit JsonView(Output output, QObject* parent = nullptr);

    // The first object: schema, program and version, and fields of the run (mode, link...).
    void begin(const QJsonObject& run);
    void attach(UpgradeEngine& engine);
    // A start-up message (build-data problems) before any event.
    void message(ev::MessageKind kind, const QString& text);
    void stopRequested(int signal);
    // The last object; its exit code is the process's.
    void finish(const RunOutcome& outcome);
    // The last object of a run that could not start (a transcript that cannot be written: 2,
    // a simulated unit that cannot start: 1).
    void finishEarly(int exitCode, const QString& summary);
    void setDigestLookup(DigestLookup digests) { m_digests = std::move(digests); }

private:
    void onEvent(const EngineEvent& event);
    void progress(const ev::StageProgress& p);
    void write(const char* type, const QJsonObject& fields, qint64 ms = -1);
    [[nodiscard]] QString lastCaption() const;

    Output m_output;
    QElapsedTimer m_clock;
    UpgradeEngine* m_engine = nullptr;
    ProgressThrottle m_throttle;
    DigestLookup m_digests;
    // Since when the stage in progress runs (rate and time left).
    QElapsedTimer m_stageSince;
    // The first processor the verification found with other firmware.
    int m_verifyMismatch = 0;
};

#pragma once
// What a station shows: on a terminal a live table, one row per slot; otherwise one line per
// event with the slot in front; with --json the runs' JSON Lines with a "slot" field and the
// station's own objects (station-start, slot-started, slot-waiting, slot-ended,
// station-stopping, summary). At the end a summary of every run.

#include "Station.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <vector>

// The fields of a run's slot-ended object (and of the summary's runs).
[[nodiscard]] QJsonObject slotRunFields(const SlotRun& run);
// The station's summary object: exit code, counts, every run.
[[nodiscard]] QJsonObject stationSummaryFields(const std::vector<SlotRun>& runs, int exitCode);
// The summary as text: a head line, one row per run, a line per failure's cause.
[[nodiscard]] QStringList stationSummaryLines(const std::vector<SlotRun>& runs, int exitCode);
// A child's object spliced with its slot: {"slot":"usb-0:1.3", ...the child's fields}.
[[nodiscard]] QByteArray withSlot(const QString& slot, const QByteArray& childLine);
// The human line for a child's object (scan, review, stages, notes, result); empty for
// objects that have none. Progress has its own (see StationView).
[[nodiscard]] QStringList childEventLines(const QJsonObject& object);
// The live table: a head and one row per slot.
[[nodiscard]] QStringList stationTable(const std::vector<std::unique_ptr<StationSlot>>& allSlots);

class StationView : public QObject {
    Q_OBJECT
public:
    enum class Mode { Table, Lines, Json };
    using Output = std::function<void(const QByteArray& text)>;

    // out: standard output; report: human text when out carries JSON.
    StationView(Station& station, Mode mode, Output out, Output report, QObject* parent = nullptr);

    void begin(const QJsonObject& fields, const QStringList& notes);
    void stopping(int signal);
    void finish(int exitCode);

private:
    void onChildObject(StationSlot* slot, const QByteArray& line, const QJsonObject& object);
    void onLive(StationSlot* slot);
    void line(StationSlot* slot, const QString& text);
    void json(const char* type, const QJsonObject& fields);
    void human(const QString& text);
    void redraw();

    Station& m_station;
    Mode m_mode;
    Output m_out;
    Output m_report;
    QElapsedTimer m_clock;
    QTimer m_redraw;
    bool m_dirty = false;
    int m_drawnRows = 0;
    QHash<StationSlot*, int> m_phases;        // the phase last reported
    QHash<StationSlot*, long> m_progressStep; // the 10 % step last printed
};

#include "StationView.h"

#include "JsonView.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

QJsonObject slotRunFields(const SlotRun& run) {
    QJsonObject o{{QStringLiteral("slot"), run.slot},
                  {QStringLiteral("run"), run.run},
                  {QStringLiteral("port"), run.port},
                  {QStringLiteral("ok"), run.ok()},
                  {QStringLiteral("cause"), run.cause},
                  {QStringLiteral("summary"), run.summary},
                  {QStringLiteral("seconds"), std::round(static_cast<double>(run.ms)) / 1000.0},
                  {QStringLiteral("productRm"), run.productRm}};
    if (run.exitCode >= 0) {
        o.insert(QStringLiteral("exit"), run.exitCode);
    }
    if (!run.signal.isEmpty()) {
        o.insert(QStringLiteral("signal"), run.signal);
    }
    if (!run.exitClass.isEmpty()) {
        o.insert(QStringLiteral("exitClass"), run.exitClass);
    }
    if (!run.failedProcessor.isEmpty()) {
        o.insert(QStringLiteral("name"), run.failedProcessor);
    }
    if (!run.lastStage.isEmpty()) {
        o.insert(QStringLiteral("lastStage"), run.lastStage);
    }
    if (!run.logFile.isEmpty()) {
        o.insert(QStringLiteral("log"), run.logFile);
    }
    if (run.haveResult) {
        o.insert(QStringLiteral("processors"), run.processors);
    }
    if (!run.simulatedUnit.isEmpty()) {
        o.insert(QStringLiteral("simulatedUnit"), run.simulatedUnit);
    }
    if (!run.counted) {
        o.insert(QStringLiteral("counted"), false);
    }
    return o;
}

QJsonObject stationSummaryFields(const std::vector<SlotRun>& runs, int exitCode) {
    QJsonArray all;
    int ok = 0;
    for (const SlotRun& run : runs) {
        all.append(slotRunFields(run));
        ok += run.ok() ? 1 : 0;
    }
    return {{QStringLiteral("exit"), exitCode},
            {QStringLiteral("succeeded"), ok},
            {QStringLiteral("failed"), static_cast<int>(runs.size()) - ok},
            {QStringLiteral("runs"), all}};
}

namespace {

QString versionsOf(const SlotRun& run, int processor) {
    if (!run.haveResult || processor > run.processors.size()) {
        return QStringLiteral("?");
    }
    const QJsonObject p = run.processors[processor - 1].toObject();
    if (!p.value(QStringLiteral("present")).toBool()) {
        return QStringLiteral("-");
    }
    return QStringLiteral("%1 -> %2")
        .arg(p.value(QStringLiteral("before"))
                 .toObject()
                 .value(QStringLiteral("version"))
                 .toString(),
             p.value(QStringLiteral("after"))
                 .toObject()
                 .value(QStringLiteral("version"))
                 .toString());
}

QString resultOf(const SlotRun& run) {
    if (run.ok()) {
        return QStringLiteral("ok");
    }
    QString cause = run.cause;
    if (!run.failedProcessor.isEmpty()) {
        cause += QStringLiteral(" (%1)").arg(run.failedProcessor);
    }
    return QStringLiteral("FAILED ") + cause;
}

QString cell(const QString& text, int width) {
    return text.leftJustified(width, u' ', true) + u' ';
}

int widthOf(const QStringList& texts, int least) {
    int width = least;
    for (const QString& t : texts) {
        width = std::max(width, static_cast<int>(t.size()));
    }
    return width;
}

QString rateText(double bytesPerSecond) {
    return bytesPerSecond < 0 ? QString()
                              : QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
}

QString secondsText(double seconds) {
    if (seconds < 0) {
        return {};
    }
    const int s = static_cast<int>(std::lround(seconds));
    return s >= 60 ? QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60)
                   : QStringLiteral("%1 s").arg(s);
}

} // namespace

QStringList stationSummaryLines(const std::vector<SlotRun>& runs, int exitCode) {
    int ok = 0;
    QStringList slotNames;
    for (const SlotRun& run : runs) {
        ok += run.ok() ? 1 : 0;
        slotNames << run.slot;
    }
    QStringList lines{QStringLiteral("Summary: %1 run%2, %3 succeeded, %4 failed; exit code %5")
                          .arg(runs.size())
                          .arg(runs.size() == 1 ? QString() : QStringLiteral("s"))
                          .arg(ok)
                          .arg(static_cast<int>(runs.size()) - ok)
                          .arg(exitCode)};
    const int w = widthOf(slotNames, 4);
    lines << cell(QStringLiteral("Slot"), w) + cell(QStringLiteral("Run"), 3) +
                 cell(QStringLiteral("Unit"), 7) + cell(QStringLiteral("CPU-1"), 13) +
                 cell(QStringLiteral("CPU-2"), 13) + cell(QStringLiteral("HMI"), 13) +
                 cell(QStringLiteral("Time"), 9) + QStringLiteral("Result");
    for (const SlotRun& run : runs) {
        lines << cell(run.slot, w) + cell(QString::number(run.run), 3) +
                     cell(run.productRm ? QStringLiteral("RM%1").arg(run.productRm)
                                        : QStringLiteral("-"),
                          7) +
                     cell(versionsOf(run, 1), 13) + cell(versionsOf(run, 2), 13) +
                     cell(versionsOf(run, 3), 13) +
                     cell(QStringLiteral("%1 s").arg(static_cast<double>(run.ms) / 1000.0, 0, 'f',
                                                     1),
                          9) +
                     resultOf(run);
    }
    for (const SlotRun& run : runs) {
        if (!run.ok()) {
            lines << QStringLiteral("%1 run %2: %3").arg(run.slot).arg(run.run).arg(run.summary);
        }
        if (!run.simulatedUnit.isEmpty()) {
            QStringList held;
            for (const QJsonValue& v :
                 run.simulatedUnit.value(QStringLiteral("processors")).toArray()) {
                const QJsonObject p = v.toObject();
                if (!p.value(QStringLiteral("present")).toBool()) {
                    continue;
                }
                held << QStringLiteral("%1 %2").arg(p.value(QStringLiteral("name")).toString(),
                                                    p.value(QStringLiteral("carriedImage")).toBool()
                                                        ? QStringLiteral("carried image")
                                                        : QStringLiteral("other firmware"));
            }
            lines << QStringLiteral("%1 run %2: the simulated unit holds %3")
                         .arg(run.slot)
                         .arg(run.run)
                         .arg(held.join(QStringLiteral(", ")));
        }
    }
    return lines;
}

QByteArray withSlot(const QString& slot, const QByteArray& childLine) {
    QByteArray line = "{\"slot\":";
    line += QJsonDocument(QJsonArray{slot}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    if (childLine.size() > 2) {
        line += ',';
        line += childLine.mid(1);
    } else {
        line += '}';
    }
    return line;
}

QStringList childEventLines(const QJsonObject& o) {
    const QString type = o.value(QStringLiteral("type")).toString();
    const QString text = o.value(QStringLiteral("text")).toString();
    if (type == QLatin1String("scan") || type == QLatin1String("stage-started") ||
        type == QLatin1String("stage-ended") || type == QLatin1String("note")) {
        return text.isEmpty() ? QStringList{} : QStringList{text};
    }
    if (type == QLatin1String("scan-failed")) {
        return {QStringLiteral("no unit: ") + o.value(QStringLiteral("reason")).toString()};
    }
    if (type == QLatin1String("message")) {
        return {QStringLiteral("Message: ") + text};
    }
    if (type == QLatin1String("review")) {
        QStringList lines;
        if (o.contains(QStringLiteral("refusal"))) {
            lines << QStringLiteral("Message: ") + o.value(QStringLiteral("refusal")).toString();
        }
        for (const QJsonValue& p : o.value(QStringLiteral("processors")).toArray()) {
            lines << p.toObject().value(QStringLiteral("text")).toString();
        }
        return lines;
    }
    if (type == QLatin1String("stopping")) {
        return {QStringLiteral("Stopping: ") + o.value(QStringLiteral("signal")).toString()};
    }
    if (type == QLatin1String("result")) {
        return {QStringLiteral("Result: %1 (exit code %2)")
                    .arg(o.value(QStringLiteral("summary")).toString())
                    .arg(o.value(QStringLiteral("exit")).toInt())};
    }
    return {};
}

QStringList stationTable(const std::vector<std::unique_ptr<StationSlot>>& allSlots) {
    QStringList names;
    for (const auto& slot : allSlots) {
        names << slot->name();
    }
    const int w = widthOf(names, 4);
    QStringList rows{cell(QStringLiteral("Slot"), w) + cell(QStringLiteral("Unit"), 7) +
                     cell(QStringLiteral("Stage"), 26) + cell(QStringLiteral("%"), 5) +
                     cell(QStringLiteral("Rate"), 11) + cell(QStringLiteral("Left"), 10) +
                     QStringLiteral("State")};
    for (const auto& slot : allSlots) {
        const SlotLive& l = slot->live();
        QString state = l.phase;
        if (!l.result.isEmpty()) {
            state += QStringLiteral(" (last: %1)").arg(l.result);
        }
        rows << cell(slot->name(), w) +
                    cell(l.productRm ? QStringLiteral("RM%1").arg(l.productRm) : QString(), 7) +
                    cell(l.stage, 26) +
                    cell(l.percent >= 0 ? QStringLiteral("%1%").arg(std::floor(l.percent))
                                        : QString(),
                         5) +
                    cell(rateText(l.rate), 11) + cell(secondsText(l.secondsLeft), 10) + state;
    }
    return rows;
}

StationView::StationView(Station& station, Mode mode, Output out, Output report, QObject* parent)
    : QObject(parent)
    , m_station(station)
    , m_mode(mode)
    , m_out(std::move(out))
    , m_report(std::move(report)) {
    m_clock.start();
    for (const auto& slot : station.slotList()) {
        connect(slot.get(), &StationSlot::childObject, this, &StationView::onChildObject);
        connect(slot.get(), &StationSlot::liveChanged, this, &StationView::onLive);
        connect(slot.get(), &StationSlot::runStarted, this, [this](StationSlot* s) {
            const SlotRun& run = s->currentRun();
            json("slot-started", {{QStringLiteral("slot"), s->name()},
                                  {QStringLiteral("run"), run.run},
                                  {QStringLiteral("port"), run.port},
                                  {QStringLiteral("pid"), run.pid},
                                  {QStringLiteral("log"), run.logFile}});
            line(s, QStringLiteral("run %1 on %2 (process %3)")
                        .arg(run.run)
                        .arg(run.port)
                        .arg(run.pid));
        });
    }
    connect(&station, &Station::runRecorded, this, [this](StationSlot* s, const SlotRun& run) {
        json("slot-ended", slotRunFields(run));
        if (run.haveResult && run.ok()) {
            return; // the result line said it
        }
        if (!run.counted) {
            line(s, QStringLiteral("run %1 found no unit").arg(run.run));
        } else {
            line(s, QStringLiteral("run %1 FAILED: %2").arg(run.run).arg(run.summary));
        }
    });
    m_redraw.setInterval(250);
    connect(&m_redraw, &QTimer::timeout, this, [this] {
        if (m_dirty) {
            redraw();
        }
    });
    if (m_mode == Mode::Table) {
        m_redraw.start();
    }
}

void StationView::json(const char* type, const QJsonObject& fields) {
    if (m_mode == Mode::Json && m_out) {
        m_out(jsonLine(type, m_clock.elapsed(), fields));
    }
}

void StationView::human(const QString& text) {
    const Output& out = m_mode == Mode::Json ? m_report : m_out;
    if (out) {
        out(text.toUtf8());
    }
}

void StationView::line(StationSlot* slot, const QString& text) {
    if (m_mode == Mode::Lines) {
        human(slot->name() + QStringLiteral("  ") + text);
    }
}

void StationView::begin(const QJsonObject& fields, const QStringList& notes) {
    QJsonObject o = fields;
    o.insert(QStringLiteral("schema"), kJsonSchemaVersion);
    o.insert(QStringLiteral("program"), QCoreApplication::applicationName());
    o.insert(QStringLiteral("version"), QCoreApplication::applicationVersion());
    QJsonArray allSlots;
    for (const auto& slot : m_station.slotList()) {
        allSlots.append(QJsonObject{{QStringLiteral("slot"), slot->name()},
                                    {QStringLiteral("port"), slot->port()}});
    }
    o.insert(QStringLiteral("slots"), allSlots);
    json("station-start", o);
    for (const QString& note : notes) {
        human(note);
    }
    if (m_mode != Mode::Json) {
        for (const auto& slot : m_station.slotList()) {
            human(QStringLiteral("Slot %1: %2").arg(slot->name(), slot->port()));
        }
    }
}

void StationView::stopping(int signal) {
    json("station-stopping", {{QStringLiteral("signal"), signalName(signal)}});
    if (m_mode != Mode::Table) {
        human(QStringLiteral("Stopping: %1 received; every run ends after its exchange in "
                             "progress.")
                  .arg(signalName(signal)));
    }
}

void StationView::onChildObject(StationSlot* slot, const QByteArray& childLine,
                                const QJsonObject& object) {
    if (m_mode == Mode::Json) {
        if (m_out) {
            m_out(withSlot(slot->name(), childLine));
        }
        return;
    }
    if (m_mode != Mode::Lines) {
        return;
    }
    const QString type = object.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("stage-started")) {
        m_progressStep.insert(slot, -1);
    }
    if (type == QLatin1String("progress")) {
        // A line at every 10 % step, as the single run's report prints them.
        const long step =
            static_cast<long>(object.value(QStringLiteral("percent")).toDouble() / 10.0);
        if (m_progressStep.value(slot, -1) == step) {
            return;
        }
        m_progressStep.insert(slot, step);
        QString text = QStringLiteral("%1 %2%")
                           .arg(object.value(QStringLiteral("text")).toString())
                           .arg(step * 10);
        if (object.contains(QStringLiteral("rate"))) {
            const QString rate = rateText(object.value(QStringLiteral("rate")).toDouble());
            text +=
                step >= 10
                    ? QStringLiteral(" (%1)").arg(rate)
                    : QStringLiteral(" (%1, about %2 left)")
                          .arg(rate,
                               secondsText(object.value(QStringLiteral("secondsLeft")).toDouble()));
        }
        line(slot, text);
        return;
    }
    for (const QString& text : childEventLines(object)) {
        line(slot, text);
    }
}

void StationView::onLive(StationSlot* slot) {
    m_dirty = true;
    const int phase = static_cast<int>(slot->phase());
    if (m_phases.value(slot, -1) == phase) {
        return;
    }
    m_phases.insert(slot, phase);
    if (slot->phase() == StationSlot::Phase::WaitingRemoval ||
        slot->phase() == StationSlot::Phase::WaitingUnit) {
        const bool removal = slot->phase() == StationSlot::Phase::WaitingRemoval;
        json("slot-waiting", {{QStringLiteral("slot"), slot->name()},
                              {QStringLiteral("waitingFor"),
                               removal ? QStringLiteral("removal") : QStringLiteral("unit")}});
        line(slot, removal ? QStringLiteral("waiting for the unit to be taken away")
                           : QStringLiteral("waiting for a unit"));
    }
}

void StationView::redraw() {
    m_dirty = false;
    const QStringList rows = stationTable(m_station.slotList());
    QByteArray text;
    if (m_drawnRows > 0) {
        text += "\x1b[" + QByteArray::number(m_drawnRows) + "F"; // back to the table's head
    }
    for (const QString& row : rows) {
        text += "\x1b[2K" + row.toUtf8() + '\n';
    }
    text.chop(1);
    m_drawnRows = static_cast<int>(rows.size());
    if (m_out) {
        m_out(text);
    }
}

void StationView::finish(int exitCode) {
    if (m_mode == Mode::Table) {
        m_redraw.stop();
        if (!m_station.slotList().empty()) {
            redraw();
        }
    }
    const std::vector<SlotRun>& runs = m_station.runs();
    for (const QString& text : stationSummaryLines(runs, exitCode)) {
        human(text);
    }
    json("summary", stationSummaryFields(runs, exitCode));
}

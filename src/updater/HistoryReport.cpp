// The run record's fields, and what --show, --export-csv and a record that could not be
// written make of them.

#include "RunHistory.h"

#include "firmware/ProcessorName.h"
#include "firmware/VersionText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

namespace {

// Column prefixes of the three processors, by index.
const std::array<QString, 4> kPrefixes{QString(), QStringLiteral("cpu1"), QStringLiteral("cpu2"),
                                       QStringLiteral("hmi")};

QVariant text(const QString& value) {
    return value.isEmpty() ? QVariant() : QVariant(value);
}

// An RM number of 0 is one the run did not read: NULL, and so is its version.
QVariant rmValue(std::uint16_t rm) {
    return rm == 0 ? QVariant() : QVariant(int(rm));
}

QVariant versionValue(std::uint16_t rm, std::uint16_t version) {
    return rm == 0 ? QVariant() : QVariant(versionNumberText(version, QLocale::c()));
}

QVariant sha256Value(const QByteArray& digest) {
    return digest.isEmpty() ? QVariant() : QVariant(QString::fromLatin1(digest.toHex()));
}

QString utcText(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

void addProcessor(RecordFields& fields, int n, const ProcessorOutcome& p) {
    const QString& prefix = kPrefixes[static_cast<std::size_t>(n)];
    const auto add = [&](const char* name, QVariant value) {
        fields.emplace_back(prefix + QLatin1Char('_') + QLatin1String(name), std::move(value));
    };
    const bool absent = !p.present || p.holding == Holding::Absent;
    add("rm_before", absent ? QVariant() : rmValue(p.rmBefore));
    add("version_before", absent ? QVariant() : versionValue(p.rmBefore, p.versionBefore));
    add("rm_carried", absent ? QVariant() : rmValue(p.rmCarried));
    add("version_carried", absent ? QVariant() : versionValue(p.rmCarried, p.versionCarried));
    add("rm_after", absent ? QVariant() : rmValue(p.rmAfter));
    add("version_after", absent ? QVariant() : versionValue(p.rmAfter, p.versionAfter));
    add("programmed", absent ? QVariant() : QVariant(int(p.programmed)));
    add("verified", absent ? QVariant() : QVariant(int(p.verified)));
    add("holding", QString::fromLatin1(holdingName(absent ? Holding::Absent : p.holding)));
}

} // namespace

RecordFields recordFields(const RunRecord& r) {
    const RunOutcome& o = r.outcome;
    RecordFields fields{
        {QStringLiteral("started_utc"), utcText(r.startedUtc)},
        {QStringLiteral("ended_utc"), utcText(r.endedUtc)},
        {QStringLiteral("duration_ms"), r.durationMs},
        {QStringLiteral("host"), text(r.host)},
        {QStringLiteral("program_version"), text(r.programVersion)},
        {QStringLiteral("mode"), text(r.mode)},
        {QStringLiteral("port"), text(o.port)},
        {QStringLiteral("product_rm"), rmValue(o.productRm)},
    };
    for (int n = 1; n <= 3; ++n) {
        addProcessor(fields, n, o.processors[static_cast<std::size_t>(n)]);
    }
    const bool named = o.processor >= 1 && o.processor <= 3;
    fields.insert(fields.end(),
                  {
                      {QStringLiteral("result"), QString::fromLatin1(exitName(o.exit))},
                      {QStringLiteral("exit_code"), r.exitCode},
                      {QStringLiteral("cause"), QString::fromLatin1(causeName(o.cause))},
                      {QStringLiteral("failed_processor"),
                       named ? QVariant(processorName(o.processor)) : QVariant()},
                      {QStringLiteral("summary"), text(r.summary)},
                      {QStringLiteral("transcript"), text(r.transcriptPath)},
                  });
    for (int n = 1; n <= 3; ++n) {
        fields.emplace_back(kPrefixes[static_cast<std::size_t>(n)] + QStringLiteral("_sha256"),
                            sha256Value(r.imageSha256[static_cast<std::size_t>(n)]));
    }
    fields.emplace_back(QStringLiteral("build_data_sha256"), sha256Value(r.buildDataSha256));
    return fields;
}

QByteArray recordJsonLine(const RunRecord& record, const QString& database, const QString& error) {
    QJsonObject data;
    for (const auto& [name, value] : recordFields(record)) {
        data.insert(name, QJsonValue::fromVariant(value));
    }
    const QJsonObject line{
        {QStringLiteral("type"), QStringLiteral("run-record")},
        {QStringLiteral("schema"), RunHistory::kSchemaVersion},
        {QStringLiteral("database"), database},
        {QStringLiteral("error"), error},
        {QStringLiteral("data"), data},
    };
    return QJsonDocument(line).toJson(QJsonDocument::Compact);
}

namespace {

// One row of a history, its values found by column name (NULL for a column it lacks).
class RowView {
public:
    RowView(const QStringList& columns, const QVariantList& row)
        : m_columns(columns)
        , m_row(row) {}

    [[nodiscard]] QVariant value(const QString& column) const {
        const qsizetype at = m_columns.indexOf(column);
        return at < 0 || at >= m_row.size() ? QVariant() : m_row.at(at);
    }
    [[nodiscard]] QString text(const QString& column, const QString& null = QString()) const {
        const QVariant v = value(column);
        return v.isNull() ? null : v.toString();
    }

private:
    const QStringList& m_columns;
    const QVariantList& m_row;
};

// "2.15>2.45 PV": the version before and after ("boot": left in its boot loader), P programmed,
// V verified after the restart.
QString processorCell(const RowView& row, int n) {
    const QString& prefix = kPrefixes[static_cast<std::size_t>(n)];
    const QString holding = row.text(prefix + QStringLiteral("_holding"));
    if (holding == QLatin1String("absent")) {
        return QStringLiteral("-");
    }
    const QString after = holding == QLatin1String("bootloader")
                              ? QStringLiteral("boot")
                              : row.text(prefix + QStringLiteral("_version_after"), "?");
    QString cell = row.text(prefix + QStringLiteral("_version_before"), QStringLiteral("?")) +
                   QLatin1Char('>') + after;
    QString flags;
    if (row.value(prefix + QStringLiteral("_programmed")).toInt() == 1) {
        flags += QLatin1Char('P');
    }
    if (row.value(prefix + QStringLiteral("_verified")).toInt() == 1) {
        flags += QLatin1Char('V');
    }
    return flags.isEmpty() ? cell : cell + QLatin1Char(' ') + flags;
}

QString durationCell(const RowView& row) {
    const double seconds = row.value(QStringLiteral("duration_ms")).toDouble() / 1000.0;
    return QString::number(seconds, 'f', 1) + QStringLiteral(" s");
}

// "upgrade-failed: data-corrupt (CPU-2)"
QString resultCell(const RowView& row) {
    QString cell = row.text(QStringLiteral("result"), QStringLiteral("?"));
    const QString cause = row.text(QStringLiteral("cause"));
    if (!cause.isEmpty() && cause != QLatin1String("none") && cause != cell) {
        cell += QStringLiteral(": ") + cause;
    }
    const QString processor = row.text(QStringLiteral("failed_processor"));
    if (!processor.isEmpty()) {
        cell += QStringLiteral(" (") + processor + QLatin1Char(')');
    }
    return cell;
}

QString startedCell(const RowView& row) {
    // "2025-03-04T10:11:12.345Z" -> "2025-03-04 10:11:12"
    QString started = row.text(QStringLiteral("started_utc"));
    started.replace(QLatin1Char('T'), QLatin1Char(' '));
    return started.left(19);
}

} // namespace

QString historyTable(const HistoryRows& history) {
    if (history.rows.empty()) {
        return QStringLiteral("No runs recorded.\n");
    }
    const QStringList heads{"run",   "started (UTC)", "took", "mode", "port",  "unit",
                            "CPU-1", "CPU-2",         "HMI",  "exit", "result"};
    // Right-aligned: the numbers.
    const std::array<bool, 11> right{true,  false, true,  false, false, false,
                                     false, false, false, true,  false};
    std::vector<QStringList> cells{heads};
    for (const QVariantList& values : history.rows) {
        const RowView row(history.columns, values);
        const QString rm = row.text(QStringLiteral("product_rm"));
        cells.push_back({row.text(QStringLiteral("id")), startedCell(row), durationCell(row),
                         row.text(QStringLiteral("mode")), row.text(QStringLiteral("port"), "-"),
                         rm.isEmpty() ? QStringLiteral("-") : QStringLiteral("RM") + rm,
                         processorCell(row, 1), processorCell(row, 2), processorCell(row, 3),
                         row.text(QStringLiteral("exit_code")), resultCell(row)});
    }
    std::array<qsizetype, 11> widths{};
    for (const QStringList& line : cells) {
        for (qsizetype i = 0; i < line.size(); ++i) {
            widths[std::size_t(i)] = std::max(widths[std::size_t(i)], line[i].size());
        }
    }
    QString out;
    for (const QStringList& line : cells) {
        QStringList padded;
        for (qsizetype i = 0; i < line.size(); ++i) {
            const qsizetype w = widths[std::size_t(i)];
            if (i == line.size() - 1) {
                padded << line[i]; // the last column is not padded
            } else {
                padded << (right[std::size_t(i)] ? line[i].rightJustified(w)
                                                 : line[i].leftJustified(w));
            }
        }
        out += padded.join(QStringLiteral("  ")) + QLatin1Char('\n');
    }
    out += QStringLiteral("CPU columns: version before>after (boot: left in its boot loader); P "
                          "programmed, V verified after the restart; ? not read, - no such "
                          "processor.\n");
    return out;
}

QByteArray csvField(const QVariant& value) {
    if (value.isNull()) {
        return {};
    }
    QByteArray field = value.toString().toUtf8();
    if (!field.contains(',') && !field.contains('"') && !field.contains('\r') &&
        !field.contains('\n')) {
        return field;
    }
    field.replace("\"", "\"\"");
    return '"' + field + '"';
}

QByteArray historyCsv(const HistoryRows& history) {
    const auto line = [](const QVariantList& values) {
        QByteArrayList fields;
        for (const QVariant& value : values) {
            fields << csvField(value);
        }
        return fields.join(',') + "\r\n";
    };
    QVariantList heads;
    for (const QString& column : history.columns) {
        heads << column;
    }
    QByteArray csv = line(heads);
    for (const QVariantList& row : history.rows) {
        csv += line(row);
    }
    return csv;
}

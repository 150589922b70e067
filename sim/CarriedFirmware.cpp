// Reads a build-data folder the way the unit needs it: which images and versions are carried,
// so that a processor can tell after a restart whether its flash holds a carried image.

#include "SimulatedUnit.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#ifndef CORVANE_SIM_BUILD_DATA
#define CORVANE_SIM_BUILD_DATA ""
#endif

namespace corvane::sim {

namespace {

constexpr qsizetype kImageBytes = 65536;

std::optional<QByteArray> readFile(const QDir& dir, const QString& name) {
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return f.readAll();
}

// A word resource: up to two bytes, little-endian (one byte reads as the low byte).
std::optional<std::uint16_t> readWord(const QDir& dir, const QString& name, QStringList& problems) {
    const auto bytes = readFile(dir, name);
    if (!bytes) {
        problems << QStringLiteral("%1 missing").arg(name);
        return std::nullopt;
    }
    std::uint16_t v = 0;
    if (bytes->size() >= 1) {
        v = static_cast<std::uint8_t>(bytes->at(0));
    }
    if (bytes->size() >= 2) {
        v = static_cast<std::uint16_t>(v | (static_cast<std::uint8_t>(bytes->at(1)) << 8));
    }
    return v;
}

// Memory size of a processor type: the last program address.
std::uint32_t lastProgramAddress(std::uint16_t processorType) {
    switch (processorType) {
    case 2525:
        return 0xBFFF;
    case 4321:
        return 0x1FFF;
    default:
        return 0xFFFF;
    }
}

QStringList splitCsvLine(const QString& line) {
    QStringList cells;
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted) {
            if (c == u'"' && i + 1 < line.size() && line.at(i + 1) == u'"') {
                cell += u'"';
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            cells << cell.trimmed();
            cell.clear();
        } else {
            cell += c;
        }
    }
    cells << cell.trimmed();
    return cells;
}

} // namespace

QString defaultBuildDataFolder() {
    return QString::fromUtf8(CORVANE_SIM_BUILD_DATA);
}

CarriedFirmware readCarriedFirmware(const QString& folder) {
    CarriedFirmware c;
    c.folder = folder;
    const QDir dir(folder);
    if (folder.isEmpty() || !dir.exists()) {
        c.problems << QStringLiteral("build-data folder \"%1\" not found").arg(folder);
        for (int n = 1; n <= 3; ++n) {
            c.progStart[n] = n == 1 ? 0x0800 : 0x1000;
            c.progEnd[n] = 0xFFFF;
        }
        return c;
    }

    for (int n = 1; n <= 3; ++n) {
        const QString suffix = QString::number(n);
        c.rm[n] = readWord(dir, QStringLiteral("RM_NUM_") + suffix, c.problems).value_or(0);
        c.version[n] = readWord(dir, QStringLiteral("FW_VER_") + suffix, c.problems).value_or(0);
        c.progStart[n] = readWord(dir, QStringLiteral("PROG_MEM_START_") + suffix, c.problems)
                             .value_or(n == 1 ? 0x0800 : 0x1000);
        QStringList ignored; // the processor type is optional for the unit
        c.progEnd[n] = lastProgramAddress(
            readWord(dir, QStringLiteral("PROC_NUM_") + suffix, ignored).value_or(0));
        if (c.progEnd[n] < c.progStart[n]) {
            c.problems << QStringLiteral("processor %1: program range is empty").arg(n);
            c.progEnd[n] = c.progStart[n];
        }
    }
    c.bootRmNumber = readWord(dir, QStringLiteral("BOOT_RM_NUMBER"), c.problems).value_or(0);

    for (int n = 2; n <= 3; ++n) {
        const QString name = QStringLiteral("HFILE_%1").arg(n);
        if (auto img = readFile(dir, name)) {
            if (img->size() != kImageBytes) {
                c.problems
                    << QStringLiteral("%1 is %2 bytes, not 65536").arg(name).arg(img->size());
            }
            img->resize(kImageBytes, '\0');
            c.subImages[n] = *img;
        } else {
            c.problems << QStringLiteral("%1 missing").arg(name);
        }
    }

    static const QRegularExpression cpu1Image(QStringLiteral("^HFILE_(\\d+)$"));
    for (const QString& name : dir.entryList(QDir::Files)) {
        const auto match = cpu1Image.match(name);
        if (!match.hasMatch()) {
            continue;
        }
        bool ok = false;
        const uint rm = match.captured(1).toUInt(&ok);
        if (!ok || rm > 0xFFFF || name == QLatin1String("HFILE_2") ||
            name == QLatin1String("HFILE_3")) {
            continue;
        }
        auto img = readFile(dir, name);
        if (!img) {
            continue;
        }
        if (img->size() != kImageBytes) {
            c.problems << QStringLiteral("%1 is %2 bytes, not 65536").arg(name).arg(img->size());
        }
        img->resize(kImageBytes, '\0');
        c.cpu1Images[static_cast<std::uint16_t>(rm)] = *img;
    }

    // A folder holds PRODUCTS.csv; the copy compiled into a program stores it as PRODUCTS.CSV.
    auto csv = readFile(dir, QStringLiteral("PRODUCTS.csv"));
    if (!csv) {
        csv = readFile(dir, QStringLiteral("PRODUCTS.CSV"));
    }
    if (csv) {
        const QStringList lines = QString::fromLatin1(*csv).split(
            QRegularExpression(QStringLiteral("\r\n|\n|\r")), Qt::SkipEmptyParts);
        if (!lines.isEmpty()) {
            const QStringList header = splitCsvLine(lines.first());
            const qsizetype rmCol = header.indexOf(QStringLiteral("RM"));
            const qsizetype dCol = header.indexOf(QStringLiteral("D"));
            if (rmCol < 0 || dCol < 0) {
                c.problems << QStringLiteral("PRODUCTS.csv: no RM or D column");
            } else {
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const QStringList cells = splitCsvLine(lines.at(i));
                    if (cells.size() <= std::max(rmCol, dCol)) {
                        continue;
                    }
                    bool ok = false;
                    const uint rm = cells.at(rmCol).toUInt(&ok);
                    if (ok && rm <= 0xFFFF) {
                        c.productHasHmi[static_cast<std::uint16_t>(rm)] =
                            cells.at(dCol) == QLatin1String("1");
                    }
                }
            }
        }
    }
    return c;
}

} // namespace corvane::sim

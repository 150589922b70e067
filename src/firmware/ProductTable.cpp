#include "ProductTable.h"

#include "ResourceSource.h"

#include <QList>

namespace {

[[noreturn]] void fail(int line, const QString& what) {
    throw EProductTableError(
        QStringLiteral("Product table line %1: %2").arg(line).arg(what).toStdString());
}

int toInt(const QByteArray& field, int line, const char* name) {
    bool ok = false;
    const int value = field.trimmed().toInt(&ok);
    if (!ok) {
        fail(line, QStringLiteral("%1 '%2' is not a number")
                       .arg(QLatin1String(name), QString::fromUtf8(field)));
    }
    return value;
}

bool toBool(const QByteArray& field, int line, const char* name) {
    const QByteArray f = field.trimmed();
    if (f == "0") {
        return false;
    }
    if (f == "1") {
        return true;
    }
    fail(
        line,
        QStringLiteral("%1 '%2' is not 0 or 1").arg(QLatin1String(name), QString::fromUtf8(field)));
}

} // namespace

ProductTable ProductTable::fromCsv(const QByteArray& csv) {
    QByteArray text = csv;
    text.replace("\r\n", "\n");
    QList<QByteArray> lines = text.split('\n');
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty()) {
        lines.removeLast();
    }
    if (lines.isEmpty() || lines.first().trimmed() != "RM,L,D,N,H,U,M,T,B") {
        fail(1, QStringLiteral("the header must be RM,L,D,N,H,U,M,T,B"));
    }

    std::vector<TProduct_Rec> rows;
    for (int i = 1; i < lines.size(); ++i) {
        const int line = i + 1;
        const QList<QByteArray> f = lines[i].split(',');
        if (f.size() != 9) {
            fail(line, QStringLiteral("%1 fields instead of 9").arg(f.size()));
        }
        TProduct_Rec rec;
        rec.RM = toInt(f[0], line, "RM");
        rec.L = QString::fromUtf8(f[1]).trimmed();
        rec.D = toBool(f[2], line, "D");
        rec.N = toBool(f[3], line, "N");
        rec.H = toInt(f[4], line, "H");
        rec.U = toInt(f[5], line, "U");
        rec.M = toBool(f[6], line, "M");
        rec.T = toBool(f[7], line, "T");
        rec.B = toBool(f[8], line, "B");
        rows.push_back(std::move(rec));
    }
    return ProductTable(std::move(rows));
}

ProductTable ProductTable::load(const ResourceSource& resources) {
    return fromCsv(loadResource(resources, QStringLiteral("PRODUCTS.csv")));
}

int ProductTable::Find_CV_Product(int rm) const {
    for (int i = 0; i < size(); ++i) {
        if (m_rows[static_cast<std::size_t>(i)].RM == rm) {
            return i;
        }
    }
    return -1;
}

bool ProductTable::Check_CV_Manufacturer(int index) const {
    if (index < 0 || index >= size()) {
        return false;
    }
    return m_rows[static_cast<std::size_t>(index)].H == kCarriedFamily;
}

const ProductTable& Product_Table() {
    static const ProductTable table = ProductTable::load(embeddedResources());
    return table;
}

#pragma once
// The table of known products, read from the build data's product table (PRODUCTS.csv):
// header RM,L,D,N,H,U,M,T,B, Booleans 0/1, one row per product in table order.

#include <QByteArray>
#include <QString>

#include <stdexcept>
#include <vector>

class ResourceSource;

struct TProduct_Rec {
    int RM = 0;     // product number, the key
    QString L;      // model label
    bool D = false; // has the HMI
    bool N = false;
    int H = 0; // manufacturer family 0..3
    int U = 0;
    bool M = false;
    bool T = false;
    bool B = false;
};

// A product table that cannot be read; the text says which line and why.
class EProductTableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ProductTable {
public:
    ProductTable() = default;
    explicit ProductTable(std::vector<TProduct_Rec> rows)
        : m_rows(std::move(rows)) {}

    // Parses the CSV text; throws EProductTableError.
    [[nodiscard]] static ProductTable fromCsv(const QByteArray& csv);
    // Reads PRODUCTS.csv from the resources; throws EResourceNotFound or EProductTableError.
    [[nodiscard]] static ProductTable load(const ResourceSource& resources);

    [[nodiscard]] int size() const { return static_cast<int>(m_rows.size()); }
    [[nodiscard]] const TProduct_Rec& row(int index) const { return m_rows.at(index); }
    [[nodiscard]] const std::vector<TProduct_Rec>& rows() const { return m_rows; }

    // Index of the first row with this RM number, or -1.
    [[nodiscard]] int Find_CV_Product(int rm) const;
    // The index is a row (not -1) of manufacturer family 2, whose firmware this build carries.
    [[nodiscard]] bool Check_CV_Manufacturer(int index) const;

private:
    std::vector<TProduct_Rec> m_rows;
};

inline constexpr int kCarriedFamily = 2;

// The product table of the embedded build data, read on first use.
[[nodiscard]] const ProductTable& Product_Table();

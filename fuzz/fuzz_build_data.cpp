// Build data as the updater reads it at start-up: the product table, the parameter words, the
// images and release notes, the carried versions and the identified unit's CPU-1 image.
// Input: records of (resource selector, 16-bit length, bytes), then CPU-1's identified RM.

#include "FuzzSupport.h"

#include "ImageStore.h"
#include "ProductTable.h"
#include "ResourceSource.h"
#include "ScreenTexts.h"
#include "UnitState.h"

#include <QLocale>

#include <array>
#include <memory>

using corvane::fuzz::Reader;

namespace {

// Names the start-up reads; "VerText_RM" and "HFile_RM" stand for the names that carry an
// RM number taken from the other resources.
const std::array<const char*, 25> kNames = {
    "PRODUCTS.csv", "MB_FW_SLAVE",      "MB_FW_OFFSET",     "MB_CTRL_SLAVE",    "MB_CTRL_OFFSET",
    "EXT_PROC_REV", "BOOT_RM_NUMBER",   "PROC_NUM_1",       "PROC_NUM_2",       "PROC_NUM_3",
    "RM_NUM_1",     "RM_NUM_2",         "RM_NUM_3",         "FW_VER_1",         "FW_VER_2",
    "FW_VER_3",     "PROG_MEM_START_1", "PROG_MEM_START_2", "PROG_MEM_START_3", "HFILE_2",
    "HFILE_3",      "VERTEXT_CPU1",     "VerText_RM2",      "VerText_RM3",      "HFile_RM",
};

std::uint16_t wordOf(const QByteArray& b) {
    std::uint16_t w = b.isEmpty() ? 0 : static_cast<std::uint8_t>(b[0]);
    if (b.size() > 1) {
        w |= static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[1]) << 8);
    }
    return w;
}

void checkTable(const QByteArray& csv, const ProductTable& table) {
    // Every row came from a line; the first row of each RM number is the one found.
    FUZZ_CHECK(table.size() <= csv.count('\n') + 1);
    for (int i = 0; i < table.size(); ++i) {
        const int found = table.Find_CV_Product(table.row(i).RM);
        FUZZ_CHECK(found >= 0 && found <= i);
        FUZZ_CHECK(table.Check_CV_Manufacturer(i) == (table.row(i).H == kCarriedFamily));
    }
    FUZZ_CHECK(!table.Check_CV_Manufacturer(-1) && !table.Check_CV_Manufacturer(table.size()));
}

void checkRecord(const UnitState& state, int n) {
    if (!isProgrammable(state, n)) {
        return;
    }
    const TPMem_Rec& rec = state.PMem_Store[static_cast<std::size_t>(n)];
    FUZZ_CHECK(rec.Prog_Mem_Start <= rec.Max_Prog_Addr);
    FUZZ_CHECK(rec.Max_Prog_Addr < std::uint32_t{kImageSize});
    FUZZ_CHECK((rec.Max_Prog_Addr + 1 - rec.Prog_Mem_Start) % (n == 1 ? 512 : 24) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in({data, size});
    corvane::fuzz::quietLink(256); // the application object the Qt types expect

    MemoryResourceSource resources;
    std::array<QByteArray, kNames.size()> given;
    std::array<bool, kNames.size()> present{};
    while (in.remaining() > 3) {
        const std::size_t which = in.u8() % kNames.size();
        const auto bytes = in.bytes(in.u16());
        given[which] = QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                  static_cast<qsizetype>(bytes.size()));
        present[which] = true;
    }
    const std::uint16_t identifiedRm = in.u16();
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (!present[i]) {
            continue;
        }
        QString name = QString::fromLatin1(kNames[i]);
        if (name == QLatin1String("VerText_RM2")) {
            name = QStringLiteral("VerText_%1").arg(wordOf(given[11]));
        } else if (name == QLatin1String("VerText_RM3")) {
            name = QStringLiteral("VerText_%1").arg(wordOf(given[12]));
        } else if (name == QLatin1String("HFile_RM")) {
            name = QStringLiteral("HFile_%1").arg(identifiedRm);
        }
        resources.set(name, given[i]);
    }

    ProductTable table;
    if (present[0]) {
        try {
            table = ProductTable::fromCsv(given[0]);
            checkTable(given[0], table);
        } catch (const EProductTableError& e) {
            FUZZ_CHECK(QByteArray(e.what()).startsWith("Product table line "));
        }
    }

    // Unit state is large (four 64 KiB images): not on the stack.
    auto state = std::make_unique<UnitState>();
    auto texts = std::make_unique<ScreenTexts>();
    ImageStore store(*state, *texts, resources, table, QLocale::c());
    try {
        store.loadParameterWords();
    } catch (const EResourceNotFound&) {
    }
    for (int n = 1; n <= 3; ++n) {
        try {
            store.Init_Mem(n);
        } catch (const EResourceNotFound&) {
        }
    }
    try {
        store.Init_CPU1_Mem(identifiedRm);
        FUZZ_CHECK(present[24] || (identifiedRm == 2 && present[19]) ||
                   (identifiedRm == 3 && present[20]));
    } catch (const EResourceNotFound&) {
        // No image for that product: nothing of an earlier one may be programmed.
        FUZZ_CHECK(!isProgrammable(*state, 1));
    }
    for (int n = 0; n <= 4; ++n) {
        checkRecord(*state, n);
    }

    // Release notes: one item per line, none of them holding a line break.
    const QStringList lines = releaseNoteLines(given[21]);
    FUZZ_CHECK(lines.size() <= given[21].size());
    for (const QString& l : lines) {
        FUZZ_CHECK(!l.contains(u'\r') && !l.contains(u'\n'));
    }
    return 0;
}

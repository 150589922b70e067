#pragma once
// The three program images built from the embedded resources, the parameter words, and the
// carried-firmware side of the window (version labels, title, release notes, tabs).

#include "ProductTable.h"
#include "ResourceSource.h"
#include "ScreenTexts.h"
#include "UnitState.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

inline const QString kUnknownProductText =
    QStringLiteral("Unknown Product!\rTerminating Program....");

// Splits a release-note text (single-byte, CR LF lines; lone CR or LF also end a line) into
// one item per line. A final line break adds no empty item.
[[nodiscard]] QStringList releaseNoteLines(const QByteArray& text);

// Max_Prog_Addr for a processor type code; nullopt for a code that is not known.
[[nodiscard]] std::optional<std::uint32_t> maxProgAddrFor(std::uint16_t processorNumber);

// Whether processor n's record may be erased and programmed: its range is known (a
// Max_Prog_Addr from a known processor number), lies in the image, is a whole number of erase
// steps (512 bytes, CPU-1) or data chunks (24 bytes, CPU-2 and HMI), and an image has been
// loaded into it. The programming steps refuse a processor for which this is false.
[[nodiscard]] bool isProgrammable(const UnitState& state, int n);

class ImageStore {
public:
    ImageStore(UnitState& state, ScreenTexts& texts, const ResourceSource& resources,
               const ProductTable& products, QLocale locale = QLocale());

    // Called by every Init_Mem that finds CPU-1's carried product missing from the table,
    // with kUnknownProductText. The window shows it as a warning (OK) and closes once
    // start-up has returned; closeRequested() stays true from then on.
    std::function<void(const QString& text)> onUnknownProduct;
    [[nodiscard]] bool closeRequested() const { return m_closeRequested; }

    // The first two bytes of a resource, low byte first (one byte: that byte; none: 0).
    // Throws EResourceNotFound.
    [[nodiscard]] std::uint16_t Load_Resource_Word(const QString& Name) const;

    // The start-up words: MB_FW_SLAVE, MB_FW_OFFSET, MB_CTRL_SLAVE, MB_CTRL_OFFSET,
    // EXT_PROC_REV and BOOT_RM_NUMBER into their fields of the unit state.
    void loadParameterWords();

    // Image of processor n from "HFile_<n>" (RM = -1) or "HFile_<RM>"; up to 65,536 bytes,
    // a shorter resource leaves the rest of Mem_Data as it was. Marks blocks 0..511.
    void Load_Binary_File(int n, int RM);
    // Record n and its carried-version display; n = 1, 2, 3 in this order at start-up.
    void Init_Mem(int n);
    // Adopts the identified unit's RM number for CPU-1 and loads its image. When the image
    // is missing, record 1 is left without an image (nothing marked, not programmable) and
    // EResourceNotFound propagates.
    void Init_CPU1_Mem(int RM);
    void Set_Max_Prog_Addr(int n);

private:
    void requireProcessor(int n) const;
    [[nodiscard]] QString revisionLetter() const;
    [[nodiscard]] QString modelLabel(int row) const;
    void setCarriedVersion(int n, std::uint32_t rm, std::uint16_t version);
    void loadReleaseNotes(int n, const QString& resource);

    UnitState& m_state;
    ScreenTexts& m_texts;
    const ResourceSource& m_resources;
    const ProductTable& m_products;
    QLocale m_locale;
    bool m_closeRequested = false;
};

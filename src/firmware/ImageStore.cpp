#include "ImageStore.h"

#include "VersionText.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

QStringList releaseNoteLines(const QByteArray& text) {
    QStringList lines;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines << QString::fromLatin1(text.mid(start, i - start));
            ++i;
            if (c == '\r' && i < text.size() && text[i] == '\n') {
                ++i;
            }
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) {
        lines << QString::fromLatin1(text.mid(start));
    }
    return lines;
}

std::optional<std::uint32_t> maxProgAddrFor(std::uint16_t processorNumber) {
    switch (processorNumber) {
#include "ProcessorTypes.inc"
    default:
        return std::nullopt;
    }
}

bool isProgrammable(const UnitState& state, int n) {
    if (n < 1 || n > 3) {
        return false;
    }
    const TPMem_Rec& rec = state.PMem_Store[static_cast<std::size_t>(n)];
    if (rec.Max_Prog_Addr == 0 || rec.Max_Prog_Addr >= std::uint32_t{kImageSize}) {
        return false;
    }
    if (rec.Prog_Mem_Start > rec.Max_Prog_Addr) {
        return false;
    }
    const std::uint32_t length = rec.Max_Prog_Addr + 1 - rec.Prog_Mem_Start;
    const std::uint32_t unit = n == 1 ? 512 : 24; // bootloader erase step; data chunk
    if (length % unit != 0) {
        return false;
    }
    return std::any_of(rec.Block_Used.begin(), rec.Block_Used.begin() + kImageSize / kBlockSize,
                       [](bool used) { return used; });
}

ImageStore::ImageStore(UnitState& state, ScreenTexts& texts, const ResourceSource& resources,
                       const ProductTable& products, QLocale locale)
    : m_state(state)
    , m_texts(texts)
    , m_resources(resources)
    , m_products(products)
    , m_locale(std::move(locale)) {}

void ImageStore::requireProcessor(int n) const {
    if (n < 1 || n > 3) {
        throw std::invalid_argument("processor number must be 1, 2 or 3");
    }
}

std::uint16_t ImageStore::Load_Resource_Word(const QString& Name) const {
    return resourceWord(loadResource(m_resources, Name, 2));
}

void ImageStore::loadParameterWords() {
    m_state.MB_FW_Slv = Load_Resource_Word(QStringLiteral("MB_FW_SLAVE"));
    m_state.MB_FW_Off = Load_Resource_Word(QStringLiteral("MB_FW_OFFSET"));
    m_state.MB_CTRL_Slv = Load_Resource_Word(QStringLiteral("MB_CTRL_SLAVE"));
    m_state.MB_CTRL_Off = Load_Resource_Word(QStringLiteral("MB_CTRL_OFFSET"));
    m_state.Ext_Proc_Rev = Load_Resource_Word(QStringLiteral("EXT_PROC_REV"));
    m_state.Boot_RM_Number = Load_Resource_Word(QStringLiteral("BOOT_RM_NUMBER"));
}

void ImageStore::Load_Binary_File(int n, int RM) {
    requireProcessor(n);
    const QString name = QStringLiteral("HFile_") + QString::number(RM == -1 ? n : RM);
    const QByteArray image = loadResource(m_resources, name, kImageSize);

    TPMem_Rec& rec = m_state.PMem_Store[static_cast<std::size_t>(n)];
    std::memcpy(rec.Mem_Data.data(), image.constData(),
                std::min<std::size_t>(static_cast<std::size_t>(image.size()), kImageSize));
    // Every block is sent whatever its content; the last entry covers nothing.
    rec.Block_Used.fill(false);
    std::fill_n(rec.Block_Used.begin(), kImageSize / kBlockSize, true);
}

void ImageStore::Set_Max_Prog_Addr(int n) {
    requireProcessor(n);
    if (const auto max = maxProgAddrFor(m_state.Processor_Number[static_cast<std::size_t>(n)])) {
        m_state.PMem_Store[static_cast<std::size_t>(n)].Max_Prog_Addr = *max;
    }
}

QString ImageStore::revisionLetter() const {
    if (m_state.Ext_Proc_Rev < 2) {
        return {};
    }
    return QString(QChar(static_cast<char16_t>(m_state.Ext_Proc_Rev + 96)));
}

QString ImageStore::modelLabel(int row) const {
    // Consistent build data always has the row; without it the label stays neutral.
    return row < 0 ? QString() : m_products.row(row).L;
}

void ImageStore::setCarriedVersion(int n, std::uint32_t rm, std::uint16_t version) {
    LabelText& label = m_texts.NewVer_Label[static_cast<std::size_t>(n)];
    label.text = rmVersionText(rm, version, m_locale);
    const bool same = label.text.compare(m_texts.CurrentVer_Label[static_cast<std::size_t>(n)].text,
                                         Qt::CaseInsensitive) == 0;
    label.colour = same ? kSilver : kRed;
}

void ImageStore::loadReleaseNotes(int n, const QString& resource) {
    QStringList& notes = m_texts.RevNotes[static_cast<std::size_t>(n)];
    notes.clear();
    notes = releaseNoteLines(loadResource(m_resources, resource));
}

void ImageStore::Init_Mem(int n) {
    requireProcessor(n);
    const auto i = static_cast<std::size_t>(n);
    TPMem_Rec& rec = m_state.PMem_Store[i];
    rec.Mem_Data.fill(0);

    const QString suffix = QString::number(n);
    m_state.Processor_Number[i] = Load_Resource_Word(QStringLiteral("PROC_NUM_") + suffix);
    m_state.New_RM_Number[i] = Load_Resource_Word(QStringLiteral("RM_NUM_") + suffix);
    m_state.New_FW_Version[i] = Load_Resource_Word(QStringLiteral("FW_VER_") + suffix);

    if (m_products.Find_CV_Product(m_state.New_RM_Number[1]) == -1) {
        m_closeRequested = true;
        if (onUnknownProduct) {
            onUnknownProduct(kUnknownProductText);
        }
    }

    rec.Upgrade_Flag = true;
    rec.Prog_Mem_Start = Load_Resource_Word(QStringLiteral("PROG_MEM_START_") + suffix);

    const std::uint16_t version = m_state.New_FW_Version[i];
    if (n == 1) {
        m_texts.Model_Label.text =
            QStringLiteral("Corvane") + versionSuffix(version, m_locale) + revisionLetter();
        m_texts.FW_Label[1].text.clear();
        m_state.RM_Number_Target = m_state.New_RM_Number[1];
        setCarriedVersion(1, m_state.New_RM_Number[1], version);
        loadReleaseNotes(1, QStringLiteral("VerText_CPU1"));
    } else {
        const int row = m_products.Find_CV_Product(m_state.New_RM_Number[i]);
        if (n == 3) {
            m_texts.Tabs = {QStringLiteral("CPU-1"), QStringLiteral("CPU-2"),
                            QStringLiteral("HMI")};
        }
        m_texts.FW_Label[i].text = modelLabel(row) + versionSuffix(version, m_locale);
        setCarriedVersion(n, m_state.New_RM_Number[i], version);
        loadReleaseNotes(n, QStringLiteral("VerText_") + QString::number(m_state.New_RM_Number[i]));
        if (n == 3) {
            m_texts.SelectedTab = 0;
        }
    }

    Set_Max_Prog_Addr(n);
    if (n > 1) {
        Load_Binary_File(n, -1);
    }
}

void ImageStore::Init_CPU1_Mem(int RM) {
    const int row = m_products.Find_CV_Product(RM);
    const auto rm = static_cast<std::uint16_t>(RM);
    m_state.New_RM_Number[1] = rm;
    m_state.RM_Number_Target = rm;

    setCarriedVersion(1, rm, m_state.New_FW_Version[1]);
    m_texts.Model_Label.text =
        modelLabel(row) + versionSuffix(m_state.New_FW_Version[1], m_locale) + revisionLetter();

    const bool hasHmi = row >= 0 && m_products.row(row).D;
    if (hasHmi) {
        m_texts.Tabs = {QStringLiteral("CPU-1"), QStringLiteral("CPU-2"), QStringLiteral("HMI")};
        setCarriedVersion(3, m_state.New_RM_Number[3], m_state.New_FW_Version[3]);
    } else {
        m_texts.Tabs = {QStringLiteral("CPU-1"), QStringLiteral("CPU-2")};
        m_texts.NewVer_Label[3] = LabelText{QStringLiteral("N/A"), kSilver};
    }

    try {
        Load_Binary_File(1, RM);
    } catch (const EResourceNotFound&) {
        // Whatever an earlier identification loaded belongs to another product: drop it so
        // that it can never be programmed into this unit.
        TPMem_Rec& rec = m_state.PMem_Store[1];
        rec.Mem_Data.fill(0);
        rec.Block_Used.fill(false);
        throw;
    }
}

#include "DemoData.h"

#include "firmware/ImageStore.h"
#include "firmware/VersionText.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

namespace {

QByteArray word(std::uint16_t v) {
    QByteArray b;
    b.append(static_cast<char>(v & 0xFF));
    b.append(static_cast<char>(v >> 8));
    return b;
}

bool blocksMarked(const TPMem_Rec& rec) {
    return std::all_of(rec.Block_Used.begin(), rec.Block_Used.begin() + 512,
                       [](bool b) { return b; }) &&
           !rec.Block_Used[512];
}

bool noBlockMarked(const TPMem_Rec& rec) {
    return std::none_of(rec.Block_Used.begin(), rec.Block_Used.end(), [](bool b) { return b; });
}

QByteArray imageOf(const TPMem_Rec& rec) {
    return QByteArray(reinterpret_cast<const char*>(rec.Mem_Data.data()), kImageSize);
}

// Start-up as the window does it, on a state and texts of its own.
struct Rig {
    MemoryResourceSource resources = demoResources();
    ProductTable products = ProductTable::load(resources);
    std::unique_ptr<UnitState> state = std::make_unique<UnitState>();
    ScreenTexts texts;
    QStringList warnings;
    std::unique_ptr<ImageStore> store;

    explicit Rig(const QLocale& locale = QLocale::c()) { makeStore(locale); }
    void makeStore(const QLocale& locale) {
        store = std::make_unique<ImageStore>(*state, texts, resources, products, locale);
        store->onUnknownProduct = [this](const QString& text) { warnings << text; };
    }
    void startUp() {
        store->loadParameterWords();
        for (int n = 1; n <= 3; ++n) {
            store->Init_Mem(n);
        }
    }
};

} // namespace

class TestImageStore : public QObject {
    Q_OBJECT

private slots:
    void startupRecords() {
        Rig rig;
        rig.startUp();
        const UnitState& s = *rig.state;
        QCOMPARE(s.MB_FW_Slv, 23);
        QCOMPARE(s.MB_FW_Off, 0);
        QCOMPARE(s.MB_CTRL_Slv, 23);
        QCOMPARE(s.MB_CTRL_Off, 12);
        QCOMPARE(s.Ext_Proc_Rev, 1);
        QCOMPARE(s.Boot_RM_Number, 9000);
        const std::uint32_t starts[] = {0, 0x0800, 0x1000, 0x1000};
        const std::uint16_t versions[] = {0, 245, 232, 112};
        const std::uint16_t rms[] = {0, 4001, 5103, 6204};
        for (int n = 1; n <= 3; ++n) {
            const TPMem_Rec& rec = s.PMem_Store[n];
            QCOMPARE(s.Processor_Number[n], 4680);
            QCOMPARE(s.New_FW_Version[n], versions[n]);
            QCOMPARE(s.New_RM_Number[n], rms[n]);
            QCOMPARE(rec.Prog_Mem_Start, starts[n]);
            QCOMPARE(rec.Max_Prog_Addr, 0xFFFFU);
            QVERIFY(rec.Upgrade_Flag);
        }
        QCOMPARE(s.RM_Number_Target, 4001);
        // Records 2 and 3 complete; record 1 waits for the identified product.
        QVERIFY(blocksMarked(s.PMem_Store[2]));
        QVERIFY(blocksMarked(s.PMem_Store[3]));
        QVERIFY(noBlockMarked(s.PMem_Store[1]));
        QCOMPARE(imageOf(s.PMem_Store[2]), demoFile("HFILE_2"));
        QCOMPARE(imageOf(s.PMem_Store[3]), demoFile("HFILE_3"));
        QCOMPARE(imageOf(s.PMem_Store[1]), QByteArray(kImageSize, '\0'));
        QVERIFY(!isProgrammable(s, 1));
        QVERIFY(isProgrammable(s, 2));
        QVERIFY(isProgrammable(s, 3));
        QVERIFY(rig.warnings.isEmpty());
        QVERIFY(!rig.store->closeRequested());
    }

    void startupTexts() {
        Rig rig;
        rig.startUp();
        const ScreenTexts& t = rig.texts;
        QCOMPARE(t.Model_Label.text, QStringLiteral("Corvane v2.45"));
        QCOMPARE(t.FW_Label[1].text, QString());
        QCOMPARE(t.FW_Label[2].text, QStringLiteral("Core CC-3 v2.32"));
        QCOMPARE(t.FW_Label[3].text, QStringLiteral("Touch TP-70 v1.12"));
        QCOMPARE(t.NewVer_Label[1], (LabelText{QStringLiteral("RM4001 v2.45"), kRed}));
        QCOMPARE(t.NewVer_Label[2], (LabelText{QStringLiteral("RM5103 v2.32"), kRed}));
        QCOMPARE(t.NewVer_Label[3], (LabelText{QStringLiteral("RM6204 v1.12"), kRed}));
        QCOMPARE(t.Tabs, (QStringList{"CPU-1", "CPU-2", "HMI"}));
        QCOMPARE(t.SelectedTab, 0);
        QCOMPARE(t.RevNotes[1].value(0), QStringLiteral("Release Notes"));
        QCOMPARE(t.RevNotes[1].value(1), QStringLiteral("v2.45"));
        QCOMPARE(t.RevNotes[2].value(0), QStringLiteral("RM5103 Release Notes"));
        QCOMPARE(t.RevNotes[3].value(0), QStringLiteral("RM6204 Release Notes"));
        const int crlf = int(demoFile("VERTEXT_CPU1").count("\r\n"));
        QCOMPARE(t.RevNotes[1].size(), crlf);
        for (const QString& line : t.RevNotes[2]) {
            QVERIFY(!line.contains(QLatin1Char('\r')) && !line.contains(QLatin1Char('\n')));
        }
    }

    void cpu1ImagePerProduct_data() {
        QTest::addColumn<int>("rm");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("tabs");
        QTest::addColumn<QString>("hmiCarried");
        const QStringList three{"CPU-1", "CPU-2", "HMI"};
        QTest::newRow("4002") << 4002 << "CV-C22 Gateway v2.45" << three << "RM6204 v1.12";
        QTest::newRow("4004 without HMI")
            << 4004 << "CV-C26 Compact v2.45" << QStringList{"CPU-1", "CPU-2"} << "N/A";
        QTest::newRow("4006") << 4006 << "CV-C40 Gateway v2.45" << three << "RM6204 v1.12";
    }
    void cpu1ImagePerProduct() {
        QFETCH(int, rm);
        QFETCH(QString, title);
        QFETCH(QStringList, tabs);
        QFETCH(QString, hmiCarried);
        Rig rig;
        rig.startUp();
        // An earlier identification of another product is replaced.
        rig.store->Init_CPU1_Mem(4001);
        rig.store->Init_CPU1_Mem(rm);
        const UnitState& s = *rig.state;
        QCOMPARE(s.New_RM_Number[1], rm);
        QCOMPARE(s.RM_Number_Target, rm);
        QVERIFY(blocksMarked(s.PMem_Store[1]));
        QCOMPARE(imageOf(s.PMem_Store[1]), demoFile(QStringLiteral("HFILE_%1").arg(rm)));
        QVERIFY(isProgrammable(s, 1));
        QCOMPARE(rig.texts.Model_Label.text, title);
        QCOMPARE(rig.texts.Tabs, tabs);
        QCOMPARE(rig.texts.NewVer_Label[3].text, hmiCarried);
        if (hmiCarried == QStringLiteral("N/A")) {
            QCOMPARE(rig.texts.NewVer_Label[3].colour, kSilver);
        }
        QCOMPARE(rig.texts.NewVer_Label[1].text, QStringLiteral("RM%1 v2.45").arg(rm));
    }

    void carriedColourAgainstInstalled_data() {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<LabelColour>("colour");
        QTest::newRow("same text") << "RM4001 v2.45" << kSilver;
        QTest::newRow("same text, other case") << "rm4001 V2.45" << kSilver;
        QTest::newRow("older installed") << "RM4001 v2.44" << kRed;
        QTest::newRow("unknown") << "Unknown" << kRed;
        QTest::newRow("leading zeros") << "RM04001 v2.45" << kRed;
    }
    void carriedColourAgainstInstalled() {
        QFETCH(QString, installed);
        QFETCH(LabelColour, colour);
        Rig rig;
        rig.startUp();
        rig.texts.CurrentVer_Label[1].text = installed;
        rig.texts.CurrentVer_Label[3].text =
            installed.replace(QStringLiteral("4001"), QStringLiteral("6204"))
                .replace(QStringLiteral("2.45"), QStringLiteral("1.12"))
                .replace(QStringLiteral("2.44"), QStringLiteral("1.11"));
        rig.store->Init_CPU1_Mem(4001);
        QCOMPARE(rig.texts.NewVer_Label[1].colour, colour);
        QCOMPARE(rig.texts.NewVer_Label[3].colour, colour);
    }

    void processorRanges_data() {
        QTest::addColumn<int>("processor");
        QTest::addColumn<int>("n");
        QTest::addColumn<quint32>("maxAddr");
        QTest::addColumn<bool>("programmable");
        QTest::newRow("4680 CPU-2") << 4680 << 2 << 0xFFFFU << true;
        QTest::newRow("2620 HMI") << 2620 << 3 << 0xFFFFU << true;
        QTest::newRow("6622 CPU-2") << 6622 << 2 << 0xFFFFU << true;
        // 0x1000..0xBFFF is not a whole number of 24-byte chunks.
        QTest::newRow("2525 CPU-2") << 2525 << 2 << 0xBFFFU << false;
        QTest::newRow("4321 HMI") << 4321 << 3 << 0x1FFFU << false;
        QTest::newRow("unknown 1234") << 1234 << 2 << 0U << false;
        QTest::newRow("unknown 0") << 0 << 3 << 0U << false;
        QTest::newRow("unknown 65535") << 65535 << 2 << 0U << false;
    }
    void processorRanges() {
        QFETCH(int, processor);
        QFETCH(int, n);
        QFETCH(quint32, maxAddr);
        QFETCH(bool, programmable);
        Rig rig;
        rig.resources.set(QStringLiteral("PROC_NUM_%1").arg(n),
                          word(static_cast<std::uint16_t>(processor)));
        rig.startUp();
        QCOMPARE(rig.state->Processor_Number[n], processor);
        QCOMPARE(rig.state->PMem_Store[n].Max_Prog_Addr, maxAddr);
        // The image is loaded whatever the processor; only the range decides.
        QVERIFY(blocksMarked(rig.state->PMem_Store[n]));
        QCOMPARE(isProgrammable(*rig.state, n), programmable);
    }

    void cpu1Ranges_data() {
        QTest::addColumn<int>("processor");
        QTest::addColumn<quint32>("maxAddr");
        QTest::addColumn<bool>("programmable");
        QTest::newRow("4680") << 4680 << 0xFFFFU << true;
        QTest::newRow("2525") << 2525 << 0xBFFFU << true;
        QTest::newRow("4321") << 4321 << 0x1FFFU << true;
        QTest::newRow("unknown") << 4711 << 0U << false;
    }
    void cpu1Ranges() {
        QFETCH(int, processor);
        QFETCH(quint32, maxAddr);
        QFETCH(bool, programmable);
        Rig rig;
        rig.resources.set(QStringLiteral("PROC_NUM_1"),
                          word(static_cast<std::uint16_t>(processor)));
        rig.startUp();
        rig.store->Init_CPU1_Mem(4003);
        QCOMPARE(rig.state->PMem_Store[1].Max_Prog_Addr, maxAddr);
        QCOMPARE(isProgrammable(*rig.state, 1), programmable);
    }

    void programmableChecks() {
        UnitState s;
        auto& rec = s.PMem_Store[2];
        rec.Prog_Mem_Start = 0x1000;
        rec.Max_Prog_Addr = 0xFFFF;
        QVERIFY(!isProgrammable(s, 2)); // no image loaded
        std::fill_n(rec.Block_Used.begin(), 512, true);
        QVERIFY(isProgrammable(s, 2));
        QVERIFY(!isProgrammable(s, 0));
        QVERIFY(!isProgrammable(s, 4));
        QVERIFY(!isProgrammable(s, -1));
        rec.Max_Prog_Addr = 0x10000 + 0x0FFF; // beyond the image
        QVERIFY(!isProgrammable(s, 2));
        rec.Max_Prog_Addr = 0x0FFF; // below the start
        QVERIFY(!isProgrammable(s, 2));
        rec.Max_Prog_Addr = 0x1017; // exactly one chunk
        QVERIFY(isProgrammable(s, 2));
        rec.Prog_Mem_Start = 0;
        rec.Max_Prog_Addr = 0; // never set
        QVERIFY(!isProgrammable(s, 2));
        auto& cpu1 = s.PMem_Store[1];
        cpu1.Prog_Mem_Start = 0x0800;
        cpu1.Max_Prog_Addr = 0xFEFF; // not whole erase steps
        cpu1.Block_Used[4] = true;
        QVERIFY(!isProgrammable(s, 1));
        cpu1.Max_Prog_Addr = 0xFDFF;
        QVERIFY(isProgrammable(s, 1));
    }

    void versionTexts_data() {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::newRow("245") << 245 << "C"
                             << "2.45";
        QTest::newRow("112") << 112 << "C"
                             << "1.12";
        QTest::newRow("100") << 100 << "C"
                             << "1.00";
        QTest::newRow("200") << 200 << "en_US"
                             << "2.00";
        QTest::newRow("5") << 5 << "C"
                           << "0.05";
        QTest::newRow("0") << 0 << "C"
                           << "0.00";
        QTest::newRow("65535, no grouping") << 65535 << "en_US"
                                            << "655.35";
        QTest::newRow("245 comma") << 245 << "de_DE"
                                   << "2,45";
        QTest::newRow("5 comma") << 5 << "de_DE"
                                 << "0,05";
        QTest::newRow("65535 comma") << 65535 << "fr_FR"
                                     << "655,35";
    }
    void versionTexts() {
        QFETCH(int, version);
        QFETCH(QString, locale);
        QFETCH(QString, text);
        const QLocale loc(locale);
        QCOMPARE(versionNumberText(static_cast<std::uint16_t>(version), loc), text);
        QCOMPARE(rmVersionText(42, static_cast<std::uint16_t>(version), loc),
                 QStringLiteral("RM42 v") + text);
    }

    void commaLocaleLabels() {
        Rig rig(QLocale(QStringLiteral("de_DE")));
        rig.startUp();
        QCOMPARE(rig.texts.Model_Label.text, QStringLiteral("Corvane v2,45"));
        QCOMPARE(rig.texts.FW_Label[2].text, QStringLiteral("Core CC-3 v2,32"));
        QCOMPARE(rig.texts.NewVer_Label[3].text, QStringLiteral("RM6204 v1,12"));
        rig.store->Init_CPU1_Mem(4005);
        QCOMPARE(rig.texts.Model_Label.text, QStringLiteral("CV-C30 Gateway v2,45"));
        QCOMPARE(rig.texts.NewVer_Label[1].text, QStringLiteral("RM4005 v2,45"));
    }

    void revisionLetter_data() {
        QTest::addColumn<int>("revision");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("0") << 0 << "";
        QTest::newRow("1: none") << 1 << "";
        QTest::newRow("2: b") << 2 << "b";
        QTest::newRow("3: c") << 3 << "c";
        QTest::newRow("26: z") << 26 << "z";
    }
    void revisionLetter() {
        QFETCH(int, revision);
        QFETCH(QString, suffix);
        Rig rig;
        rig.resources.set(QStringLiteral("EXT_PROC_REV"),
                          word(static_cast<std::uint16_t>(revision)));
        rig.startUp();
        QCOMPARE(rig.texts.Model_Label.text, QStringLiteral("Corvane v2.45") + suffix);
        rig.store->Init_CPU1_Mem(4001);
        QCOMPARE(rig.texts.Model_Label.text, QStringLiteral("CV-C20 Gateway v2.45") + suffix);
    }

    void wordResources_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("askedAs");
        QTest::addColumn<int>("value");
        QTest::newRow("two bytes, low first") << QByteArray("\x48\x12", 2) << "MB_FW_SLAVE" << 4680;
        QTest::newRow("one byte") << QByteArray("\x17", 1) << "MB_FW_SLAVE" << 23;
        QTest::newRow("one high byte") << QByteArray("\xFF", 1) << "MB_FW_SLAVE" << 255;
        QTest::newRow("empty") << QByteArray() << "MB_FW_SLAVE" << 0;
        QTest::newRow("longer: first two")
            << QByteArray("\x01\x02\x03\x04", 4) << "MB_FW_SLAVE" << 0x0201;
        QTest::newRow("any letter case") << QByteArray("\x0C\x00", 2) << "mb_Fw_Slave" << 12;
    }
    void wordResources() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, askedAs);
        QFETCH(int, value);
        Rig rig;
        rig.resources.set(QStringLiteral("MB_FW_SLAVE"), bytes);
        QCOMPARE(rig.store->Load_Resource_Word(askedAs), value);
        // The reader that does not raise: the same value, nothing for an empty resource.
        const auto word = readResourceWord(rig.resources, askedAs);
        QCOMPARE(word.has_value(), !bytes.isEmpty());
        QCOMPARE(word.value_or(0), value);
        rig.resources.remove(QStringLiteral("MB_FW_SLAVE"));
        QVERIFY(!readResourceWord(rig.resources, askedAs).has_value());
    }

    void shortAndLongImages_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("60000 bytes") << 60000;
        QTest::newRow("1 byte") << 1;
        QTest::newRow("empty") << 0;
        QTest::newRow("65536 bytes") << 65536;
        QTest::newRow("70000 bytes") << 70000;
    }
    void shortAndLongImages() {
        QFETCH(int, size);
        Rig rig;
        rig.resources.set(QStringLiteral("HFILE_2"), QByteArray(size, '\xAB'));
        TPMem_Rec& rec = rig.state->PMem_Store[2];
        rec.Mem_Data.fill(0x5A);
        rec.Block_Used[512] = true;
        rig.store->Load_Binary_File(2, -1);
        const int loaded = std::min(size, kImageSize);
        QVERIFY(std::all_of(rec.Mem_Data.begin(), rec.Mem_Data.begin() + loaded,
                            [](std::uint8_t b) { return b == 0xAB; }));
        QVERIFY(std::all_of(rec.Mem_Data.begin() + loaded, rec.Mem_Data.end(),
                            [](std::uint8_t b) { return b == 0x5A; }));
        QVERIFY(blocksMarked(rec)); // entry 512 is cleared again
    }

    void missingResources_data() {
        QTest::addColumn<QString>("removed");
        QTest::addColumn<int>("initMem"); // processor whose Init_Mem fails
        QTest::addColumn<QString>("message");
        QTest::newRow("word") << "RM_NUM_2" << 2 << "Resource RM_NUM_2 not found";
        QTest::newRow("start word")
            << "PROG_MEM_START_3" << 3 << "Resource PROG_MEM_START_3 not found";
        QTest::newRow("notes CPU-1") << "VERTEXT_CPU1" << 1 << "Resource VerText_CPU1 not found";
        QTest::newRow("notes CPU-2") << "VERTEXT_5103" << 2 << "Resource VerText_5103 not found";
        QTest::newRow("image HMI") << "HFILE_3" << 3 << "Resource HFile_3 not found";
    }
    void missingResources() {
        QFETCH(QString, removed);
        QFETCH(int, initMem);
        QFETCH(QString, message);
        Rig rig;
        rig.resources.remove(removed);
        for (int n = 1; n < initMem; ++n) {
            rig.store->Init_Mem(n);
        }
        try {
            rig.store->Init_Mem(initMem);
            QFAIL("no error");
        } catch (const EResourceNotFound& e) {
            QCOMPARE(e.message(), message);
        }
    }

    void missingWordAskedByName() {
        Rig rig;
        try {
            (void)rig.store->Load_Resource_Word(QStringLiteral("No_Such_Word"));
            QFAIL("no error");
        } catch (const EResourceNotFound& e) {
            QCOMPARE(e.message(), QStringLiteral("Resource No_Such_Word not found"));
            QCOMPARE(e.name(), QStringLiteral("No_Such_Word"));
        }
    }

    void missingCpu1ImageDropsOldImage() {
        Rig rig;
        rig.startUp();
        rig.store->Init_CPU1_Mem(4002);
        QVERIFY(isProgrammable(*rig.state, 1));
        try {
            rig.store->Init_CPU1_Mem(4007); // a family-2 product without a carried image
            QFAIL("no error");
        } catch (const EResourceNotFound& e) {
            QCOMPARE(e.message(), QStringLiteral("Resource HFile_4007 not found"));
        }
        QVERIFY(noBlockMarked(rig.state->PMem_Store[1]));
        QVERIFY(!isProgrammable(*rig.state, 1));
        QCOMPARE(imageOf(rig.state->PMem_Store[1]), QByteArray(kImageSize, '\0'));
        // The other records are untouched.
        QVERIFY(isProgrammable(*rig.state, 2));
        QVERIFY(isProgrammable(*rig.state, 3));
    }

    void unknownCarriedProduct() {
        Rig rig;
        rig.resources.set(QStringLiteral("RM_NUM_1"), word(4999));
        rig.startUp();
        // Every Init_Mem warns; start-up still runs to its end.
        QCOMPARE(rig.warnings,
                 QStringList(3, QStringLiteral("Unknown Product!\rTerminating Program....")));
        QVERIFY(rig.store->closeRequested());
        QVERIFY(blocksMarked(rig.state->PMem_Store[3]));
        QCOMPARE(rig.texts.FW_Label[3].text, QStringLiteral("Touch TP-70 v1.12"));
    }

    void unknownSubProcessorProduct() {
        Rig rig;
        rig.resources.set(QStringLiteral("RM_NUM_2"), word(5999));
        rig.resources.set(QStringLiteral("VERTEXT_5999"), QByteArray("Notes\r\n"));
        rig.startUp();
        QVERIFY(rig.warnings.isEmpty());
        QCOMPARE(rig.texts.FW_Label[2].text, QStringLiteral(" v2.32"));
        QCOMPARE(rig.texts.NewVer_Label[2].text, QStringLiteral("RM5999 v2.32"));
        QCOMPARE(rig.texts.RevNotes[2], QStringList{QStringLiteral("Notes")});
    }

    void releaseNoteLines_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR LF") << QByteArray("Title\r\nv1.00\r\n   - x\r\n")
                               << QStringList{"Title", "v1.00", "   - x"};
        QTest::newRow("no final break") << QByteArray("a\r\nb") << QStringList{"a", "b"};
        QTest::newRow("empty") << QByteArray() << QStringList{};
        QTest::newRow("only a break") << QByteArray("\r\n") << QStringList{""};
        QTest::newRow("empty line kept")
            << QByteArray("a\r\n\r\nb\r\n") << QStringList{"a", "", "b"};
        QTest::newRow("LF and CR alone") << QByteArray("a\nb\rc") << QStringList{"a", "b", "c"};
        QTest::newRow("LF CR is two breaks") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
        QTest::newRow("single-byte text") << QByteArray("Caf\xE9 \xB0"
                                                        "C\r\n")
                                          << QStringList{QStringLiteral("Caf\u00E9 \u00B0C")};
    }
    void releaseNoteLines() {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, lines);
        QCOMPARE(::releaseNoteLines(text), lines);
    }

    void notesReplacedOnReload() {
        Rig rig;
        rig.texts.RevNotes[1] = QStringList{"stale", "lines"};
        rig.store->Init_Mem(1);
        QCOMPARE(rig.texts.RevNotes[1].value(0), QStringLiteral("Release Notes"));
        QVERIFY(!rig.texts.RevNotes[1].contains(QStringLiteral("stale")));
    }

    void embeddedResourcesMatchBuildData() {
        const QDir dir(QStringLiteral(BUILD_DATA_DIR));
        const QRegularExpression resourceName(QStringLiteral("^[A-Z0-9_]+$"));
        int checked = 0;
        for (const QString& name : dir.entryList(QDir::Files)) {
            if (!resourceName.match(name).hasMatch()) {
                continue;
            }
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            // Asked for in mixed case, as the program builds its names.
            const QString asked = name.left(1) + name.mid(1).toLower();
            QCOMPARE(loadResource(embeddedResources(), asked), file.readAll());
            ++checked;
        }
        QVERIFY(checked >= 20);
        QVERIFY(!embeddedResources().read(QStringLiteral("README.MD"), -1).has_value());
        QVERIFY_THROWS_EXCEPTION(
            EResourceNotFound, (void)loadResource(embeddedResources(), QStringLiteral("HFile_1")));
    }
};

QTEST_GUILESS_MAIN(TestImageStore)
#include "tst_imagestore.moc"

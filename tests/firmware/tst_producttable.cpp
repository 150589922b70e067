#include "DemoData.h"

#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <set>

class TestProductTable : public QObject {
    Q_OBJECT

private:
    ProductTable m_demo;

private slots:
    void initTestCase() { m_demo = ProductTable::load(demoResources()); }

    void demoTableShape() {
        QCOMPARE(m_demo.size(), 53);
        std::set<int> rms;
        std::set<int> families;
        for (const TProduct_Rec& row : m_demo.rows()) {
            QVERIFY2(row.RM > 0 && row.RM <= 65535, qPrintable(QString::number(row.RM)));
            QVERIFY(!row.L.isEmpty());
            QVERIFY2(row.U == 20 || row.U == 50 || row.U == 64, qPrintable(row.L));
            rms.insert(row.RM);
            families.insert(row.H);
        }
        QCOMPARE(rms.size(), std::size_t{53});
        QCOMPARE(families, (std::set<int>{0, 1, 2, 3}));
    }

    void carriedImagesAreFamilyTwoProducts() {
        // Every CPU-1 image belongs to a family-2 product; at least one of them has no HMI.
        const QStringList images =
            QDir(QStringLiteral(DEMO_DATA_DIR)).entryList({QStringLiteral("HFILE_*")}, QDir::Files);
        int cpu1Images = 0;
        bool withoutHmi = false;
        for (const QString& name : images) {
            const int rm = name.mid(6).toInt();
            if (rm == 2 || rm == 3) {
                continue;
            }
            ++cpu1Images;
            const int row = m_demo.Find_CV_Product(rm);
            QVERIFY2(m_demo.Check_CV_Manufacturer(row), qPrintable(name));
            withoutHmi = withoutHmi || !m_demo.row(row).D;
        }
        QCOMPARE(cpu1Images, 6);
        QVERIFY(withoutHmi);
    }

    void find_data() {
        QTest::addColumn<int>("rm");
        QTest::addColumn<int>("index");
        QTest::newRow("no answer (0) is no product") << 0 << -1;
        QTest::newRow("first row") << 5101 << 0;
        QTest::newRow("carried CPU-1 product") << 4001 << 32;
        QTest::newRow("last row") << 3109 << 52;
        QTest::newRow("unknown") << 4321 << -1;
        QTest::newRow("bootloader number") << 9000 << -1;
        QTest::newRow("negative") << -1 << -1;
        QTest::newRow("beyond a word") << 65536 + 4001 << -1;
    }
    void find() {
        QFETCH(int, rm);
        QFETCH(int, index);
        QCOMPARE(m_demo.Find_CV_Product(rm), index);
    }

    void everyRowIsFound() {
        for (int i = 0; i < m_demo.size(); ++i) {
            QCOMPARE(m_demo.Find_CV_Product(m_demo.row(i).RM), i);
        }
    }

    void manufacturer_data() {
        QTest::addColumn<int>("rm");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("family 2 gateway") << 4001 << true;
        QTest::newRow("family 2 without image") << 4010 << true;
        QTest::newRow("family 0") << 1101 << false;
        QTest::newRow("family 1") << 2104 << false;
        QTest::newRow("family 3, last row") << 3109 << false;
        QTest::newRow("not in the table") << 4321 << false;
    }
    void manufacturer() {
        QFETCH(int, rm);
        QFETCH(bool, accepted);
        QCOMPARE(m_demo.Check_CV_Manufacturer(m_demo.Find_CV_Product(rm)), accepted);
    }

    void manufacturerOutOfRange() {
        QVERIFY(!m_demo.Check_CV_Manufacturer(-1));
        QVERIFY(!m_demo.Check_CV_Manufacturer(53));
        QVERIFY(!m_demo.Check_CV_Manufacturer(-7));
        QVERIFY(!ProductTable().Check_CV_Manufacturer(-1));
        QCOMPARE(ProductTable().Find_CV_Product(0), -1);
    }

    void firstOfDuplicatesWins() {
        const auto table = ProductTable::fromCsv("RM,L,D,N,H,U,M,T,B\r\n"
                                                 "7,First,1,0,2,20,0,0,0\r\n"
                                                 "8,Other,0,0,1,50,0,0,0\r\n"
                                                 "7,Second,0,1,1,64,1,1,1\r\n"
                                                 "\r\n");
        QCOMPARE(table.size(), 3);
        QCOMPARE(table.Find_CV_Product(7), 0);
        QVERIFY(table.Check_CV_Manufacturer(0));
        QVERIFY(!table.Check_CV_Manufacturer(1));
        const TProduct_Rec& last = table.row(2);
        QCOMPARE(last.L, QStringLiteral("Second"));
        QVERIFY(!last.D && last.N && last.M && last.T && last.B);
        QCOMPARE(last.H, 1);
        QCOMPARE(last.U, 64);
    }

    void malformedCsv_data() {
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << QByteArray() << "line 1";
        QTest::newRow("wrong header") << QByteArray("RM,L,D\n1,a,0\n") << "line 1";
        QTest::newRow("eight fields")
            << QByteArray("RM,L,D,N,H,U,M,T,B\n1,a,0,0,2,20,0,0\n") << "line 2: 8 fields";
        QTest::newRow("RM not a number")
            << QByteArray("RM,L,D,N,H,U,M,T,B\n1,a,0,0,2,20,0,0,0\nx1,b,0,0,2,20,0,0,0\n")
            << "line 3: RM 'x1'";
        QTest::newRow("Boolean 2") << QByteArray("RM,L,D,N,H,U,M,T,B\n1,a,2,0,2,20,0,0,0\n")
                                   << "line 2: D '2' is not 0 or 1";
        QTest::newRow("family empty")
            << QByteArray("RM,L,D,N,H,U,M,T,B\n1,a,0,0,,20,0,0,0\n") << "line 2: H ''";
    }
    void malformedCsv() {
        QFETCH(QByteArray, csv);
        QFETCH(QString, message);
        try {
            (void)ProductTable::fromCsv(csv);
            QFAIL("no error");
        } catch (const EProductTableError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(message), e.what());
        }
    }

    void missingTableResource() {
        MemoryResourceSource empty;
        QVERIFY_THROWS_EXCEPTION(EResourceNotFound, (void)ProductTable::load(empty));
    }

    void embeddedTableMatchesBuildData() {
        QFile csv(QDir(QStringLiteral(BUILD_DATA_DIR)).filePath(QStringLiteral("PRODUCTS.csv")));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const ProductTable fromFile = ProductTable::fromCsv(csv.readAll());
        const ProductTable& embedded = Product_Table();
        QCOMPARE(embedded.size(), fromFile.size());
        for (int i = 0; i < embedded.size(); ++i) {
            QCOMPARE(embedded.row(i).RM, fromFile.row(i).RM);
            QCOMPARE(embedded.row(i).L, fromFile.row(i).L);
        }
    }
};

QTEST_GUILESS_MAIN(TestProductTable)
#include "tst_producttable.moc"

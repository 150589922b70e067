// The painted controls and the pictures: the progress list as the programming code drives it,
// the bar texts, labels, tabs, markers, and the pictures' sizes and PNG round trip.

#include "SmoothControls.h"
#include "Theme.h"
#include "gallery.h"

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace corvane::ui;

namespace {

QImage render(QWidget& w) {
    QImage img(w.size(), QImage::Format_ARGB32);
    img.fill(Qt::black);
    w.render(&img);
    return img;
}

bool isBlueish(QRgb c) {
    return qBlue(c) > 60 && qBlue(c) > qRed(c) + 30 && qBlue(c) > qGreen(c) + 30;
}

} // namespace

class TestSmoothControls : public QObject {
    Q_OBJECT
private slots:
    void progressSinkOnAnEmptyList();
    void progressSinkWorksOnTheLastLine();
    void barSitsAtTheRightEdge_data();
    void barSitsAtTheRightEdge();
    void scrollToLastShowsTheNewestLine();
    void progressBarText_data();
    void progressBarText();
    void labelTexts();
    void labelAutoSize();
    void labelClicks();
    void tabSetChanges();
    void markerHints();
    void galleryPictures();
    void pngRoundTrip();
};

void TestSmoothControls::progressSinkOnAnEmptyList() {
    ProgressListBox list;
    ProgressSink& sink = list;
    sink.setLastCaption(QStringLiteral("nothing to complete"));
    sink.showLastBar(true);
    sink.setLastBar(50);
    sink.scrollToLast();
    QCOMPARE(list.count(), 0);
    list.resize(200, 100);
    (void)render(list); // paints without lines
}

void TestSmoothControls::progressSinkWorksOnTheLastLine() {
    ProgressListBox list;
    ProgressSink& sink = list;
    sink.addLine(QStringLiteral("Erasing Program Memory......"));
    sink.showLastBar(true);
    sink.setLastBar(100);
    sink.addLine(QStringLiteral("Sending New Firmware......"));
    sink.showLastBar(true);
    sink.setLastBar(40);
    sink.setLastCaption(QStringLiteral("Sending New Program Data......Error Detected"));

    QCOMPARE(list.count(), 2);
    QCOMPARE(list.item(0).caption, QStringLiteral("Erasing Program Memory......"));
    QCOMPARE(list.item(0).barValue, 100.0);
    QCOMPARE(list.item(1).caption, QStringLiteral("Sending New Program Data......Error Detected"));
    QCOMPARE(list.item(1).barValue, 40.0);
    QVERIFY(list.item(1).barVisible);

    // Values are kept as given, also outside 0..100; only the drawing is limited.
    sink.setLastBar(137.5);
    QCOMPARE(list.item(1).barValue, 137.5);
    sink.setLastBar(-3);
    QCOMPARE(list.item(1).barValue, -3.0);
    sink.showLastBar(false);
    QVERIFY(!list.item(1).barVisible);
    QVERIFY(list.item(0).barVisible);

    list.clear();
    QCOMPARE(list.count(), 0);
}

void TestSmoothControls::barSitsAtTheRightEdge_data() {
    QTest::addColumn<double>("value");
    QTest::newRow("full") << 100.0;
    QTest::newRow("beyond the range") << 250.0;
}

void TestSmoothControls::barSitsAtTheRightEdge() {
    QFETCH(double, value);
    ProgressListBox list;
    list.resize(369, 172);
    list.addLine(QStringLiteral("Reprogramming CPU-2......"));
    list.showLastBar(true);
    list.setLastBar(value);
    const QImage img = render(list);
    const int y = 2 + list.rowHeight() / 2 + 1;
    const int vw = list.viewport()->width();
    // Filled up to the bar's right end, 8 pixels in from the line's right edge, and not past.
    QVERIFY(isBlueish(img.pixel(vw - SmoothListBox::kBarMargin - 6, y)));
    QVERIFY(isBlueish(img.pixel(vw - SmoothListBox::kBarMargin - SmoothListBox::kBarWidth + 6, y)));
    QVERIFY(!isBlueish(img.pixel(vw - 3, y)));
    // The caption keeps to the left of the bar.
    QVERIFY(!isBlueish(img.pixel(8, y)));

    list.setLastBar(0);
    const QImage empty = render(list);
    QVERIFY(!isBlueish(empty.pixel(vw - SmoothListBox::kBarMargin - 6, y)));
}

void TestSmoothControls::scrollToLastShowsTheNewestLine() {
    ProgressListBox list;
    list.resize(369, 172);
    list.show();
    for (int i = 0; i < 40; ++i) {
        list.addLine(QStringLiteral("line %1").arg(i));
        list.scrollToLast();
    }
    const int rh = list.rowHeight();
    const int first = list.firstVisibleItem();
    // The newest line is the lowest one that fits completely.
    QCOMPARE(first + list.fullRows() - 1, 39);
    const int bottomOfLast = 2 + (39 - first + 1) * rh;
    QVERIFY(bottomOfLast <= list.viewport()->height());
    QVERIFY(bottomOfLast > list.viewport()->height() - rh);
    // Going back up shows an earlier line at the top again.
    list.scrollToItem(3);
    QCOMPARE(list.firstVisibleItem(), 3);
    list.scrollToItem(5); // already in view: no jump
    QCOMPARE(list.firstVisibleItem(), 3);
    // Emptying the list brings it back to the top.
    list.clear();
    QCOMPARE(list.verticalScrollBar()->maximum(), 0);
}

void TestSmoothControls::progressBarText_data() {
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("position");
    QTest::addColumn<QString>("text");
    QTest::newRow("two of three ports") << 3.0 << 2.0 << "67%";
    QTest::newRow("first of one") << 1.0 << 1.0 << "100%";
    QTest::newRow("start") << 3.0 << 0.0 << "0%";
    QTest::newRow("one of eight") << 8.0 << 1.0 << "13%";
    QTest::newRow("empty range") << 0.0 << 1.0 << "0%";
    // A scan that ends moves the position one past its last port.
    QTest::newRow("past the end of one port") << 1.0 << 2.0 << "100%";
    QTest::newRow("below the range") << 4.0 << -1.0 << "0%";
}

void TestSmoothControls::progressBarText() {
    QFETCH(double, maximum);
    QFETCH(double, position);
    SmoothProgressBar bar;
    bar.resize(337, 39);
    bar.setRange(0, maximum);
    bar.setPosition(position);
    QTEST(bar.text(), "text");
    (void)render(bar);
}

void TestSmoothControls::labelTexts() {
    QCOMPARE(SmoothLabel::displayText(QStringLiteral("Scan\rComplete")),
             QStringLiteral("Scan\nComplete"));
    QCOMPARE(SmoothLabel::displayText(QStringLiteral("A\r\rB")), QStringLiteral("A\n\nB"));
    QCOMPARE(SmoothLabel::displayText(QStringLiteral("A\r\nB")), QStringLiteral("A\nB"));

    // Three lines need three times the height of one.
    SmoothLabel one(QStringLiteral("Unable"));
    SmoothLabel three(QStringLiteral("Unable\r(Communications timed out).\rReconnect"));
    QVERIFY(three.sizeHint().height() >= 3 * one.sizeHint().height() - 2);
}

void TestSmoothControls::labelAutoSize() {
    QWidget parent;
    auto* right = new SmoothLabel(QString(), &parent);
    right->setGeometry(372, 270, 37, 14);
    right->setAlignment(Qt::AlignRight | Qt::AlignTop);
    right->setAutoSize(true);
    right->setText(QStringLiteral("v1.4.2 (b 87)"));
    QCOMPARE(right->geometry().right(), 408);
    const int wide = right->width();
    right->setText(QStringLiteral("v (b N/A)"));
    QCOMPARE(right->geometry().right(), 408);
    QVERIFY(right->width() < wide);

    auto* left = new SmoothLabel(QStringLiteral("????"), &parent);
    left->move(147, 61);
    left->setAutoSize(true);
    left->setText(QStringLiteral("RM4001 v2.45"));
    QCOMPARE(left->x(), 147);
    QVERIFY(left->width() >= QFontMetrics(left->font()).horizontalAdvance("RM4001 v2.45"));
}

void TestSmoothControls::labelClicks() {
    SmoothLabel label(QStringLiteral("Upgrade Version "));
    label.resize(100, 14);
    QSignalSpy clicked(&label, &SmoothLabel::clicked);
    QTest::mouseClick(&label, Qt::LeftButton);
    QCOMPARE(clicked.count(), 0); // plain labels do not click
    label.setClickable(true);
    QTest::mouseClick(&label, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QTest::mouseClick(&label, Qt::RightButton);
    QCOMPARE(clicked.count(), 1);
    // Released outside: no click.
    QTest::mousePress(&label, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(150, 5));
    QCOMPARE(clicked.count(), 1);
}

void TestSmoothControls::tabSetChanges() {
    SmoothTabSet tabs;
    tabs.resize(377, 21);
    tabs.setTabs({QStringLiteral("CPU-1"), QStringLiteral("CPU-2"), QStringLiteral("HMI")});
    QSignalSpy changed(&tabs, &SmoothTabSet::currentChanged);
    bool veto = false;
    QList<int> asked;
    connect(&tabs, &SmoothTabSet::tabChanging, &tabs, [&](int t, bool* allow) {
        asked << t;
        *allow = !veto;
    });
    QVERIFY(tabs.setCurrentIndex(2));
    QCOMPARE(tabs.currentIndex(), 2);
    veto = true;
    QVERIFY(!tabs.setCurrentIndex(0));
    QCOMPARE(tabs.currentIndex(), 2);
    veto = false;
    QTest::mouseClick(&tabs, Qt::LeftButton, {}, tabs.tabRect(1).center());
    QCOMPARE(tabs.currentIndex(), 1);
    QCOMPARE(asked, (QList<int>{2, 0, 1}));
    QCOMPARE(changed.count(), 2);
    // Clicking beside the tabs selects nothing.
    QTest::mouseClick(&tabs, Qt::LeftButton, {}, QPoint(370, 10));
    QCOMPARE(tabs.currentIndex(), 1);
    // A product without the HMI: two tabs; the choice stays within them.
    tabs.setCurrentIndex(2);
    tabs.setTabs({QStringLiteral("CPU-1"), QStringLiteral("CPU-2")});
    QCOMPARE(tabs.currentIndex(), 1);
    QVERIFY(tabs.tabRect(2).isNull());
    QVERIFY(tabs.tabRect(0).right() < tabs.tabRect(1).right());
}

void TestSmoothControls::markerHints() {
    MarkerImage marker;
    marker.setHint(QStringLiteral("Product mismatch"));
    QVERIFY(marker.toolTip().isEmpty());
    marker.setShowHint(true);
    QCOMPARE(marker.toolTip(), QStringLiteral("Product mismatch"));
    marker.setHint(QStringLiteral("Product Mismatch!"));
    QCOMPARE(marker.toolTip(), QStringLiteral("Product Mismatch!"));
    marker.setShowHint(false);
    QVERIFY(marker.toolTip().isEmpty());
    QCOMPARE(marker.hint(), QStringLiteral("Product Mismatch!"));
}

void TestSmoothControls::galleryPictures() {
    TGallery_Form gallery;
    QVERIFY(!gallery.isVisible());
    const struct {
        const QPixmap& picture;
        QSize size;
    } pictures[] = {
        {gallery.CV_small_logo, {202, 20}}, {gallery.CV_small_upg_logo, {202, 31}},
        {gallery.Error_Image, {14, 14}},    {gallery.Icon32_Image, {32, 32}},
        {gallery.Icon64_Image, {64, 64}},   {gallery.Image1, {46, 27}},
        {gallery.Image2, {46, 36}},         {gallery.Exclamation_Image, {34, 34}},
    };
    for (const auto& p : pictures) {
        QCOMPARE(p.picture.size(), p.size);
        // Something is drawn, and the ground around it is see-through.
        const QImage img = p.picture.toImage().convertToFormat(QImage::Format_ARGB32);
        int opaque = 0;
        for (int y = 0; y < img.height(); ++y) {
            for (int x = 0; x < img.width(); ++x) {
                opaque += qAlpha(img.pixel(x, y)) > 200;
            }
        }
        QVERIFY(opaque > img.width() * img.height() / 10);
        QVERIFY(opaque < img.width() * img.height());
    }
    const QImage marker = gallery.Error_Image.toImage().convertToFormat(QImage::Format_ARGB32);
    const QRgb ring = marker.pixel(3, 7);
    QVERIFY(qRed(ring) > 150 && qGreen(ring) < 100);
    const QRgb bar = marker.pixel(7, 5); // the white stroke of the mark
    QVERIFY(qRed(bar) > 200 && qGreen(bar) > 200);
}

void TestSmoothControls::pngRoundTrip() {
    const QImage drawn = drawExclamation(34).convertToFormat(QImage::Format_ARGB32);
    const QByteArray png = encodePng(drawn);
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    const QImage back = decodePng(png).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(back.size(), drawn.size());
    QCOMPARE(back, drawn);
    QVERIFY(decodePng(QByteArray("not a picture")).isNull());
    QVERIFY(decodePng(png.left(40)).isNull());
}

QTEST_MAIN(TestSmoothControls)
#include "tst_smoothcontrols.moc"

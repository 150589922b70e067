#include "gallery.h"

#include "Theme.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace corvane::ui {

namespace {

QImage blank(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

// The brand mark: a blue disc with an open white ring, the "C" of the name.
void paintEmblem(QPainter& p, const QRectF& r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const qreal d = std::min(r.width(), r.height());
    const QRectF disc(r.center().x() - d / 2, r.center().y() - d / 2, d, d);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 120));
    p.drawEllipse(disc.translated(0, d * 0.04));

    QRadialGradient g(disc.left() + d * 0.35, disc.top() + d * 0.3, d * 0.75);
    g.setColorAt(0, QColor(120, 170, 255));
    g.setColorAt(0.45, QColor(30, 90, 225));
    g.setColorAt(1, QColor(8, 26, 96));
    p.setBrush(g);
    p.setPen(QPen(QColor(190, 205, 235), std::max(1.0, d * 0.04)));
    p.drawEllipse(disc.adjusted(d * 0.02, d * 0.02, -d * 0.02, -d * 0.02));

    const qreal ring = d * 0.29;
    const QRectF arc(disc.center().x() - ring, disc.center().y() - ring, 2 * ring, 2 * ring);
    QPen white(QColor(255, 255, 255), std::max(1.4, d * 0.13), Qt::SolidLine, Qt::RoundCap);
    p.setPen(white);
    p.setBrush(Qt::NoBrush);
    p.drawArc(arc, 50 * 16, 260 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 215, 255));
    const qreal dot = std::max(1.2, d * 0.075);
    p.drawEllipse(QPointF(disc.center().x() + ring * 0.95, disc.center().y()), dot, dot);

    // Gloss over the upper half.
    QLinearGradient gloss(0, disc.top(), 0, disc.center().y());
    gloss.setColorAt(0, QColor(255, 255, 255, 90));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(gloss);
    p.drawEllipse(QRectF(disc.left() + d * 0.16, disc.top() + d * 0.06, d * 0.68, d * 0.44));
    p.restore();
}

void paintWordmark(QPainter& p, const QRectF& box, int pixelSize) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QFont f = uiFont(pixelSize, true);
    f.setLetterSpacing(QFont::PercentageSpacing, 104);
    const QString word = QStringLiteral("Corvane");
    const QFontMetricsF fm(f);
    // Baseline so the letters sit centred in the box.
    const qreal baseline = box.top() + (box.height() + fm.ascent() - fm.descent()) / 2;
    QPainterPath path;
    path.addText(QPointF(box.left(), baseline), f, word);
    const QRectF used = path.boundingRect();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 220));
    p.drawPath(path.translated(1.2, 1.2));
    QLinearGradient g(0, used.top(), 0, used.bottom());
    g.setColorAt(0, QColor(255, 255, 255));
    g.setColorAt(0.45, QColor(220, 232, 255));
    g.setColorAt(1, QColor(64, 128, 255));
    p.setBrush(g);
    // A hairline in the same gradient thickens the strokes a little.
    p.setPen(QPen(QBrush(g), std::max(0.5, pixelSize / 30.0)));
    p.drawPath(path);
    p.restore();
}

qreal wordmarkWidth(int pixelSize) {
    QFont f = uiFont(pixelSize, true);
    f.setLetterSpacing(QFont::PercentageSpacing, 104);
    return QFontMetricsF(f).horizontalAdvance(QStringLiteral("Corvane"));
}

} // namespace

QImage drawSmallLogo() {
    QImage img = blank(202, 20);
    QPainter p(&img);
    paintEmblem(p, QRectF(1, 1, 18, 18));
    paintWordmark(p, QRectF(24, 0, 120, 20), 15);
    return img;
}

QImage drawSmallUpgradeLogo() {
    QImage img = blank(202, 31);
    QPainter p(&img);
    paintEmblem(p, QRectF(1, 2, 27, 27));
    paintWordmark(p, QRectF(34, -1, 130, 24), 20);
    // Tag line under the word, spaced out to the word's width.
    QFont tag = uiFont(8, true);
    tag.setLetterSpacing(QFont::AbsoluteSpacing, 1.6);
    p.setFont(tag);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QString line = QStringLiteral("FIRMWARE UPDATER");
    const qreal wordWidth = wordmarkWidth(20);
    QRectF tagBox(35, 21, std::max(wordWidth + 40, 100.0), 10);
    p.setPen(QColor(0, 0, 0, 200));
    p.drawText(tagBox.translated(1, 1), Qt::AlignLeft | Qt::AlignVCenter, line);
    p.setPen(kTextSilver);
    p.drawText(tagBox, Qt::AlignLeft | Qt::AlignVCenter, line);
    return img;
}

QImage drawErrorMarker() {
    QImage img = blank(14, 14);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(5, 4, 10);
    g.setColorAt(0, QColor(255, 120, 110));
    g.setColorAt(0.55, kMarkerRed);
    g.setColorAt(1, QColor(120, 0, 0));
    p.setBrush(g);
    p.setPen(QPen(QColor(60, 0, 0), 1));
    p.drawEllipse(QRectF(0.5, 0.5, 13, 13));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(6, 2.8, 2, 5.6), 1, 1);
    p.drawEllipse(QRectF(6, 9.4, 2, 2));
    return img;
}

QImage drawIcon(int size) {
    QImage img = blank(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QLinearGradient g(0, 0, 0, s);
    g.setColorAt(0, QColor(58, 58, 64));
    g.setColorAt(1, QColor(6, 6, 8));
    p.setBrush(g);
    p.setPen(QPen(kFrameSilver, std::max(1.0, s / 32)));
    p.drawRoundedRect(QRectF(0.5, 0.5, s - 1, s - 1), s * 0.18, s * 0.18);
    paintEmblem(p, QRectF(s * 0.14, s * 0.14, s * 0.72, s * 0.72));
    return img;
}

QImage drawBadge(int width, int height) {
    QImage img = blank(width, height);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal d = std::min<qreal>(height - 2, width / 2.0);
    paintEmblem(p, QRectF(1, (height - d) / 2, d, d));
    QFont f = uiFont(static_cast<int>(d * 0.55), true);
    p.setFont(f);
    p.setPen(QColor(0, 0, 0, 200));
    const QRectF text(d + 3, 0, width - d - 3, height);
    p.drawText(text.translated(1, 1), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("CV"));
    p.setPen(kTextWhite);
    p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("CV"));
    return img;
}

QImage drawExclamation(int size) {
    QImage img = blank(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    auto triangle = [&](qreal inset, qreal dy) {
        QPainterPath path;
        const qreal r = s * 0.09;
        const QPointF top(s / 2, inset + dy);
        const QPointF left(inset, s - inset - s * 0.06 + dy);
        const QPointF right(s - inset, s - inset - s * 0.06 + dy);
        // Rounded corners: start a little way along each edge.
        auto along = [](QPointF a, QPointF b, qreal t) { return a + (b - a) * t; };
        path.moveTo(along(top, left, r / s * 2.2));
        path.lineTo(along(left, top, r / s * 2.2));
        path.quadTo(left, along(left, right, r / s * 2.2));
        path.lineTo(along(right, left, r / s * 2.2));
        path.quadTo(right, along(right, top, r / s * 2.2));
        path.lineTo(along(top, right, r / s * 2.2));
        path.quadTo(top, along(top, left, r / s * 2.2));
        path.closeSubpath();
        return path;
    };
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 110));
    p.drawPath(triangle(1.5, 1.2));
    QLinearGradient g(0, 0, 0, s);
    g.setColorAt(0, QColor(255, 222, 96));
    g.setColorAt(0.55, QColor(250, 178, 24));
    g.setColorAt(1, QColor(206, 120, 0));
    p.setBrush(g);
    p.setPen(QPen(QColor(120, 70, 0), 1));
    p.drawPath(triangle(1.5, 0));
    // Exclamation mark.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 24, 0));
    const qreal bw = s * 0.11;
    p.drawRoundedRect(QRectF(s / 2 - bw / 2, s * 0.33, bw, s * 0.32), bw / 2, bw / 2);
    p.drawEllipse(QPointF(s / 2, s * 0.76), bw * 0.62, bw * 0.62);
    // Gloss.
    QLinearGradient gloss(0, 0, 0, s * 0.6);
    gloss.setColorAt(0, QColor(255, 255, 255, 110));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(gloss);
    QPainterPath clip = triangle(3, 0);
    p.setClipPath(clip);
    p.drawRect(QRectF(0, 0, s, s * 0.5));
    return img;
}

QImage drawDialogSymbol(DialogSymbol kind, int size) {
    if (kind == DialogSymbol::Warning) {
        return drawExclamation(size);
    }
    QImage img = blank(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const qreal s = size;
    QColor light, mid, dark;
    QString glyph;
    switch (kind) {
    case DialogSymbol::Error:
        light = QColor(255, 130, 120);
        mid = QColor(214, 34, 34);
        dark = QColor(110, 0, 0);
        glyph = QStringLiteral("\u00D7");
        break;
    case DialogSymbol::Question:
        light = QColor(150, 190, 255);
        mid = QColor(40, 100, 230);
        dark = QColor(10, 30, 110);
        glyph = QStringLiteral("?");
        break;
    case DialogSymbol::Information:
    case DialogSymbol::Custom:
    case DialogSymbol::Warning:
        light = QColor(150, 190, 255);
        mid = QColor(40, 100, 230);
        dark = QColor(10, 30, 110);
        glyph = QStringLiteral("i");
        break;
    }
    const QRectF disc(1.5, 1.5, s - 3, s - 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 110));
    p.drawEllipse(disc.translated(0, 1));
    QRadialGradient g(s * 0.38, s * 0.3, s * 0.8);
    g.setColorAt(0, light);
    g.setColorAt(0.5, mid);
    g.setColorAt(1, dark);
    p.setBrush(g);
    p.setPen(QPen(dark.darker(150), 1));
    p.drawEllipse(disc);
    QFont f = uiFont(static_cast<int>(s * (kind == DialogSymbol::Error ? 0.78 : 0.62)), true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, -s * 0.02, s, s), Qt::AlignCenter, glyph);
    QLinearGradient gloss(0, disc.top(), 0, disc.center().y());
    gloss.setColorAt(0, QColor(255, 255, 255, 100));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawEllipse(QRectF(s * 0.2, s * 0.08, s * 0.6, s * 0.42));
    return img;
}

QByteArray encodePng(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image)) {
        return {};
    }
    return bytes;
}

QImage decodePng(const QByteArray& png) {
    QByteArray copy = png;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    return reader.read(); // a null image when the bytes are not a valid PNG
}

} // namespace corvane::ui

TGallery_Form::TGallery_Form(QWidget* owner)
    : QWidget(owner, Qt::Window) {
    using namespace corvane::ui;
    setObjectName(QStringLiteral("Gallery_Form"));
    setAttribute(Qt::WA_DontShowOnScreen);
    CV_small_logo = QPixmap::fromImage(drawSmallLogo());
    CV_small_upg_logo = QPixmap::fromImage(drawSmallUpgradeLogo());
    Error_Image = QPixmap::fromImage(drawErrorMarker());
    Icon32_Image = QPixmap::fromImage(drawIcon(32));
    Icon64_Image = QPixmap::fromImage(drawIcon(64));
    Image1 = QPixmap::fromImage(decodePng(encodePng(drawBadge(46, 27))));
    Image2 = QPixmap::fromImage(decodePng(encodePng(drawBadge(46, 36))));
    Exclamation_Image = QPixmap::fromImage(decodePng(encodePng(drawExclamation(34))));
}

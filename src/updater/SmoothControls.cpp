#include "SmoothControls.h"

#include "Theme.h"

#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace corvane::ui {

// ---------------------------------------------------------------------------------------------

GradientPanel::GradientPanel(QWidget* parent)
    : QWidget(parent)
    , m_top(kPanelTop)
    , m_bottom(kPanelBottom) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void GradientPanel::setColours(const QColor& top, const QColor& bottom) {
    m_top = top;
    m_bottom = bottom;
    update();
}

void GradientPanel::setFrame(int radius, const QColor& border, int width) {
    m_radius = radius;
    m_border = border;
    m_borderWidth = width;
    update();
}

void GradientPanel::setBottomLine(const QColor& colour) {
    m_bottomLine = colour;
    update();
}

void GradientPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, m_radius > 0);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, m_top);
    g.setColorAt(1, m_bottom);
    if (m_radius > 0 || m_borderWidth > 0) {
        const qreal half = m_borderWidth / 2.0;
        const QRectF r = QRectF(rect()).adjusted(half, half, -half, -half);
        p.setPen(m_borderWidth > 0 ? QPen(m_border, m_borderWidth) : QPen(Qt::NoPen));
        p.setBrush(g);
        p.drawRoundedRect(r, m_radius, m_radius);
        // A faint inner highlight along the top edge gives the box some depth.
        if (m_borderWidth > 0) {
            p.setPen(QPen(QColor(255, 255, 255, 28), 1));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(r.adjusted(half + 1, half + 1, -half - 1, -half - 1),
                              std::max(0, m_radius - 2), std::max(0, m_radius - 2));
        }
    } else {
        p.fillRect(rect(), g);
    }
    if (m_bottomLine) {
        p.setPen(*m_bottomLine);
        p.drawLine(0, height() - 1, width(), height() - 1);
    }
}

// ---------------------------------------------------------------------------------------------

SmoothLabel::SmoothLabel(const QString& text, QWidget* parent)
    : QWidget(parent)
    , m_text(text)
    , m_colour(kTextSilver) {
    setFont(uiFont());
}

QString SmoothLabel::displayText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void SmoothLabel::setText(const QString& text) {
    if (text == m_text) {
        return;
    }
    m_text = text;
    if (m_autoSize) {
        fitToText();
    }
    update();
}

void SmoothLabel::setColour(const QColor& colour) {
    m_colour = colour;
    m_gradient.reset();
    update();
}

void SmoothLabel::setGradient(const QColor& top, const QColor& bottom) {
    m_gradient = std::make_pair(top, bottom);
    m_colour = top;
    update();
}

void SmoothLabel::setShadow(bool on, const QColor& colour, int offset) {
    m_shadow = on;
    m_shadowColour = colour;
    m_shadowOffset = offset;
    update();
}

void SmoothLabel::setAlignment(Qt::Alignment alignment) {
    m_alignment = alignment;
    update();
}

void SmoothLabel::setWordWrap(bool on) {
    m_wordWrap = on;
    update();
}

void SmoothLabel::setAutoSize(bool on) {
    m_autoSize = on;
    if (on) {
        fitToText();
    }
}

void SmoothLabel::setClickable(bool on) {
    // No hand cursor: the column head's click is a service feature, not advertised.
    m_clickable = on;
}

int SmoothLabel::textFlags() const {
    int flags = static_cast<int>(m_alignment);
    if (m_wordWrap) {
        flags |= Qt::TextWordWrap;
    }
    return flags;
}

QSize SmoothLabel::sizeHint() const {
    const QFontMetrics fm(font());
    const QString shown = displayText(m_text);
    QSize s = fm.boundingRect(QRect(0, 0, 4000, 4000), Qt::AlignLeft | Qt::AlignTop, shown).size();
    s.setHeight(std::max(s.height(), fm.height()));
    if (m_shadow) {
        s += QSize(m_shadowOffset, m_shadowOffset);
    }
    return s;
}

void SmoothLabel::fitToText() {
    const QSize s = sizeHint();
    const QRect g = geometry();
    if (m_alignment & Qt::AlignRight) {
        setGeometry(g.right() + 1 - s.width(), g.top(), s.width(), s.height());
    } else {
        setGeometry(g.left(), g.top(), s.width(), s.height());
    }
}

void SmoothLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange && m_autoSize) {
        fitToText();
    }
    QWidget::changeEvent(event);
}

void SmoothLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setFont(font());
    const QString shown = displayText(m_text);
    const int flags = textFlags();
    QRect area = rect();
    if (m_shadow) {
        area.adjust(0, 0, -m_shadowOffset, -m_shadowOffset);
    }
    if (m_shadow) {
        p.setPen(m_shadowColour);
        p.drawText(area.translated(m_shadowOffset, m_shadowOffset), flags, shown);
    }
    if (m_gradient) {
        const QRect used = p.fontMetrics().boundingRect(area, flags, shown);
        QLinearGradient g(0, used.top(), 0, used.bottom());
        g.setColorAt(0, m_gradient->first);
        g.setColorAt(0.3, m_gradient->first);
        g.setColorAt(1, m_gradient->second);
        p.setPen(QPen(QBrush(g), 1));
    } else {
        p.setPen(isEnabled() ? m_colour : kTextDim);
    }
    p.drawText(area, flags, shown);
}

void SmoothLabel::mousePressEvent(QMouseEvent* event) {
    if (!m_clickable) {
        event->ignore(); // lets a press on a plain label drag the window
        return;
    }
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void SmoothLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_clickable) {
        event->ignore();
        return;
    }
    const bool fire = m_pressed && event->button() == Qt::LeftButton &&
                      rect().contains(event->position().toPoint());
    m_pressed = false;
    event->accept();
    if (fire) {
        emit clicked();
    }
}

// ---------------------------------------------------------------------------------------------

ToggleButton::ToggleButton(const QString& caption, QWidget* parent)
    : QAbstractButton(parent) {
    setText(caption);
    setFont(uiFont(11, true));
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

QSize ToggleButton::sizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text()) + 24, fm.height() + 12};
}

void ToggleButton::enterEvent(QEnterEvent* event) {
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void ToggleButton::leaveEvent(QEvent* event) {
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void ToggleButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool sunken = isDown() || isChecked();
    const bool enabled = isEnabled();
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    constexpr qreal radius = 5;

    // A soft dark halo under the button lifts it off the panel.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 110));
    p.drawRoundedRect(r.translated(0, 1), radius, radius);

    QLinearGradient g(0, r.top(), 0, r.bottom());
    if (sunken) {
        g.setColorAt(0, QColor(10, 10, 12));
        g.setColorAt(1, QColor(48, 50, 56));
    } else if (m_hover && enabled) {
        g.setColorAt(0, QColor(96, 100, 110));
        g.setColorAt(0.5, QColor(50, 52, 58));
        g.setColorAt(0.51, QColor(36, 38, 44));
        g.setColorAt(1, QColor(22, 24, 30));
    } else {
        g.setColorAt(0, QColor(82, 82, 88));
        g.setColorAt(0.5, QColor(42, 42, 46));
        g.setColorAt(0.51, QColor(30, 30, 34));
        g.setColorAt(1, QColor(16, 16, 18));
    }
    QColor border = kFrameSilver;
    if (!enabled) {
        border = QColor(70, 70, 74);
    } else if (hasFocus()) {
        border = kAccentBlue;
    } else if (m_hover) {
        border = kAccentBlue.lighter(120);
    }
    p.setBrush(g);
    p.setPen(QPen(border, hasFocus() ? 1.6 : 1.0));
    p.drawRoundedRect(r, radius, radius);

    if (!sunken) {
        p.setPen(QPen(QColor(255, 255, 255, enabled ? 46 : 18), 1));
        p.drawLine(QPointF(r.left() + radius, r.top() + 1.5),
                   QPointF(r.right() - radius, r.top() + 1.5));
    }
    if (hasFocus()) {
        p.setPen(QPen(QColor(kAccentBlue.red(), kAccentBlue.green(), kAccentBlue.blue(), 70), 3));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(1.5, 1.5, -1.5, -1.5), radius - 1, radius - 1);
    }

    p.setFont(font());
    const QRect textRect = rect().translated(sunken ? 1 : 0, sunken ? 1 : 0);
    p.setPen(QColor(0, 0, 0, 200));
    p.drawText(textRect.translated(1, 1), Qt::AlignCenter, text());
    p.setPen(enabled ? (m_hover || hasFocus() ? kTextWhite : QColor(228, 228, 232)) : kTextDim);
    p.drawText(textRect, Qt::AlignCenter, text());
}

// ---------------------------------------------------------------------------------------------

void paintNavyBar(QPainter& p, const QRectF& rect, double fraction, int radius) {
    if (!(fraction > 0)) { // also catches NaN
        return;
    }
    fraction = std::min(fraction, 1.0);
    QRectF fill = rect;
    fill.setWidth(rect.width() * fraction);
    if (fill.width() < 1) {
        return;
    }
    QLinearGradient g(0, fill.top(), 0, fill.bottom());
    g.setColorAt(0, QColor(58, 86, 210));
    g.setColorAt(0.5, QColor(18, 30, 160));
    g.setColorAt(0.51, kNavy);
    g.setColorAt(1, QColor(0, 0, 84));
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(fill, radius, radius);
    QLinearGradient gloss(0, fill.top(), 0, fill.center().y());
    gloss.setColorAt(0, QColor(255, 255, 255, 70));
    gloss.setColorAt(1, QColor(255, 255, 255, 8));
    p.setBrush(gloss);
    QRectF top = fill.adjusted(1, 1, -1, 0);
    top.setHeight(fill.height() / 2 - 1);
    if (top.width() > 2 && top.height() > 1) {
        p.drawRoundedRect(top, std::max(0, radius - 1), std::max(0, radius - 1));
    }
    p.restore();
}

SmoothProgressBar::SmoothProgressBar(QWidget* parent)
    : QWidget(parent) {
    setFont(uiFont(11, true));
}

void SmoothProgressBar::setRange(double minimum, double maximum) {
    m_min = minimum;
    m_max = maximum;
    update();
}

void SmoothProgressBar::setMaximum(double maximum) {
    m_max = maximum;
    update();
}

void SmoothProgressBar::setPosition(double position) {
    m_pos = position;
    update();
}

void SmoothProgressBar::mousePressEvent(QMouseEvent* event) {
    event->accept(); // a control: presses on it do not drag the window
}

double SmoothProgressBar::percent() const {
    const double span = m_max - m_min;
    if (!(span > 0)) {
        return 0;
    }
    // The scan moves the position one past the last port when it ends; a bar never shows more
    // than its range.
    return std::clamp((m_pos - m_min) * 100.0 / span, 0.0, 100.0);
}

QString SmoothProgressBar::text() const {
    return QString::asprintf("%.0f%%", percent());
}

void SmoothProgressBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF outer = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient trough(0, 0, 0, height());
    trough.setColorAt(0, QColor(4, 4, 6));
    trough.setColorAt(1, QColor(26, 26, 30));
    p.setPen(QPen(kFrameSilver.darker(130), 1));
    p.setBrush(trough);
    p.drawRoundedRect(outer, 5, 5);
    paintNavyBar(p, outer.adjusted(2.5, 2.5, -2.5, -2.5), percent() / 100.0, 3);

    p.setFont(font());
    p.setPen(QColor(0, 0, 0, 220));
    p.drawText(rect().translated(1, 1), Qt::AlignCenter, text());
    p.setPen(kTextWhite);
    p.drawText(rect(), Qt::AlignCenter, text());
}

// ---------------------------------------------------------------------------------------------

SmoothTabSet::SmoothTabSet(QWidget* parent)
    : QWidget(parent) {
    setFont(uiFont(11, true));
    setFocusPolicy(Qt::TabFocus);
}

void SmoothTabSet::setTabs(const QStringList& tabs) {
    m_tabs = tabs;
    if (m_current >= m_tabs.size()) {
        m_current = m_tabs.isEmpty() ? -1 : static_cast<int>(m_tabs.size()) - 1;
    }
    update();
}

bool SmoothTabSet::setCurrentIndex(int index) {
    bool allow = true;
    emit tabChanging(index, &allow);
    if (!allow) {
        return false;
    }
    if (index >= -1 && index < m_tabs.size() && index != m_current) {
        m_current = index;
        update();
        emit currentChanged(index);
    }
    return true;
}

QRect SmoothTabSet::tabRect(int index) const {
    if (index < 0 || index >= m_tabs.size()) {
        return {};
    }
    const QFontMetrics fm(font());
    int x = 6;
    for (int i = 0; i < index; ++i) {
        x += fm.horizontalAdvance(m_tabs[i]) + 26 - 2;
    }
    return {x, 0, fm.horizontalAdvance(m_tabs[index]) + 26, height() - 1};
}

void SmoothTabSet::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setFont(font());
    // The strip continues the list above it; the chosen tab hangs from it.
    p.setPen(QPen(kFrameSilver.darker(140), 1));
    p.drawLine(QPointF(0, 0.5), QPointF(width(), 0.5));
    auto drawTab = [&](int i, bool chosen) {
        const QRectF r = QRectF(tabRect(i)).adjusted(0.5, 0, -0.5, 0);
        QPainterPath path;
        constexpr qreal round = 4;
        path.moveTo(r.left(), r.top());
        path.lineTo(r.left() + 3, r.bottom() - round);
        path.quadTo(r.left() + 3, r.bottom(), r.left() + 3 + round, r.bottom());
        path.lineTo(r.right() - 3 - round, r.bottom());
        path.quadTo(r.right() - 3, r.bottom(), r.right() - 3, r.bottom() - round);
        path.lineTo(r.right(), r.top());
        QLinearGradient g(0, r.top(), 0, r.bottom());
        if (chosen) {
            g.setColorAt(0, kListBackground);
            g.setColorAt(1, QColor(40, 44, 56));
        } else {
            g.setColorAt(0, QColor(30, 30, 34));
            g.setColorAt(1, QColor(18, 18, 20));
        }
        p.setBrush(g);
        p.setPen(QPen(chosen ? kFrameSilver : QColor(80, 80, 86), 1));
        p.drawPath(path);
        if (chosen) { // open the top edge into the list
            p.setPen(QPen(kListBackground, 1.5));
            p.drawLine(QPointF(r.left() + 1, r.top() + 0.5), QPointF(r.right() - 1, r.top() + 0.5));
        }
        const QRect tr = tabRect(i).adjusted(3, 0, -3, -1);
        p.setPen(chosen ? kTextWhite : QColor(140, 140, 146));
        p.drawText(tr, Qt::AlignCenter, m_tabs[i]);
        if (chosen && hasFocus()) {
            p.setPen(QPen(kAccentBlue, 1));
            p.drawLine(QPointF(tr.left() + 6, tr.bottom() - 3),
                       QPointF(tr.right() - 6, tr.bottom() - 3));
        }
    };
    for (int i = 0; i < m_tabs.size(); ++i) {
        if (i != m_current) {
            drawTab(i, false);
        }
    }
    if (m_current >= 0 && m_current < m_tabs.size()) {
        drawTab(m_current, true);
    }
}

void SmoothTabSet::mousePressEvent(QMouseEvent* event) {
    for (int i = 0; i < m_tabs.size(); ++i) {
        if (tabRect(i).contains(event->position().toPoint())) {
            setCurrentIndex(i);
            break;
        }
    }
    event->accept(); // the whole strip is a control
}

void SmoothTabSet::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Left && m_current > 0) {
        setCurrentIndex(m_current - 1);
    } else if (event->key() == Qt::Key_Right && m_current + 1 < m_tabs.size()) {
        setCurrentIndex(m_current + 1);
    } else {
        QWidget::keyPressEvent(event);
    }
}

// ---------------------------------------------------------------------------------------------

MarkerImage::MarkerImage(QWidget* parent)
    : QWidget(parent) {}

void MarkerImage::setPicture(const QPixmap& picture) {
    m_picture = picture;
    update();
}

void MarkerImage::setHint(const QString& hint) {
    m_hint = hint;
    updateToolTip();
}

void MarkerImage::setShowHint(bool on) {
    m_showHint = on;
    updateToolTip();
}

void MarkerImage::updateToolTip() {
    setToolTip(m_showHint ? m_hint : QString());
}

void MarkerImage::paintEvent(QPaintEvent*) {
    if (m_picture.isNull()) {
        return;
    }
    QPainter p(this);
    p.drawPixmap(0, 0, m_picture);
}

// ---------------------------------------------------------------------------------------------

PictureBox::PictureBox(QWidget* parent)
    : QWidget(parent) {}

void PictureBox::setPicture(const QPixmap& picture) {
    m_picture = picture;
    update();
}

void PictureBox::paintEvent(QPaintEvent*) {
    if (m_picture.isNull()) {
        return;
    }
    QPainter p(this);
    p.drawPixmap(0, 0, m_picture);
}

// ---------------------------------------------------------------------------------------------

FrameShape::FrameShape(QWidget* parent)
    : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void FrameShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(kFrameSilver.darker(115), 1));
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawRoundedRect(r, 4, 4);
}

} // namespace corvane::ui

// The lists of the window: release notes, and the upgrade's progress list whose lines can
// carry a bar at their right edge. Scrolling is by whole lines.

#include "SmoothControls.h"

#include "Theme.h"

#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace corvane::ui {

namespace {

QString scrollBarStyle() {
    return QStringLiteral(
        "QScrollBar:vertical { background: #0c0c0e; width: 11px; margin: 0; border: none; }"
        "QScrollBar::handle:vertical { background: qlineargradient(x1:0, y1:0, x2:1, y2:0,"
        " stop:0 #5c5c64, stop:1 #3a3a40); min-height: 18px; border-radius: 4px;"
        " margin: 1px 2px 1px 2px; }"
        "QScrollBar::handle:vertical:hover { background: #6f7a90; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");
}

} // namespace

SmoothListBox::SmoothListBox(QWidget* parent)
    : QAbstractScrollArea(parent) {
    setFont(uiFont());
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setStyleSheet(
        QStringLiteral("QAbstractScrollArea { border: 1px solid #4a4a52; border-radius: 2px;"
                       " background: #0a0a0c; }"
                       "QAbstractScrollArea:focus { border: 1px solid #4084ff; }"));
    verticalScrollBar()->setStyleSheet(scrollBarStyle());
    QPalette pal = viewport()->palette();
    pal.setColor(QPalette::Base, kListBackground);
    pal.setColor(QPalette::Window, kListBackground);
    viewport()->setPalette(pal);
    viewport()->setAutoFillBackground(true);
    updateScrollRange();
}

int SmoothListBox::rowHeight() const {
    return QFontMetrics(font()).height() + 4;
}

void SmoothListBox::setItems(const QStringList& captions) {
    m_items.clear();
    m_items.reserve(static_cast<std::size_t>(captions.size()));
    for (const QString& c : captions) {
        m_items.push_back(Item{c});
    }
    verticalScrollBar()->setValue(0);
    updateScrollRange();
    viewport()->update();
}

void SmoothListBox::addItem(const QString& caption) {
    m_items.push_back(Item{caption});
    updateScrollRange();
    viewport()->update();
}

void SmoothListBox::clear() {
    m_items.clear();
    updateScrollRange();
    viewport()->update();
}

QStringList SmoothListBox::captions() const {
    QStringList out;
    for (const Item& i : m_items) {
        out << i.caption;
    }
    return out;
}

void SmoothListBox::setCaption(int index, const QString& caption) {
    if (index < 0 || index >= count()) {
        return;
    }
    m_items[static_cast<std::size_t>(index)].caption = caption;
    viewport()->update();
}

void SmoothListBox::setBarVisible(int index, bool visible) {
    if (index < 0 || index >= count()) {
        return;
    }
    m_items[static_cast<std::size_t>(index)].barVisible = visible;
    viewport()->update();
}

void SmoothListBox::setBarValue(int index, double value) {
    if (index < 0 || index >= count()) {
        return;
    }
    m_items[static_cast<std::size_t>(index)].barValue = value;
    viewport()->update();
}

int SmoothListBox::fullRows() const {
    return std::max(1, (viewport()->height() - 2) / rowHeight());
}

void SmoothListBox::scrollToItem(int index) {
    if (index < 0 || index >= count()) {
        return;
    }
    // Scrolling is by whole lines, so the top line is never cut.
    QScrollBar* bar = verticalScrollBar();
    if (index < bar->value()) {
        bar->setValue(index);
    } else if (index >= bar->value() + fullRows()) {
        bar->setValue(index - fullRows() + 1);
    }
}

int SmoothListBox::firstVisibleItem() const {
    return count() == 0 ? -1 : verticalScrollBar()->value();
}

void SmoothListBox::updateScrollRange() {
    const int rows = fullRows();
    verticalScrollBar()->setRange(0, std::max(0, count() - rows));
    verticalScrollBar()->setPageStep(rows);
    verticalScrollBar()->setSingleStep(1);
}

void SmoothListBox::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
}

void SmoothListBox::keyPressEvent(QKeyEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    switch (event->key()) {
    case Qt::Key_Up:
        bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
        break;
    case Qt::Key_Down:
        bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        break;
    case Qt::Key_PageUp:
        bar->triggerAction(QAbstractSlider::SliderPageStepSub);
        break;
    case Qt::Key_PageDown:
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        break;
    case Qt::Key_Home:
        bar->setValue(0);
        break;
    case Qt::Key_End:
        bar->setValue(bar->maximum());
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void SmoothListBox::mousePressEvent(QMouseEvent* event) {
    // A control, not a bare part of the window: the press stays here.
    setFocus(Qt::MouseFocusReason);
    event->accept();
}

void SmoothListBox::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void SmoothListBox::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void SmoothListBox::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.setFont(font());
    const int rh = rowHeight();
    const int first = std::max(0, verticalScrollBar()->value());
    const int offset = first * rh;
    const int w = viewport()->width();
    const int last = std::min(count() - 1, first + viewport()->height() / rh + 1);
    const QFontMetrics fm(font());
    for (int i = first; i <= last; ++i) {
        const Item& it = m_items[static_cast<std::size_t>(i)];
        const QRect row(0, 2 + i * rh - offset, w, rh);
        QRect textRect = row.adjusted(5, 0, -4, 0);
        if (it.barVisible) {
            const QRectF bar(row.right() - kBarMargin - kBarWidth, row.top() + 3, kBarWidth,
                             row.height() - 6);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(QColor(96, 96, 104), 1));
            p.setBrush(QColor(4, 4, 6));
            p.drawRoundedRect(bar.adjusted(-0.5, -0.5, 0.5, 0.5), 3, 3);
            paintNavyBar(p, bar.adjusted(1, 1, -1, -1), it.barValue / 100.0, 2);
            p.setRenderHint(QPainter::Antialiasing, false);
            textRect.setRight(static_cast<int>(bar.left()) - 6);
        }
        p.setPen(isEnabled() ? kTextSilver : kTextDim);
        p.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                   fm.elidedText(it.caption, Qt::ElideRight, textRect.width()));
    }
}

// ---------------------------------------------------------------------------------------------

ProgressListBox::ProgressListBox(QWidget* parent)
    : SmoothListBox(parent) {}

void ProgressListBox::addLine(const QString& caption) {
    addItem(caption);
    emit linesChanged();
}

void ProgressListBox::setLastCaption(const QString& caption) {
    setCaption(count() - 1, caption);
    emit linesChanged();
}

void ProgressListBox::showLastBar(bool visible) {
    setBarVisible(count() - 1, visible);
    emit linesChanged();
}

void ProgressListBox::setLastBar(double value) {
    setBarValue(count() - 1, value);
    emit linesChanged();
}

void ProgressListBox::scrollToLast() {
    scrollToItem(count() - 1);
}

} // namespace corvane::ui

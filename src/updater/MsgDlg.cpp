#include "MsgDlg.h"

#include "SmoothControls.h"
#include "Theme.h"
#include "gallery.h"

#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>

using namespace corvane::ui;

TMsg_Form::TMsg_Form(QWidget* owner, TGallery_Form* gallery)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint)
    , m_gallery(gallery) {
    setObjectName(QStringLiteral("Msg_Form"));
    // Only the rounded panel shows; the rest of the rectangle is see-through.
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(kWidth, kHeight);
    setModal(true);
    setFont(uiFont());

    Image1 = new PictureBox(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(16, 24, 34, 34);

    Label1 = new SmoothLabel(QString(), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    // Four lines of 11-pixel text need 56 pixels; the strip starts below that.
    Label1->setGeometry(64, 24, 257, 56);
    Label1->setColour(kTextWhite);
    Label1->setWordWrap(true);

    const int stripTop = kHeight - kStripHeight;
    OK_Button = new ToggleButton(QStringLiteral("OK"), this);
    OK_Button->setObjectName(QStringLiteral("OK_Button"));
    OK_Button->setGeometry(120, stripTop + 12, 89, 25);
    connect(OK_Button, &QAbstractButton::clicked, this, [this] { done(QDialog::Accepted); });

    Quit_Button = new ToggleButton(QStringLiteral("Quit"), this);
    Quit_Button->setObjectName(QStringLiteral("Quit_Button"));
    Quit_Button->setGeometry(220, stripTop + 12, 89, 25);
    Quit_Button->hide();
}

void TMsg_Form::showEvent(QShowEvent* event) {
    if (m_gallery) {
        Image1->setPicture(m_gallery->Exclamation_Image);
    }
    centreOnOwner();
    OK_Button->setFocus();
    QDialog::showEvent(event);
}

void TMsg_Form::keyPressEvent(QKeyEvent* event) {
    // Enter answers OK like the box's default button; Escape closes it too.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OK_Button->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TMsg_Form::centreOnOwner() {
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    QRect area;
    if (owner && owner->isVisible()) {
        area = owner->frameGeometry();
    } else if (const QScreen* s = screen()) {
        area = s->availableGeometry();
    }
    if (area.isValid()) {
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void TMsg_Form::paintPanel(QPainter& p) const {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const qreal inset = kBorderWidth / 2.0;
    const QRectF panel(inset, inset, kWidth - kShadowOffset - kBorderWidth,
                       kHeight - kShadowOffset - kBorderWidth);
    // Shadow: a few widening translucent layers offset down and right.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        p.setBrush(QColor(0, 0, 0, 70 - i * 18));
        p.drawRoundedRect(panel.translated(kShadowOffset, kShadowOffset).adjusted(-i, -i, i, i),
                          kCornerRadius + i, kCornerRadius + i);
    }
    QLinearGradient g(0, panel.top(), 0, panel.bottom());
    g.setColorAt(0, QColor(46, 46, 52));
    g.setColorAt(0.62, QColor(14, 14, 16));
    g.setColorAt(1, QColor(4, 4, 6));
    p.setBrush(g);
    p.setPen(QPen(kTextSilver, kBorderWidth));
    p.drawRoundedRect(panel, kCornerRadius, kCornerRadius);
    // Divider above the button strip.
    const qreal stripTop = kHeight - kStripHeight - 1.5;
    p.setPen(QPen(QColor(255, 255, 255, 26), 1));
    p.drawLine(QPointF(panel.left() + 12, stripTop), QPointF(panel.right() - 12, stripTop));
    p.setPen(QPen(QColor(0, 0, 0, 160), 1));
    p.drawLine(QPointF(panel.left() + 12, stripTop + 1), QPointF(panel.right() - 12, stripTop + 1));
    p.restore();
}

void TMsg_Form::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    paintPanel(p);
}

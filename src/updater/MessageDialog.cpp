#include "MessageDialog.h"

#include "SmoothControls.h"
#include "Theme.h"
#include "gallery.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

using namespace corvane::ui;

namespace {

struct ButtonInfo {
    TMsgDlgBtn button;
    const char* caption;
    int result;
};

// In the order the buttons appear.
constexpr ButtonInfo kButtons[] = {
    {TMsgDlgBtn::mbYes, "Yes", mrYes},
    {TMsgDlgBtn::mbNo, "No", mrNo},
    {TMsgDlgBtn::mbOK, "OK", mrOk},
    {TMsgDlgBtn::mbCancel, "Cancel", mrCancel},
    {TMsgDlgBtn::mbAbort, "Abort", mrAbort},
    {TMsgDlgBtn::mbRetry, "Retry", mrRetry},
    {TMsgDlgBtn::mbIgnore, "Ignore", mrIgnore},
    {TMsgDlgBtn::mbAll, "All", mrAll},
    {TMsgDlgBtn::mbNoToAll, "No to All", mrNoToAll},
    {TMsgDlgBtn::mbYesToAll, "Yes to All", mrYesToAll},
    {TMsgDlgBtn::mbHelp, "Help", mrHelp},
    {TMsgDlgBtn::mbClose, "Close", mrClose},
};

DialogSymbol symbolFor(TMsgDlgType type) {
    switch (type) {
    case TMsgDlgType::mtWarning:
        return DialogSymbol::Warning;
    case TMsgDlgType::mtError:
        return DialogSymbol::Error;
    case TMsgDlgType::mtConfirmation:
        return DialogSymbol::Question;
    case TMsgDlgType::mtInformation:
        return DialogSymbol::Information;
    case TMsgDlgType::mtCustom:
        break;
    }
    return DialogSymbol::Custom;
}

} // namespace

MessageDialogForm::MessageDialogForm(const QString& Msg, TMsgDlgType DlgType,
                                     TMsgDlgButtons Buttons, QWidget* owner)
    : QDialog(nullptr, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
    , m_owner(owner)
    , m_message(Msg)
    , m_type(DlgType) {
    setObjectName(QStringLiteral("MessageDialog"));
    // Not a QObject child of the owner: the caller owns the dialog and releases it.
    setWindowModality(Qt::ApplicationModal);
    setWindowTitle(dialogCaption(DlgType));
    QFont font = uiFont();
    font.setFamily(uiFamily()); // "Tahoma" whenever it is installed
    // Dialogs are designed for a reference display; without one (0 x 0) they keep their size.
    if (const auto ratio = scaleFormRatio(Display_Width, Display_Height)) {
        font.setPixelSize(std::max(6, static_cast<int>(font.pixelSize() * ratio->factor())));
    }
    setFont(font);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(18, 18, 18, 14);
    outer->setSpacing(16);
    auto* row = new QHBoxLayout;
    row->setSpacing(14);
    auto* symbol = new PictureBox(this);
    symbol->setObjectName(QStringLiteral("Image"));
    symbol->setPicture(QPixmap::fromImage(drawDialogSymbol(symbolFor(DlgType), 32)));
    symbol->setFixedSize(32, 32);
    row->addWidget(symbol, 0, Qt::AlignTop);

    auto* message = new SmoothLabel(Msg, this);
    message->setObjectName(QStringLiteral("Message"));
    message->setFont(font);
    message->setColour(kTextWhite);
    message->setWordWrap(true);
    const QFontMetrics fm(font);
    const QRect textSize =
        fm.boundingRect(QRect(0, 0, kLabelWidth, 100000), Qt::AlignLeft | Qt::TextWordWrap,
                        SmoothLabel::displayText(Msg));
    message->setFixedSize(std::max(textSize.width() + 2, 180), std::max(textSize.height() + 2, 32));
    row->addWidget(message, 1, Qt::AlignVCenter);
    outer->addLayout(row);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch(1);
    for (const ButtonInfo& info : kButtons) {
        if (!Buttons.testFlag(info.button)) {
            continue;
        }
        auto* b = new ToggleButton(QString::fromLatin1(info.caption), this);
        b->setObjectName(QStringLiteral("Button_") + QString::fromLatin1(info.caption));
        b->setFixedSize(std::max(75, b->sizeHint().width()), 25);
        const int result = info.result;
        connect(b, &QAbstractButton::clicked, this, [this, result] { done(result); });
        buttons->addWidget(b);
        m_buttons.emplace_back(info.button, b);
    }
    buttons->addStretch(1);
    outer->addLayout(buttons);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    // Escape answers like the button that means "no": Cancel, else No, else OK.
    if (Buttons.testFlag(TMsgDlgBtn::mbCancel)) {
        m_escapeResult = mrCancel;
    } else if (Buttons.testFlag(TMsgDlgBtn::mbNo)) {
        m_escapeResult = mrNo;
    } else if (Buttons.testFlag(TMsgDlgBtn::mbOK)) {
        m_escapeResult = mrOk;
    }
    if (!m_buttons.empty()) {
        m_buttons.front().second->setFocus();
    }
}

QAbstractButton* MessageDialogForm::buttonFor(TMsgDlgBtn button) const {
    for (const auto& [kind, widget] : m_buttons) {
        if (kind == button) {
            return widget;
        }
    }
    return nullptr;
}

void MessageDialogForm::showEvent(QShowEvent* event) {
    centreOnOwner();
    QDialog::showEvent(event);
}

void MessageDialogForm::centreOnOwner() {
    adjustSize();
    const QWidget* owner = m_owner ? m_owner->window() : nullptr;
    if (owner && owner->windowHandle() && windowHandle()) {
        windowHandle()->setTransientParent(owner->windowHandle());
    }
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

void MessageDialogForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        done(m_escapeResult);
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        for (const auto& entry : m_buttons) {
            if (entry.second->hasFocus()) {
                entry.second->click();
                return;
            }
        }
        if (!m_buttons.empty()) {
            m_buttons.front().second->click();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void MessageDialogForm::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, QColor(44, 44, 50));
    g.setColorAt(0.7, QColor(14, 14, 16));
    g.setColorAt(1, QColor(6, 6, 8));
    p.fillRect(rect(), g);
    p.setPen(QColor(90, 90, 96));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

std::unique_ptr<MessageDialogForm> CreateMessageDialog(const QString& Msg, TMsgDlgType DlgType,
                                                       TMsgDlgButtons Buttons, QWidget* owner) {
    return std::make_unique<MessageDialogForm>(Msg, DlgType, Buttons, owner);
}

int Message_Dialog(const QString& Msg, TMsgDlgType DlgType, TMsgDlgButtons Buttons,
                   QWidget* owner) {
    sounds().playFor(DlgType);
    if (!owner) {
        owner = QApplication::activeWindow();
    }
    // Owned here, so the dialog is released on every path, an exception included.
    const std::unique_ptr<MessageDialogForm> dialog =
        CreateMessageDialog(Msg, DlgType, Buttons, owner);
    return dialog->exec();
}

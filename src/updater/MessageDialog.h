#pragma once
// The modal message dialog of the window code: plays the type's warning sound, shows the
// text with the type's symbol and caption and the requested buttons, and returns the modal
// result of the button pressed.

#include "common/gen_lib.h"

#include <QDialog>
#include <QPointer>

#include <memory>

class QAbstractButton;

// The dialog as built, before it is shown (tests look at it without running it).
class MessageDialogForm : public QDialog {
    Q_OBJECT
public:
    MessageDialogForm(const QString& Msg, TMsgDlgType DlgType, TMsgDlgButtons Buttons,
                      QWidget* owner);

    [[nodiscard]] QString message() const { return m_message; }
    [[nodiscard]] TMsgDlgType dialogType() const { return m_type; }
    [[nodiscard]] QAbstractButton* buttonFor(TMsgDlgBtn button) const;
    // The label's text never wraps before this width.
    static constexpr int kLabelWidth = 1000;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void centreOnOwner();

    QPointer<QWidget> m_owner;
    QString m_message;
    TMsgDlgType m_type;
    int m_escapeResult = mrCancel;
    std::vector<std::pair<TMsgDlgBtn, QAbstractButton*>> m_buttons;
};

[[nodiscard]] std::unique_ptr<MessageDialogForm> CreateMessageDialog(const QString& Msg,
                                                                     TMsgDlgType DlgType,
                                                                     TMsgDlgButtons Buttons,
                                                                     QWidget* owner = nullptr);

// owner: the form the dialog is centred on; null means the active window.
int Message_Dialog(const QString& Msg, TMsgDlgType DlgType, TMsgDlgButtons Buttons,
                   QWidget* owner = nullptr);

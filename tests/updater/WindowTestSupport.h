#pragma once
// Helpers for tests that drive the real updater window offscreen.

#include "MessageDialog.h"
#include "MsgDlg.h"
#include "SmoothControls.h"

#include "support/TestEnv.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <functional>

// Answers every modal dialog that opens while it lives: records what it said, then presses
// its OK button (or the button chosen by `press`).
class ModalResponder : public QObject {
public:
    struct Seen {
        QString kind; // "Msg_Form" or "MessageDialog"
        QString text;
        QString caption;
    };

    explicit ModalResponder(QObject* parent = nullptr)
        : QObject(parent) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    std::vector<Seen> seen;
    // Which button of a message dialog to press; OK when unset.
    TMsgDlgBtn press = TMsgDlgBtn::mbOK;

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) {
            return;
        }
        if (auto* box = qobject_cast<TMsg_Form*>(modal)) {
            seen.push_back({QStringLiteral("Msg_Form"), box->Label1->text(), QString()});
            QTest::mouseClick(box->OK_Button, Qt::LeftButton);
        } else if (auto* dialog = qobject_cast<MessageDialogForm*>(modal)) {
            seen.push_back(
                {QStringLiteral("MessageDialog"), dialog->message(), dialog->windowTitle()});
            QAbstractButton* b = dialog->buttonFor(press);
            if (!b) {
                b = dialog->buttonFor(TMsgDlgBtn::mbOK);
            }
            if (b) {
                QTest::mouseClick(b, Qt::LeftButton);
            } else {
                dialog->reject();
            }
        }
    }

    QTimer m_timer;
};

// The captions of a progress list, one per line.
inline QStringList lines(const corvane::ui::SmoothListBox& list) {
    return list.captions();
}

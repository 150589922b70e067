#pragma once
// The updater's own message box: a borderless rounded dark panel with the exclamation symbol,
// a word-wrapped text and one OK button. The caller sets Label1's text and runs it modally.

#include <QDialog>
#include <QPixmap>

class TGallery_Form;

namespace corvane::ui {
class PictureBox;
class SmoothLabel;
class ToggleButton;
} // namespace corvane::ui

class TMsg_Form : public QDialog {
    Q_OBJECT
public:
    // gallery supplies the exclamation picture each time the box is shown; it may be null.
    explicit TMsg_Form(QWidget* owner = nullptr, TGallery_Form* gallery = nullptr);

    void setGallery(TGallery_Form* gallery) { m_gallery = gallery; }

    corvane::ui::PictureBox* Image1 = nullptr;
    corvane::ui::SmoothLabel* Label1 = nullptr;
    corvane::ui::ToggleButton* OK_Button = nullptr;
    corvane::ui::ToggleButton* Quit_Button = nullptr; // hidden, no action

    static constexpr int kWidth = 337;
    static constexpr int kHeight = 128;
    static constexpr int kShadowOffset = 5;
    static constexpr int kBorderWidth = 3;
    static constexpr int kCornerRadius = 10;
    static constexpr int kStripHeight = 48;

    // Paints the rounded panel and its shadow; used by paintEvent and by screenshots that
    // compose the box over the main window.
    void paintPanel(QPainter& painter) const;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void centreOnOwner();

    TGallery_Form* m_gallery = nullptr;
};

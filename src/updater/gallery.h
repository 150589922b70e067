#pragma once
// The picture holder: a form that is never shown and keeps the pictures other forms copy when
// they are shown. Every picture is drawn by this program; the ones kept as PNG travel through
// PNG encoding and Qt's image reader, as they would when loaded from a file.

#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QWidget>

class TGallery_Form : public QWidget {
    Q_OBJECT
public:
    explicit TGallery_Form(QWidget* owner = nullptr);

    QPixmap CV_small_logo;     // 202 x 20
    QPixmap CV_small_upg_logo; // 202 x 31, the title strip's logo
    QPixmap Error_Image;       // 14 x 14, the review's error marker
    QPixmap Icon32_Image;      // 32 x 32
    QPixmap Icon64_Image;      // 64 x 64
    QPixmap Image1;            // 46 x 27, PNG
    QPixmap Image2;            // 46 x 36, PNG
    QPixmap Exclamation_Image; // 34 x 34, PNG
};

namespace corvane::ui {

// The drawings themselves, at their stored sizes, on a transparent ground.
[[nodiscard]] QImage drawSmallLogo();
[[nodiscard]] QImage drawSmallUpgradeLogo();
[[nodiscard]] QImage drawErrorMarker();
[[nodiscard]] QImage drawIcon(int size);
[[nodiscard]] QImage drawBadge(int width, int height);
[[nodiscard]] QImage drawExclamation(int size = 34);
// Kinds of dialog symbol drawn for message dialogs (size x size).
enum class DialogSymbol { Warning, Error, Information, Question, Custom };
[[nodiscard]] QImage drawDialogSymbol(DialogSymbol kind, int size = 32);

// PNG round trip: encodes to PNG bytes, then decodes them with Qt's image reader.
[[nodiscard]] QByteArray encodePng(const QImage& image);
[[nodiscard]] QImage decodePng(const QByteArray& png);

} // namespace corvane::ui

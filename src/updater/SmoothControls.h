#pragma once
// The updater's own painted controls: gradient panels, shadowed gradient labels, glossy
// buttons, the navy progress bar, lists whose lines can carry a bar, a tab strip and the error
// markers. They draw everything themselves so the window looks the same on every desktop.

#include "programming/ProgressSink.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QColor>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <optional>
#include <vector>

namespace corvane::ui {

// Black to dark-grey vertical gradient; optionally a rounded frame (the retry box).
class GradientPanel : public QWidget {
    Q_OBJECT
public:
    explicit GradientPanel(QWidget* parent = nullptr);

    void setColours(const QColor& top, const QColor& bottom);
    void setFrame(int radius, const QColor& border, int width);
    void setBottomLine(const QColor& colour); // a hairline under a strip
    [[nodiscard]] QColor topColour() const { return m_top; }
    [[nodiscard]] QColor bottomColour() const { return m_bottom; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_top;
    QColor m_bottom;
    int m_radius = 0;
    QColor m_border;
    int m_borderWidth = 0;
    std::optional<QColor> m_bottomLine;
};

// A label that paints its text in one colour or a vertical gradient, optionally over a shadow.
// "\r" in a text is a line break. With auto-size on, a new text resizes the label and keeps its
// left edge (right-aligned labels keep their right edge).
class SmoothLabel : public QWidget {
    Q_OBJECT
public:
    explicit SmoothLabel(const QString& text = {}, QWidget* parent = nullptr);

    void setText(const QString& text);
    [[nodiscard]] QString text() const { return m_text; }
    void setColour(const QColor& colour);
    [[nodiscard]] QColor colour() const { return m_colour; }
    void setGradient(const QColor& top, const QColor& bottom);
    void setShadow(bool on, const QColor& colour = Qt::black, int offset = 1);
    [[nodiscard]] bool hasShadow() const { return m_shadow; }
    void setAlignment(Qt::Alignment alignment);
    [[nodiscard]] Qt::Alignment alignment() const { return m_alignment; }
    void setWordWrap(bool on);
    [[nodiscard]] bool wordWrap() const { return m_wordWrap; }
    void setAutoSize(bool on);
    void setClickable(bool on);

    [[nodiscard]] QSize sizeHint() const override;
    // The text as drawn: carriage returns turned into line breaks.
    [[nodiscard]] static QString displayText(const QString& text);

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    [[nodiscard]] int textFlags() const;
    void fitToText();

    QString m_text;
    QColor m_colour;
    std::optional<std::pair<QColor, QColor>> m_gradient;
    bool m_shadow = false;
    QColor m_shadowColour = Qt::black;
    int m_shadowOffset = 1;
    Qt::Alignment m_alignment = Qt::AlignLeft | Qt::AlignTop;
    bool m_wordWrap = false;
    bool m_autoSize = false;
    bool m_clickable = false;
    bool m_pressed = false;
};

// A glossy push button; checkable when used as a toggle.
class ToggleButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleButton(const QString& caption = {}, QWidget* parent = nullptr);
    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool m_hover = false;
};

// Navy bar over a dark trough with the position shown as "%.0f%%" of the range.
class SmoothProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit SmoothProgressBar(QWidget* parent = nullptr);

    void setRange(double minimum, double maximum);
    void setMaximum(double maximum);
    void setPosition(double position);
    [[nodiscard]] double minimum() const { return m_min; }
    [[nodiscard]] double maximum() const { return m_max; }
    [[nodiscard]] double position() const { return m_pos; }
    [[nodiscard]] double percent() const;
    [[nodiscard]] QString text() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    double m_min = 0;
    double m_max = 100;
    double m_pos = 0;
};

// Paints a navy bar with a gloss into rect; fraction 0..1 (clamped for drawing only).
void paintNavyBar(QPainter& painter, const QRectF& rect, double fraction, int radius);

// A list of one-line items in silver on a dark ground. Each item can carry a bar (0..100) at
// its right edge, 8 pixels in from the border.
class SmoothListBox : public QAbstractScrollArea {
    Q_OBJECT
public:
    struct Item {
        QString caption;
        bool barVisible = false;
        double barValue = 0;
    };

    explicit SmoothListBox(QWidget* parent = nullptr);

    void setItems(const QStringList& captions);
    void addItem(const QString& caption);
    void clear();
    [[nodiscard]] int count() const { return static_cast<int>(m_items.size()); }
    [[nodiscard]] const Item& item(int index) const { return m_items.at(index); }
    [[nodiscard]] QStringList captions() const;
    void setCaption(int index, const QString& caption);
    void setBarVisible(int index, bool visible);
    void setBarValue(int index, double value);
    void scrollToItem(int index);
    [[nodiscard]] int rowHeight() const;
    // Index of the item on the top line (scrolling is by whole lines).
    [[nodiscard]] int firstVisibleItem() const;
    // Lines that fit completely.
    [[nodiscard]] int fullRows() const;

    static constexpr int kBarMargin = 8;
    static constexpr int kBarWidth = 104;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void updateScrollRange();

    std::vector<Item> m_items;
};

// The upgrade's progress list as the programming code sees it.
class ProgressListBox : public SmoothListBox, public ProgressSink {
    Q_OBJECT
public:
    explicit ProgressListBox(QWidget* parent = nullptr);

    void addLine(const QString& caption) override;
    void setLastCaption(const QString& caption) override;
    void showLastBar(bool visible) override;
    void setLastBar(double value) override;
    void scrollToLast() override;

signals:
    // A line was added, or the last line's caption or bar changed.
    void linesChanged();
};

// A row of tabs hanging under the list they select.
class SmoothTabSet : public QWidget {
    Q_OBJECT
public:
    explicit SmoothTabSet(QWidget* parent = nullptr);

    void setTabs(const QStringList& tabs);
    [[nodiscard]] QStringList tabs() const { return m_tabs; }
    [[nodiscard]] int currentIndex() const { return m_current; }
    // Asks tabChanging first; returns whether the change was made.
    bool setCurrentIndex(int index);
    [[nodiscard]] QRect tabRect(int index) const;

signals:
    void tabChanging(int newTab, bool* allowChange);
    void currentChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QStringList m_tabs;
    int m_current = -1;
};

// A picture that is either empty or shows a marker, with a hint shown as its tooltip while the
// hint is switched on.
class MarkerImage : public QWidget {
    Q_OBJECT
public:
    explicit MarkerImage(QWidget* parent = nullptr);

    void setPicture(const QPixmap& picture); // a null pixmap empties it
    [[nodiscard]] bool hasPicture() const { return !m_picture.isNull(); }
    void setHint(const QString& hint);
    [[nodiscard]] QString hint() const { return m_hint; }
    void setShowHint(bool on);
    [[nodiscard]] bool showsHint() const { return m_showHint; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateToolTip();

    QPixmap m_picture;
    QString m_hint;
    bool m_showHint = false;
};

// A static picture (logo, symbol) that lets presses through to what lies beneath.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);
    void setPicture(const QPixmap& picture);
    [[nodiscard]] const QPixmap& picture() const { return m_picture; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_picture;
};

// A thin rounded frame drawn around other controls; transparent for the mouse.
class FrameShape : public QWidget {
    Q_OBJECT
public:
    explicit FrameShape(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace corvane::ui

#pragma once
// The updater's main window: a borderless 417 x 297 form showing one of four panels (connect,
// scan, start, upgrade) under a title strip that moves onto whichever panel is shown. It owns
// the upgrade engine (which owns the link, the images and the updater's state), presses its
// buttons and shows its events.

#include "MsgDlg.h"
#include "SmoothControls.h"
#include "gallery.h"

#include "upgrade/UpgradeEngine.h"

#include <QPoint>
#include <QPointer>
#include <QWidget>

#include <memory>

class QLineEdit;

// "v1.4.2 (b 87)" from the FileVersion "1.4.2.87": the text before the last full stop, then
// the build after it; "N/A" gives "v (b N/A)".
[[nodiscard]] QString versionLabelText(const QString& fileVersion);

// The colour a version label is painted in.
[[nodiscard]] QColor labelColour(LabelColour colour);

class TForm3 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 417;
    static constexpr int kClientHeight = 297;

    explicit TForm3(EngineDeps deps = {}, QWidget* parent = nullptr);
    ~TForm3() override;

    // The picture holder and the message box, created after the form.
    void attachForms(TGallery_Form* gallery, TMsg_Form* msgForm);
    [[nodiscard]] TGallery_Form* galleryForm() const { return m_gallery; }
    [[nodiscard]] TMsg_Form* msgForm();

    // Title strip.
    corvane::ui::GradientPanel* Title_Panel = nullptr;
    corvane::ui::PictureBox* Image2 = nullptr;
    corvane::ui::SmoothLabel* Model_Label = nullptr;

    // Connect screen.
    corvane::ui::GradientPanel* Connect_Panel = nullptr;
    corvane::ui::SmoothLabel* ConnectLabel1 = nullptr;
    corvane::ui::SmoothLabel* ConnectLabel2 = nullptr;
    corvane::ui::ToggleButton* Connect_ToggleButton = nullptr;
    corvane::ui::ToggleButton* Quit_ToggleButton = nullptr;
    corvane::ui::ToggleButton* NetConnect_ToggleButton = nullptr;
    QLineEdit* CV_IP_Addr_Edit = nullptr;
    corvane::ui::SmoothLabel* FW1_Label = nullptr;
    corvane::ui::SmoothLabel* FW2_Label = nullptr;
    corvane::ui::SmoothLabel* FW3_Label = nullptr;
    corvane::ui::SmoothLabel* Label11 = nullptr;

    // Scan screen.
    corvane::ui::GradientPanel* Scan_Panel = nullptr;
    corvane::ui::SmoothLabel* Label1 = nullptr;
    corvane::ui::SmoothProgressBar* Scan_ProgressBar = nullptr;
    corvane::ui::GradientPanel* Retry_Panel = nullptr;
    corvane::ui::PictureBox* Image1 = nullptr;
    corvane::ui::SmoothLabel* Scan_Error_Label = nullptr;
    corvane::ui::ToggleButton* TryAgain_Button = nullptr;
    corvane::ui::ToggleButton* ScanError_Quit_Button = nullptr;
    corvane::ui::ToggleButton* Button1 = nullptr;

    // Start screen: the version review.
    corvane::ui::GradientPanel* Start_Panel = nullptr;
    corvane::ui::SmoothLabel* Label4 = nullptr;
    corvane::ui::SmoothLabel* Label7 = nullptr;
    corvane::ui::SmoothLabel* Label2 = nullptr;
    corvane::ui::SmoothLabel* Label3 = nullptr;
    corvane::ui::SmoothLabel* Label5 = nullptr;
    std::array<corvane::ui::SmoothLabel*, 4> CurrentVer_Label{}; // 1..3
    std::array<corvane::ui::SmoothLabel*, 4> NewVer_Label{};     // 1..3
    corvane::ui::MarkerImage* CPU1_Err_Image = nullptr;
    corvane::ui::MarkerImage* CPU2_Err_Image = nullptr;
    corvane::ui::MarkerImage* HMI_Err_Image = nullptr;
    corvane::ui::FrameShape* Shape1 = nullptr;
    corvane::ui::SmoothListBox* RevNotes1_ListBox = nullptr;
    corvane::ui::SmoothListBox* RevNotes2_ListBox = nullptr;
    corvane::ui::SmoothListBox* RevNotes3_ListBox = nullptr;
    corvane::ui::SmoothTabSet* TabSet1 = nullptr;
    corvane::ui::ToggleButton* Load_Button = nullptr;
    corvane::ui::ToggleButton* Quit_Button = nullptr;
    corvane::ui::SmoothLabel* Label8 = nullptr;

    // Upgrade screen.
    corvane::ui::GradientPanel* Upgrade_Panel = nullptr;
    corvane::ui::ProgressListBox* Progress_ListBox = nullptr;
    corvane::ui::ToggleButton* Quit_Button2 = nullptr;
    corvane::ui::SmoothLabel* Label6 = nullptr;
    corvane::ui::SmoothLabel* Label9 = nullptr;
    corvane::ui::SmoothLabel* Label10 = nullptr;

    // The engine: discovery, the review, the upgrade, the unit's state, the link.
    [[nodiscard]] UpgradeEngine& engine() { return *m_engine; }
    [[nodiscard]] const UpgradeEngine& engine() const { return *m_engine; }
    [[nodiscard]] TVexaComms* VexaComms1() const { return m_engine->VexaComms1(); }
    [[nodiscard]] UnitState& unit() { return m_engine->unit(); }
    [[nodiscard]] const UnitState& unit() const { return m_engine->unit(); }
    [[nodiscard]] ScreenTexts& texts() { return m_engine->texts(); }
    [[nodiscard]] VersionReview& review() { return m_engine->review(); }
    [[nodiscard]] const ProductTable& products() const { return m_engine->products(); }
    [[nodiscard]] ImageStore& imageStore() { return m_engine->imageStore(); }

    [[nodiscard]] QWidget* visiblePanel() const { return m_shownPanel; }
    [[nodiscard]] bool isClosing() const { return m_closing; }

    // Panels and transitions.
    void showPanel(QWidget* panel);
    void Load_ButtonClick();
    void Button3Click();

    // Version review.
    void Refresh_Update_Flags() { m_engine->Refresh_Update_Flags(); }
    void Update_Version_Labels() { m_engine->Update_Version_Labels(); }
    void Label7Click();
    void TabSet1Change(int NewTab, bool& AllowChange);

    // Discovery.
    void Connect_ToggleButtonClick();
    void NetConnect_ToggleButtonClick();

    // Writes the texts and colours of ScreenTexts to the labels, lists and tabs.
    void applyScreenTexts();
    // Writes the review's markers and button visibility to the widgets.
    void applyReview();

    // Shows text in Msg_Form and waits until it is dismissed.
    void showMessage(const QString& text);

signals:
    // A press started a window drag (systemMove: the window system took it over).
    void windowDragStarted(bool systemMove);
    // The window has closed and released the link.
    void linkReleased();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The control layout (FormLayout.cpp).
    void createControls();
    void createTitle();
    void createConnectScreen();
    void createScanScreen();
    void createStartScreen();
    void createUpgradeScreen();
    void connectHandlers();

    void FormCreate();
    void FormShow();
    void FormClose();
    // The window's part of each engine event.
    void onEngineEvent(const EngineEvent& event);
    void showReview(const ev::ReviewOpened& review);
    void showEngineMessage(const ev::MessageShown& message);
    void scanFailed(const ev::ScanFailed& failed);
    void startWindowDrag(const QPointF& globalPos);

    std::unique_ptr<UpgradeEngine> m_engine;
    ScreenTexts m_appliedTexts;
    bool m_textsApplied = false;

    QPointer<TGallery_Form> m_gallery;
    QPointer<TMsg_Form> m_msgForm;
    QWidget* m_shownPanel = nullptr;

    bool m_closing = false;
    bool m_manualDrag = false;
    QPoint m_dragOffset;
};

// Creates the main form, then the picture holder and the message box (owned by the form), in
// the program's start order, and connects them.
[[nodiscard]] std::unique_ptr<TForm3> createUpdaterForms(EngineDeps deps = {});

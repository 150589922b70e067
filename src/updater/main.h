#pragma once
// The updater's main window: a borderless 417 x 297 form showing one of four panels (connect,
// scan, start, upgrade) under a title strip that moves onto whichever panel is shown. It owns
// the serial link, the program images and the updater's state, and runs device discovery and
// the upgrade as step messages posted to itself.

#include "MsgDlg.h"
#include "SmoothControls.h"
#include "VersionReview.h"
#include "gallery.h"

#include "firmware/ScreenTexts.h"
#include "firmware/UnitState.h"
#include "platform/PortList.h"
#include "serial/VexaComms.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QPoint>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QLineEdit;
class ImageStore;
class ModbusTCP_Client;
class ProductTable;
class Programmer;
class RegisterFacade;
class ResourceSource;
class UnitIdentifier;

// Step messages: discovery and the upgrade advance by events posted to the window.
inline constexpr QEvent::Type WM_SCAN_STEP = static_cast<QEvent::Type>(QEvent::User + 1);
inline constexpr QEvent::Type WM_UPGRADE_STEP = static_cast<QEvent::Type>(QEvent::User + 2);

class StepEvent : public QEvent {
public:
    StepEvent(QEvent::Type type, int step)
        : QEvent(type)
        , m_step(step) {}
    [[nodiscard]] int step() const { return m_step; }

private:
    int m_step;
};

// What the window is built on. Empty members mean the real thing.
struct UpdaterDeps {
    // Makes the serial device for each open of the link (tests: fakes); empty: POSIX device.
    TVexaComms::DeviceFactory deviceFactory;
    // Ports named on the command line: probed first, in this order.
    QStringList preferredPorts;
    // The machine's serial ports with their manufacturer text; empty: the system's list.
    std::function<std::vector<corvane::PortEntry>()> listPorts;
    // Build data and product table; null: the ones compiled into the program.
    const ResourceSource* resources = nullptr;
    const ProductTable* products = nullptr;
    // --fast: the link ends a reply after kFastReadIntervalUs of quiet instead of 10 ms.
    bool fastLink = false;
    // After "Restarting System....Done", wait for the unit and check that every processor
    // reports the carried firmware (off: the run ends with the restart).
    bool verifyAfterRestart = true;
};

// "v1.4.2 (b 87)" from the FileVersion "1.4.2.87": the text before the last full stop, then
// the build after it; "N/A" gives "v (b N/A)".
[[nodiscard]] QString versionLabelText(const QString& fileVersion);

// The upgrade's fixed waits. Tests shorten them; the program uses the defaults.
struct SequencerTimings {
    int cpu1RestartMs = 8000;  // after CPU-1's reset, before the unit is read again
    int bootEntryPollMs = 100; // between a boot-mode request and the status read
    // A sub-processor whose busy status (word and address) has not changed for this long is
    // taken as stuck and the run ends, instead of polling it for ever.
    int stuckStatusMs = 60000;
    // Re-reads of the unit after CPU-1's restart before the run ends (CPU-2's register window
    // depends on CPU-1's new version), and the pause between them.
    int cpu1RereadAttempts = 5;
    int cpu1RereadPollMs = 1000;
    // Verification after the unit's restart: how long to wait for it to answer again, and the
    // pause between identification polls.
    int verifyTimeoutMs = 30000;
    int verifyPollMs = 500;
    // Overall limit of one sub-processor erase or programming stage, whatever its status says:
    // stageBaseMs plus stageMsPerKiB for every KiB (rounded up) of the processor's program
    // range. The defaults are 40 to 80 times the 25 ms/KiB erase and 50 ms/KiB programming a
    // sub-processor needs, plus a minute: a 48 KiB range gets 156 s.
    int stageBaseMs = 60000;
    int stageMsPerKiB = 2000;
};

// The overall limit of a sub-processor erase or programming stage over first..last (inclusive).
[[nodiscard]] qint64 stageDeadlineMs(const SequencerTimings& timings, std::uint32_t first,
                                     std::uint32_t last);

// Bar value (0..100, more past the range) for the address a sub-processor reports while it
// erases or programs its range first..last (inclusive).
[[nodiscard]] double programProgress(std::uint32_t address, std::uint32_t first,
                                     std::uint32_t last);

class TForm3 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 417;
    static constexpr int kClientHeight = 297;

    explicit TForm3(UpdaterDeps deps = {}, QWidget* parent = nullptr);
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

    // Working lists that are never shown: candidate ports (copy), the port enumeration's
    // lists, and the scan log.
    QStringList ListBox1;
    QStringList ListBox2;
    QStringList Memo3;
    QStringList Memo2;
    // Why each port the scan could not open was refused, in words a user can act on (the
    // scan log only says " unable to open."), in scan order.
    QStringList openFailures;

    // State. The transport switch and the slave base live in the register facade.
    int pollcnt = 0;
    int CPU_Num = 0;
    QStringList Port_List; // candidate ports (device paths) in probing order
    int Port_Index = 0;
    [[nodiscard]] RegisterFacade& facade() { return *m_facade; }

    // The serial link; null once the window has closed and the link has been released.
    [[nodiscard]] TVexaComms* VexaComms1() const { return m_link.get(); }
    [[nodiscard]] UnitState& unit() { return *m_unit; }
    [[nodiscard]] const UnitState& unit() const { return *m_unit; }
    [[nodiscard]] ScreenTexts& texts() { return m_texts; }
    [[nodiscard]] VersionReview& review() { return m_review; }
    [[nodiscard]] const ProductTable& products() const { return *m_products; }
    [[nodiscard]] ImageStore& imageStore() { return *m_store; }

    [[nodiscard]] QWidget* visiblePanel() const { return m_shownPanel; }
    [[nodiscard]] bool isClosing() const { return m_closing; }
    // A step or handler that may exchange with the unit or wait in a delay is on the stack.
    [[nodiscard]] bool handlerRunning() const { return m_handlerDepth > 0; }

    // Panels and transitions.
    void showPanel(QWidget* panel);
    void Load_ButtonClick();
    void Button3Click();

    // Version review.
    void Refresh_Update_Flags();
    void Update_Version_Labels();
    void Label7Click();
    void TabSet1Change(int NewTab, bool& AllowChange);

    // Discovery and the upgrade: one step per posted message.
    void Connect_ToggleButtonClick();
    void Attempt_Connection();
    void Run_Scan_Step(int step);
    void Get_CommPort_List(const QString& mfg_str, bool do_alt_check);
    void Get_CommPort_List_alt();
    void NetConnect_ToggleButtonClick();
    void Run_Upgrade_Step(int step);
    void postStep(QEvent::Type type, int step);
    [[nodiscard]] SequencerTimings sequencerTimings() const { return m_timings; }
    void setSequencerTimings(const SequencerTimings& timings) { m_timings = timings; }

    // The scan's error texts.
    static const QString kScanErrorTimedOut;
    static const QString kScanErrorUnknownDevice;
    static const QString kScanErrorIncompatible;
    static const QString kScanErrorWrongManufacturer;

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
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void createControls();
    void FormCreate();
    void FormShow();
    void FormClose();
    void releaseLinkWhenIdle();
    void releaseLinkUsers();
    void probePort();
    void scanLog(const QString& port, const QString& ending);
    void rejectPort(const QString& port, const QString& errorText, const QString& logEnding);
    void acceptUnit(const QString& port, int rm, bool throughBootloader);
    void statusPoll(int step, int nextStep, const QString& prefix, const QString& name);
    // Runs one upgrade step; an exception escaping it ends the run at step 99 with a line.
    void runUpgradeStepGuarded(int step);
    [[nodiscard]] bool rereadAfterCpu1Restart();
    void verifyAfterRestart();
    void startWindowDrag(const QPointF& globalPos);
    void reportError(const QString& text);
    [[nodiscard]] bool productHasHmi() const;
    // Runs fn as a handler that may exchange with the unit: errors become an error box, and
    // the link is only released once no such handler is on the stack.
    void runHandler(const std::function<void()>& fn);

    UpdaterDeps m_deps;
    std::unique_ptr<UnitState> m_unit;
    ScreenTexts m_texts;
    ScreenTexts m_appliedTexts;
    bool m_textsApplied = false;
    VersionReview m_review;
    const ResourceSource* m_resources = nullptr;
    const ProductTable* m_products = nullptr;
    QString m_buildDataError; // the product table could not be read
    std::unique_ptr<ImageStore> m_store;
    std::unique_ptr<TVexaComms> m_link;
    std::unique_ptr<ModbusTCP_Client> m_tcpClient;
    std::unique_ptr<RegisterFacade> m_facade;
    std::unique_ptr<UnitIdentifier> m_identifier;
    std::unique_ptr<Programmer> m_programmer;

    QPointer<TGallery_Form> m_gallery;
    QPointer<TMsg_Form> m_msgForm;
    QWidget* m_shownPanel = nullptr;

    SequencerTimings m_timings;
    // The last busy status of a sub-processor operation and since when it has not changed.
    std::array<std::uint16_t, 2> m_lastBusyStatus{};
    QElapsedTimer m_busySince;
    // Since when the current sub-processor erase or programming stage runs, and its limit.
    QElapsedTimer m_stageSince;
    qint64 m_stageLimitMs = 0;

    int m_handlerDepth = 0;
    bool m_closing = false;
    bool m_releasePending = false;
    bool m_manualDrag = false;
    QPoint m_dragOffset;
};

// Creates the main form, then the picture holder and the message box (owned by the form), in
// the program's start order, and connects them.
[[nodiscard]] std::unique_ptr<TForm3> createUpdaterForms(UpdaterDeps deps = {});

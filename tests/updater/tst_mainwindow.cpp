// The updater window offscreen: start-up state, panels, review widgets, ALL mode, the
// message boxes, dragging, and the command line. How it closes is in tst_windowclosing.

#include "AppOptions.h"
#include "MessageDialog.h"
#include "Theme.h"
#include "WindowFixture.h"
#include "WindowTestSupport.h"
#include "main.h"

#include "common/gen_lib.h"
#include "firmware/ProductTable.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

using namespace corvane::ui;

namespace {

// A unit of the first carried product as discovery leaves it, then the review opened.
void identify(TForm3& form, std::uint16_t fw1, std::uint16_t fw2, std::uint16_t fw3) {
    UnitState& u = form.unit();
    u.Product_Idx = form.products().Find_CV_Product(u.New_RM_Number[1]);
    u.RM_Number = {0, u.New_RM_Number[1], u.New_RM_Number[2], u.New_RM_Number[3]};
    u.FW_Version = {0, fw1, fw2, fw3};
    form.Refresh_Update_Flags();
    form.Update_Version_Labels();
    form.Button3Click();
}

bool shownOn(const QWidget* w, const QWidget* panel) {
    return w->isVisibleTo(panel);
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsOnTheConnectScreen();
    void versionLabelRule_data();
    void versionLabelRule();
    void hiddenNetworkControls();
    void carriedFirmwareIsShown();
    void releaseNoteListsShareOneRectangle();
    void tabsSwitchTheReleaseNotes();
    void allModeFollowsTheCtrlKey();
    void reviewRefusalsShowTheMessageBox_data();
    void reviewRefusalsShowTheMessageBox();
    void reviewFocusesLoadWhenOffered();
    void loadFirmwareStartsTheUpgradeScreen();
    void dragStartsFromTitleAndBareAreas();
    void msgFormLayout();
    void messageDialog_data();
    void messageDialog();
    void messageDialogResults();
    void commandLine_data();
    void commandLine();
};

void TestMainWindow::init() {
    sounds().setPlayer([](std::uint32_t) {});
    sounds().clearRequested();
    setKeyboardModifiersSource({});
}

void TestMainWindow::cleanup() {
    setKeyboardModifiersSource({});
}

void TestMainWindow::startsOnTheConnectScreen() {
    auto form = shownWindow();
    QCOMPARE(form->size(), QSize(417, 297));
    QCOMPARE(form->minimumSize(), QSize(417, 297));
    QCOMPARE(form->maximumSize(), QSize(417, 297));
    QVERIFY(form->windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(form->windowTitle(), QStringLiteral("Corvane Upgrade"));

    QCOMPARE(form->visiblePanel(), static_cast<QWidget*>(form->Connect_Panel));
    QVERIFY(form->Connect_Panel->isVisible());
    for (QWidget* p :
         {static_cast<QWidget*>(form->Scan_Panel), static_cast<QWidget*>(form->Start_Panel),
          static_cast<QWidget*>(form->Upgrade_Panel)}) {
        QVERIFY2(!p->isVisible(), qPrintable(p->objectName()));
    }
    QVERIFY(!form->Retry_Panel->isVisibleTo(form->Scan_Panel));
    for (QWidget* p :
         {static_cast<QWidget*>(form->Connect_Panel), static_cast<QWidget*>(form->Scan_Panel),
          static_cast<QWidget*>(form->Start_Panel), static_cast<QWidget*>(form->Upgrade_Panel)}) {
        QCOMPARE(p->geometry(), QRect(0, 0, 417, 297));
    }
    QCOMPARE(form->Title_Panel->parentWidget(), static_cast<QWidget*>(form->Connect_Panel));
    QCOMPARE(form->Title_Panel->geometry(), QRect(0, 0, 417, 40));
    QVERIFY(form->Title_Panel->isVisible());
    QVERIFY(form->Connect_Panel->childAt(10, 10) != nullptr); // the strip lies on top

    // Controls where the layout puts them, found by their names.
    const struct {
        const char* name;
        QRect geometry;
    } placed[] = {
        {"ConnectLabel1", {3, 88, 411, 34}},
        {"ConnectLabel2", {3, 120, 411, 34}},
        {"Connect_ToggleButton", {131, 168, 160, 37}},
        {"Quit_ToggleButton", {131, 211, 160, 25}},
        {"Scan_ProgressBar", {41, 111, 337, 39}},
        {"Retry_Panel", {84, 167, 257, 110}},
        {"Progress_ListBox", {24, 72, 369, 172}},
        {"Quit_Button2", {160, 256, 98, 25}},
        {"Load_Button", {87, 256, 105, 25}},
        {"Quit_Button", {226, 256, 105, 25}},
        {"TabSet1", {20, 222, 377, 21}},
        {"Shape1", {16, 112, 385, 135}},
        {"CPU2_Err_Image", {338, 77, 14, 14}},
        {"Image2", {8, 8, 202, 31}},
    };
    for (const auto& p : placed) {
        auto* w = form->findChild<QWidget*>(QString::fromLatin1(p.name));
        QVERIFY2(w, p.name);
        QCOMPARE(w->geometry(), p.geometry);
    }
    QCOMPARE(form->ConnectLabel1->text(), QStringLiteral("Attach the Corvane via USB"));
    QCOMPARE(form->Connect_ToggleButton->text(), QStringLiteral("Connect via USB"));
    QVERIFY(!form->Load_Button->isVisibleTo(form->Start_Panel));
    QVERIFY(!form->Label8->isVisibleTo(form->Start_Panel));
    QVERIFY(!form->Quit_Button2->isVisibleTo(form->Upgrade_Panel));
    QVERIFY(!form->Button1->isVisibleTo(form->Scan_Panel));
    QVERIFY(!form->Button1->isEnabled());
    // The pictures were copied in when the window was shown.
    QCOMPARE(form->Image2->picture().size(), QSize(202, 31));
    QCOMPARE(form->Image1->picture().size(), QSize(34, 34));
    // The serial link exists with its line settings but no port open yet.
    QVERIFY(form->VexaComms1());
    QCOMPARE(form->VexaComms1()->BaudRate(), 115200u);
    QCOMPARE(int(form->VexaComms1()->RxBufferSize()), 16384);
    QCOMPARE(form->VexaComms1()->InterCharTimeOut(), 10u);
    QVERIFY(!form->VexaComms1()->isOpen());
    QCOMPARE(int(form->unit().MB_MemBlk_Off[2]), 26);
    QCOMPARE(int(form->unit().MB_MemBlk_Off[3]), 16);
    QCOMPARE(int(form->unit().MB_MemBlk_Slv[2]), 23);
    QCOMPARE(int(form->unit().MB_CTRL_Off), 12);
}

void TestMainWindow::versionLabelRule_data() {
    QTest::addColumn<QString>("fileVersion");
    QTest::addColumn<QString>("label");
    QTest::newRow("release") << "1.4.2.87"
                             << "v1.4.2 (b 87)";
    QTest::newRow("no version information") << "N/A"
                                            << "v (b N/A)";
    QTest::newRow("build 0") << "2.0.0.0"
                             << "v2.0.0 (b 0)";
    QTest::newRow("two parts") << "3.1"
                               << "v3 (b 1)";
    QTest::newRow("trailing stop") << "1.4.2."
                                   << "v1.4.2 (b )";
}

void TestMainWindow::versionLabelRule() {
    QFETCH(QString, fileVersion);
    QTEST(versionLabelText(fileVersion), "label");
}

void TestMainWindow::hiddenNetworkControls() {
    auto form = shownWindow();
    QVERIFY(!form->NetConnect_ToggleButton->isVisibleTo(form->Connect_Panel));
    QVERIFY(!form->NetConnect_ToggleButton->isEnabled());
    QVERIFY(!form->CV_IP_Addr_Edit->isVisibleTo(form->Connect_Panel));
    QVERIFY(!form->CV_IP_Addr_Edit->isEnabled());
    QCOMPARE(form->NetConnect_ToggleButton->geometry(), QRect(49, 29, 160, 53));
    QCOMPARE(form->CV_IP_Addr_Edit->geometry(), QRect(220, 40, 121, 21));
    QVERIFY(!form->CV_IP_Addr_Edit->text().isEmpty());

    // They stay hidden through a scan that finds nothing and the review.
    ModalResponder answer;
    QTest::mouseClick(form->Connect_ToggleButton, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return form->Retry_Panel->isVisible(); }, 3000));
    identify(*form, 230, 200, 110);
    for (QWidget* w : {static_cast<QWidget*>(form->NetConnect_ToggleButton),
                       static_cast<QWidget*>(form->CV_IP_Addr_Edit)}) {
        QVERIFY(!w->isVisibleTo(form->Connect_Panel));
        QVERIFY(!w->isEnabled());
    }
}

void TestMainWindow::carriedFirmwareIsShown() {
    auto form = shownWindow();
    QCOMPARE(form->Label11->text(), versionLabelText(Version_Info[2]));
    QVERIFY(form->Label11->text().startsWith(QLatin1Char('v')));
    // Right-aligned: the label ends at the panel's right margin whatever its length.
    QCOMPARE(form->Label11->geometry().right(), 408);
    const ScreenTexts& t = form->texts();
    QVERIFY(!t.Model_Label.text.isEmpty());
    QCOMPARE(form->Model_Label->text(), t.Model_Label.text);
    QCOMPARE(form->FW2_Label->text(), t.FW_Label[2].text);
    QCOMPARE(form->FW3_Label->text(), t.FW_Label[3].text);
    QVERIFY(form->FW2_Label->text() != QStringLiteral("v?.??"));
    for (int n = 1; n <= 3; ++n) {
        QCOMPARE(form->NewVer_Label[n]->text(), t.NewVer_Label[n].text);
        QCOMPARE(form->CurrentVer_Label[n]->text(), QStringLiteral("????"));
    }
    QCOMPARE(form->RevNotes1_ListBox->captions(), t.RevNotes[1]);
    QVERIFY(form->RevNotes1_ListBox->count() > 1);
    QCOMPARE(form->TabSet1->tabs(), t.Tabs);
    QCOMPARE(form->TabSet1->currentIndex(), 0);
}

void TestMainWindow::releaseNoteListsShareOneRectangle() {
    auto form = shownWindow();
    const QRect r(20, 116, 377, 106);
    QCOMPARE(form->RevNotes1_ListBox->geometry(), r);
    QCOMPARE(form->RevNotes2_ListBox->geometry(), r);
    QCOMPARE(form->RevNotes3_ListBox->geometry(), r);
    QVERIFY(shownOn(form->RevNotes1_ListBox, form->Start_Panel));
    QVERIFY(!shownOn(form->RevNotes2_ListBox, form->Start_Panel));
    QVERIFY(!shownOn(form->RevNotes3_ListBox, form->Start_Panel));
}

void TestMainWindow::tabsSwitchTheReleaseNotes() {
    auto form = shownWindow();
    identify(*form, 245, 232, 112);
    QVERIFY(form->Start_Panel->isVisible());
    SmoothListBox* lists[3] = {form->RevNotes1_ListBox, form->RevNotes2_ListBox,
                               form->RevNotes3_ListBox};
    auto onlyVisible = [&](int k) {
        for (int i = 0; i < 3; ++i) {
            if (lists[i]->isVisible() != (i == k)) {
                return false;
            }
        }
        return true;
    };
    // By mouse on the tab strip.
    for (int tab : {1, 2, 0, 2}) {
        QTest::mouseClick(form->TabSet1, Qt::LeftButton, {}, form->TabSet1->tabRect(tab).center());
        QCOMPARE(form->TabSet1->currentIndex(), tab);
        QVERIFY2(onlyVisible(tab), qPrintable(QString::number(tab)));
    }
    // Another index is allowed but changes nothing.
    bool allow = false;
    form->TabSet1Change(7, allow);
    QVERIFY(allow);
    QVERIFY(onlyVisible(2));
    form->TabSet1Change(-1, allow);
    QVERIFY(onlyVisible(2));
    // The notes of each processor are where its tab shows them.
    QCOMPARE(form->RevNotes2_ListBox->captions(), form->texts().RevNotes[2]);
    QCOMPARE(form->RevNotes3_ListBox->captions(), form->texts().RevNotes[3]);
}

void TestMainWindow::allModeFollowsTheCtrlKey() {
    auto form = shownWindow();
    identify(*form, 245, 232, 112); // everything up to date
    QVERIFY(!form->Load_Button->isVisible());
    const QColor currentColour = form->CurrentVer_Label[1]->colour();
    QCOMPARE(currentColour, QColor(0, 255, 0));

    bool ctrl = true;
    setKeyboardModifiersSource(
        [&ctrl] { return ctrl ? Qt::KeyboardModifiers(Qt::ControlModifier) : Qt::NoModifier; });
    QTest::mouseClick(form->Label7, Qt::LeftButton, Qt::ControlModifier);
    QVERIFY(form->review().All_Mode);
    QVERIFY(form->Label8->isVisible());
    QCOMPARE(form->Label8->text(), QStringLiteral("ALL"));
    QVERIFY(form->Load_Button->isVisible());
    for (int n = 1; n <= 3; ++n) {
        QVERIFY(form->unit().PMem_Store[n].Upgrade_Flag);
    }
    // The click recomputes flags only; the labels keep their colours.
    QCOMPARE(form->CurrentVer_Label[1]->colour(), currentColour);

    ctrl = false;
    QTest::mouseClick(form->Label7, Qt::LeftButton);
    QVERIFY(!form->review().All_Mode);
    QVERIFY(!form->Label8->isVisible());
    QVERIFY(!form->Load_Button->isVisible());
    for (int n = 1; n <= 3; ++n) {
        QVERIFY(!form->unit().PMem_Store[n].Upgrade_Flag);
    }
}

void TestMainWindow::reviewRefusalsShowTheMessageBox_data() {
    QTest::addColumn<int>("rm1");
    QTest::addColumn<int>("fw1");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("hint");
    QTest::newRow("product mismatch")
        << 4003 << 230 << "Product Mismatch!\r\rThis upgrade does not apply to the connected unit."
        << "Product Mismatch!";
    QTest::newRow("firmware below 2.00")
        << 0 << 150
        << "Unable To Upgrade!\r\rOnly units with v2.00 firmware and above can be upgraded."
        << "Current firmware is not upgradeable";
}

void TestMainWindow::reviewRefusalsShowTheMessageBox() {
    QFETCH(int, rm1);
    QFETCH(int, fw1);
    auto form = shownWindow();
    ModalResponder answer;
    UnitState& u = form->unit();
    u.Product_Idx = form->products().Find_CV_Product(u.New_RM_Number[1]);
    u.RM_Number = {0, static_cast<std::uint16_t>(rm1 ? rm1 : u.New_RM_Number[1]),
                   u.New_RM_Number[2], u.New_RM_Number[3]};
    u.FW_Version = {0, static_cast<std::uint16_t>(fw1), 200, 110};
    form->Refresh_Update_Flags();
    form->Update_Version_Labels();
    form->showPanel(form->Scan_Panel);
    form->Button3Click();

    QCOMPARE(answer.seen.size(), std::size_t(1));
    QCOMPARE(answer.seen[0].kind, QStringLiteral("Msg_Form"));
    QTEST(answer.seen[0].text, "message");
    QVERIFY(form->Start_Panel->isVisible());
    QVERIFY(!form->Scan_Panel->isVisible());
    QCOMPARE(form->Title_Panel->parentWidget(), static_cast<QWidget*>(form->Start_Panel));
    QVERIFY(form->CPU1_Err_Image->hasPicture());
    QTEST(form->CPU1_Err_Image->toolTip(), "hint");
    QVERIFY(!form->Load_Button->isVisible());
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->Quit_Button));
}

void TestMainWindow::reviewFocusesLoadWhenOffered() {
    auto form = shownWindow();
    ModalResponder answer;
    identify(*form, 230, 99, 112); // CPU-1 to program, CPU-2 too old for an upgrade
    QVERIFY(answer.seen.empty());
    QVERIFY(form->Load_Button->isVisible());
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->Load_Button));
    QVERIFY(!form->CPU1_Err_Image->hasPicture());
    QVERIFY(form->CPU1_Err_Image->toolTip().isEmpty());
    QVERIFY(form->CPU2_Err_Image->hasPicture());
    QCOMPARE(form->CPU2_Err_Image->toolTip(),
             QStringLiteral("Current firmware is not upgradeable"));
    QVERIFY(!form->HMI_Err_Image->hasPicture());
    QCOMPARE(form->CurrentVer_Label[1]->colour(), QColor(192, 192, 192));
    QCOMPARE(form->NewVer_Label[1]->colour(), QColor(255, 0, 0));
    QCOMPARE(form->CurrentVer_Label[3]->colour(), QColor(0, 255, 0));
}

void TestMainWindow::loadFirmwareStartsTheUpgradeScreen() {
    auto form = shownWindow();
    identify(*form, 245, 232, 112);
    form->Progress_ListBox->addLine(QStringLiteral("left over"));
    form->engine().CPU_Num = 3;
    form->Load_ButtonClick();
    // Before the first step has run.
    QCOMPARE(form->Progress_ListBox->count(), 0);
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->Progress_ListBox));
    QCOMPARE(form->engine().CPU_Num, 2);
    QVERIFY(form->Upgrade_Panel->isVisible());
    QVERIFY(!form->Start_Panel->isVisible());
    QCOMPARE(form->Title_Panel->parentWidget(), static_cast<QWidget*>(form->Upgrade_Panel));
    QCOMPARE(form->visiblePanel(), static_cast<QWidget*>(form->Upgrade_Panel));
    // Step 0 was posted, not called: it runs from the event loop. Nothing is flagged and no
    // port is open, so the run reports and ends with Quit.
    QVERIFY(waitUntil([&] { return form->Quit_Button2->isVisible(); }, 5000));
    QCOMPARE(form->Progress_ListBox->item(0).caption, QStringLiteral("CPU-1 Firmware Up To Date."));
    QCOMPARE(form->Progress_ListBox->item(1).caption, QStringLiteral("CPU-2 Firmware Up To Date."));
    QCOMPARE(form->Progress_ListBox->item(2).caption, QStringLiteral("HMI Firmware Up To Date."));
    QCOMPARE(form->Progress_ListBox->item(3).caption,
             QStringLiteral("Restarting System....Error Detected"));
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->Quit_Button2));
}

void TestMainWindow::dragStartsFromTitleAndBareAreas() {
    auto form = shownWindow();
    QSignalSpy drags(form.get(), &TForm3::windowDragStarted);
    QTest::mousePress(form->Title_Panel, Qt::RightButton, {}, QPoint(300, 20));
    QTest::mouseRelease(form->Title_Panel, Qt::RightButton, {}, QPoint(300, 20));
    QCOMPARE(drags.count(), 1);
    QTest::mousePress(form->Image2, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseRelease(form->Image2, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(drags.count(), 2);
    QTest::mousePress(form->Title_Panel, Qt::MiddleButton, {}, QPoint(250, 30));
    QTest::mouseRelease(form->Title_Panel, Qt::MiddleButton, {}, QPoint(250, 30));
    QCOMPARE(drags.count(), 3);
    // A bare part of the panel, and a plain label on it.
    QTest::mousePress(form->Connect_Panel, Qt::LeftButton, {}, QPoint(30, 60));
    QTest::mouseRelease(form->Connect_Panel, Qt::LeftButton, {}, QPoint(30, 60));
    QCOMPARE(drags.count(), 4);
    QTest::mousePress(form->ConnectLabel2, Qt::LeftButton, {}, QPoint(20, 10));
    QTest::mouseRelease(form->ConnectLabel2, Qt::LeftButton, {}, QPoint(20, 10));
    QCOMPARE(drags.count(), 5);
    // Controls keep their presses.
    QTest::mouseClick(form->TabSet1, Qt::LeftButton, {}, form->TabSet1->tabRect(0).center());
    QTest::mousePress(form->Connect_ToggleButton, Qt::LeftButton);
    QTest::mouseRelease(form->Connect_ToggleButton, Qt::LeftButton, {}, QPoint(-5, -5));
    QCOMPARE(drags.count(), 5);
    form->showPanel(form->Start_Panel);
    QTest::mousePress(form->RevNotes1_ListBox->viewport(), Qt::LeftButton, {}, QPoint(40, 20));
    QTest::mouseRelease(form->RevNotes1_ListBox->viewport(), Qt::LeftButton, {}, QPoint(40, 20));
    QCOMPARE(drags.count(), 5);
    QCOMPARE(form->focusWidget(), static_cast<QWidget*>(form->RevNotes1_ListBox));
    // The frame around the notes is drawing only: a press on it reaches the panel.
    QTest::mousePress(form->Start_Panel, Qt::LeftButton, {}, QPoint(17, 240));
    QTest::mouseRelease(form->Start_Panel, Qt::LeftButton, {}, QPoint(17, 240));
    QCOMPARE(drags.count(), 6);
}

void TestMainWindow::msgFormLayout() {
    auto form = shownWindow();
    TMsg_Form* box = form->msgForm();
    QCOMPARE(box->size(), QSize(337, 128));
    QVERIFY(box->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(box->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(box->Image1->pos(), QPoint(16, 24));
    QCOMPARE(box->Label1->pos(), QPoint(64, 24));
    QCOMPARE(box->Label1->width(), 257);
    QVERIFY(box->Label1->wordWrap());
    QCOMPARE(box->Label1->colour(), QColor(Qt::white));
    QCOMPARE(box->OK_Button->pos(), QPoint(120, 128 - 48 + 12));
    QVERIFY(!box->Quit_Button->isVisibleTo(box));

    // Shown modally over the main form, centred on it, with the picture copied in.
    QPoint offset;
    bool modal = false;
    QTimer::singleShot(50, box, [&] {
        modal = QApplication::activeModalWidget() == box;
        offset = box->geometry().center() - form->geometry().center();
        QTest::keyClick(box, Qt::Key_Return);
    });
    box->Label1->setText(QStringLiteral("Product Mismatch!\r\rThis upgrade does not apply."));
    QCOMPARE(box->exec(), int(QDialog::Accepted));
    QVERIFY(modal);
    QVERIFY(qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1);
    QCOMPARE(box->Image1->picture().size(), QSize(34, 34));
    // Only the rounded panel is painted: the corners stay see-through.
    QImage layer(box->size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    box->render(&layer, QPoint(), QRegion(), QWidget::DrawChildren);
    QCOMPARE(qAlpha(layer.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(layer.pixel(336, 0)), 0);
    QCOMPARE(qAlpha(layer.pixel(160, 60)), 255);
    QCOMPARE(QColor(layer.pixel(160, 1)), QColor(192, 192, 192)); // the 3-pixel silver border
}

void TestMainWindow::messageDialog_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("sound");
    QTest::addColumn<QString>("caption");
    QTest::newRow("warning") << int(TMsgDlgType::mtWarning) << 0x30 << " Warning";
    QTest::newRow("error") << int(TMsgDlgType::mtError) << 0x10 << " Error";
    QTest::newRow("information") << int(TMsgDlgType::mtInformation) << 0x00 << " Information";
    QTest::newRow("confirmation") << int(TMsgDlgType::mtConfirmation) << 0x20 << " Confirm";
    QTest::newRow("custom") << int(TMsgDlgType::mtCustom) << 0x40
                            << QString(QLatin1Char(' ') +
                                       QGuiApplication::applicationDisplayName());
}

void TestMainWindow::messageDialog() {
    QFETCH(int, type);
    QFETCH(int, sound);
    auto form = shownWindow();
    const auto kind = static_cast<TMsgDlgType>(type);
    ModalResponder answer;
    const int result =
        Message_Dialog(QStringLiteral("Something to say."), kind, TMsgDlgBtn::mbOK, form.get());
    QCOMPARE(result, mrOk);
    QCOMPARE(sounds().requested(), (std::vector<std::uint32_t>{std::uint32_t(sound)}));
    QCOMPARE(answer.seen.size(), std::size_t(1));
    QTEST(answer.seen[0].caption, "caption");
    // Released after use.
    QTest::qWait(20);
    QVERIFY(QApplication::topLevelWidgets().size() > 0);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        QVERIFY(!qobject_cast<MessageDialogForm*>(w));
    }

    // How it is built.
    const auto dialog =
        CreateMessageDialog(QStringLiteral("Short."), kind, TMsgDlgBtn::mbOK, form.get());
    const Qt::WindowFlags flags = dialog->windowFlags();
    QVERIFY(flags.testFlag(Qt::Tool));
    QVERIFY(!flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(!flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinMaxButtonsHint));
    QCOMPARE(dialog->font().family(), uiFamily());
    QVERIFY(dialog->isModal());
}

void TestMainWindow::messageDialogResults() {
    auto form = shownWindow();
    {
        ModalResponder answer;
        answer.press = TMsgDlgBtn::mbNo;
        QCOMPARE(Message_Dialog(QStringLiteral("Go on?"), TMsgDlgType::mtConfirmation,
                                TMsgDlgBtn::mbYes | TMsgDlgBtn::mbNo, form.get()),
                 mrNo);
        answer.press = TMsgDlgBtn::mbRetry;
        QCOMPARE(Message_Dialog(QStringLiteral("Again?"), TMsgDlgType::mtError,
                                TMsgDlgBtn::mbRetry | TMsgDlgBtn::mbCancel, form.get()),
                 mrRetry);
    }

    // Escape answers like the "no" button of the set.
    const auto dialog = CreateMessageDialog(QStringLiteral("Go on?"), TMsgDlgType::mtConfirmation,
                                            TMsgDlgBtn::mbYes | TMsgDlgBtn::mbNo, form.get());
    QTimer::singleShot(30, dialog.get(), [&] { QTest::keyClick(dialog.get(), Qt::Key_Escape); });
    QCOMPARE(dialog->exec(), mrNo);
    // A long message widens the dialog instead of wrapping early, up to 1000 pixels.
    const auto wide = CreateMessageDialog(QString(120, QLatin1Char('x')), TMsgDlgType::mtError,
                                          TMsgDlgBtn::mbOK, form.get());
    wide->adjustSize();
    QVERIFY(wide->width() > 417);
    const auto huge = CreateMessageDialog(QStringLiteral("word ").repeated(400),
                                          TMsgDlgType::mtError, TMsgDlgBtn::mbOK, form.get());
    huge->adjustSize();
    QVERIFY(huge->width() < 1100);
}

void TestMainWindow::commandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<bool>("help");
    QTest::addColumn<bool>("version");
    QTest::addColumn<bool>("error");
    const QString prog = QStringLiteral("corvane-updater");
    QTest::newRow("nothing") << QStringList{prog} << QStringList{} << false << false << false;
    QTest::newRow("two ports in order")
        << QStringList{prog, "--port", "/dev/ttyUSB3", "--port=/dev/ttyACM0"}
        << QStringList{"/dev/ttyUSB3", "/dev/ttyACM0"} << false << false << false;
    QTest::newRow("a port named twice")
        << QStringList{prog, "--port", "/dev/ttyUSB1", "--port", "/dev/ttyUSB1"}
        << QStringList{"/dev/ttyUSB1"} << false << false << false;
    QTest::newRow("help") << QStringList{prog, "--help"} << QStringList{} << true << false << false;
    QTest::newRow("version") << QStringList{prog, "-v"} << QStringList{} << false << true << false;
    QTest::newRow("port without path")
        << QStringList{prog, "--port"} << QStringList{} << false << false << true;
    QTest::newRow("empty path") << QStringList{prog, "--port="} << QStringList{} << false << false
                                << true;
    QTest::newRow("unknown option")
        << QStringList{prog, "--faster"} << QStringList{} << false << false << true;
    QTest::newRow("fast link") << QStringList{prog, "--fast", "--port", "/dev/ttyUSB0"}
                               << QStringList{"/dev/ttyUSB0"} << false << false << false;
    QTest::newRow("stray argument")
        << QStringList{prog, "/dev/ttyUSB0"} << QStringList{} << false << false << true;
}

void TestMainWindow::commandLine() {
    QFETCH(QStringList, args);
    const AppOptions o = parseAppOptions(args);
    QTEST(o.ports, "ports");
    QTEST(o.showHelp, "help");
    QTEST(o.showVersion, "version");
    QTEST(!o.error.isEmpty(), "error");
    QCOMPARE(o.fastLink, o.error.isEmpty() && args.contains(QStringLiteral("--fast")));
    QVERIFY(o.helpText.contains(QStringLiteral("--port")));
    QVERIFY(o.helpText.contains(QStringLiteral("--fast")));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

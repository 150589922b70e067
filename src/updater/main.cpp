// The window's behaviour: start-up, the panels and their transitions, the buttons' handlers,
// the engine's events shown as the technician sees them, closing and dragging. The controls
// themselves are laid out in FormLayout.cpp.

#include "main.h"

#include "MessageDialog.h"
#include "Theme.h"

#include "common/gen_lib.h"
#include "firmware/ImageStore.h"
#include "programming/Programmer.h"
#include "upgrade/Captions.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWindow>

using namespace corvane::ui;

QString versionLabelText(const QString& fileVersion) {
    const qsizetype dot = fileVersion.lastIndexOf(QLatin1Char('.'));
    const QString release = dot < 0 ? QString() : fileVersion.left(dot);
    const QString build = fileVersion.mid(dot + 1);
    return QStringLiteral("v") + release + QStringLiteral(" (b ") + build + QStringLiteral(")");
}

QColor labelColour(LabelColour colour) {
    switch (colour) {
    case LabelColour::Lime:
        return {0, 255, 0};
    case LabelColour::Red:
        return {255, 0, 0};
    case LabelColour::Silver:
        break;
    }
    return {192, 192, 192};
}

TForm3::TForm3(EngineDeps deps, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
    , m_engine(std::make_unique<UpgradeEngine>(std::move(deps))) {
    createControls();
    FormCreate();
}

TForm3::~TForm3() = default;

void TForm3::FormCreate() {
    Get_Version_Info();
    Label11->setText(versionLabelText(Version_Info[2]));
    setFixedSize(Connect_Panel->width(), Connect_Panel->height());

    // Errors in the build data, then the image store's warnings, in the order they were found.
    for (const UpgradeEngine::StartupMessage& m : m_engine->startupMessages()) {
        Message_Dialog(m.text,
                       m.kind == ev::MessageKind::Warning ? TMsgDlgType::mtWarning
                                                          : TMsgDlgType::mtError,
                       TMsgDlgBtn::mbOK, this);
    }
    applyScreenTexts();

    RevNotes2_ListBox->setGeometry(RevNotes1_ListBox->geometry());
    RevNotes3_ListBox->setGeometry(RevNotes1_ListBox->geometry());
    RevNotes2_ListBox->hide();
    RevNotes3_ListBox->hide();

    Retry_Panel->hide();
    for (QWidget* panel :
         {static_cast<QWidget*>(Connect_Panel), static_cast<QWidget*>(Scan_Panel),
          static_cast<QWidget*>(Start_Panel), static_cast<QWidget*>(Upgrade_Panel)}) {
        panel->move(0, 0);
    }
    Title_Panel->move(0, 0);
    Title_Panel->setParent(Connect_Panel);
    Title_Panel->show();
    Connect_Panel->raise();
    Connect_Panel->show();
    m_shownPanel = Connect_Panel;
    Scan_Panel->hide();
    Start_Panel->hide();
    Upgrade_Panel->hide();

    // A program that cannot program must not offer to: the window closes once start-up has
    // returned to the event loop (posted, so the boxes' own event loops cannot run it early).
    if (m_engine->startupRefused()) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

void TForm3::attachForms(TGallery_Form* gallery, TMsg_Form* msgForm) {
    m_gallery = gallery;
    m_msgForm = msgForm;
    if (m_msgForm) {
        m_msgForm->setGallery(gallery);
    }
    if (gallery) {
        setWindowIcon(QIcon(gallery->Icon64_Image));
    }
    if (isVisible()) {
        FormShow();
    }
}

TMsg_Form* TForm3::msgForm() {
    if (!m_msgForm) {
        m_msgForm = new TMsg_Form(this, m_gallery);
    }
    return m_msgForm;
}

void TForm3::showEvent(QShowEvent* event) {
    FormShow();
    QWidget::showEvent(event);
}

void TForm3::FormShow() {
    // Copied at show time: the picture holder is created after this form.
    if (!m_gallery) {
        return;
    }
    Image1->setPicture(m_gallery->Exclamation_Image);
    Image2->setPicture(m_gallery->CV_small_upg_logo);
}

// ---------------------------------------------------------------------------------------------
// Panels and buttons

void TForm3::showPanel(QWidget* panel) {
    if (!panel) {
        return;
    }
    Title_Panel->setParent(panel);
    Title_Panel->move(0, 0);
    Title_Panel->show();
    panel->show();
    panel->raise();
    if (m_shownPanel && m_shownPanel != panel) {
        m_shownPanel->hide();
    }
    m_shownPanel = panel;
}

void TForm3::Connect_ToggleButtonClick() {
    Retry_Panel->hide();
    Label1->setText(kScanningText);
    showPanel(Scan_Panel);
    Connect_Panel->hide();
    Scan_ProgressBar->setPosition(0);
    m_engine->startScan();
}

void TForm3::NetConnect_ToggleButtonClick() {
    const QString address = CV_IP_Addr_Edit->text();
    Retry_Panel->hide();
    Label1->setText(kNetConnectingText);
    showPanel(Scan_Panel);
    Connect_Panel->hide();
    Scan_ProgressBar->setPosition(0);
    m_engine->connectNetwork(address);
}

void TForm3::Load_ButtonClick() {
    Progress_ListBox->clear();
    showPanel(Upgrade_Panel);
    Start_Panel->hide();
    Progress_ListBox->setFocus();
    m_engine->startUpgrade();
}

void TForm3::Button3Click() {
    m_engine->openReview();
}

void TForm3::Label7Click() {
    m_engine->setAllMode(Ctrl_Key_Down());
    Label8->setVisible(m_engine->review().All_Mode);
}

void TForm3::TabSet1Change(int NewTab, bool& AllowChange) {
    AllowChange = true;
    SmoothListBox* lists[3] = {RevNotes1_ListBox, RevNotes2_ListBox, RevNotes3_ListBox};
    if (NewTab < 0 || NewTab > 2) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        lists[i]->setVisible(i == NewTab);
    }
}

void TForm3::showMessage(const QString& text) {
    TMsg_Form* box = msgForm();
    box->Label1->setText(text);
    box->exec();
}

// ---------------------------------------------------------------------------------------------
// The engine's events

void TForm3::onEngineEvent(const EngineEvent& event) {
    // The progress list shows exactly what the caption table makes of the event.
    applyProgressOps(*Progress_ListBox, progressOps(event));
    if (std::holds_alternative<ev::ScanStarted>(event)) {
        Label8->hide();
        Scan_Error_Label->setText(scanErrorText(ScanError::TimedOut));
    } else if (const auto* listed = std::get_if<ev::PortsListed>(&event)) {
        Scan_ProgressBar->setRange(0, listed->ports.isEmpty() ? 1 : listed->ports.size());
    } else if (const auto* probed = std::get_if<ev::PortProbed>(&event)) {
        Scan_ProgressBar->setPosition(probed->index + 1);
    } else if (const auto* failed = std::get_if<ev::ScanFailed>(&event)) {
        scanFailed(*failed);
    } else if (std::holds_alternative<ev::TextsChanged>(event)) {
        applyScreenTexts();
    } else if (std::holds_alternative<ev::ReviewChanged>(event)) {
        applyReview();
    } else if (const auto* review = std::get_if<ev::ReviewOpened>(&event)) {
        showReview(*review);
    } else if (const auto* message = std::get_if<ev::MessageShown>(&event)) {
        showEngineMessage(*message);
    } else if (std::holds_alternative<ev::NetworkConnected>(event)) {
        if (m_msgForm && m_msgForm->isVisible()) {
            m_msgForm->hide();
        }
        QGuiApplication::restoreOverrideCursor();
    } else if (std::holds_alternative<ev::UpgradeStarted>(event)) {
        Progress_ListBox->setFocus();
    } else if (const auto* t = std::get_if<ev::BlockTimed>(&event)) {
        // Figures of every timed block write, in the upgrade panel's hidden labels.
        Label6->setText(timingText(t->elapsed));
        Label9->setText(timingText(t->longest));
        Label10->setText(timingText(t->shortest));
    } else if (std::holds_alternative<ev::UpgradeEnded>(event)) {
        Quit_Button2->setVisible(true);
        Quit_Button2->setEnabled(true);
        Quit_Button2->setFocus();
    } else if (std::holds_alternative<ev::LinkReleased>(event)) {
        emit linkReleased();
    }
}

void TForm3::scanFailed(const ev::ScanFailed& failed) {
    Scan_Error_Label->setText(scanErrorText(failed.error));
    Label1->setText(kScanCompleteText);
    Retry_Panel->show();
    Retry_Panel->raise();
    TryAgain_Button->setFocus();
}

void TForm3::showReview(const ev::ReviewOpened& review) {
    showPanel(Start_Panel);
    Scan_Panel->hide();
    applyReview();
    if (review.verdict != Cpu1Verdict::Accepted && !m_closing) {
        showMessage(review.refusal);
    }
    if (Load_Button->isVisible()) {
        Load_Button->setFocus();
    } else {
        Quit_Button->setFocus();
    }
}

void TForm3::showEngineMessage(const ev::MessageShown& message) {
    if (m_closing) {
        return;
    }
    if (message.kind == ev::MessageKind::NetworkNotResponding) {
        if (m_msgForm && m_msgForm->isVisible()) {
            m_msgForm->hide();
        }
        QGuiApplication::restoreOverrideCursor();
    }
    Message_Dialog(message.text,
                   message.kind == ev::MessageKind::Warning ? TMsgDlgType::mtWarning
                                                            : TMsgDlgType::mtError,
                   TMsgDlgBtn::mbOK, this);
}

void TForm3::applyScreenTexts() {
    const bool all = !m_textsApplied;
    const ScreenTexts& t = m_engine->texts();
    ScreenTexts& last = m_appliedTexts;
    auto apply = [](SmoothLabel* label, const LabelText& text) {
        label->setText(text.text);
        label->setColour(labelColour(text.colour));
    };
    if (all || !(t.Model_Label == last.Model_Label)) {
        apply(Model_Label, t.Model_Label);
    }
    SmoothLabel* fw[4] = {nullptr, FW1_Label, FW2_Label, FW3_Label};
    SmoothListBox* notes[4] = {nullptr, RevNotes1_ListBox, RevNotes2_ListBox, RevNotes3_ListBox};
    for (int n = 1; n <= 3; ++n) {
        if (all || !(t.FW_Label[n] == last.FW_Label[n])) {
            apply(fw[n], t.FW_Label[n]);
        }
        if (all || !(t.CurrentVer_Label[n] == last.CurrentVer_Label[n])) {
            apply(CurrentVer_Label[n], t.CurrentVer_Label[n]);
        }
        if (all || !(t.NewVer_Label[n] == last.NewVer_Label[n])) {
            apply(NewVer_Label[n], t.NewVer_Label[n]);
        }
        if (all || t.RevNotes[n] != last.RevNotes[n]) {
            notes[n]->setItems(t.RevNotes[n]);
        }
    }
    if (all || t.Tabs != last.Tabs) {
        TabSet1->setTabs(t.Tabs);
    }
    if (all || t.SelectedTab != last.SelectedTab || t.Tabs != last.Tabs) {
        TabSet1->setCurrentIndex(std::min<int>(t.SelectedTab, static_cast<int>(t.Tabs.size()) - 1));
    }
    last = t;
    m_textsApplied = true;
}

void TForm3::applyReview() {
    MarkerImage* markers[4] = {nullptr, CPU1_Err_Image, CPU2_Err_Image, HMI_Err_Image};
    const QPixmap picture =
        m_gallery ? m_gallery->Error_Image : QPixmap::fromImage(drawErrorMarker());
    const VersionReview& review = m_engine->review();
    for (int n = 1; n <= 3; ++n) {
        const MarkerState& state = review.Markers[n];
        markers[n]->setHint(state.hint);
        markers[n]->setPicture(state.shown ? picture : QPixmap());
        markers[n]->setShowHint(state.shown);
    }
    Load_Button->setVisible(review.Load_Visible);
}

// ---------------------------------------------------------------------------------------------
// Closing and dragging

void TForm3::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TForm3::FormClose() {
    if (m_closing) {
        return;
    }
    m_closing = true;
    if (m_msgForm && m_msgForm->isVisible()) {
        m_msgForm->reject();
    }
    m_engine->shutdown();
}

void TForm3::mousePressEvent(QMouseEvent* event) {
    // Reaches the form from the title strip, its logo and every bare part of a panel: any
    // button drags the borderless window.
    startWindowDrag(event->globalPosition());
    event->accept();
}

void TForm3::startWindowDrag(const QPointF& globalPos) {
    bool systemMove = false;
    if (QWindow* w = windowHandle()) {
        systemMove = w->startSystemMove();
    }
    m_manualDrag = !systemMove;
    if (m_manualDrag) {
        m_dragOffset = globalPos.toPoint() - frameGeometry().topLeft();
    }
    emit windowDragStarted(systemMove);
}

void TForm3::mouseMoveEvent(QMouseEvent* event) {
    if (m_manualDrag && event->buttons() != Qt::NoButton) {
        move(event->globalPosition().toPoint() - m_dragOffset);
    }
    QWidget::mouseMoveEvent(event);
}

void TForm3::mouseReleaseEvent(QMouseEvent* event) {
    m_manualDrag = false;
    QWidget::mouseReleaseEvent(event);
}

std::unique_ptr<TForm3> createUpdaterForms(EngineDeps deps) {
    auto form = std::make_unique<TForm3>(std::move(deps));
    auto* gallery = new TGallery_Form(form.get());
    auto* msg = new TMsg_Form(form.get(), gallery);
    form->attachForms(gallery, msg);
    return form;
}

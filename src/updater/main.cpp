#include "main.h"

#include "MessageDialog.h"
#include "MsgDlg.h"
#include "Theme.h"
#include "gallery.h"

#include "common/CPU_Timer.h"
#include "common/gen_lib.h"
#include "firmware/Identification.h"
#include "firmware/ImageStore.h"
#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"
#include "modbus/ModbusTCP_Client.h"
#include "modbus/RegisterFacade.h"
#include "programming/Programmer.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWindow>

using namespace corvane::ui;

namespace {

// The unit's factory address on its private network.
constexpr const char* kDefaultUnitAddress = "192.168.1.250";

} // namespace

QString versionLabelText(const QString& fileVersion) {
    const qsizetype dot = fileVersion.lastIndexOf(QLatin1Char('.'));
    const QString release = dot < 0 ? QString() : fileVersion.left(dot);
    const QString build = fileVersion.mid(dot + 1);
    return QStringLiteral("v") + release + QStringLiteral(" (b ") + build + QStringLiteral(")");
}

TForm3::TForm3(UpdaterDeps deps, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
    , m_deps(std::move(deps))
    , m_unit(std::make_unique<UnitState>())
    , m_review(*m_unit, m_texts, [this] { return productHasHmi(); }) {
    // A new window starts with delays working again (a closed one stops them).
    resumeDelays();
    m_resources = m_deps.resources ? m_deps.resources : &embeddedResources();
    if (m_deps.products) {
        m_products = m_deps.products;
    } else {
        // A product table that cannot be read is reported by FormCreate, which then closes.
        try {
            m_products = &Product_Table();
        } catch (const std::exception& e) {
            static const ProductTable none;
            m_products = &none;
            m_buildDataError = QString::fromUtf8(e.what());
        }
    }
    m_store = std::make_unique<ImageStore>(*m_unit, m_texts, *m_resources, *m_products);
    createControls();
    FormCreate();
}

TForm3::~TForm3() {
    // FormDestroy: the candidate list goes with the form; the link is closed if still open.
    Port_List.clear();
    if (m_link)
        m_link->CloseComm();
}

void TForm3::createControls() {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Corvane Upgrade"));
    setFont(uiFont());
    setAttribute(Qt::WA_DeleteOnClose, false); // the program owns the form

    auto makePanel = [this](const char* name) {
        auto* p = new GradientPanel(this);
        p->setObjectName(QString::fromLatin1(name));
        p->setGeometry(0, 0, kClientWidth, kClientHeight);
        return p;
    };
    auto label = [](QWidget* parent, const char* name, const QString& text, int x, int y) {
        auto* l = new SmoothLabel(text, parent);
        l->setObjectName(QString::fromLatin1(name));
        l->move(x, y);
        l->setAutoSize(true);
        return l;
    };
    auto sized = [](QWidget* parent, const char* name, const QString& text, QRect geometry) {
        auto* l = new SmoothLabel(text, parent);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(geometry);
        return l;
    };
    auto button = [](QWidget* parent, const char* name, const QString& caption, QRect geometry) {
        auto* b = new ToggleButton(caption, parent);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(geometry);
        return b;
    };

    Connect_Panel = makePanel("Connect_Panel");
    Scan_Panel = makePanel("Scan_Panel");
    Start_Panel = makePanel("Start_Panel");
    Upgrade_Panel = makePanel("Upgrade_Panel");

    // Title strip.
    Title_Panel = new GradientPanel(Connect_Panel);
    Title_Panel->setObjectName(QStringLiteral("Title_Panel"));
    Title_Panel->setGeometry(0, 0, kClientWidth, 40);
    Title_Panel->setColours(QColor(40, 40, 46), QColor(6, 6, 8));
    Title_Panel->setBottomLine(QColor(70, 110, 190));
    Image2 = new PictureBox(Title_Panel);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(8, 8, 202, 31);
    Model_Label = sized(Title_Panel, "Model_Label", QString(), QRect(232, 13, 169, 15));
    Model_Label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Model_Label->setShadow(true);
    Model_Label->setFont(uiFont(11, true));

    // Connect screen.
    auto bigText = [&](const char* name, const QString& text, int y) {
        SmoothLabel* l = sized(Connect_Panel, name, text, QRect(3, y, 411, 34));
        l->setFont(uiFont(27));
        l->setAlignment(Qt::AlignCenter);
        l->setGradient(kTextWhite, kGradientBlue);
        l->setShadow(true, Qt::black, 2);
        return l;
    };
    ConnectLabel1 = bigText("ConnectLabel1", QStringLiteral("Attach the Corvane via USB"), 88);
    ConnectLabel2 = bigText("ConnectLabel2", QStringLiteral("Press Connect When Ready"), 120);
    Connect_ToggleButton = button(Connect_Panel, "Connect_ToggleButton",
                                  QStringLiteral("Connect via USB"), QRect(131, 168, 160, 37));
    Connect_ToggleButton->setFont(uiFont(13, true));
    Quit_ToggleButton = button(Connect_Panel, "Quit_ToggleButton", QStringLiteral("Quit"),
                               QRect(131, 211, 160, 25));
    NetConnect_ToggleButton = button(Connect_Panel, "NetConnect_ToggleButton",
                                     QStringLiteral("Connect via Network"), QRect(49, 29, 160, 53));
    NetConnect_ToggleButton->hide();
    NetConnect_ToggleButton->setEnabled(false);
    CV_IP_Addr_Edit = new QLineEdit(QString::fromLatin1(kDefaultUnitAddress), Connect_Panel);
    CV_IP_Addr_Edit->setObjectName(QStringLiteral("CV_IP_Addr_Edit"));
    CV_IP_Addr_Edit->setGeometry(220, 40, 121, 21);
    CV_IP_Addr_Edit->setStyleSheet(QStringLiteral(
        "QLineEdit { background: #0c0c0e; color: #c0c0c0; border: 1px solid #6a6a70;"
        " border-radius: 3px; padding: 0 4px; selection-background-color: #1e3c9c; }"));
    CV_IP_Addr_Edit->hide();
    CV_IP_Addr_Edit->setEnabled(false);
    FW1_Label = label(Connect_Panel, "FW1_Label", QStringLiteral("v?.??"), 9, 248);
    FW2_Label = label(Connect_Panel, "FW2_Label", QStringLiteral("v?.??"), 9, 259);
    FW3_Label = label(Connect_Panel, "FW3_Label", QStringLiteral("v?.??"), 9, 270);
    // Right-aligned: grows to the left from the panel's right margin.
    Label11 = sized(Connect_Panel, "Label11", QString(), QRect(372, 270, 37, 14));
    Label11->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Label11->setColour(kTextWhite);
    Label11->setAutoSize(true);

    // Scan screen.
    Label1 = sized(Scan_Panel, "Label1",
                   QStringLiteral("Scanning for a Corvane device. Please Wait....."),
                   QRect(41, 79, 176, 26));
    Label1->setWordWrap(true);
    Scan_ProgressBar = new SmoothProgressBar(Scan_Panel);
    Scan_ProgressBar->setObjectName(QStringLiteral("Scan_ProgressBar"));
    Scan_ProgressBar->setGeometry(41, 111, 337, 39);
    Retry_Panel = new GradientPanel(Scan_Panel);
    Retry_Panel->setObjectName(QStringLiteral("Retry_Panel"));
    Retry_Panel->setGeometry(84, 167, 257, 110);
    Retry_Panel->setColours(QColor(46, 46, 52), QColor(10, 10, 12));
    Retry_Panel->setFrame(8, kFrameSilver, 1);
    Image1 = new PictureBox(Retry_Panel);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(8, 8, 34, 34);
    Scan_Error_Label = sized(Retry_Panel, "Scan_Error_Label",
                             QStringLiteral("Unable to find a Corvane device. Reconnect and try "
                                            "again."),
                             QRect(49, 8, 184, 52));
    Scan_Error_Label->setWordWrap(true);
    TryAgain_Button =
        button(Retry_Panel, "TryAgain_Button", QStringLiteral("Try Again"), QRect(24, 66, 89, 25));
    ScanError_Quit_Button = button(Retry_Panel, "ScanError_Quit_Button", QStringLiteral("Quit"),
                                   QRect(144, 66, 89, 25));
    Button1 = button(Scan_Panel, "Button1", QStringLiteral("Quit"), QRect(3, 184, 75, 25));
    Button1->hide();
    Button1->setEnabled(false);

    // Start screen.
    Label4 = label(Start_Panel, "Label4", QStringLiteral("Current Version "), 147, 45);
    Label7 = label(Start_Panel, "Label7", QStringLiteral("Upgrade Version "), 250, 45);
    Label7->setClickable(true);
    for (SmoothLabel* head : {Label4, Label7}) {
        head->setFont(uiFont(11, true));
        head->setColour(kTextWhite);
    }
    Label2 = label(Start_Panel, "Label2", QStringLiteral("CPU-1"), 83, 61);
    Label3 = label(Start_Panel, "Label3", QStringLiteral("CPU-2"), 83, 77);
    Label5 = label(Start_Panel, "Label5", QStringLiteral("HMI"), 83, 93);
    for (SmoothLabel* head : {Label2, Label3, Label5})
        head->setFont(uiFont(11, true));
    const int rows[4] = {0, 61, 77, 93};
    for (int n = 1; n <= 3; ++n) {
        const QByteArray current = "CurrentVer" + QByteArray::number(n) + "_Label";
        const QByteArray carried = "NewVer" + QByteArray::number(n) + "_Label";
        CurrentVer_Label[n] =
            label(Start_Panel, current.constData(), QStringLiteral("????"), 147, rows[n]);
        NewVer_Label[n] =
            label(Start_Panel, carried.constData(), QStringLiteral("????"), 251, rows[n]);
    }
    auto marker = [&](const char* name, int y, const char* hint) {
        auto* m = new MarkerImage(Start_Panel);
        m->setObjectName(QString::fromLatin1(name));
        m->setGeometry(338, y, 14, 14);
        m->setHint(QString::fromLatin1(hint));
        return m;
    };
    CPU1_Err_Image = marker("CPU1_Err_Image", 61, "Product mismatch");
    CPU2_Err_Image = marker("CPU2_Err_Image", 77, "Current firmware is not upgradeable");
    HMI_Err_Image = marker("HMI_Err_Image", 93, "Current firmware is not upgradeable");
    Shape1 = new FrameShape(Start_Panel);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setGeometry(16, 112, 385, 135);
    auto notes = [&](const char* name, QRect geometry) {
        auto* l = new SmoothListBox(Start_Panel);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(geometry);
        return l;
    };
    RevNotes1_ListBox = notes("RevNotes1_ListBox", QRect(20, 116, 377, 106));
    RevNotes2_ListBox = notes("RevNotes2_ListBox", QRect(20, 116, 300, 90));
    RevNotes3_ListBox = notes("RevNotes3_ListBox", QRect(20, 116, 300, 90));
    TabSet1 = new SmoothTabSet(Start_Panel);
    TabSet1->setObjectName(QStringLiteral("TabSet1"));
    TabSet1->setGeometry(20, 222, 377, 21);
    TabSet1->setTabs({QStringLiteral("CPU-1"), QStringLiteral("CPU-2"), QStringLiteral("HMI")});
    Load_Button = button(Start_Panel, "Load_Button", QStringLiteral("Load Firmware"),
                         QRect(87, 256, 105, 25));
    Load_Button->hide();
    Quit_Button =
        button(Start_Panel, "Quit_Button", QStringLiteral("Quit"), QRect(226, 256, 105, 25));
    Label8 = label(Start_Panel, "Label8", QStringLiteral("ALL"), 392, 270);
    Label8->setColour(kTextWhite);
    Label8->hide();

    // Upgrade screen.
    Progress_ListBox = new ProgressListBox(Upgrade_Panel);
    Progress_ListBox->setObjectName(QStringLiteral("Progress_ListBox"));
    Progress_ListBox->setGeometry(24, 72, 369, 172);
    Quit_Button2 =
        button(Upgrade_Panel, "Quit_Button2", QStringLiteral("Quit"), QRect(160, 256, 98, 25));
    Quit_Button2->hide();
    Label6 = label(Upgrade_Panel, "Label6", QString(), 16, 264);
    Label9 = label(Upgrade_Panel, "Label9", QString(), 16, 250);
    Label10 = label(Upgrade_Panel, "Label10", QString(), 16, 278);
    for (SmoothLabel* l : {Label6, Label9, Label10})
        l->hide();

    // Handlers.
    connect(Connect_ToggleButton, &QAbstractButton::clicked, this,
            [this] { runHandler([this] { Connect_ToggleButtonClick(); }); });
    connect(TryAgain_Button, &QAbstractButton::clicked, this,
            [this] { runHandler([this] { Connect_ToggleButtonClick(); }); });
    for (QAbstractButton* quit : std::initializer_list<QAbstractButton*>{
             Quit_ToggleButton, ScanError_Quit_Button, Quit_Button, Quit_Button2, Button1})
        connect(quit, &QAbstractButton::clicked, this, &QWidget::close);
    connect(NetConnect_ToggleButton, &QAbstractButton::clicked, this,
            [this] { runHandler([this] { NetConnect_ToggleButtonClick(); }); });
    connect(Load_Button, &QAbstractButton::clicked, this,
            [this] { runHandler([this] { Load_ButtonClick(); }); });
    connect(Label7, &SmoothLabel::clicked, this, [this] { runHandler([this] { Label7Click(); }); });
    connect(TabSet1, &SmoothTabSet::tabChanging, this, [this](int newTab, bool* allow) {
        bool allowChange = true;
        TabSet1Change(newTab, allowChange);
        *allow = allowChange;
    });
}

void TForm3::FormCreate() {
    Get_Version_Info();
    Label11->setText(versionLabelText(Version_Info[2]));

    Timer_Init();

    setFixedSize(Connect_Panel->width(), Connect_Panel->height());

    Port_List.clear();

    m_link = std::make_unique<TVexaComms>(nullptr, m_deps.deviceFactory);
    m_link->setBaudRate(115200);
    m_link->setParity(TParity::None);
    m_link->setDataBits(8);
    m_link->setStopBits(TStopBits::sb1);
    m_link->setRxBufferSize(16384);
    m_link->setInterCharTimeOutUs(m_deps.fastLink ? kFastReadIntervalUs : kReadIntervalUs);
    m_tcpClient = std::make_unique<ModbusTCP_Client>();
    m_facade = std::make_unique<RegisterFacade>(m_link.get(), m_tcpClient.get());
    m_identifier = std::make_unique<UnitIdentifier>(*m_unit, m_texts, *m_facade);
    m_programmer = std::make_unique<Programmer>(*m_link, *m_unit, Progress_ListBox);
    // Figures of every timed block write, into the upgrade panel's hidden labels.
    m_programmer->setTimingObserver([this](const BlockTiming& t) {
        Label6->setText(timingText(t.elapsed));
        Label9->setText(timingText(t.longest));
        Label10->setText(timingText(t.shortest));
    });

    m_facade->Base_Slave_Address = 1;

    // An error in the build data is shown, the rest of start-up is skipped and the window
    // closes once start-up has returned: a program that cannot program must not offer to.
    bool buildDataFailed = false;
    if (!m_buildDataError.isEmpty()) {
        reportError(m_buildDataError);
        buildDataFailed = true;
    }
    auto guarded = [this, &buildDataFailed](const std::function<void()>& step) {
        if (buildDataFailed)
            return;
        try {
            step();
        } catch (const std::exception& e) {
            reportError(QString::fromUtf8(e.what()));
            buildDataFailed = true;
        }
    };
    guarded([this] { m_store->loadParameterWords(); });

    RevNotes2_ListBox->setGeometry(RevNotes1_ListBox->geometry());
    RevNotes3_ListBox->setGeometry(RevNotes1_ListBox->geometry());
    RevNotes2_ListBox->hide();
    RevNotes3_ListBox->hide();

    // An unknown carried product is reported by each Init_Mem; the window closes once
    // start-up has returned to the event loop (the close is posted at the end of start-up,
    // so the warnings' own event loops cannot run it early).
    m_store->onUnknownProduct = [this](const QString& text) {
        Message_Dialog(text, TMsgDlgType::mtWarning, TMsgDlgBtn::mbOK, this);
    };
    guarded([this] {
        for (int n = 1; n <= 3; ++n)
            m_store->Init_Mem(n);
    });
    applyScreenTexts();

    m_unit->MB_MemBlk_Slv[2] = 23;
    m_unit->MB_MemBlk_Off[2] = 26;
    m_unit->MB_MemBlk_Slv[3] = 23;
    m_unit->MB_MemBlk_Off[3] = 16;

    Retry_Panel->hide();
    for (QWidget* panel :
         {static_cast<QWidget*>(Connect_Panel), static_cast<QWidget*>(Scan_Panel),
          static_cast<QWidget*>(Start_Panel), static_cast<QWidget*>(Upgrade_Panel)})
        panel->move(0, 0);
    Title_Panel->move(0, 0);
    Title_Panel->setParent(Connect_Panel);
    Title_Panel->show();
    Connect_Panel->raise();
    Connect_Panel->show();
    m_shownPanel = Connect_Panel;
    Scan_Panel->hide();
    Start_Panel->hide();
    Upgrade_Panel->hide();

    if (m_store->closeRequested() || buildDataFailed)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TForm3::attachForms(TGallery_Form* gallery, TMsg_Form* msgForm) {
    m_gallery = gallery;
    m_msgForm = msgForm;
    if (m_msgForm)
        m_msgForm->setGallery(gallery);
    if (gallery)
        setWindowIcon(QIcon(gallery->Icon64_Image));
    if (isVisible())
        FormShow();
}

TMsg_Form* TForm3::msgForm() {
    if (!m_msgForm)
        m_msgForm = new TMsg_Form(this, m_gallery);
    return m_msgForm;
}

void TForm3::showEvent(QShowEvent* event) {
    FormShow();
    QWidget::showEvent(event);
}

void TForm3::FormShow() {
    // Copied at show time: the picture holder is created after this form.
    if (!m_gallery)
        return;
    Image1->setPicture(m_gallery->Exclamation_Image);
    Image2->setPicture(m_gallery->CV_small_upg_logo);
}

// ---------------------------------------------------------------------------------------------
// Panels

void TForm3::showPanel(QWidget* panel) {
    if (!panel)
        return;
    Title_Panel->setParent(panel);
    Title_Panel->move(0, 0);
    Title_Panel->show();
    panel->show();
    panel->raise();
    if (m_shownPanel && m_shownPanel != panel)
        m_shownPanel->hide();
    m_shownPanel = panel;
}

void TForm3::Load_ButtonClick() {
    Progress_ListBox->clear();
    showPanel(Upgrade_Panel);
    Start_Panel->hide();
    Progress_ListBox->setFocus();
    CPU_Num = 2;
    postStep(WM_UPGRADE_STEP, 0);
}

void TForm3::postStep(QEvent::Type type, int step) {
    if (m_closing)
        return;
    QCoreApplication::postEvent(this, new StepEvent(type, step));
}

bool TForm3::event(QEvent* e) {
    if (e->type() == WM_SCAN_STEP || e->type() == WM_UPGRADE_STEP) {
        const int step = static_cast<StepEvent*>(e)->step();
        // A closed window runs no more steps.
        if (!m_closing) {
            if (e->type() == WM_SCAN_STEP)
                runHandler([this, step] { Run_Scan_Step(step); });
            else
                runHandler([this, step] { runUpgradeStepGuarded(step); });
        }
        return true;
    }
    return QWidget::event(e);
}

void TForm3::runHandler(const std::function<void()>& fn) {
    struct Depth {
        TForm3& form;
        explicit Depth(TForm3& f)
            : form(f) {
            ++form.m_handlerDepth;
        }
        ~Depth() {
            if (--form.m_handlerDepth == 0 && form.m_releasePending)
                form.releaseLinkWhenIdle();
        }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
    } depth(*this);
    try {
        fn();
    } catch (const std::exception& e) {
        if (!m_closing)
            reportError(QString::fromUtf8(e.what()));
    }
}

void TForm3::reportError(const QString& text) {
    Message_Dialog(text, TMsgDlgType::mtError, TMsgDlgBtn::mbOK, this);
}

void TForm3::showMessage(const QString& text) {
    TMsg_Form* box = msgForm();
    box->Label1->setText(text);
    box->exec();
}

// ---------------------------------------------------------------------------------------------
// Texts written by the image store, identification and the review

void TForm3::applyScreenTexts() {
    const bool all = !m_textsApplied;
    const ScreenTexts& t = m_texts;
    ScreenTexts& last = m_appliedTexts;
    auto apply = [](SmoothLabel* label, const LabelText& text) {
        label->setText(text.text);
        label->setColour(text.colour);
    };
    if (all || !(t.Model_Label == last.Model_Label))
        apply(Model_Label, t.Model_Label);
    SmoothLabel* fw[4] = {nullptr, FW1_Label, FW2_Label, FW3_Label};
    SmoothListBox* notes[4] = {nullptr, RevNotes1_ListBox, RevNotes2_ListBox, RevNotes3_ListBox};
    for (int n = 1; n <= 3; ++n) {
        if (all || !(t.FW_Label[n] == last.FW_Label[n]))
            apply(fw[n], t.FW_Label[n]);
        if (all || !(t.CurrentVer_Label[n] == last.CurrentVer_Label[n]))
            apply(CurrentVer_Label[n], t.CurrentVer_Label[n]);
        if (all || !(t.NewVer_Label[n] == last.NewVer_Label[n]))
            apply(NewVer_Label[n], t.NewVer_Label[n]);
        if (all || t.RevNotes[n] != last.RevNotes[n])
            notes[n]->setItems(t.RevNotes[n]);
    }
    if (all || t.Tabs != last.Tabs)
        TabSet1->setTabs(t.Tabs);
    if (all || t.SelectedTab != last.SelectedTab || t.Tabs != last.Tabs)
        TabSet1->setCurrentIndex(std::min<int>(t.SelectedTab, static_cast<int>(t.Tabs.size()) - 1));
    last = t;
    m_textsApplied = true;
}

void TForm3::applyReview() {
    MarkerImage* markers[4] = {nullptr, CPU1_Err_Image, CPU2_Err_Image, HMI_Err_Image};
    const QPixmap picture =
        m_gallery ? m_gallery->Error_Image : QPixmap::fromImage(drawErrorMarker());
    for (int n = 1; n <= 3; ++n) {
        const MarkerState& state = m_review.Markers[n];
        markers[n]->setHint(state.hint);
        markers[n]->setPicture(state.shown ? picture : QPixmap());
        markers[n]->setShowHint(state.shown);
    }
    Load_Button->setVisible(m_review.Load_Visible);
}

bool TForm3::productHasHmi() const {
    const int idx = m_unit->Product_Idx;
    if (idx < 0 || idx >= m_products->size())
        return true;
    return m_products->row(idx).D;
}

// ---------------------------------------------------------------------------------------------
// Version review

void TForm3::Refresh_Update_Flags() {
    m_review.Refresh_Update_Flags();
    applyReview();
}

void TForm3::Update_Version_Labels() {
    m_review.Update_Version_Labels();
    applyScreenTexts();
    applyReview();
}

void TForm3::Button3Click() {
    showPanel(Start_Panel);
    Scan_Panel->hide();
    const Cpu1Verdict verdict = m_review.checkCpu1();
    applyReview();
    if (verdict != Cpu1Verdict::Accepted)
        showMessage(VersionReview::refusalMessage(verdict));
    if (Load_Button->isVisible())
        Load_Button->setFocus();
    else
        Quit_Button->setFocus();
}

void TForm3::Label7Click() {
    m_review.All_Mode = Ctrl_Key_Down();
    Label8->setVisible(m_review.All_Mode);
    Refresh_Update_Flags();
}

void TForm3::TabSet1Change(int NewTab, bool& AllowChange) {
    AllowChange = true;
    SmoothListBox* lists[3] = {RevNotes1_ListBox, RevNotes2_ListBox, RevNotes3_ListBox};
    if (NewTab < 0 || NewTab > 2)
        return;
    for (int i = 0; i < 3; ++i)
        lists[i]->setVisible(i == NewTab);
}

// ---------------------------------------------------------------------------------------------
// Closing and dragging

void TForm3::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TForm3::FormClose() {
    if (m_closing)
        return;
    m_closing = true;
    // A step may be waiting in a delay or an exchange right now: make those waits end at
    // once, retire the link (its port closes, which ends a reply wait, and can never be
    // reopened by what that step does next), and free it only after the step has returned.
    abandonDelays();
    if (m_link)
        m_link->retire();
    if (m_msgForm && m_msgForm->isVisible())
        m_msgForm->reject();
    releaseLinkWhenIdle();
}

void TForm3::releaseLinkWhenIdle() {
    if (m_handlerDepth > 0) {
        m_releasePending = true;
        return;
    }
    m_releasePending = false;
    if (!m_link)
        return;
    releaseLinkUsers();
    // An exchange that reopens the port (bootloader entry) may have run after the close.
    m_link->CloseComm();
    m_link.reset();
    emit linkReleased();
}

void TForm3::releaseLinkUsers() {
    m_programmer.reset();
    if (m_facade)
        m_facade->setSerial(nullptr);
}

void TForm3::mousePressEvent(QMouseEvent* event) {
    // Reaches the form from the title strip, its logo and every bare part of a panel: any
    // button drags the borderless window.
    startWindowDrag(event->globalPosition());
    event->accept();
}

void TForm3::startWindowDrag(const QPointF& globalPos) {
    bool systemMove = false;
    if (QWindow* w = windowHandle())
        systemMove = w->startSystemMove();
    m_manualDrag = !systemMove;
    if (m_manualDrag)
        m_dragOffset = globalPos.toPoint() - frameGeometry().topLeft();
    emit windowDragStarted(systemMove);
}

void TForm3::mouseMoveEvent(QMouseEvent* event) {
    if (m_manualDrag && event->buttons() != Qt::NoButton)
        move(event->globalPosition().toPoint() - m_dragOffset);
    QWidget::mouseMoveEvent(event);
}

void TForm3::mouseReleaseEvent(QMouseEvent* event) {
    m_manualDrag = false;
    QWidget::mouseReleaseEvent(event);
}

std::unique_ptr<TForm3> createUpdaterForms(UpdaterDeps deps) {
    auto form = std::make_unique<TForm3>(std::move(deps));
    auto* gallery = new TGallery_Form(form.get());
    auto* msg = new TMsg_Form(form.get(), gallery);
    form->attachForms(gallery, msg);
    return form;
}

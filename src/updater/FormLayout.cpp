// The window's controls: where each one lies, how it looks, and which handler each button and
// label calls. The window's behaviour is in main.cpp.

#include "Theme.h"
#include "main.h"

#include <QLineEdit>

using namespace corvane::ui;

namespace {

// The unit's factory address on its private network.
constexpr const char* kDefaultUnitAddress = "192.168.1.250";

SmoothLabel* label(QWidget* parent, const char* name, const QString& text, int x, int y) {
    auto* l = new SmoothLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->move(x, y);
    l->setAutoSize(true);
    return l;
}

SmoothLabel* sized(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* l = new SmoothLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    return l;
}

ToggleButton* button(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    auto* b = new ToggleButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(geometry);
    return b;
}

} // namespace

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
    Connect_Panel = makePanel("Connect_Panel");
    Scan_Panel = makePanel("Scan_Panel");
    Start_Panel = makePanel("Start_Panel");
    Upgrade_Panel = makePanel("Upgrade_Panel");

    createTitle();
    createConnectScreen();
    createScanScreen();
    createStartScreen();
    createUpgradeScreen();
    connectHandlers();
}

void TForm3::createTitle() {
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
}

void TForm3::createConnectScreen() {
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
}

void TForm3::createScanScreen() {
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
}

void TForm3::createStartScreen() {
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
    for (SmoothLabel* head : {Label2, Label3, Label5}) {
        head->setFont(uiFont(11, true));
    }
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
}

void TForm3::createUpgradeScreen() {
    Progress_ListBox = new ProgressListBox(Upgrade_Panel);
    Progress_ListBox->setObjectName(QStringLiteral("Progress_ListBox"));
    Progress_ListBox->setGeometry(24, 72, 369, 172);
    Quit_Button2 =
        button(Upgrade_Panel, "Quit_Button2", QStringLiteral("Quit"), QRect(160, 256, 98, 25));
    Quit_Button2->hide();
    Label6 = label(Upgrade_Panel, "Label6", QString(), 16, 264);
    Label9 = label(Upgrade_Panel, "Label9", QString(), 16, 250);
    Label10 = label(Upgrade_Panel, "Label10", QString(), 16, 278);
    for (SmoothLabel* l : {Label6, Label9, Label10}) {
        l->hide();
    }
}

void TForm3::connectHandlers() {
    connect(Connect_ToggleButton, &QAbstractButton::clicked, this,
            &TForm3::Connect_ToggleButtonClick);
    connect(TryAgain_Button, &QAbstractButton::clicked, this, &TForm3::Connect_ToggleButtonClick);
    for (QAbstractButton* quit : std::initializer_list<QAbstractButton*>{
             Quit_ToggleButton, ScanError_Quit_Button, Quit_Button, Quit_Button2, Button1}) {
        connect(quit, &QAbstractButton::clicked, this, &QWidget::close);
    }
    connect(NetConnect_ToggleButton, &QAbstractButton::clicked, this,
            &TForm3::NetConnect_ToggleButtonClick);
    connect(Load_Button, &QAbstractButton::clicked, this, &TForm3::Load_ButtonClick);
    connect(Label7, &SmoothLabel::clicked, this, &TForm3::Label7Click);
    connect(m_engine.get(), &UpgradeEngine::reported, this, &TForm3::onEngineEvent);
    connect(TabSet1, &SmoothTabSet::tabChanging, this, [this](int newTab, bool* allow) {
        bool allowChange = true;
        TabSet1Change(newTab, allowChange);
        *allow = allowChange;
    });
}

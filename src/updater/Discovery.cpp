// Device discovery: tries the candidate serial ports one per step, identifies the unit over
// Modbus or through CPU-1's bootloader, and opens the version review for the first usable one.

#include "MessageDialog.h"
#include "MsgDlg.h"
#include "main.h"

#include "gallery.h"

#include "firmware/Identification.h"
#include "firmware/ImageStore.h"
#include "firmware/ProductTable.h"
#include "firmware/ResourceSource.h"
#include "modbus/ModBusTCPPro.h"
#include "modbus/ModbusTCP_Client.h"
#include "modbus/RegisterFacade.h"
#include "platform/PortList.h"
#include "programming/Programmer.h"

#include <QGuiApplication>
#include <QLineEdit>

const QString TForm3::kScanErrorTimedOut = QStringLiteral(
    "Unable to find a Corvane device.\r(Communications timed out).\rReconnect and try again.");
const QString TForm3::kScanErrorUnknownDevice = QStringLiteral(
    "Unable to find a Corvane device.\r(Unknown device found).\rReconnect and try again.");
const QString TForm3::kScanErrorIncompatible = QStringLiteral(
    "Incompatible Corvane device.\r(Wrong Manufacturer).\rUse Correct Upgrade Software.");
const QString TForm3::kScanErrorWrongManufacturer = QStringLiteral(
    "Unable to find a Corvane device.\r(Wrong Manufacturer).\rReconnect and try again.");

namespace {

const QString kScanningText = QStringLiteral("Scanning for a Corvane device.\rPlease Wait.....");
const QString kNetConnectingText =
    QStringLiteral("Attempting to connect to Corvane device.\rPlease Wait.....");
constexpr std::uint16_t kModbusTcpPort = 502;
constexpr int kTcpConnectTimeoutMs = 3000;

enum ScanStep { kScanStart = 0, kScanNextPort = 1, kScanOpenReview = 2 };

} // namespace

void TForm3::Connect_ToggleButtonClick() {
    m_facade->Use_Serial_Link = true;
    Retry_Panel->hide();
    Label1->setText(kScanningText);
    showPanel(Scan_Panel);
    Connect_Panel->hide();
    Scan_ProgressBar->setPosition(0);
    Attempt_Connection();
}

void TForm3::Attempt_Connection() {
    postStep(WM_SCAN_STEP, kScanStart);
}

void TForm3::Get_CommPort_List(const QString& mfg_str, bool do_alt_check) {
    Port_List.clear();
    ListBox2.clear();
    Memo3.clear();
    // Ports named on the command line come first, in the order given.
    for (const QString& path : m_deps.preferredPorts) {
        if (!path.isEmpty() && !Port_List.contains(path)) {
            Port_List << path;
            ListBox1 << path;
        }
    }
    const std::vector<corvane::PortEntry> all =
        m_deps.listPorts ? m_deps.listPorts() : corvane::availablePorts();
    for (const corvane::PortEntry& e : all)
        Memo3 << e.devicePath;
    for (const corvane::PortEntry& e : corvane::filterPorts(all, mfg_str)) {
        ListBox2 << e.manufacturer << e.devicePath;
        if (!Port_List.contains(e.devicePath)) {
            Port_List << e.devicePath;
            ListBox1 << e.devicePath;
        }
    }
    if (do_alt_check)
        Get_CommPort_List_alt();
}

void TForm3::Get_CommPort_List_alt() {
    // Every serial port the system knows, whoever made it.
    Port_List.clear();
    ListBox1.clear();
    const std::vector<corvane::PortEntry> all =
        m_deps.listPorts ? m_deps.listPorts() : corvane::availablePorts();
    for (const corvane::PortEntry& e : corvane::filterPorts(all, QString())) {
        Port_List << e.devicePath;
        ListBox1 << e.devicePath;
    }
}

void TForm3::scanLog(const QString& port, const QString& ending) {
    Memo2 << port + ending;
}

void TForm3::Run_Scan_Step(int step) {
    switch (step) {
    case kScanStart:
        m_review.All_Mode = false;
        Label8->hide();
        m_unit->RM_Number[2] = 0;
        m_unit->FW_Version[2] = 0;
        m_unit->RM_Number[3] = 0;
        m_unit->FW_Version[3] = 0;
        m_texts.CurrentVer_Label[2].text = QStringLiteral("Unknown");
        m_texts.CurrentVer_Label[3].text = QStringLiteral("Unknown");
        applyScreenTexts();
        Scan_Error_Label->setText(kScanErrorTimedOut);
        Port_Index = 0;
        openFailures.clear();
        Get_CommPort_List(QStringLiteral("FTDI"), false);
        Scan_ProgressBar->setRange(0, Port_List.isEmpty() ? 1 : Port_List.size());
        Scan_ProgressBar->setPosition(1);
        probePort();
        break;
    case kScanNextPort:
        ++Port_Index;
        Scan_ProgressBar->setPosition(Port_Index + 1);
        probePort();
        break;
    case kScanOpenReview:
        // The click on the hidden Button3, delivered as a queued call.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!m_closing)
                    runHandler([this] { Button3Click(); });
            },
            Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

void TForm3::rejectPort(const QString& port, const QString& errorText, const QString& logEnding) {
    if (!errorText.isEmpty())
        Scan_Error_Label->setText(errorText);
    scanLog(port, logEnding);
    m_link->CloseComm();
    postStep(WM_SCAN_STEP, kScanNextPort);
    scanLog(port, QStringLiteral(" closed."));
}

void TForm3::acceptUnit(const QString& port, int rm, bool throughBootloader) {
    try {
        m_store->Init_CPU1_Mem(rm);
    } catch (const EResourceNotFound& e) {
        // A unit of the right family for which this build carries no CPU-1 image: say so and
        // go on with the next port rather than leave the scan hanging with the port open.
        applyScreenTexts();
        if (!m_closing)
            Message_Dialog(e.message(), TMsgDlgType::mtError, TMsgDlgBtn::mbOK, this);
        rejectPort(port, kScanErrorUnknownDevice, QStringLiteral(" no image for this unit."));
        return;
    }
    applyScreenTexts();
    if (throughBootloader) {
        m_unit->RM_Number[1] = static_cast<std::uint16_t>(rm);
        m_unit->FW_Version[1] = 0;
        scanLog(port, QStringLiteral(" found CV. (B)"));
        m_unit->BL_Active_Flag = true;
        Refresh_Update_Flags();
        Update_Version_Labels();
        m_texts.CurrentVer_Label[1].text = QStringLiteral("RM%1 v?.??").arg(rm);
        applyScreenTexts();
    } else {
        scanLog(port, QStringLiteral(" found CV."));
        m_unit->BL_Active_Flag = false;
        (void)m_identifier->MB_Get_Other_FW_Nums(UnitIdentifier::kOtherNumsAttempts);
        Refresh_Update_Flags();
        Update_Version_Labels();
    }
    // Posted last on both paths, so the review opens with the flags and labels complete and
    // its focus choice sees the final "Load Firmware" visibility. The port stays open.
    postStep(WM_SCAN_STEP, kScanOpenReview);
}

void TForm3::probePort() {
    if (Port_Index >= Port_List.size()) {
        Label1->setText(QStringLiteral("Scan Complete."));
        Retry_Panel->show();
        Retry_Panel->raise();
        TryAgain_Button->setFocus();
        return;
    }
    const QString n = Port_List.at(Port_Index);
    TVexaComms& link = *m_link;
    link.setBaudRate(115200);
    link.UpdateDCB();
    link.setCommPort(n);
    bool opened = false;
    try {
        opened = link.OpenComm();
    } catch (const ECommsError&) {
        // Not a serial port (or a link left open): skip it like a port that does not open.
        scanLog(n, QStringLiteral(" unable to open."));
        openFailures << (link.lastOpenError().isEmpty()
                             ? n + QStringLiteral(" could not be opened.")
                             : link.lastOpenError());
        postStep(WM_SCAN_STEP, kScanNextPort);
        return;
    }
    if (!opened) {
        scanLog(n, QStringLiteral(" unable to open."));
        openFailures << (link.lastOpenError().isEmpty()
                             ? n + QStringLiteral(" could not be opened.")
                             : link.lastOpenError());
        postStep(WM_SCAN_STEP, kScanNextPort);
        return;
    }
    scanLog(n, QStringLiteral(" open."));

    const int rm = m_identifier->Get_Firmware_Num();
    applyScreenTexts();
    m_unit->Product_Idx = m_products->Find_CV_Product(rm);
    if (m_unit->Product_Idx == -1 && rm != 0)
        Scan_Error_Label->setText(kScanErrorUnknownDevice);
    if (m_unit->Product_Idx != -1) {
        if (m_products->Check_CV_Manufacturer(m_unit->Product_Idx))
            acceptUnit(n, rm, false);
        else
            rejectPort(n, kScanErrorIncompatible, QStringLiteral(" Wrong Manufacturer."));
        return;
    }

    scanLog(n, QStringLiteral(" CV not found(1)."));
    link.setBaudRate(115200);
    link.UpdateDCB();
    const int v = m_programmer->Get_BootLoader_Ver();
    if (v == -1) {
        rejectPort(n, kScanErrorUnknownDevice, QStringLiteral(" CV not found(2)."));
        return;
    }
    const int rm2 = m_programmer->Get_Firmware_Ver();
    m_unit->Product_Idx = m_products->Find_CV_Product(rm2);
    if (m_unit->Product_Idx == -1) {
        rejectPort(n, kScanErrorWrongManufacturer, QStringLiteral(" Unknown RM number.(B)"));
        return;
    }
    if (m_products->Check_CV_Manufacturer(m_unit->Product_Idx))
        acceptUnit(n, rm2, true);
    else
        rejectPort(n, kScanErrorIncompatible, QStringLiteral(" Wrong Manufacturer."));
}

void TForm3::NetConnect_ToggleButtonClick() {
    const QString address = CV_IP_Addr_Edit->text();
    m_facade->Use_Serial_Link = false;
    Retry_Panel->hide();
    Label1->setText(kNetConnectingText);
    showPanel(Scan_Panel);
    Connect_Panel->hide();
    Scan_ProgressBar->setPosition(0);

    auto notResponding = [this, &address] {
        if (m_msgForm && m_msgForm->isVisible())
            m_msgForm->hide();
        QGuiApplication::restoreOverrideCursor();
        Message_Dialog(address + QStringLiteral(" is not responding. Please Select Another IP "
                                                "Address."),
                       TMsgDlgType::mtError, TMsgDlgBtn::mbOK, this);
    };
    try {
        m_tcpClient->setPort(kModbusTcpPort);
        m_tcpClient->setHost(address);
        m_tcpClient->setConnectTimeoutMs(kTcpConnectTimeoutMs);
        if (!m_tcpClient->connectToHost() || !m_tcpClient->isConnected()) {
            notResponding();
            return;
        }
        if (m_msgForm && m_msgForm->isVisible())
            m_msgForm->hide();
        QGuiApplication::restoreOverrideCursor();
        m_facade->Use_Serial_Link = false;
        const int rm = m_identifier->Get_Firmware_Num();
        applyScreenTexts();
        if (m_products->Find_CV_Product(rm) != -1) {
            MBTCP_Transaction_ID = 1;
            return;
        }
        Message_Dialog(rm == 0 ? QStringLiteral("No Reply From Unit. Terminating Connection...")
                               : QStringLiteral("This unit is not a Corvane.\rTerminating "
                                                "Connection..."),
                       TMsgDlgType::mtError, TMsgDlgBtn::mbOK, this);
        m_facade->CloseConnection();
    } catch (const std::exception&) {
        notResponding();
    }
}

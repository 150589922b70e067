// Device discovery: tries the candidate serial ports one per step, identifies the unit over
// Modbus or through CPU-1's bootloader, and opens the review for the first usable one.

#include "Captions.h"
#include "UpgradeEngine.h"

#include "firmware/Identification.h"
#include "firmware/ImageStore.h"
#include "firmware/ProcessorName.h"
#include "firmware/ProductTable.h"
#include "modbus/ModBusTCPPro.h"
#include "modbus/ModbusTCP_Client.h"
#include "modbus/RegisterFacade.h"
#include "programming/Programmer.h"

namespace {

constexpr std::uint16_t kModbusTcpPort = 502;
constexpr int kTcpConnectTimeoutMs = 3000;

enum ScanStep { kScanStart = 0, kScanNextPort = 1, kScanOpenReview = 2 };

} // namespace

void UpgradeEngine::startScan() {
    m_facade->Use_Serial_Link = true;
    if (m_mode != EngineMode::Interactive) {
        m_sinceActivity.start();
        m_stallTimer.start();
    }
    Attempt_Connection();
}

void UpgradeEngine::Attempt_Connection() {
    postStep(WM_SCAN_STEP, kScanStart);
}

QStringList candidatePorts(const QStringList& preferred, const std::vector<corvane::PortEntry>& all,
                           const QString& maker) {
    QStringList ports;
    // Ports named on the command line come first, in the order given.
    for (const QString& path : preferred) {
        if (!path.isEmpty() && !ports.contains(path)) {
            ports << path;
        }
    }
    for (const corvane::PortEntry& e : corvane::filterPorts(all, maker)) {
        if (!ports.contains(e.devicePath)) {
            ports << e.devicePath;
        }
    }
    return ports;
}

void UpgradeEngine::Get_CommPort_List(const QString& mfg_str) {
    Port_List =
        candidatePorts(m_deps.preferredPorts,
                       m_deps.listPorts ? m_deps.listPorts() : corvane::availablePorts(), mfg_str);
}

void UpgradeEngine::scanLog(const QString& port, ScanLog kind, const QString& detail) {
    Memo2 << scanLogText(port, kind);
    emitEvent(ev::ScanLogged{port, kind, detail});
}

void UpgradeEngine::Run_Scan_Step(int step) {
    switch (step) {
    case kScanStart:
        m_review.All_Mode = false;
        m_unit->RM_Number[2] = 0;
        m_unit->FW_Version[2] = 0;
        m_unit->RM_Number[3] = 0;
        m_unit->FW_Version[3] = 0;
        m_texts.CurrentVer_Label[2].text = QStringLiteral("Unknown");
        m_texts.CurrentVer_Label[3].text = QStringLiteral("Unknown");
        m_scanError = ScanError::TimedOut;
        m_unopenedPorts = 0;
        m_lastOpenFailure.clear();
        emitEvent(ev::ScanStarted{});
        emitEvent(ev::TextsChanged{});
        Port_Index = 0;
        Get_CommPort_List(corvane::kAdapterMaker);
        emitEvent(ev::PortsListed{Port_List});
        probePort();
        break;
    case kScanNextPort:
        ++Port_Index;
        probePort();
        break;
    case kScanOpenReview:
        // The click on the hidden Button3, delivered as a queued call.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!m_shutDown && m_stopSignal == 0) {
                    openReview();
                }
            },
            Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

void UpgradeEngine::rejectPort(const QString& port, std::optional<ScanError> error,
                               ScanLog ending) {
    if (error) {
        m_scanError = *error;
    }
    scanLog(port, ending);
    m_link->CloseComm();
    postStep(WM_SCAN_STEP, kScanNextPort);
    scanLog(port, ScanLog::Closed);
}

void UpgradeEngine::acceptUnit(const QString& port, int rm, bool throughBootloader) {
    try {
        m_store->Init_CPU1_Mem(rm);
    } catch (const EResourceNotFound& e) {
        // A unit of the right family for which this build carries no CPU-1 image: say so and
        // go on with the next port rather than leave the scan hanging with the port open.
        emitEvent(ev::TextsChanged{});
        if (!m_shutDown) {
            emitEvent(ev::MessageShown{ev::MessageKind::Error, e.message()});
        }
        rejectPort(port, ScanError::UnknownDevice, ScanLog::NoImage);
        return;
    }
    emitEvent(ev::TextsChanged{});
    m_foundOn = linkInfo();
    if (throughBootloader) {
        m_unit->RM_Number[1] = static_cast<std::uint16_t>(rm);
        m_unit->FW_Version[1] = 0;
        scanLog(port, ScanLog::FoundBootloader);
        m_unit->BL_Active_Flag = true;
        Refresh_Update_Flags();
        m_review.Update_Version_Labels();
        m_texts.CurrentVer_Label[1].text = QStringLiteral("RM%1 v?.??").arg(rm);
        emitEvent(ev::TextsChanged{});
        emitEvent(ev::ReviewChanged{});
    } else {
        scanLog(port, ScanLog::FoundUnit);
        m_unit->BL_Active_Flag = false;
        (void)m_identifier->MB_Get_Other_FW_Nums(UnitIdentifier::kOtherNumsAttempts);
        Refresh_Update_Flags();
        Update_Version_Labels();
    }
    emitEvent(ev::UnitFound{m_foundOn, static_cast<std::uint16_t>(rm), throughBootloader});
    // Posted last on both paths, so the review opens with the flags and labels complete and
    // its focus choice sees the final "Load Firmware" visibility. The port stays open.
    postStep(WM_SCAN_STEP, kScanOpenReview);
}

LinkInfo UpgradeEngine::linkInfo() const {
    if (!m_link) {
        return {};
    }
    return {m_link->CommPort(), m_link->lowLatency(), m_link->InterCharTimeOutUs(),
            m_link->chunkEnd()};
}

QString UpgradeEngine::noUnitReason() const {
    if (Port_List.isEmpty()) {
        return QStringLiteral("no serial port to try. Attach the unit's USB serial adapter, or "
                              "name its port with --port.");
    }
    if (m_unopenedPorts >= Port_List.size()) {
        if (Port_List.size() == 1) {
            return m_lastOpenFailure;
        }
        return QStringLiteral("none of the %1 ports could be opened (reasons above).")
            .arg(Port_List.size());
    }
    return oneLine(scanErrorText(m_scanError));
}

void UpgradeEngine::scanExhausted() {
    Cause cause = Cause::NoReply;
    if (Port_List.isEmpty()) {
        cause = Cause::NoPort;
    } else if (m_unopenedPorts >= Port_List.size()) {
        cause = Cause::PortsUnopenable;
    } else if (m_scanError == ScanError::UnknownDevice) {
        cause = Cause::UnknownDevice;
    } else if (m_scanError != ScanError::TimedOut) {
        cause = Cause::WrongManufacturer;
    }
    const QString reason = noUnitReason();
    emitEvent(ev::ScanFailed{m_scanError, cause, reason});
    if (m_mode != EngineMode::Interactive) {
        finishRun(RunExit::NoUnitFound, cause, 0, QStringLiteral("no unit found: ") + reason);
    }
}

void UpgradeEngine::probePort() {
    emitEvent(ev::PortProbed{Port_Index, static_cast<int>(Port_List.size())});
    if (Port_Index >= Port_List.size()) {
        scanExhausted();
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
        opened = false; // not a serial port (or a link left open): skipped like one that fails
    }
    if (!opened) {
        const QString why = link.lastOpenError().isEmpty()
                                ? n + QStringLiteral(" could not be opened.")
                                : link.lastOpenError();
        ++m_unopenedPorts;
        m_lastOpenFailure = why;
        scanLog(n, ScanLog::UnableToOpen, why);
        postStep(WM_SCAN_STEP, kScanNextPort);
        return;
    }
    scanLog(n, ScanLog::Opened);

    const int rm = m_identifier->Get_Firmware_Num();
    emitEvent(ev::TextsChanged{});
    m_unit->Product_Idx = m_products->Find_CV_Product(rm);
    if (m_unit->Product_Idx == -1 && rm != 0) {
        m_scanError = ScanError::UnknownDevice;
    }
    if (m_unit->Product_Idx != -1) {
        if (m_products->Check_CV_Manufacturer(m_unit->Product_Idx)) {
            acceptUnit(n, rm, false);
        } else {
            rejectPort(n, ScanError::Incompatible, ScanLog::WrongManufacturer);
        }
        return;
    }

    scanLog(n, ScanLog::NotFoundModbus);
    link.setBaudRate(115200);
    link.UpdateDCB();
    const int v = m_programmer->Get_BootLoader_Ver();
    if (v == -1) {
        rejectPort(n, ScanError::UnknownDevice, ScanLog::NotFoundBootloader);
        return;
    }
    const int rm2 = m_programmer->Get_Firmware_Ver();
    m_unit->Product_Idx = m_products->Find_CV_Product(rm2);
    if (m_unit->Product_Idx == -1) {
        rejectPort(n, ScanError::WrongManufacturer, ScanLog::UnknownRmBoot);
        return;
    }
    if (m_products->Check_CV_Manufacturer(m_unit->Product_Idx)) {
        acceptUnit(n, rm2, true);
    } else {
        rejectPort(n, ScanError::Incompatible, ScanLog::WrongManufacturer);
    }
}

void UpgradeEngine::openReview() {
    runHandler([this] { reviewUnit(); });
}

void UpgradeEngine::reviewUnit() {
    const Cpu1Verdict verdict = m_review.checkCpu1();
    ev::ReviewOpened review;
    review.verdict = verdict;
    review.refusal = refusalText(verdict);
    review.loadOffered = m_review.Load_Visible;
    review.processors = reviewOfProcessors();
    review.link = m_foundOn;
    emitEvent(review);
    afterReview(review);
}

void UpgradeEngine::afterReview(const ev::ReviewOpened& review) {
    if (m_mode == EngineMode::Interactive || m_finished) {
        return;
    }
    if (review.verdict != Cpu1Verdict::Accepted) {
        finishRun(RunExit::Refused,
                  review.verdict == Cpu1Verdict::ProductMismatch ? Cause::ProductMismatch
                                                                 : Cause::FirmwareTooOld,
                  1, QStringLiteral("the unit cannot be upgraded: ") + oneLine(review.refusal));
        return;
    }
    QStringList due;
    for (int n = 1; n <= 3; ++n) {
        if (review.processors[static_cast<std::size_t>(n)].toProgram) {
            due << processorName(n);
        }
    }
    if (review.loadOffered && !due.isEmpty()) {
        if (m_mode == EngineMode::Identify) {
            finishRun(RunExit::UpgradeDue, Cause::None, 0,
                      QStringLiteral("an upgrade is due: ") + due.join(QStringLiteral(", ")) +
                          QStringLiteral(" would be programmed."));
        } else {
            startUpgrade();
        }
        return;
    }
    int processor = 0;
    Cause cause = Cause::None;
    const QString left = leftProcessorRefusal(&processor, &cause);
    if (!left.isEmpty()) {
        finishRun(RunExit::Refused, cause, processor,
                  QStringLiteral("the unit cannot be upgraded: ") + left);
        return;
    }
    finishRun(RunExit::Success, Cause::None, 0,
              m_mode == EngineMode::Identify
                  ? QStringLiteral("up to date; no processor needs new firmware.")
                  : QStringLiteral("nothing to upgrade; no processor needs new firmware."));
}

void UpgradeEngine::connectNetwork(const QString& address) {
    runHandler([this, address] { identifyOverNetwork(address); });
}

void UpgradeEngine::identifyOverNetwork(const QString& address) {
    m_facade->Use_Serial_Link = false;
    auto notResponding = [this, &address] {
        emitEvent(
            ev::MessageShown{ev::MessageKind::NetworkNotResponding, netNotRespondingText(address)});
    };
    try {
        m_tcpClient->setPort(kModbusTcpPort);
        m_tcpClient->setHost(address);
        m_tcpClient->setConnectTimeoutMs(kTcpConnectTimeoutMs);
        if (!m_tcpClient->connectToHost() || !m_tcpClient->isConnected()) {
            notResponding();
            return;
        }
        emitEvent(ev::NetworkConnected{});
        m_facade->Use_Serial_Link = false;
        const int rm = m_identifier->Get_Firmware_Num();
        emitEvent(ev::TextsChanged{});
        if (m_products->Find_CV_Product(rm) != -1) {
            MBTCP_Transaction_ID = 1;
            return;
        }
        emitEvent(ev::MessageShown{ev::MessageKind::Error, netRefusedText(rm)});
        m_facade->CloseConnection();
    } catch (const std::exception&) {
        notResponding();
    }
}

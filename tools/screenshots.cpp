// Renders every screen and dialog of the updater to PNG files (offscreen), for the user
// documentation and for reviewing the look: screenshots [output folder, default docs/screens].
// The window is the real one; the states are set through its own operations.

#include "MessageDialog.h"
#include "MsgDlg.h"
#include "Theme.h"
#include "main.h"
#include "upgrade/Captions.h"

#include "common/gen_lib.h"
#include "firmware/ImageStore.h"
#include "firmware/ProductTable.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include <cstdio>

namespace {

QString g_folder;
int g_failures = 0;

void save(const QImage& image, const QString& name) {
    const QString path = QDir(g_folder).filePath(name + QStringLiteral(".png"));
    if (image.save(path, "PNG")) {
        std::printf("%s\n", qPrintable(path));
    } else {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        ++g_failures;
    }
}

QImage grabWindow(TForm3& form) {
    QCoreApplication::processEvents();
    return form.grab().toImage();
}

// A fresh window in the state right after start-up, with nothing attached.
std::unique_ptr<TForm3> freshWindow() {
    EngineDeps deps;
    deps.listPorts = [] { return std::vector<corvane::PortEntry>{}; };
    auto form = createUpdaterForms(std::move(deps));
    form->move(40, 40);
    form->show();
    form->activateWindow();
    QApplication::setActiveWindow(form.get());
    QCoreApplication::processEvents();
    return form;
}

// A unit of the first carried product: CPU-1 out of date, CPU-2 too old to upgrade (marked),
// the HMI up to date.
void identifyUnit(TForm3& form) {
    UnitState& u = form.unit();
    const int rm = u.New_RM_Number[1];
    u.Product_Idx = form.products().Find_CV_Product(rm);
    u.RM_Number[1] = static_cast<std::uint16_t>(rm);
    u.FW_Version[1] = 232;
    form.imageStore().Init_CPU1_Mem(rm);
    u.RM_Number[2] = u.New_RM_Number[2];
    u.FW_Version[2] = 98;
    u.RM_Number[3] = u.New_RM_Number[3];
    u.FW_Version[3] = u.New_FW_Version[3];
    u.BL_Active_Flag = false;
    form.applyScreenTexts();
    form.Refresh_Update_Flags();
    form.Update_Version_Labels();
}

void shootConnect() {
    auto form = freshWindow();
    save(grabWindow(*form), QStringLiteral("connect"));
}

void shootScanning() {
    auto form = freshWindow();
    form->showPanel(form->Scan_Panel);
    form->Label1->setText(QStringLiteral("Scanning for a Corvane device.\rPlease Wait....."));
    form->Scan_ProgressBar->setRange(0, 3);
    form->Scan_ProgressBar->setPosition(2);
    save(grabWindow(*form), QStringLiteral("scanning"));
}

void shootRetry() {
    auto form = freshWindow();
    form->showPanel(form->Scan_Panel);
    form->Label1->setText(QStringLiteral("Scan Complete."));
    form->Scan_ProgressBar->setRange(0, 2);
    form->Scan_ProgressBar->setPosition(2);
    form->Scan_Error_Label->setText(scanErrorText(ScanError::TimedOut));
    form->Retry_Panel->show();
    form->Retry_Panel->raise();
    form->TryAgain_Button->setFocus();
    save(grabWindow(*form), QStringLiteral("retry"));
}

void shootStart() {
    auto form = freshWindow();
    identifyUnit(*form);
    form->showPanel(form->Start_Panel);
    form->Load_Button->setFocus();
    save(grabWindow(*form), QStringLiteral("start"));

    // The same unit with ALL mode on and the CPU-2 notes chosen.
    setKeyboardModifiersSource([] { return Qt::KeyboardModifiers(Qt::ControlModifier); });
    form->Label7Click();
    setKeyboardModifiersSource({});
    form->TabSet1->setCurrentIndex(1);
    save(grabWindow(*form), QStringLiteral("start-all-mode"));
}

// The progress list of a run that has upgraded CPU-1 and is reprogramming CPU-2 (or has
// finished), shown through the caption table from the engine's events.
void fillProgress(corvane::ui::ProgressListBox& list, bool finished) {
    std::vector<EngineEvent> run;
    auto stage = [&run](Stage s, int n, bool bar, std::optional<double> percent,
                        std::uint32_t detail = 0) {
        run.emplace_back(ev::StageStarted{s, n, bar});
        if (percent) {
            run.emplace_back(ev::StageProgress{s, n, *percent, 0, 0});
        }
        if (!percent || *percent >= 100) {
            run.emplace_back(ev::StageEnded{s, n, StageResult::Done, Cause::None, detail});
        }
    };
    stage(Stage::BootloaderEntry, 1, false, std::nullopt);
    stage(Stage::BootloaderInfo, 1, false, std::nullopt, 258u << 16 | 105u);
    stage(Stage::ModelCheck, 1, false, std::nullopt);
    stage(Stage::Erase, 1, true, 100);
    stage(Stage::Transfer, 1, true, 100);
    stage(Stage::BootModeExit, 1, false, std::nullopt);
    stage(Stage::Cpu1Restart, 1, false, std::nullopt);
    stage(Stage::BootModeEntry, 2, false, std::nullopt);
    stage(Stage::Transfer, 2, true, 100);
    stage(Stage::Erase, 2, true, 100);
    stage(Stage::Reprogram, 2, true, finished ? 100 : 46);
    if (finished) {
        run.emplace_back(ev::Noted{Note::UpToDate, 3, {}});
        stage(Stage::SystemRestart, 0, false, std::nullopt);
        stage(Stage::Verification, 0, false, std::nullopt);
    }
    for (const EngineEvent& e : run) {
        applyProgressOps(list, progressOps(e));
    }
    list.scrollToLast();
}

void shootUpgrade() {
    {
        auto form = freshWindow();
        identifyUnit(*form);
        form->showPanel(form->Start_Panel);
        form->Progress_ListBox->clear();
        form->showPanel(form->Upgrade_Panel);
        fillProgress(*form->Progress_ListBox, false);
        form->Progress_ListBox->setFocus();
        save(grabWindow(*form), QStringLiteral("upgrade"));
    }
    {
        auto form = freshWindow();
        form->showPanel(form->Upgrade_Panel);
        fillProgress(*form->Progress_ListBox, true);
        form->Quit_Button2->show();
        form->Quit_Button2->setFocus();
        save(grabWindow(*form), QStringLiteral("upgrade-done"));
    }
}

void shootMsgForm() {
    auto form = freshWindow();
    identifyUnit(*form);
    form->unit().RM_Number[1] = 4005; // another product than the carried one
    form->showPanel(form->Start_Panel);
    const Cpu1Verdict verdict = form->review().checkCpu1();
    form->applyReview();
    QImage shot = grabWindow(*form);

    TMsg_Form& box = *form->msgForm();
    box.Label1->setText(refusalText(verdict));
    box.Image1->setPicture(form->galleryForm()->Exclamation_Image);
    box.OK_Button->setFocus();
    // The box is translucent outside its panel: draw it alone, then over the window, centred.
    QImage layer(box.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    box.render(&layer, QPoint(), QRegion(), QWidget::DrawChildren);
    QPainter p(&shot);
    p.drawImage(QPoint((shot.width() - layer.width()) / 2, (shot.height() - layer.height()) / 2),
                layer);
    p.end();
    save(shot, QStringLiteral("msg-form"));
}

void shootMessageDialog() {
    auto form = freshWindow();
    const auto warning = CreateMessageDialog(QStringLiteral("Unknown Product!\rTerminating "
                                                            "Program...."),
                                             TMsgDlgType::mtWarning, TMsgDlgBtn::mbOK, form.get());
    warning->adjustSize();
    save(warning->grab().toImage(), QStringLiteral("message-dialog"));
    const auto error = CreateMessageDialog(
        QStringLiteral("192.168.1.250 is not responding. Please Select Another IP Address."),
        TMsgDlgType::mtError, TMsgDlgBtn::mbOK, form.get());
    error->adjustSize();
    save(error->grab().toImage(), QStringLiteral("message-dialog-error"));
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Corvane Firmware Updater"));
    corvane::ui::installAppFonts();
    QApplication::setFont(corvane::ui::uiFont());
    sounds().setPlayer([](std::uint32_t) {});

    g_folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screens");
    if (!QDir().mkpath(g_folder)) {
        std::fprintf(stderr, "screenshots: cannot create %s\n", qPrintable(g_folder));
        return 1;
    }
    shootConnect();
    shootScanning();
    shootRetry();
    shootStart();
    shootUpgrade();
    shootMsgForm();
    shootMessageDialog();
    return g_failures == 0 ? 0 : 1;
}

#include "gen_lib.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <thread>

std::uint32_t dialogSoundCode(TMsgDlgType type) {
    switch (type) {
    case TMsgDlgType::mtWarning:
        return kSoundExclamation;
    case TMsgDlgType::mtError:
        return kSoundHand;
    case TMsgDlgType::mtInformation:
        return kSoundDefault;
    case TMsgDlgType::mtConfirmation:
        return kSoundQuestion;
    case TMsgDlgType::mtCustom:
        return kSoundAsterisk;
    }
    return kSoundDefault;
}

void Sounds::beep(std::uint32_t code) {
    m_requested.push_back(code);
    if (m_player) {
        m_player(code);
    }
}

Sounds& sounds() {
    static Sounds instance;
    return instance;
}

std::optional<ScaleRatio> scaleFormRatio(int W, int H) {
    if (W <= 0 || H <= 0) {
        return std::nullopt;
    }
    // The ratio is compared in floating point with this exact constant, so 1600 x 1200
    // (W / H rounds to the same double) counts as 4:3.
    if (double(W) / double(H) <= 1.3333333333333333) {
        return ScaleRatio{W, 1024};
    }
    if (H != 768) {
        return ScaleRatio{H, 768};
    }
    return std::nullopt;
}

namespace {

bool g_delaysAbandoned = false;

} // namespace

bool Delay_MS(int ms) {
    return Delay_MS(ms, {});
}

bool Delay_MS(int ms, const std::function<bool()>& stop) {
    if (ms <= 0) {
        return true;
    }
    if (g_delaysAbandoned) {
        return false;
    }

    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);

    if (QCoreApplication::instance() == nullptr) {
        // No event loop to serve: just wait.
        std::this_thread::sleep_until(end);
        return true;
    }

    // The timer only wakes the wait at the deadline; a timer that fires early (or events that
    // wake it) just lead to another round with the remaining time.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    for (;;) {
        const auto now = Clock::now();
        if (now >= end) {
            return true;
        }
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(end - now);
        wake.start(static_cast<int>(remaining.count()));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (g_delaysAbandoned || (stop && stop())) {
            return false;
        }
    }
}

void abandonDelays() {
    g_delaysAbandoned = true;
    if (auto* dispatcher = QAbstractEventDispatcher::instance()) {
        dispatcher->wakeUp();
    }
}

void resumeDelays() {
    g_delaysAbandoned = false;
}

bool delaysAbandoned() {
    return g_delaysAbandoned;
}

const std::array<QString, kVersionKeyCount>& versionInfoKeys() {
    static const std::array<QString, kVersionKeyCount> keys{
        QStringLiteral("CompanyName"),      QStringLiteral("FileDescription"),
        QStringLiteral("FileVersion"),      QStringLiteral("InternalName"),
        QStringLiteral("LegalCopyright"),   QStringLiteral("LegalTradeMarks"),
        QStringLiteral("OriginalFilename"), QStringLiteral("ProductName"),
        QStringLiteral("ProductVersion"),   QStringLiteral("Comments")};
    return keys;
}

const std::optional<VersionBlock>& compiledVersionBlock() {
    // Values come from the build (compile definitions); an empty one counts as absent.
    static const std::optional<VersionBlock> block = VersionBlock{
        {QStringLiteral("CompanyName"), QStringLiteral(CORVANE_VERSION_COMPANY)},
        {QStringLiteral("FileDescription"), QStringLiteral(CORVANE_VERSION_DESCRIPTION)},
        {QStringLiteral("FileVersion"), QStringLiteral(CORVANE_VERSION_FILE)},
        {QStringLiteral("InternalName"), QStringLiteral(CORVANE_VERSION_INTERNAL_NAME)},
        {QStringLiteral("LegalCopyright"), QStringLiteral(CORVANE_VERSION_COPYRIGHT)},
        {QStringLiteral("LegalTradeMarks"), QStringLiteral(CORVANE_VERSION_TRADEMARKS)},
        {QStringLiteral("OriginalFilename"), QStringLiteral(CORVANE_VERSION_ORIGINAL_FILENAME)},
        {QStringLiteral("ProductName"), QStringLiteral(CORVANE_VERSION_PRODUCT)},
        {QStringLiteral("ProductVersion"), QStringLiteral(CORVANE_VERSION_PRODUCT_VERSION)},
        {QStringLiteral("Comments"), QStringLiteral(CORVANE_VERSION_COMMENTS)},
    };
    return block;
}

void fillVersionInfo(const std::optional<VersionBlock>& block) {
    Version_Info.fill(QStringLiteral("N/A"));
    if (!block) {
        return;
    }
    const auto& keys = versionInfoKeys();
    for (int i = 0; i < kVersionKeyCount; ++i) {
        for (const auto& [key, value] : *block) {
            if (key == keys[i] && !value.isEmpty()) {
                Version_Info[i] = value;
                break;
            }
        }
    }
}

void Get_Version_Info() {
    fillVersionInfo(compiledVersionBlock());
}

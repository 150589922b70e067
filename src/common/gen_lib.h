#pragma once
// Shared helpers of the window code: dialog types with their warning sounds and captions,
// the dialog scaling rule, a delay that keeps events flowing, the program's version strings
// and the Ctrl-key test. Everything here is for the main thread. The dialog itself is built
// by the window layer on top of these.

#include <QFlags>
#include <QString>
#include <Qt>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

enum class TMsgDlgType : int {
    mtWarning = 0,
    mtError = 1,
    mtInformation = 2,
    mtConfirmation = 3,
    mtCustom = 4
};

enum class TMsgDlgBtn : std::uint16_t {
    mbYes = 0x0001,
    mbNo = 0x0002,
    mbOK = 0x0004,
    mbCancel = 0x0008,
    mbAbort = 0x0010,
    mbRetry = 0x0020,
    mbIgnore = 0x0040,
    mbAll = 0x0080,
    mbNoToAll = 0x0100,
    mbYesToAll = 0x0200,
    mbHelp = 0x0400,
    mbClose = 0x0800
};
Q_DECLARE_FLAGS(TMsgDlgButtons, TMsgDlgBtn)
Q_DECLARE_OPERATORS_FOR_FLAGS(TMsgDlgButtons)

// Modal results of the dialogs' buttons.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;
inline constexpr int mrRetry = 4;
inline constexpr int mrIgnore = 5;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;
inline constexpr int mrClose = 8;
inline constexpr int mrHelp = 9;
inline constexpr int mrAll = 12;
inline constexpr int mrNoToAll = 13;
inline constexpr int mrYesToAll = 14;

// Warning sound codes (the values of the platform's beep call).
inline constexpr std::uint32_t kSoundDefault = 0x00;
inline constexpr std::uint32_t kSoundHand = 0x10;
inline constexpr std::uint32_t kSoundQuestion = 0x20;
inline constexpr std::uint32_t kSoundExclamation = 0x30;
inline constexpr std::uint32_t kSoundAsterisk = 0x40;

// mtInformation plays the default sound, not the asterisk.
[[nodiscard]] std::uint32_t dialogSoundCode(TMsgDlgType type);

// The type's standard caption ("Warning", "Error", "Information", "Confirm"; the application
// name for mtCustom) and the caption a message dialog shows: one space in front of it.
[[nodiscard]] QString standardCaption(TMsgDlgType type);
[[nodiscard]] QString dialogCaption(TMsgDlgType type);

// Warning sounds. The player does the actual output (the window layer installs one that
// calls QApplication::beep()); every requested code is recorded first, so tests can see it.
class Sounds {
public:
    using Player = std::function<void(std::uint32_t code)>;

    void setPlayer(Player player) { m_player = std::move(player); }
    void beep(std::uint32_t code);
    void playFor(TMsgDlgType type) { beep(dialogSoundCode(type)); }

    [[nodiscard]] const std::vector<std::uint32_t>& requested() const { return m_requested; }
    void clearRequested() { m_requested.clear(); }

private:
    Player m_player;
    std::vector<std::uint32_t> m_requested;
};

// The process's sound output (main thread only).
[[nodiscard]] Sounds& sounds();

// Dialogs are designed for a 1024 x 768 display. ScaleBy(multiplier, divisor) multiplies
// positions, sizes and fonts by multiplier / divisor.
struct ScaleRatio {
    int multiplier = 1;
    int divisor = 1;
    [[nodiscard]] double factor() const { return double(multiplier) / double(divisor); }
    friend bool operator==(const ScaleRatio&, const ScaleRatio&) = default;
};

// The scaling for a display of W x H pixels, or nullopt for "leave the form unscaled".
// A size of 0 (or less) in either direction means no reference display: unscaled.
[[nodiscard]] std::optional<ScaleRatio> scaleFormRatio(int W, int H);

// Reference display size for dialogs; 0 x 0 means dialogs are not scaled.
inline int Display_Width = 0;
inline int Display_Height = 0;

// Waits ms milliseconds while dispatching the thread's events, never returning early unless
// the wait is abandoned. 0 or less returns at once without dispatching anything. Returns true
// when the whole time has passed, false when it was abandoned: by abandonDelays() (a closing
// window) or by stop() returning true (checked whenever events have been dispatched).
bool Delay_MS(int ms);
bool Delay_MS(int ms, const std::function<bool()>& stop);

// Makes every running Delay_MS return at once and every later one return without waiting,
// until resumeDelays(). The window calls it when it closes, so that no step keeps waiting on
// a link that is being released.
void abandonDelays();
void resumeDelays();
[[nodiscard]] bool delaysAbandoned();

// Version information, in key order: 0 CompanyName, 1 FileDescription, 2 FileVersion,
// 3 InternalName, 4 LegalCopyright, 5 LegalTradeMarks, 6 OriginalFilename, 7 ProductName,
// 8 ProductVersion, 9 Comments. "N/A" where the program has no value.
inline constexpr int kVersionKeyCount = 10;
[[nodiscard]] const std::array<QString, kVersionKeyCount>& versionInfoKeys();
inline std::array<QString, kVersionKeyCount> Version_Info{};

// One value per key, as compiled into the program; nullopt for "no version block".
using VersionBlock = std::vector<std::pair<QString, QString>>;
[[nodiscard]] const std::optional<VersionBlock>& compiledVersionBlock();

// Fills Version_Info from a version block: "N/A" for a missing block, key or empty value.
void fillVersionInfo(const std::optional<VersionBlock>& block);
// Fills Version_Info from the program's own compiled-in values.
void Get_Version_Info();

// True while a Ctrl key is down. The source defaults to
// QGuiApplication::queryKeyboardModifiers() (false without a GUI application).
using KeyboardModifiersSource = std::function<Qt::KeyboardModifiers()>;
void setKeyboardModifiersSource(KeyboardModifiersSource source);
[[nodiscard]] bool Ctrl_Key_Down();

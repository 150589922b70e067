#pragma once
// Constants and small helpers shared by the files of UnitModel (not part of its interface).

#include "DeviceFraming.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <span>

namespace corvane::sim::unit {

inline constexpr std::size_t kFlashSize = 65536;
inline constexpr std::uint32_t kBootMarker = 0x3FF; // bootloader's boot-mode byte: 0 = run firmware
inline constexpr int kMaxNotes = 200;

// Frame ends on a quiet line. The idle gap is wall time, not scaled: it only decides when an
// unknown-function frame is complete; bytes that may begin a frame are kept until stale.
inline constexpr auto kIdleGap = std::chrono::milliseconds(5);
inline constexpr auto kStaleGap = std::chrono::milliseconds(500);

// Control register commands (function 103).
inline constexpr std::uint16_t kUpgradeMode = 0x1966;
inline constexpr std::uint16_t kToBootloader = 0x222D;
inline constexpr std::uint16_t kRestart = 0x1BC5;
inline constexpr int kControlRegister = 12;

// Window blocks (function 104).
inline constexpr std::uint16_t kCommandMarker = 0x5C;
inline constexpr std::uint16_t kDataMarker = 0xA6;
inline constexpr std::uint16_t kEnterBootMode = 0x222D;
inline constexpr std::uint16_t kErase = 0x1A9B;
inline constexpr std::uint16_t kStartProgramming = 0x1997;

// Status words a sub-processor posts.
inline constexpr std::uint16_t kFinished = 0x8000;
inline constexpr std::uint16_t kCorrupt = 0x4000;
inline constexpr std::uint16_t kBusyErasing = 0x0001;
inline constexpr std::uint16_t kBusyProgramming = 0x0002;

inline constexpr int kGeneralFirst = 100;
inline constexpr int kGeneralLast = 199;

inline std::uint16_t word(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

inline void putWord(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

inline Bytes exceptionPdu(std::uint8_t fn, std::uint8_t code) {
    return Bytes{static_cast<std::uint8_t>(fn | 0x80), code};
}

inline QString hex4(std::uint32_t v) {
    return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace corvane::sim::unit

#pragma once
// The register map of the libmodbus peer: what both the peer program and the tests know.

#include <cstdint>

namespace corvane::testsupport {

// Holding registers 0 .. peerRegisterCount - 1 exist; any other address gives exception 2.
inline constexpr std::uint16_t peerRegisterCount = 200;
inline constexpr std::uint16_t peerUnmappedRegister = 1000;

[[nodiscard]] inline constexpr std::uint16_t peerInitialValue(std::uint16_t reg) {
    return static_cast<std::uint16_t>(0xA000 + 7 * reg);
}

} // namespace corvane::testsupport

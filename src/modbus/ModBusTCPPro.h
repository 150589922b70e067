#pragma once
// Modbus TCP master: the serial twins' exchanges framed with the MBAP header instead of the
// slave address and CRC, on a connected ModbusTCP_Client. Time-outs count tenths of a second.
// Result codes: 1 success, 2 exception reply of the normal reply's size, 0 no reply of the
// normal size, -1 invalid reply, -3 request refused (nothing sent). Connection failures raise
// TcpClientError.

#include <cstdint>
#include <span>

class ModbusTCP_Client;

// Sent with every exchange and expected back; advances by one (wrapping) after every exchange,
// whatever its outcome and also when it ends by an exception.
extern std::uint16_t MBTCP_Transaction_ID;

[[nodiscard]] int MBTCP_WriteSingleReg(ModbusTCP_Client& client, std::uint8_t unit,
                                       std::uint8_t function, std::uint16_t reg,
                                       std::uint16_t value, std::uint16_t timeout);

// At most 123 registers (the length field's high byte is always 0); more, or fewer values than
// count, is refused with -3.
[[nodiscard]] int MBTCP_WriteMultiRegs(ModbusTCP_Client& client, std::uint8_t unit,
                                       std::uint8_t function, std::uint16_t first,
                                       std::uint16_t count, std::span<const std::uint16_t> values,
                                       std::uint16_t timeout);

// values receives the registers only when the result is 1; fewer than count is refused (-3).
[[nodiscard]] int MBTCP_ReadRegs(ModbusTCP_Client& client, std::uint8_t unit, std::uint8_t function,
                                 std::uint16_t first, std::uint16_t count, std::uint16_t timeout,
                                 std::span<std::uint16_t> values);

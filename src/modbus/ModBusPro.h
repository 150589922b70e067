#pragma once
// Modbus RTU master on the serial link: one request/reply exchange at a time.
// Result codes: 1 success, 2 exception reply, 0 no reply, negative invalid reply or closed link.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

class TVexaComms;
class TRxCondition;

// CRC-16/MODBUS over buf[first..last] with its two bytes exchanged, so that writing it high
// byte first puts the CRC's low byte first on the wire. last < first gives 0xFFFF.
[[nodiscard]] std::uint16_t MB_CRC16(const std::uint8_t* buf, std::uint16_t first,
                                     std::uint16_t last);

// The reply conditions of one exchange: 1 the normal reply (slave, function, then normalPost
// more bytes), 2 the exception reply (slave, function | 0x80, four more bytes). Noise before
// the slave address counts as pre-phase bytes.
void rtuReplyConditions(TRxCondition& cond, std::uint8_t slave, std::uint8_t function,
                        std::uint16_t normalPost);

// Copy of a normal reply from its slave-address byte to the end of what arrived.
[[nodiscard]] std::vector<std::uint8_t> rtuReplyCopy(TVexaComms& link);

// Optional observers of one exchange: called right before the request is transmitted and
// right after the reply wait has returned (whatever the result).
struct ExchangeHooks {
    std::function<void()> beforeSend;
    std::function<void(int waitResult)> afterWait;
};

[[nodiscard]] int MB_WriteSingleReg(TVexaComms& link, std::uint8_t slave, std::uint8_t function,
                                    std::uint16_t reg, std::uint16_t value, std::uint16_t timeout);

// At most 30 registers (the request buffer is 70 bytes); more is refused with a negative
// result and nothing is sent.
[[nodiscard]] int MB_WriteMultiRegs(TVexaComms& link, std::uint8_t slave, std::uint8_t function,
                                    std::uint16_t first, std::uint16_t count,
                                    std::span<const std::uint16_t> values, std::uint16_t timeout,
                                    const ExchangeHooks* hooks = nullptr);

// values receives the registers only when the result is 1.
[[nodiscard]] int MB_ReadRegs(TVexaComms& link, std::uint8_t slave, std::uint8_t function,
                              std::uint16_t first, std::uint16_t count, std::uint16_t timeout,
                              std::span<std::uint16_t> values);

#include "RegisterFacade.h"

#include "ModBusPro.h"
#include "ModBusTCPPro.h"
#include "ModbusTCP_Client.h"
#include "VexaComms.h"

namespace {

// Reply time-outs: 100 ms reply-timer ticks on the serial link, tenths of a second on TCP.
constexpr std::uint16_t serialTimeout = 15;
constexpr std::uint16_t tcpTimeout = 70;
// A call for a transport whose object does not exist.
constexpr int noTransport = -2;

} // namespace

RegisterFacade::RegisterFacade(TVexaComms* serial, ModbusTCP_Client* tcp)
    : m_serial(serial)
    , m_tcp(tcp) {}

namespace {

// Only the low 8 bits count; unsigned arithmetic, so no sum can overflow.
std::uint8_t slaveAddress(int address, int base) {
    return static_cast<std::uint8_t>(
        (static_cast<unsigned>(address) + static_cast<unsigned>(base) - 1U) & 0xFFU);
}

} // namespace

int RegisterFacade::PollReg(int address, int function, std::uint16_t first, std::uint16_t count,
                            std::span<std::uint16_t> values) {
    const std::uint8_t slave = slaveAddress(address, Base_Slave_Address);
    const auto fn = static_cast<std::uint8_t>(function);
    if (Use_Serial_Link) {
        return m_serial ? MB_ReadRegs(*m_serial, slave, fn, first, count, serialTimeout, values)
                        : noTransport;
    }
    return m_tcp ? MBTCP_ReadRegs(*m_tcp, slave, fn, first, count, tcpTimeout, values)
                 : noTransport;
}

int RegisterFacade::SendSingle(int address, int fnum, std::uint16_t offset, std::uint16_t datword) {
    const std::uint8_t slave = slaveAddress(address, Base_Slave_Address);
    const auto fn = static_cast<std::uint8_t>(fnum);
    if (Use_Serial_Link) {
        return m_serial ? MB_WriteSingleReg(*m_serial, slave, fn, offset, datword, serialTimeout)
                        : noTransport;
    }
    return m_tcp ? MBTCP_WriteSingleReg(*m_tcp, slave, fn, offset, datword, tcpTimeout)
                 : noTransport;
}

int RegisterFacade::SendMulti(int address, int function, std::uint16_t first, std::uint16_t count,
                              std::span<const std::uint16_t> values) {
    const std::uint8_t slave = slaveAddress(address, Base_Slave_Address);
    const auto fn = static_cast<std::uint8_t>(function);
    if (Use_Serial_Link) {
        return m_serial
                   ? MB_WriteMultiRegs(*m_serial, slave, fn, first, count, values, serialTimeout)
                   : noTransport;
    }
    return m_tcp ? MBTCP_WriteMultiRegs(*m_tcp, slave, fn, first, count, values, tcpTimeout)
                 : noTransport;
}

void RegisterFacade::CloseConnection() {
    if (Use_Serial_Link) {
        if (m_serial) {
            m_serial->CloseComm();
        }
        return;
    }
    // The client object stays and can connect again.
    if (m_tcp && m_tcp->isConnected()) {
        m_tcp->close();
    }
}

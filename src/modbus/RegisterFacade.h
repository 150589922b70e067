#pragma once
// One way to read and write a unit's registers whichever way the unit is attached: the serial
// link with Modbus RTU (time-out 15 ticks) or the TCP connection with Modbus TCP (70 tenths).

#include <cstdint>
#include <span>

class TVexaComms;
class ModbusTCP_Client;

class RegisterFacade {
public:
    // Either may be null; a call for a transport without its object fails with a negative
    // result.
    RegisterFacade(TVexaComms* serial, ModbusTCP_Client* tcp);

    bool Use_Serial_Link = false;
    int Base_Slave_Address = 1;

    [[nodiscard]] int PollReg(int address, int function, std::uint16_t first, std::uint16_t count,
                              std::span<std::uint16_t> values);
    [[nodiscard]] int SendSingle(int address, int fnum, std::uint16_t offset,
                                 std::uint16_t datword);
    [[nodiscard]] int SendMulti(int address, int function, std::uint16_t first, std::uint16_t count,
                                std::span<const std::uint16_t> values);
    void CloseConnection();

    void setSerial(TVexaComms* serial) { m_serial = serial; }
    [[nodiscard]] TVexaComms* serial() const { return m_serial; }
    [[nodiscard]] ModbusTCP_Client* tcp() const { return m_tcp; }

private:
    TVexaComms* m_serial;    // not owned
    ModbusTCP_Client* m_tcp; // not owned
};

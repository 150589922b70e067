#pragma once
// Helpers of the simulated unit's tests: a scripted master on the pty's slave side, request
// builders written from the master's point of view, and small build-data folders.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

// The master end of the line: opens the pty device raw, like a serial port.
class LineMaster {
public:
    explicit LineMaster(const QString& path);
    ~LineMaster();
    LineMaster(const LineMaster&) = delete;
    LineMaster& operator=(const LineMaster&) = delete;

    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    void close();
    bool reopen();
    void send(const Bytes& bytes);
    // Reads until `complete` says the bytes so far are a whole reply, or the time is up.
    Bytes receive(const std::function<bool(const Bytes&)>& complete, int timeoutMs = 1000);
    Bytes receiveCount(std::size_t n, int timeoutMs = 1000);
    // Everything that arrives within the window.
    Bytes receiveFor(int windowMs);
    Bytes transact(const Bytes& request, std::size_t replyLength, int timeoutMs = 1000);
    // A bootloader exchange: the reply ends with an unpaired DLE ETX.
    Bytes transactBoot(const Bytes& frame, int timeoutMs = 1000);
    void drain();

private:
    QString m_path;
    int m_fd = -1;
};

QByteArray qb(const Bytes& b);   // for QCOMPARE
Bytes fromHex(const char* text); // spaces allowed
Bytes withCrc(Bytes frame);
Bytes readRequest(std::uint8_t slave, std::uint16_t first, std::uint16_t count);
Bytes writeSingle(std::uint8_t slave, std::uint8_t fn, std::uint16_t reg, std::uint16_t value);
Bytes writeMulti(std::uint8_t slave, std::uint8_t fn, std::uint16_t first,
                 const std::vector<std::uint16_t>& values);
// Frame of the bootloader protocol: DLE STX, body with every DLE doubled, DLE ETX.
Bytes bootFrame(std::uint8_t cmd, std::uint8_t len, const Bytes& data);
// The body of a bootloader reply (undoubled, BCC checked); empty when malformed.
Bytes bootBody(const Bytes& wire);
bool bootReplyComplete(const Bytes& wire);
std::vector<std::uint16_t> registersOf(const Bytes& readReply);

// Requests of a master that programs the unit (slave 23).
// Bootloader address bytes, low byte first.
Bytes addr3(std::uint32_t a);
// Registers first.. read with function 3; empty when the read is not answered.
std::vector<std::uint16_t> readRegisters(LineMaster& m, std::uint16_t first, std::uint16_t count);
// Writes a whole window (function 104): a command (marker 0x5C) or data (0xA6) block, padded
// with zeros to len registers. Returns the reply.
Bytes windowWrite(LineMaster& m, std::uint16_t start, int len, std::vector<std::uint16_t> regs);
std::vector<std::uint16_t> commandBlock(int len, std::uint16_t cmd, std::uint16_t p1,
                                        std::uint16_t p2);
// The data blocks of img[from..to] into the window at start; *sent counts the acknowledged ones.
void sendImageBlocks(LineMaster& m, std::uint16_t start, int len, const QByteArray& img,
                     std::uint32_t from, std::uint32_t to, int* sent = nullptr);
// CPU-1's bootloader: erases 0x0800..0xFFFF, then programs the first `blocks` 128-byte blocks
// of img from 0x0800. False at the first step that is not answered properly.
bool programCpu1(LineMaster& m, const QByteArray& img, int blocks, int timeoutMs = 1000);

struct BuildDataLayout {
    std::array<std::uint16_t, 4> rm{0, 4001, 3100, 3200};
    std::array<std::uint16_t, 4> version{0, 245, 232, 112};
    std::array<std::uint16_t, 4> progStart{0, 0x0800, 0x1000, 0x1000};
    std::uint16_t bootRm = 999;
    std::vector<std::uint16_t> cpu1Products{4001, 4002};
    std::vector<std::pair<std::uint16_t, bool>> products{{4001, true}, {4002, false}};
};
// Writes a build-data folder into `dir`; images are seeded random bytes.
void writeBuildData(const QString& dir, const BuildDataLayout& layout = {});
QByteArray image(const QString& dir, const QString& name);

// The image CRC as a master sends it in the erase/programming commands: CRC-16/MODBUS of
// image[first..last] with its bytes exchanged.
std::uint16_t imageCrcWord(const QByteArray& image, std::uint32_t first, std::uint32_t last);

} // namespace simtest

#include "SimTestSupport.h"

#include <QDir>
#include <QFile>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace simtest {

namespace {

// A table-driven CRC-16/MODBUS, written apart from the unit's bitwise one.
std::uint16_t crcTable(std::size_t i) {
    static const auto table = [] {
        std::array<std::uint16_t, 256> t{};
        for (std::size_t n = 0; n < 256; ++n) {
            auto c = static_cast<std::uint16_t>(n);
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(c >> 1);
            }
            t[n] = c;
        }
        return t;
    }();
    return table[i];
}

std::uint16_t crc(const std::uint8_t* p, std::size_t n) {
    std::uint16_t c = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        c = static_cast<std::uint16_t>((c >> 8) ^ crcTable((c ^ p[i]) & 0xFF));
    }
    return c;
}

void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void writeWord(const QDir& dir, const QString& name, std::uint16_t v) {
    QFile f(dir.filePath(name));
    if (f.open(QIODevice::WriteOnly)) {
        const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
        f.write(bytes, 2);
    }
}

void writeImage(const QDir& dir, const QString& name, std::uint32_t seed) {
    std::mt19937 rng(seed);
    QByteArray img(65536, '\0');
    for (auto& c : img) {
        c = static_cast<char>(rng() & 0xFF);
    }
    // Bytes that stress the framing of both protocols.
    img[0x1000] = 0x10;
    img[0x1001] = 0x03;
    img[0x1002] = 0x10;
    img[0x1003] = 0x10;
    img[0x0810] = 0x10;
    QFile f(dir.filePath(name));
    if (f.open(QIODevice::WriteOnly)) {
        f.write(img);
    }
}

} // namespace

LineMaster::LineMaster(const QString& path)
    : m_path(path) {
    reopen();
}

LineMaster::~LineMaster() {
    close();
}

void LineMaster::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool LineMaster::reopen() {
    close();
    m_fd = ::open(m_path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        return false;
    }
    termios t{};
    if (::tcgetattr(m_fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B115200);
        ::tcsetattr(m_fd, TCSANOW, &t);
    }
    return true;
}

void LineMaster::send(const Bytes& bytes) {
    std::size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
}

Bytes LineMaster::receive(const std::function<bool(const Bytes&)>& complete, int timeoutMs) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_fd >= 0) {
        if (complete && complete(got)) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        std::uint8_t buf[512];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
        }
    }
    return got;
}

Bytes LineMaster::receiveCount(std::size_t n, int timeoutMs) {
    return receive([n](const Bytes& b) { return b.size() >= n; }, timeoutMs);
}

Bytes LineMaster::receiveFor(int windowMs) {
    return receive({}, windowMs);
}

Bytes LineMaster::transact(const Bytes& request, std::size_t replyLength, int timeoutMs) {
    send(request);
    return receiveCount(replyLength, timeoutMs);
}

Bytes LineMaster::transactBoot(const Bytes& frame, int timeoutMs) {
    send(frame);
    return receive(bootReplyComplete, timeoutMs);
}

void LineMaster::drain() {
    receiveFor(30);
}

Bytes withCrc(Bytes frame) {
    const std::uint16_t c = crc(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(c & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(c >> 8));
    return frame;
}

Bytes readRequest(std::uint8_t slave, std::uint16_t first, std::uint16_t count) {
    Bytes b{slave, 3};
    put16(b, first);
    put16(b, count);
    return withCrc(b);
}

Bytes writeSingle(std::uint8_t slave, std::uint8_t fn, std::uint16_t reg, std::uint16_t value) {
    Bytes b{slave, fn};
    put16(b, reg);
    put16(b, value);
    return withCrc(b);
}

Bytes writeMulti(std::uint8_t slave, std::uint8_t fn, std::uint16_t first,
                 const std::vector<std::uint16_t>& values) {
    Bytes b{slave, fn};
    put16(b, first);
    put16(b, static_cast<std::uint16_t>(values.size()));
    b.push_back(static_cast<std::uint8_t>(2 * values.size()));
    for (std::uint16_t v : values) {
        put16(b, v);
    }
    return withCrc(b);
}

Bytes bootFrame(std::uint8_t cmd, std::uint8_t len, const Bytes& data) {
    Bytes body{cmd, len};
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (std::uint8_t v : body) {
        sum += v;
    }
    body.push_back(static_cast<std::uint8_t>(-sum & 0xFF));
    Bytes wire{0x10, 0x02};
    for (std::uint8_t v : body) {
        wire.push_back(v);
        if (v == 0x10) {
            wire.push_back(0x10);
        }
    }
    wire.push_back(0x10);
    wire.push_back(0x03);
    return wire;
}

bool bootReplyComplete(const Bytes& wire) {
    // Ends at a 0x03 that follows an odd run of 0x10, after a DLE STX.
    if (wire.size() < 4) {
        return false;
    }
    std::size_t start = 0;
    while (start + 1 < wire.size() && !(wire[start] == 0x10 && wire[start + 1] == 0x02)) {
        ++start;
    }
    for (std::size_t i = start + 2; i < wire.size(); ++i) {
        if (wire[i] != 0x03) {
            continue;
        }
        std::size_t run = 0;
        for (std::size_t k = i; k > start + 2 && wire[k - 1] == 0x10; --k) {
            ++run;
        }
        if (run % 2 == 1) {
            return true;
        }
    }
    return false;
}

Bytes bootBody(const Bytes& wire) {
    std::size_t i = 0;
    while (i + 1 < wire.size() && !(wire[i] == 0x10 && wire[i + 1] == 0x02)) {
        ++i;
    }
    i += 2;
    Bytes body;
    for (; i < wire.size(); ++i) {
        if (wire[i] == 0x10) {
            if (i + 1 >= wire.size()) {
                return {};
            }
            if (wire[i + 1] == 0x03) {
                break;
            }
            body.push_back(wire[++i]);
        } else {
            body.push_back(wire[i]);
        }
    }
    unsigned sum = 0;
    for (std::uint8_t v : body) {
        sum += v;
    }
    if (body.size() < 3 || (sum & 0xFF) != 0) {
        return {};
    }
    return body;
}

std::vector<std::uint16_t> registersOf(const Bytes& reply) {
    std::vector<std::uint16_t> regs;
    if (reply.size() < 5 || reply.size() != 5 + static_cast<std::size_t>(reply[2])) {
        return regs;
    }
    for (std::size_t i = 3; i + 1 < reply.size() - 2; i += 2) {
        regs.push_back(static_cast<std::uint16_t>((reply[i] << 8) | reply[i + 1]));
    }
    return regs;
}

QByteArray qb(const Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

Bytes fromHex(const char* text) {
    const QByteArray raw = QByteArray::fromHex(QByteArray(text).replace(' ', ""));
    return Bytes(raw.begin(), raw.end());
}

Bytes addr3(std::uint32_t a) {
    return {static_cast<std::uint8_t>(a & 0xFF), static_cast<std::uint8_t>((a >> 8) & 0xFF),
            static_cast<std::uint8_t>((a >> 16) & 0xFF)};
}

std::vector<std::uint16_t> readRegisters(LineMaster& m, std::uint16_t first, std::uint16_t count) {
    return registersOf(m.transact(readRequest(23, first, count), 5U + 2U * count));
}

Bytes windowWrite(LineMaster& m, std::uint16_t start, int len, std::vector<std::uint16_t> regs) {
    regs.resize(static_cast<std::size_t>(len), 0);
    return m.transact(writeMulti(23, 104, start, regs), 8);
}

std::vector<std::uint16_t> commandBlock(int len, std::uint16_t cmd, std::uint16_t p1,
                                        std::uint16_t p2) {
    std::vector<std::uint16_t> r(static_cast<std::size_t>(len), 0);
    r[2] = cmd;
    r[3] = p1;
    r[4] = p2;
    r[static_cast<std::size_t>(len - 1)] = 0x5C;
    return r;
}

void sendImageBlocks(LineMaster& m, std::uint16_t start, int len, const QByteArray& img,
                     std::uint32_t from, std::uint32_t to, int* sent) {
    const std::uint32_t chunk = 2U * static_cast<std::uint32_t>(len - 4);
    int count = 0;
    for (std::uint32_t p = from; p + chunk - 1 <= to; p += chunk) {
        std::vector<std::uint16_t> regs(static_cast<std::size_t>(len), 0);
        regs[2] = static_cast<std::uint16_t>(p - from);
        for (std::uint32_t k = 0; k < chunk / 2; ++k) {
            regs[3 + k] =
                static_cast<std::uint16_t>((static_cast<std::uint8_t>(img[p + 2 * k]) << 8) |
                                           static_cast<std::uint8_t>(img[p + 2 * k + 1]));
        }
        regs[static_cast<std::size_t>(len - 1)] = 0xA6;
        if (windowWrite(m, start, len, regs).size() == 8) {
            ++count;
        }
    }
    if (sent) {
        *sent = count;
    }
}

bool programCpu1(LineMaster& m, const QByteArray& img, int blocks, int timeoutMs) {
    for (std::uint32_t a = 0x0800; a < 0x10000; a += 512) {
        const Bytes body = bootBody(m.transactBoot(bootFrame(0x03, 8, addr3(a)), timeoutMs));
        if (body.size() != 11 || body[0] != 0x03 || body[1] != 0x08) {
            return false;
        }
    }
    int n = 0;
    for (std::uint32_t a = 0x0800; a < 0x10000 && n < blocks; a += 128, ++n) {
        Bytes data(131);
        const Bytes at = addr3(a);
        std::copy(at.begin(), at.end(), data.begin());
        std::memcpy(data.data() + 3, img.constData() + a, 128);
        const Bytes body = bootBody(m.transactBoot(bootFrame(0x02, 2, data), timeoutMs));
        if (body.size() != 5 || body[0] != 0x02) {
            return false;
        }
    }
    return true;
}

void writeBuildData(const QString& path, const BuildDataLayout& layout) {
    const QDir dir(path);
    for (int n = 1; n <= 3; ++n) {
        writeWord(dir, QStringLiteral("RM_NUM_%1").arg(n), layout.rm[static_cast<std::size_t>(n)]);
        writeWord(dir, QStringLiteral("FW_VER_%1").arg(n),
                  layout.version[static_cast<std::size_t>(n)]);
        writeWord(dir, QStringLiteral("PROG_MEM_START_%1").arg(n),
                  layout.progStart[static_cast<std::size_t>(n)]);
        writeWord(dir, QStringLiteral("PROC_NUM_%1").arg(n), 4680);
    }
    writeWord(dir, QStringLiteral("BOOT_RM_NUMBER"), layout.bootRm);
    writeImage(dir, QStringLiteral("HFILE_2"), 2);
    writeImage(dir, QStringLiteral("HFILE_3"), 3);
    for (std::uint16_t rm : layout.cpu1Products) {
        writeImage(dir, QStringLiteral("HFILE_%1").arg(rm), rm);
    }
    QFile csv(dir.filePath(QStringLiteral("PRODUCTS.csv")));
    if (csv.open(QIODevice::WriteOnly)) {
        csv.write("RM,L,D,N,H,U,M,T,B\r\n");
        for (const auto& [rm, hmi] : layout.products) {
            csv.write(QStringLiteral("%1,\"Model, %1\",%2,0,2,20,0,0,0\r\n")
                          .arg(rm)
                          .arg(hmi ? 1 : 0)
                          .toLatin1());
        }
    }
}

QByteArray image(const QString& dir, const QString& name) {
    QFile f(QDir(dir).filePath(name));
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return f.readAll();
}

std::uint16_t imageCrcWord(const QByteArray& img, std::uint32_t first, std::uint32_t last) {
    const std::uint16_t c =
        crc(reinterpret_cast<const std::uint8_t*>(img.constData()) + first, last + 1 - first);
    return static_cast<std::uint16_t>(((c & 0xFF) << 8) | (c >> 8));
}

} // namespace simtest

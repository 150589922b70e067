#pragma once
// Pseudo-terminals for tests that need real serial I/O: a pty pair in raw mode, and a bridge
// that joins two of them so that two programs which each open a tty path talk to each other.

#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>

namespace corvane::testsupport {

// One pseudo-terminal pair. The slave side is set to raw mode and kept open here as well, so
// that the master never sees a hang-up while the program under test closes and reopens the
// slave path.
class Pty {
public:
    Pty(); // throws std::runtime_error when no pty can be had
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    [[nodiscard]] int masterFd() const { return m_master; }
    [[nodiscard]] QString slavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

// Two ptys whose masters a relay thread joins: what a program writes to endA() is read at
// endB() and the other way round, byte for byte.
class PtyBridge {
public:
    PtyBridge();
    ~PtyBridge();
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    [[nodiscard]] QString endA() const { return m_a.slavePath(); }
    [[nodiscard]] QString endB() const { return m_b.slavePath(); }
    [[nodiscard]] std::uint64_t bytesAtoB() const { return m_aToB.load(); }
    [[nodiscard]] std::uint64_t bytesBtoA() const { return m_bToA.load(); }

private:
    void relay();

    Pty m_a;
    Pty m_b;
    int m_stop[2] = {-1, -1};
    std::atomic<std::uint64_t> m_aToB{0};
    std::atomic<std::uint64_t> m_bToA{0};
    std::thread m_thread;
};

// Writes all of bytes to a non-blocking fd, waiting for room as needed; false on an error.
bool writeAll(int fd, const char* bytes, std::size_t n);

} // namespace corvane::testsupport

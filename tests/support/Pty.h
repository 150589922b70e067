#pragma once
// Pseudo-terminals for tests and benchmarks that need real serial I/O: a pty pair in raw mode,
// and a bridge that joins two of them so that two programs which each open a tty path talk to
// each other.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace corvane::testsupport {

// One pseudo-terminal pair in raw mode: the code under test opens slavePath() like a serial
// port, the test plays the peer on the master end (non-blocking).
class Pty {
public:
    // keepSlaveOpen: hold a slave descriptor here as well, so that the master never sees a
    // hang-up while the code under test closes and reopens the slave path.
    explicit Pty(bool keepSlaveOpen = true); // throws std::runtime_error when no pty can be had
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // The master end is still open.
    [[nodiscard]] bool isValid() const { return m_master >= 0; }
    [[nodiscard]] int masterFd() const { return m_master; }
    [[nodiscard]] int slaveFd() const { return m_slave; }
    [[nodiscard]] QString slavePath() const { return m_slavePath; }

    // Writes everything to the master end; false on failure.
    bool write(const QByteArray& bytes);
    // Reads from the master end until `count` bytes are in or `timeout` passes.
    [[nodiscard]] QByteArray read(qsizetype count, std::chrono::milliseconds timeout);
    // Reads until the line has been quiet for `quiet` (or `timeout` passes).
    [[nodiscard]] QByteArray readUntilQuiet(std::chrono::milliseconds quiet,
                                            std::chrono::milliseconds timeout);
    // The peer goes away: the slave side sees a hang-up.
    void closeMaster();
    void closeSlave();

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

#pragma once
// A pseudo-terminal for tests: the code under test opens slavePath() like a serial port, the
// test plays the peer on the master end.

#include <QByteArray>
#include <QString>

#include <chrono>

namespace corvane::test {

class PtyPair {
public:
    // keepSlaveOpen: hold a slave descriptor of our own, so that the master end stays usable
    // while the code under test closes and reopens the slave.
    explicit PtyPair(bool keepSlaveOpen = true);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    [[nodiscard]] bool isValid() const { return m_master >= 0; }
    [[nodiscard]] QString slavePath() const { return m_slavePath; }
    [[nodiscard]] int masterFd() const { return m_master; }
    [[nodiscard]] int slaveFd() const { return m_slave; }

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

} // namespace corvane::test

#pragma once
// Runs the libmodbus peer program (an RTU slave on a tty path or a TCP server on loopback) as
// a child process and reads what it reports: the requests it accepted and the registers that
// writes left behind.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvane::testsupport {

class LibmodbusPeer {
public:
    LibmodbusPeer() = default;
    ~LibmodbusPeer();
    LibmodbusPeer(const LibmodbusPeer&) = delete;
    LibmodbusPeer& operator=(const LibmodbusPeer&) = delete;

    // Both wait until the peer reports that it listens; false (see error()) when it does not.
    // quiet: the peer reports nothing (for long runs); nextRequest and nextWrite then find
    // nothing.
    [[nodiscard]] bool startRtu(const QString& device, int slave, int baud = 115200,
                                bool quiet = false);
    [[nodiscard]] bool startTcp();
    void stop();

    [[nodiscard]] std::uint16_t port() const { return m_port; }
    [[nodiscard]] QString error() const { return m_error; }

    // The next request the peer accepted (raw bytes from the address or MBAP header up to the
    // data, without CRC), waiting up to ms; nothing when none came.
    [[nodiscard]] std::optional<QByteArray> nextRequest(int ms = 2000);
    // The registers of the next write the peer answered: first, then the values.
    struct Write {
        int first = 0;
        std::vector<std::uint16_t> values;
    };
    [[nodiscard]] std::optional<Write> nextWrite(int ms = 2000);
    // Forgets every report read so far and not yet taken.
    void clearReports();

private:
    [[nodiscard]] bool start(const QStringList& args);
    [[nodiscard]] std::optional<QString> nextLine(const QString& prefix, int ms);

    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    std::uint16_t m_port = 0;
    QString m_error;
};

} // namespace corvane::testsupport

#pragma once
// Who has a file open, who holds a lock on it, which processes run: read from a /proc tree.

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

struct ProcessRef {
    qint64 pid = 0;
    QString name; // the command name the kernel keeps (at most 15 characters)
    friend bool operator==(const ProcessRef&, const ProcessRef&) = default;
};

// A file as the kernel tells one from another: a character device by its device number (so
// every node and every descriptor of it is the same device), anything else by its inode.
struct FileIdentity {
    bool charDevice = false;
    std::uint64_t rdev = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;

    // Follows symbolic links; nullopt when the path cannot be examined.
    [[nodiscard]] static std::optional<FileIdentity> of(const QString& path);
    [[nodiscard]] static FileIdentity characterDevice(std::uint64_t rdev) {
        return {true, rdev, 0, 0};
    }
    [[nodiscard]] bool sameAs(const FileIdentity& other) const;
};

// Processes with a descriptor open on `file`, from <proc>/<pid>/fd, in pid order. Complete
// for root; an ordinary user sees only the descriptors of its own processes. The descriptor
// `exceptFd` of process `exceptPid` is left out (a caller's own).
[[nodiscard]] std::vector<ProcessRef> processesHolding(const QString& proc,
                                                       const FileIdentity& file,
                                                       qint64 exceptPid = -1, int exceptFd = -1);

// Process ids of the advisory locks that <proc>/locks lists on inode `ino` of device `dev`
// (the list is readable by every user). nullopt when it cannot be read.
[[nodiscard]] std::optional<std::vector<qint64>> lockHolders(const QString& proc, std::uint64_t dev,
                                                             std::uint64_t ino);

// Processes whose command name is `name`, in pid order.
[[nodiscard]] std::vector<ProcessRef> processesNamed(const QString& proc, const QString& name);

// The command name of process `pid`; empty when it is gone.
[[nodiscard]] QString processName(const QString& proc, qint64 pid);

} // namespace corvane

#include "ProcessTable.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace corvane {

namespace {

// The numeric entries of a /proc tree, in pid order.
std::vector<qint64> processIds(const QString& proc) {
    std::vector<qint64> ids;
    for (const QString& entry : QDir(proc).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 id = entry.toLongLong(&numeric);
        if (numeric && id > 0) {
            ids.push_back(id);
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

} // namespace

std::optional<FileIdentity> FileIdentity::of(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return std::nullopt;
    }
    FileIdentity id;
    id.charDevice = S_ISCHR(st.st_mode);
    id.rdev = st.st_rdev;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return id;
}

bool FileIdentity::sameAs(const FileIdentity& other) const {
    if (charDevice || other.charDevice) {
        return charDevice && other.charDevice && rdev == other.rdev;
    }
    return dev == other.dev && ino == other.ino;
}

std::vector<ProcessRef> processesHolding(const QString& proc, const FileIdentity& file,
                                         qint64 exceptPid, int exceptFd) {
    std::vector<ProcessRef> holders;
    for (const qint64 pid : processIds(proc)) {
        const QString fdDir = QStringLiteral("%1/%2/fd").arg(proc).arg(pid);
        // Descriptors are symbolic links: to devices (System), files, folders, or to nothing
        // for sockets and pipes (System as well).
        const auto kinds = QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot;
        for (const QString& fd : QDir(fdDir).entryList(kinds)) {
            if (pid == exceptPid && fd.toInt() == exceptFd) {
                continue;
            }
            const auto id = FileIdentity::of(fdDir + QLatin1Char('/') + fd);
            if (id && id->sameAs(file)) {
                holders.push_back({pid, processName(proc, pid)});
                break;
            }
        }
    }
    return holders;
}

std::optional<std::vector<qint64>> lockHolders(const QString& proc, std::uint64_t dev,
                                               std::uint64_t ino) {
    QFile locks(proc + QStringLiteral("/locks"));
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return std::nullopt;
    }
    const QByteArray key = QStringLiteral("%1:%2:%3")
                               .arg(major(dev), 2, 16, QLatin1Char('0'))
                               .arg(minor(dev), 2, 16, QLatin1Char('0'))
                               .arg(ino)
                               .toLatin1()
                               .toLower();
    std::vector<qint64> pids;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF"; a waiting lock has "->" after the number.
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        for (qsizetype i = 1; i < fields.size(); ++i) {
            if (fields[i].toLower() != key) {
                continue;
            }
            bool numeric = false;
            const qint64 pid = fields[i - 1].toLongLong(&numeric);
            if (numeric && std::find(pids.begin(), pids.end(), pid) == pids.end()) {
                pids.push_back(pid);
            }
        }
    }
    return pids;
}

std::vector<ProcessRef> processesNamed(const QString& proc, const QString& name) {
    std::vector<ProcessRef> found;
    for (const qint64 pid : processIds(proc)) {
        if (processName(proc, pid) == name) {
            found.push_back({pid, name});
        }
    }
    return found;
}

QString processName(const QString& proc, qint64 pid) {
    QFile comm(QStringLiteral("%1/%2/comm").arg(proc).arg(pid));
    if (!comm.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

} // namespace corvane

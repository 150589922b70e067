#include "MachineFacts.h"

#include "PosixSerialDevice.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

struct GroupEntry {
    QString name;
    qint64 gid = -1;
    QStringList members;
};

// "dialout:x:20:jo,ann" lines.
std::vector<GroupEntry> readGroupFile(const QString& path) {
    std::vector<GroupEntry> groups;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return groups;
    }
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(raw).split(QLatin1Char(':'));
        if (fields.size() < 4 || fields[0].isEmpty()) {
            continue;
        }
        bool numeric = false;
        const qint64 gid = fields[2].toLongLong(&numeric);
        if (!numeric) {
            continue;
        }
        groups.push_back({fields[0], gid, fields[3].split(QLatin1Char(','), Qt::SkipEmptyParts)});
    }
    return groups;
}

QString groupName(const std::vector<GroupEntry>& groups, qint64 gid) {
    for (const GroupEntry& g : groups) {
        if (g.gid == gid) {
            return g.name;
        }
    }
    return QString::number(gid);
}

std::vector<ProcessRef> namedProcesses(const QString& proc, const std::vector<qint64>& pids) {
    std::vector<ProcessRef> refs;
    for (const qint64 pid : pids) {
        refs.push_back({pid, processName(proc, pid)});
    }
    return refs;
}

AdapterFacts inspect(const SystemRoots& roots, SerialAdapter adapter, bool named,
                     const UserFacts& user, const std::vector<GroupEntry>& groups,
                     const PortProber& prober) {
    AdapterFacts facts;
    facts.named = named;
    const QString node = adapter.device;
    struct stat st {};
    if (::stat(QFile::encodeName(node).constData(), &st) == 0) {
        facts.access.exists = true;
        facts.access.group = groupName(groups, st.st_gid);
        facts.access.mode = st.st_mode & 07777;
        facts.access.permitted = ::faccessat(AT_FDCWD, QFile::encodeName(node).constData(),
                                             R_OK | W_OK, AT_EACCESS) == 0;
        for (const GroupEntry& g : groups) {
            if (g.gid == st.st_gid && g.members.contains(user.name)) {
                facts.access.groupListsUser = true;
            }
        }
    }
    if (const auto identity = FileIdentity::of(node)) {
        facts.holders = processesHolding(roots.proc, *identity);
        if (const auto pids = lockHolders(roots.proc, identity->dev, identity->ino)) {
            facts.lockHolders = namedProcesses(roots.proc, *pids);
        }
    }
    if (facts.access.exists && facts.holders.empty() && facts.lockHolders.empty() && prober) {
        facts.probe = prober(node);
        facts.probed = true;
    }
    facts.udev = readUdevRecord(roots.udevData, adapter.devNumber);
    if (!adapter.latencyTimer.isEmpty()) {
        QFile timer(adapter.latencyTimer);
        bool numeric = false;
        if (timer.open(QIODevice::ReadOnly)) {
            const int ms = timer.readAll().trimmed().toInt(&numeric);
            if (numeric) {
                facts.latencyTimerMs = ms;
            }
        }
    }
    facts.adapter = std::move(adapter);
    return facts;
}

// A rule line that is not a comment and contains `pattern`.
bool ruleHas(const QString& rules, const QRegularExpression& pattern) {
    for (const QString& line : rules.split(QLatin1Char('\n'))) {
        if (!line.trimmed().startsWith(QLatin1Char('#')) && pattern.match(line).hasMatch()) {
            return true;
        }
    }
    return false;
}

} // namespace

OpenProbe probeSerialPort(const QString& device) {
    PosixSerialDevice port;
    OpenProbe probe;
    probe.result = port.open(device);
    probe.lowLatency = port.lowLatency();
    port.close();
    return probe;
}

UserFacts currentUser(const SystemRoots& roots) {
    UserFacts user;
    const uid_t uid = ::geteuid();
    user.root = uid == 0;
    if (const passwd* pw = ::getpwuid(uid)) {
        user.name = QString::fromLocal8Bit(pw->pw_name);
    } else {
        user.name = QString::number(uid);
    }
    const auto groups = readGroupFile(roots.groupFile);
    std::vector<gid_t> ids(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
    const int count = ::getgroups(static_cast<int>(ids.size()), ids.data());
    ids.resize(static_cast<std::size_t>(std::max(count, 0)));
    ids.push_back(::getegid());
    for (const gid_t gid : ids) {
        const QString name = groupName(groups, gid);
        if (!user.sessionGroups.contains(name)) {
            user.sessionGroups << name;
        }
    }
    return user;
}

MachineFacts gatherMachineFacts(const SystemRoots& roots, const QStringList& namedPorts,
                                const QString& udevRuleName, const UserFacts& user,
                                const PortProber& prober) {
    MachineFacts facts;
    facts.user = user;
    const auto groups = readGroupFile(roots.groupFile);
    QStringList seen; // nodes already listed, by their resolved path
    for (const QString& path : namedPorts) {
        facts.adapters.push_back(
            inspect(roots, describeSerialNode(roots, path), true, user, groups, prober));
        seen << QFileInfo(path).canonicalFilePath();
    }
    for (SerialAdapter& adapter : findUsbSerialAdapters(roots)) {
        if (seen.contains(QFileInfo(adapter.device).canonicalFilePath())) {
            continue;
        }
        facts.adapters.push_back(inspect(roots, std::move(adapter), false, user, groups, prober));
    }

    facts.modemManager = processesNamed(roots.proc, QStringLiteral("ModemManager"));
    facts.brlttyRunning = processesNamed(roots.proc, QStringLiteral("brltty"));
    for (const QString& dir : roots.programDirs) {
        const QString path = dir + QStringLiteral("/brltty");
        if (QFileInfo(path).isFile()) {
            facts.brltty = path;
            break;
        }
    }
    // The first folder that holds the file is the one udev reads it from.
    for (const QString& dir : roots.udevRules) {
        QFile rule(dir + QLatin1Char('/') + udevRuleName);
        if (!rule.exists()) {
            continue;
        }
        facts.udevRule = rule.fileName();
        if (rule.open(QIODevice::ReadOnly | QIODevice::Text)) {
            const QString text = QString::fromUtf8(rule.readAll());
            static const QRegularExpression uaccess(QStringLiteral("TAG\\+=\"uaccess\""));
            static const QRegularExpression ignore(
                QStringLiteral("ENV\\{ID_MM_DEVICE_IGNORE\\}=\"1\""));
            facts.udevRuleGrantsAccess = ruleHas(text, uaccess);
            facts.udevRuleIgnoresModemManager = ruleHas(text, ignore);
        }
        break;
    }
    return facts;
}

} // namespace corvane

#pragma once
// The facts a pre-flight check of this machine needs: the serial adapters, who may open them
// and who holds them, ModemManager, brltty and the udev rule. Only gathered here; what they
// mean for a run is decided by the doctor.

#include "ProcessTable.h"
#include "SerialAdapters.h"
#include "SerialDevice.h"
#include "SystemRoots.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace corvane {

// What one open of a port said.
struct OpenProbe {
    OpenResult result;
    LowLatency lowLatency = LowLatency::Unknown; // the answer to the request made at the open
};
using PortProber = std::function<OpenProbe(const QString& device)>;

// Opens the port as the updater does (exclusive, low latency asked for), notes what the open
// and the driver said, and closes it again.
[[nodiscard]] OpenProbe probeSerialPort(const QString& device);

struct UserFacts {
    QString name;
    bool root = false;
    QStringList sessionGroups; // the groups this process has (a new membership needs a login)
};

// This process's user, with its group names from the roots' group file.
[[nodiscard]] UserFacts currentUser(const SystemRoots& roots);

struct NodeAccess {
    bool exists = false;
    QString group;               // the node's group, e.g. "dialout"
    unsigned mode = 0;           // permission bits, e.g. 0660
    bool groupListsUser = false; // the group file names the user in the node's group
    bool permitted = false;      // its permissions let this process read and write it
};

struct AdapterFacts {
    SerialAdapter adapter;
    bool named = false; // given on the command line
    NodeAccess access;
    std::vector<ProcessRef> holders;     // other processes with the port open
    std::vector<ProcessRef> lockHolders; // processes holding its advisory lock
    bool probed = false;                 // opened for the check (not when held or missing)
    OpenProbe probe;
    UdevRecord udev;
    int latencyTimerMs = -1; // the adapter's latency timer, when its driver shows one
};

struct MachineFacts {
    UserFacts user;
    std::vector<AdapterFacts> adapters; // the ports named first, then the USB adapters found
    std::vector<ProcessRef> modemManager;
    std::vector<ProcessRef> brlttyRunning;
    QString brltty;   // the installed brltty program; empty when it is not installed
    QString udevRule; // the project's udev rule as udev reads it; empty when not installed
    bool udevRuleGrantsAccess = false;        // it tags the adapters for the logged-in user
    bool udevRuleIgnoresModemManager = false; // it tells ModemManager to leave them alone
};

// `namedPorts`: ports the user named (checked first, whatever they are); `udevRuleName`: the
// file name of the project's udev rule.
[[nodiscard]] MachineFacts gatherMachineFacts(const SystemRoots& roots,
                                              const QStringList& namedPorts,
                                              const QString& udevRuleName, const UserFacts& user,
                                              const PortProber& prober);

} // namespace corvane

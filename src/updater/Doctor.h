#pragma once
// --doctor: a pre-flight check of this machine. Turns the facts gathered by the platform layer
// into findings, one per check and port, each with what to do about it. Qt Core only: it runs
// without a display and without an application object.

#include "platform/MachineFacts.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// The project's udev rule as the package installs it (packaging/ holds it under this name).
inline constexpr char kUdevRuleName[] = "70-corvane-updater.rules";
// Exit code of --doctor when something stands in the way of a run.
inline constexpr int kDoctorProblemExitCode = 9;

enum class DoctorLevel {
    Ok,
    Advice,  // worth doing, but no run is stopped by it
    Problem, // stands in the way of a run
};

struct DoctorFinding {
    QString check;  // stable name: adapters, adapter, access, in-use, low-latency, modemmanager,
                    // brltty, udev-rule, carried-firmware
    QString device; // the port it concerns; empty for the machine as a whole
    QString slot;   // that port's USB slot, when known
    DoctorLevel level = DoctorLevel::Ok;
    QString detail;
    QString fix; // what to do; empty when nothing is to be done
    friend bool operator==(const DoctorFinding&, const DoctorFinding&) = default;
};

// `firmwareDifferences`: what verifyCarriedFirmware() found (empty: the program is whole).
[[nodiscard]] std::vector<DoctorFinding> doctorFindings(const corvane::MachineFacts& facts,
                                                        const QStringList& firmwareDifferences);

// 0 when no finding is a problem, kDoctorProblemExitCode otherwise.
[[nodiscard]] int doctorExitCode(const std::vector<DoctorFinding>& findings);

// "ok       access          /dev/ttyUSB0: ..." and, last, a "Result: ..." line.
[[nodiscard]] QStringList doctorText(const std::vector<DoctorFinding>& findings);

// JSON Lines: {"type":"doctor","schema":1,"version":...}, one {"type":"finding",...} per
// finding, then {"type":"result",...} with the exit code.
[[nodiscard]] QList<QByteArray> doctorJson(const std::vector<DoctorFinding>& findings,
                                           const QString& version);

// The whole check as --doctor runs it on this machine: `ports` named with --port are checked
// first. Writes each line to `out` (standard output when empty); returns the exit code.
int runDoctor(const QStringList& ports, bool json, const QString& version,
              const std::function<void(const QByteArray& line)>& out = {});

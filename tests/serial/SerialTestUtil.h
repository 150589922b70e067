#pragma once
// Small helpers shared by the serial suites.

#include <QByteArray>
#include <QDir>
#include <QString>

#include <chrono>
#include <ctime>

namespace corvane::test {

inline int countEntries(const char* dir) {
    return static_cast<int>(
        QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

inline int openFdCount() {
    return countEntries("/proc/self/fd");
}

inline int threadCount() {
    return countEntries("/proc/self/task");
}

inline std::chrono::nanoseconds processCpuTime() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

inline const std::uint8_t* bytes(const QByteArray& a) {
    return reinterpret_cast<const std::uint8_t*>(a.constData());
}

} // namespace corvane::test

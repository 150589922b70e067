#pragma once
// Interval timing on a monotonic nanosecond counter, with the shortest and longest interval
// since the last reset. Main thread only.

#include <cstdint>
#include <functional>

extern std::int64_t Timer_Freq;        // counts per second (1e9 once Timer_Init has run)
extern std::int64_t Timer_Start_Count; // counter at the last Timer_Start
extern std::int64_t Timer_Max_Ticks;   // longest interval since Timer_Reset, in counts
extern std::int64_t Timer_Min_Ticks;   // shortest interval since Timer_Reset, in counts

bool Timer_Init();
void Timer_Start();
// Max 0, min 2147483647 counts (2^31 - 1, not the 64-bit maximum).
void Timer_Reset();
// Seconds since the last Timer_Start; enters the interval into the minimum and maximum.
float Timer_Elapsed();
[[nodiscard]] float Timer_Max();
[[nodiscard]] float Timer_Min();

// The counter, in nanoseconds of std::chrono::steady_clock unless a test replaces it
// (an empty function restores the clock).
using TimerCounter = std::function<std::int64_t()>;
void setTimerCounter(TimerCounter counter);

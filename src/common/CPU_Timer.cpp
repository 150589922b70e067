#include "CPU_Timer.h"

#include <chrono>

std::int64_t Timer_Freq = 0;
std::int64_t Timer_Start_Count = 0;
std::int64_t Timer_Max_Ticks = 0;
std::int64_t Timer_Min_Ticks = 0;

namespace {

TimerCounter& counterOverride() {
    static TimerCounter counter;
    return counter;
}

std::int64_t readCounter() {
    if (counterOverride()) {
        return counterOverride()();
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

float toSeconds(std::int64_t counts) {
    // Without Timer_Init there is no rate to convert with; report no time rather than
    // dividing by zero.
    if (Timer_Freq <= 0) {
        return 0.0F;
    }
    return static_cast<float>(static_cast<long double>(counts) /
                              static_cast<long double>(Timer_Freq));
}

} // namespace

void setTimerCounter(TimerCounter counter) {
    counterOverride() = std::move(counter);
}

bool Timer_Init() {
    Timer_Freq = 1'000'000'000;
    return true;
}

void Timer_Start() {
    Timer_Start_Count = readCounter();
}

void Timer_Reset() {
    Timer_Max_Ticks = 0;
    Timer_Min_Ticks = 2147483647;
}

float Timer_Elapsed() {
    const std::int64_t d = readCounter() - Timer_Start_Count;
    if (d < Timer_Min_Ticks) {
        Timer_Min_Ticks = d;
    }
    if (d > Timer_Max_Ticks) {
        Timer_Max_Ticks = d;
    }
    return toSeconds(d);
}

float Timer_Max() {
    return toSeconds(Timer_Max_Ticks);
}

float Timer_Min() {
    return toSeconds(Timer_Min_Ticks);
}

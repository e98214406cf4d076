// The monotonic clock, from the performance counter, which every Windows
// has and which the time of day does not move.
#include <windows.h>

#include "platform/platform.h"

unsigned long long platform_monotonic_ms()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const unsigned long long ticks = static_cast<unsigned long long>(counter.QuadPart);
    const unsigned long long per_second = static_cast<unsigned long long>(frequency.QuadPart);
    // Whole seconds and the rest apart, so that no product overflows.
    return ticks / per_second * 1000ULL + ticks % per_second * 1000ULL / per_second;
}

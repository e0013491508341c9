#ifndef NIVOR_PING_POSIX_MONOTONIC_CLOCK_H
#define NIVOR_PING_POSIX_MONOTONIC_CLOCK_H

#include <time.h>

#include <cstdint>

constexpr std::int64_t kNanosecondsPerMillisecond = 1000000;
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

// Immune to changes of the wall clock, so neither round trips nor deadlines
// jump when the system time is set.
inline std::int64_t MonotonicNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

inline timespec TimespecFromNanoseconds(std::int64_t nanoseconds) {
    timespec span;
    span.tv_sec = static_cast<time_t>(nanoseconds / kNanosecondsPerSecond);
    span.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
    return span;
}

#endif

// The socket layer and the pause, where the platform needs no start-up.
#include <errno.h>
#include <sys/prctl.h>
#include <time.h>

#include "monotonic_clock.h"
#include "platform.h"

namespace {
constexpr WORD kGrantedVersion = 0x0101;
constexpr int kBadPointer = 10014;  // the number Winsock gives for it
}  // namespace

int WSAStartup(WORD /*requested_version*/, LPWSADATA data) {
    if (data == nullptr) return kBadPointer;
    data->wVersion = kGrantedVersion;
    data->wHighVersion = kGrantedVersion;
    return 0;
}

int WSACleanup(void) { return 0; }

void Sleep(DWORD milliseconds) {
    // The kernel may end a sleep late by the thread's timer slack (50 us by
    // default) to batch wake-ups; the pause is one of the program's figures,
    // so it asks for the least.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // An absolute deadline, so a signal that interrupts the sleep does not
    // shorten it.
    const timespec until = TimespecFromNanoseconds(MonotonicNanoseconds() +
                                                   static_cast<std::int64_t>(milliseconds) * kNanosecondsPerMillisecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

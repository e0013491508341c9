#ifndef NIVOR_PING_PING_HOST_H
#define NIVOR_PING_PING_HOST_H

#include <cstdint>
#include <string>

// Pings `target` (a host name or dotted IPv4 address) up to three times and
// writes every message of the run to standard output. Returns the mean round
// trip of the successful echoes in whole milliseconds, or -1 when none
// succeeded.
std::int32_t PingHost(std::string target);

// `value` as "%d" renders it, for a value taken as a signed 32-bit integer.
std::string DecimalText(std::int32_t value);

// The bits of an unsigned 32-bit field read as a signed 32-bit value.
std::int32_t SignedFromBits(std::uint32_t bits);

// The mean that PingHost returns for `count` echoes totalling `sum`
// milliseconds: -1 when there are none, else the fraction dropped and the
// value capped at the largest signed 32-bit integer, so that a success is
// never mistaken for the -1 of a failure.
std::int32_t MeanRoundTrip(std::uint64_t sum, std::int32_t count);

#endif

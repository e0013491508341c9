#include "command_line.h"
#include "ping_host.h"
#include "platform.h"

// The C runtime's argument vector is not used (NIVOR splits the command line
// by its own rule), but it must not expand "*" and "?" either, whatever the
// toolchain's default.
int _dowildcard = 0;

// The reply buffer is exactly one record; this is the layout ICMP.DLL of
// 32-bit Windows writes.
static_assert(sizeof(ICMP_ECHO_REPLY) == 28, "ICMP_ECHO_REPLY must have the 32-bit Windows layout");

// The status goes to the process exit as it is: -1 becomes 0xFFFFFFFF.
int main() { return PingHost(TargetFromCommandLine(GetCommandLineA())); }

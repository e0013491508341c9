#include "command_line.h"
#include "ping_host.h"

// The status goes to the process exit as it is; the platform keeps what it
// keeps of it (on Linux the low 8 bits, so -1 reads as 255).
int main(int argc, char** argv) { return PingHost(TargetFromArguments(argc, argv)); }

// The shared core compiled a second time, its platform calls renamed to the
// scripted ones. The Windows headers are read first, under the real names, so
// that only the core's own calls are redirected.
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "fake_platform.h"

#define LoadLibraryA FakeLoadLibraryA
#define GetProcAddress FakeGetProcAddress
#define FreeLibrary FakeFreeLibrary
#define WSAStartup FakeWSAStartup
#define WSACleanup FakeWSACleanup
#define inet_addr FakeInetAddr
#define inet_ntoa FakeInetNtoa
#define gethostbyname FakeGetHostByName
#define gethostbyaddr FakeGetHostByAddr
#define Sleep FakeSleep

#include "ping_host.cpp"

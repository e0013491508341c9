// Where the platform's operations are NIVOR's own, the test program defines
// them itself, and the linker takes these in place of the real ones.
#include <cstdint>

#include "fake_platform.h"

HMODULE LoadLibraryA(const char* name) { return FakeLoadLibraryA(name); }
FARPROC GetProcAddress(HMODULE module, const char* name) { return FakeGetProcAddress(module, name); }
BOOL FreeLibrary(HMODULE module) { return FakeFreeLibrary(module); }
int WSAStartup(WORD requested_version, LPWSADATA data) { return FakeWSAStartup(requested_version, data); }
int WSACleanup(void) { return FakeWSACleanup(); }
void Sleep(DWORD milliseconds) { FakeSleep(milliseconds); }

// The resolver replaces the C library's for the test program.
in_addr_t inet_addr(const char* text) noexcept { return static_cast<in_addr_t>(FakeInetAddr(text)); }

hostent* gethostbyname(const char* name) { return FakeGetHostByName(name); }

hostent* gethostbyaddr(const void* address, socklen_t length, int family) {
    return FakeGetHostByAddr(static_cast<const char*>(address), static_cast<int>(length), family);
}

// A scripted platform that the host-ping tests link in place of the real one:
// it answers each operation as the script says and logs every call.
#ifndef NIVOR_TESTS_FAKE_PLATFORM_H
#define NIVOR_TESTS_FAKE_PLATFORM_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

struct FakeHost {
    std::string official_name;
    std::vector<std::string> addresses;  // dotted text; may be empty
};

struct FakeEcho {
    DWORD replies = 1;
    bool writes_record = true;  // false: the record is left as it was
    std::string address = "127.0.0.1";
    ULONG status = IP_SUCCESS;
    ULONG round_trip = 0;
    UCHAR ttl = 64;
};

struct FakeScript {
    bool library_loads = true;
    std::vector<std::string> missing_entry_points;
    int startup_error = 0;
    WORD granted_version = 0x0101;
    std::optional<FakeHost> host_by_name;
    std::optional<FakeHost> host_by_address;
    std::vector<FakeEcho> echoes;  // one per request, in order
};

// Installs `script` and clears the call log.
void RunFakePlatform(const FakeScript& script);

// Every platform call since RunFakePlatform, one line each, in order.
const std::vector<std::string>& FakePlatformCalls();

// The scripted operations. The build binds the core to them under the
// platform's names: at link time where the platform's functions are NIVOR's
// own (fake_platform_posix.cpp), by renaming where they are the system's
// (windows/ping_host_over_fake.cpp), since a caller reaches those through the
// import table.
HMODULE FakeLoadLibraryA(const char* name);
FARPROC FakeGetProcAddress(HMODULE module, const char* name);
BOOL FakeFreeLibrary(HMODULE module);
int FakeWSAStartup(WORD requested_version, LPWSADATA data);
int FakeWSACleanup(void);
unsigned long FakeInetAddr(const char* text);
char* FakeInetNtoa(in_addr address);
hostent* FakeGetHostByName(const char* name);
hostent* FakeGetHostByAddr(const char* address, int length, int family);
void FakeSleep(DWORD milliseconds);

#endif

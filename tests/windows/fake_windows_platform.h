// The scripted platform of tests/fake_platform.h, built for Windows. The
// system's own functions cannot be replaced by defining them again (callers
// reach them through the import table), so the fake ones carry names of
// their own and ping_host_over_fake.cpp points the shared core at them.
#ifndef NIVOR_TESTS_WINDOWS_FAKE_WINDOWS_PLATFORM_H
#define NIVOR_TESTS_WINDOWS_FAKE_WINDOWS_PLATFORM_H

#include "platform.h"

HMODULE FakeLoadLibraryA(LPCSTR name);
FARPROC FakeGetProcAddress(HMODULE module, LPCSTR name);
BOOL FakeFreeLibrary(HMODULE module);
int FakeWSAStartup(WORD requested_version, LPWSADATA data);
int FakeWSACleanup(void);
unsigned long FakeInetAddr(const char* text);
char* FakeInetNtoa(in_addr address);
hostent* FakeGetHostByName(const char* name);
hostent* FakeGetHostByAddr(const char* address, int length, int family);
void FakeSleep(DWORD milliseconds);

#endif

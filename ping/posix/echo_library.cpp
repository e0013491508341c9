// "ICMP.DLL" on a platform without it: loading binds the built-in echo
// service, and succeeds only where this process may open an ICMP socket.
#include <strings.h>

#include <cstring>
#include <new>

#include "echo_service.h"
#include "platform.h"

struct NivorModule {
    int unused;
};

namespace {

template <typename Function>
FARPROC AsProc(Function function) {
    return reinterpret_cast<FARPROC>(function);
}

}  // namespace

HMODULE LoadLibraryA(const char* name) {
    // Windows matches module names without regard to case.
    if (name == nullptr || strcasecmp(name, "ICMP.DLL") != 0) return nullptr;
    if (!CanOpenIcmpSocket()) return nullptr;
    return new (std::nothrow) NivorModule{0};
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (module == nullptr || name == nullptr) return nullptr;
    if (std::strcmp(name, "IcmpCreateFile") == 0) return AsProc(&IcmpCreateFile);
    if (std::strcmp(name, "IcmpCloseHandle") == 0) return AsProc(&IcmpCloseHandle);
    if (std::strcmp(name, "IcmpSendEcho") == 0) return AsProc(&IcmpSendEcho);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr) return 0;
    delete module;
    return 1;
}

#include "fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

struct FakeState {
    FakeScript script;
    std::vector<std::string> calls;
    std::size_t next_echo = 0;
    hostent entry{};
    std::vector<std::uint32_t> entry_addresses;
    std::vector<char*> entry_address_pointers;
    std::string entry_name;
    char dotted[16] = {};
};

FakeState& State() {
    static FakeState state;
    return state;
}

HMODULE const kModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x1000));
HANDLE const kEchoHandle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x2000));

// By hand: Winsock 1.1 has neither inet_pton nor inet_ntop, and the real
// inet_addr would hide from the script which forms it accepts.
std::string Dotted(std::uint32_t address) {
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

bool ParsePart(const char*& at, unsigned char& part) {
    unsigned value = 0;
    int digits = 0;
    for (; *at >= '0' && *at <= '9' && digits < 4; ++at, ++digits) value = value * 10 + static_cast<unsigned>(*at - '0');
    if (digits == 0 || digits > 3 || value > 255) return false;
    part = static_cast<unsigned char>(value);
    return true;
}

std::uint32_t Parsed(const std::string& dotted) {
    unsigned char bytes[4];
    const char* at = dotted.c_str();
    for (int index = 0; index < 4; ++index) {
        if (index > 0 && *at++ != '.') return kNoAddress;
        if (!ParsePart(at, bytes[index])) return kNoAddress;
    }
    if (*at != '\0') return kNoAddress;
    std::uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

hostent* Entry(const std::optional<FakeHost>& host) {
    if (!host) return nullptr;
    FakeState& state = State();
    state.entry_name = host->official_name;
    state.entry_addresses.clear();
    for (const std::string& address : host->addresses) state.entry_addresses.push_back(Parsed(address));
    state.entry_address_pointers.clear();
    for (std::uint32_t& address : state.entry_addresses)
        state.entry_address_pointers.push_back(reinterpret_cast<char*>(&address));
    state.entry_address_pointers.push_back(nullptr);
    state.entry.h_name = state.entry_name.data();
    state.entry.h_aliases = nullptr;
    state.entry.h_addrtype = AF_INET;
    state.entry.h_length = 4;
    state.entry.h_addr_list = state.entry_address_pointers.data();
    return &state.entry;
}

// The entry points are called through the WINAPI pointer types of
// platform.h, so they must have that calling convention.
HANDLE WINAPI FakeIcmpCreateFile(void) {
    State().calls.push_back("IcmpCreateFile");
    return kEchoHandle;
}

BOOL WINAPI FakeIcmpCloseHandle(HANDLE handle) {
    State().calls.push_back(handle == kEchoHandle ? "IcmpCloseHandle" : "IcmpCloseHandle(wrong handle)");
    return 1;
}

std::string DescribeRequest(HANDLE handle, IPAddr destination, LPVOID data, WORD size,
                            const IP_OPTION_INFORMATION* options, DWORD reply_size, DWORD timeout) {
    std::string text = "IcmpSendEcho(" + std::string(handle == kEchoHandle ? "" : "wrong handle, ") +
                       Dotted(destination) + ", data=" + (data == nullptr ? "null" : "set") +
                       ", size=" + std::to_string(size);
    if (options == nullptr) {
        text += ", no options";
    } else {
        text += ", ttl=" + std::to_string(options->Ttl) + ", tos=" + std::to_string(options->Tos) +
                ", flags=" + std::to_string(options->Flags) + ", options=" + std::to_string(options->OptionsSize) +
                (options->OptionsData == nullptr ? "" : "+data");
    }
    return text + ", reply=" + std::to_string(reply_size) + ", timeout=" + std::to_string(timeout) + ")";
}

DWORD WINAPI FakeIcmpSendEcho(HANDLE handle, IPAddr destination, LPVOID data, WORD size,
                              PIP_OPTION_INFORMATION options, LPVOID reply_buffer, DWORD reply_size, DWORD timeout) {
    FakeState& state = State();
    state.calls.push_back(DescribeRequest(handle, destination, data, size, options, reply_size, timeout));
    // Leave the options dirty: the caller must clear them before each request.
    if (options != nullptr) {
        options->Tos = 0x5A;
        options->Flags = 0x02;
        options->Ttl = 1;
    }
    if (state.next_echo >= state.script.echoes.size()) return 0;
    const FakeEcho& echo = state.script.echoes[state.next_echo++];
    if (echo.writes_record) {
        ICMP_ECHO_REPLY record;
        std::memset(&record, 0, sizeof record);
        record.Address = Parsed(echo.address);
        record.Status = echo.status;
        record.RoundTripTime = echo.round_trip;
        record.Options.Ttl = echo.ttl;
        std::memcpy(reply_buffer, &record, std::min<std::size_t>(reply_size, sizeof record));
    }
    return echo.replies;
}

// Via void(*)(void), the one function type every other converts from
// without a cast-function-type warning.
template <typename Function>
FARPROC AsProc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace

void RunFakePlatform(const FakeScript& script) {
    FakeState& state = State();
    state.script = script;
    state.calls.clear();
    state.next_echo = 0;
}

const std::vector<std::string>& FakePlatformCalls() { return State().calls; }

HMODULE FakeLoadLibraryA(const char* name) {
    State().calls.push_back("LoadLibraryA(" + std::string(name) + ")");
    return State().script.library_loads ? kModule : nullptr;
}

FARPROC FakeGetProcAddress(HMODULE module, const char* name) {
    FakeState& state = State();
    state.calls.push_back("GetProcAddress(" + std::string(module == kModule ? "" : "wrong module, ") + name + ")");
    const auto& missing = state.script.missing_entry_points;
    if (std::find(missing.begin(), missing.end(), name) != missing.end()) return nullptr;
    const std::string entry = name;
    if (entry == "IcmpCreateFile") return AsProc(&FakeIcmpCreateFile);
    if (entry == "IcmpCloseHandle") return AsProc(&FakeIcmpCloseHandle);
    if (entry == "IcmpSendEcho") return AsProc(&FakeIcmpSendEcho);
    return nullptr;
}

BOOL FakeFreeLibrary(HMODULE module) {
    State().calls.push_back(module == kModule ? "FreeLibrary" : "FreeLibrary(wrong module)");
    return 1;
}

int FakeWSAStartup(WORD requested_version, LPWSADATA data) {
    FakeState& state = State();
    char version[8];
    std::snprintf(version, sizeof version, "0x%04X", static_cast<unsigned>(requested_version));
    state.calls.push_back("WSAStartup(" + std::string(version) + ")");
    if (state.script.startup_error != 0) return state.script.startup_error;
    data->wVersion = state.script.granted_version;
    data->wHighVersion = state.script.granted_version;
    return 0;
}

int FakeWSACleanup(void) {
    State().calls.push_back("WSACleanup");
    return 0;
}

void FakeSleep(DWORD milliseconds) { State().calls.push_back("Sleep(" + std::to_string(milliseconds) + ")"); }

unsigned long FakeInetAddr(const char* text) {
    State().calls.push_back("inet_addr(" + std::string(text) + ")");
    return Parsed(text);
}

// Not logged: it only formats.
char* FakeInetNtoa(in_addr address) {
    const std::string text = Dotted(address.s_addr);
    char* dotted = State().dotted;
    std::snprintf(dotted, sizeof State().dotted, "%s", text.c_str());
    return dotted;
}

hostent* FakeGetHostByName(const char* name) {
    State().calls.push_back("gethostbyname(" + std::string(name) + ")");
    return Entry(State().script.host_by_name);
}

hostent* FakeGetHostByAddr(const char* address, int length, int family) {
    std::uint32_t value = 0;
    if (length == static_cast<int>(sizeof value)) std::memcpy(&value, address, sizeof value);
    State().calls.push_back("gethostbyaddr(" + Dotted(value) + ", " + std::to_string(length) + ", " +
                            std::to_string(family) + ")");
    return Entry(State().script.host_by_address);
}

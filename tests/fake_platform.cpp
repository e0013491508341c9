#include "fake_platform.h"

#include <algorithm>
#include <cstring>

namespace {

struct FakeState {
    FakeScript script;
    std::vector<std::string> calls;
    std::size_t next_echo = 0;
    hostent entry{};
    std::vector<std::uint32_t> entry_addresses;
    std::vector<char*> entry_address_pointers;
    std::string entry_name;
};

FakeState& State() {
    static FakeState state;
    return state;
}

HMODULE const kModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x1000));
HANDLE const kEchoHandle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x2000));

std::string Dotted(std::uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

std::uint32_t Parsed(const std::string& dotted) {
    in_addr in{};
    if (inet_pton(AF_INET, dotted.c_str(), &in) != 1) return INADDR_NONE;
    return in.s_addr;
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

HANDLE FakeIcmpCreateFile(void) {
    State().calls.push_back("IcmpCreateFile");
    return kEchoHandle;
}

BOOL FakeIcmpCloseHandle(HANDLE handle) {
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

DWORD FakeIcmpSendEcho(HANDLE handle, IPAddr destination, LPVOID data, WORD size, PIP_OPTION_INFORMATION options,
                       LPVOID reply_buffer, DWORD reply_size, DWORD timeout) {
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

template <typename Function>
FARPROC AsProc(Function function) {
    return reinterpret_cast<FARPROC>(function);
}

}  // namespace

void RunFakePlatform(const FakeScript& script) {
    FakeState& state = State();
    state.script = script;
    state.calls.clear();
    state.next_echo = 0;
}

const std::vector<std::string>& FakePlatformCalls() { return State().calls; }

HMODULE LoadLibraryA(const char* name) {
    State().calls.push_back("LoadLibraryA(" + std::string(name) + ")");
    return State().script.library_loads ? kModule : nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
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

BOOL FreeLibrary(HMODULE module) {
    State().calls.push_back(module == kModule ? "FreeLibrary" : "FreeLibrary(wrong module)");
    return 1;
}

int WSAStartup(WORD requested_version, LPWSADATA data) {
    FakeState& state = State();
    char version[8];
    std::snprintf(version, sizeof version, "0x%04X", static_cast<unsigned>(requested_version));
    state.calls.push_back("WSAStartup(" + std::string(version) + ")");
    if (state.script.startup_error != 0) return state.script.startup_error;
    data->wVersion = state.script.granted_version;
    data->wHighVersion = state.script.granted_version;
    return 0;
}

int WSACleanup(void) {
    State().calls.push_back("WSACleanup");
    return 0;
}

void Sleep(DWORD milliseconds) { State().calls.push_back("Sleep(" + std::to_string(milliseconds) + ")"); }

// The resolver functions replace the C library's for the test program.
in_addr_t inet_addr(const char* text) noexcept {
    State().calls.push_back("inet_addr(" + std::string(text) + ")");
    return Parsed(text);
}

hostent* gethostbyname(const char* name) {
    State().calls.push_back("gethostbyname(" + std::string(name) + ")");
    return Entry(State().script.host_by_name);
}

hostent* gethostbyaddr(const void* address, socklen_t length, int family) {
    std::uint32_t value = 0;
    if (length == sizeof value) std::memcpy(&value, address, sizeof value);
    State().calls.push_back("gethostbyaddr(" + Dotted(value) + ", " + std::to_string(length) + ", " +
                            std::to_string(family) + ")");
    return Entry(State().script.host_by_address);
}

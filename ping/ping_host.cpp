#include "ping_host.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "platform.h"

namespace {

constexpr int kEchoCount = 3;
constexpr DWORD kPauseMilliseconds = 200;
constexpr DWORD kTimeoutMilliseconds = 5000;
constexpr UCHAR kTimeToLive = 255;
constexpr WORD kSocketVersion = 0x0101;  // 1.1: major in the low byte
constexpr std::uint32_t kNoDottedAddress = 0xFFFFFFFFu;

struct EchoLibrary {
    HMODULE module;
    IcmpCreateFileFunction create_file;
    IcmpCloseHandleFunction close_handle;
    IcmpSendEchoFunction send_echo;
};

// The text is always the argument of the format, so a target holding "%"
// is written as it is.
void WriteLine(const std::string& text) { std::printf("%s\n", text.c_str()); }
void WriteWithoutLineEnd(const std::string& text) { std::printf("%s", text.c_str()); }

std::string DottedText(IPAddr address) {
    in_addr in;
    std::memset(&in, 0, sizeof in);
    in.s_addr = address;
    const char* text = inet_ntoa(in);
    return text != nullptr ? std::string(text) : std::string();
}

// Via void(*)(void), the one function type every other converts from
// without a cast-function-type warning.
template <typename Function>
Function EntryPoint(FARPROC proc) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(proc));
}

bool BindEntryPoints(EchoLibrary& library) {
    // All three are looked up before any is tested.
    const FARPROC create_file = GetProcAddress(library.module, "IcmpCreateFile");
    const FARPROC close_handle = GetProcAddress(library.module, "IcmpCloseHandle");
    const FARPROC send_echo = GetProcAddress(library.module, "IcmpSendEcho");
    if (create_file == nullptr || close_handle == nullptr || send_echo == nullptr) return false;
    library.create_file = EntryPoint<IcmpCreateFileFunction>(create_file);
    library.close_handle = EntryPoint<IcmpCloseHandleFunction>(close_handle);
    library.send_echo = EntryPoint<IcmpSendEchoFunction>(send_echo);
    return true;
}

const hostent* ResolveTarget(const std::string& target) {
    const std::uint32_t numeric = static_cast<std::uint32_t>(inet_addr(target.c_str()));
    if (numeric == kNoDottedAddress) return gethostbyname(target.c_str());
    return gethostbyaddr(reinterpret_cast<const char*>(&numeric), sizeof numeric, AF_INET);
}

// An entry without a usable IPv4 address counts as not found rather than
// being read past its end.
bool FirstAddress(const hostent* host, IPAddr& address) {
    if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) return false;
    if (host->h_addrtype != AF_INET || host->h_length != static_cast<int>(sizeof address)) return false;
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    return true;
}

std::string OfficialName(const hostent* host) { return host->h_name != nullptr ? std::string(host->h_name) : std::string(); }

// The Windows service leaves the record as it was when it cannot work at all,
// so a record still saying success after no reply came back is stale.
ULONG EchoStatus(DWORD replies, ULONG record_status) {
    if (replies == 0 && record_status == IP_SUCCESS) return IP_GENERAL_FAILURE;
    return record_status;
}

std::string ReplyLine(const ICMP_ECHO_REPLY& reply) {
    return "Antwort von " + DottedText(reply.Address) + ": Zeit=" + DecimalText(SignedFromBits(reply.RoundTripTime)) +
           " ms, Time to Live=" + DecimalText(reply.Options.Ttl) + " ms";
}

std::int32_t RunEchoSeries(const EchoLibrary& library, IPAddr address) {
    const HANDLE echo_handle = library.create_file();
    // Zeroed once so that nothing reads it unwritten; the service fills it
    // for every request and it is not cleared between requests.
    ICMP_ECHO_REPLY reply;
    std::memset(&reply, 0, sizeof reply);
    std::uint64_t sum = 0;
    std::int32_t successes = 0;
    for (int index = 0; index < kEchoCount; ++index) {
        IP_OPTION_INFORMATION options;
        std::memset(&options, 0, sizeof options);
        options.Ttl = kTimeToLive;
        const DWORD replies = library.send_echo(echo_handle, address, nullptr, 0, &options, &reply, sizeof reply,
                                                kTimeoutMilliseconds);
        WriteLine(ReplyLine(reply));
        const ULONG status = EchoStatus(replies, reply.Status);
        if (status != IP_SUCCESS) {
            WriteWithoutLineEnd("Fehler: IcmpEcho-Status=" + DecimalText(SignedFromBits(status)));
            break;
        }
        sum += reply.RoundTripTime;
        ++successes;
        if (index < kEchoCount - 1) Sleep(kPauseMilliseconds);
    }
    library.close_handle(echo_handle);
    return MeanRoundTrip(sum, successes);
}

}  // namespace

std::string DecimalText(std::int32_t value) {
    // Widened first: the magnitude of the smallest value does not fit 32 bits.
    std::int64_t magnitude = value < 0 ? -static_cast<std::int64_t>(value) : value;
    char digits[12];
    std::size_t length = 0;
    do {
        digits[length++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::string text = value < 0 ? "-" : "";
    while (length > 0) text += digits[--length];
    return text;
}

std::int32_t SignedFromBits(std::uint32_t bits) {
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::int32_t MeanRoundTrip(std::uint64_t sum, std::int32_t count) {
    if (count <= 0) return -1;
    const std::uint64_t mean = sum / static_cast<std::uint64_t>(count);
    const std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(mean < largest ? mean : largest);
}

std::int32_t PingHost(std::string target) {
    EchoLibrary library{};
    library.module = LoadLibraryA("ICMP.DLL");
    if (library.module == nullptr) {
        WriteLine("Could not load ICMP.DLL");
        return -1;
    }
    if (!BindEntryPoints(library)) {
        WriteLine("Error getting ICMP proc address");
        FreeLibrary(library.module);
        return -1;
    }
    WSADATA socket_layer;
    std::memset(&socket_layer, 0, sizeof socket_layer);
    const int startup_error = WSAStartup(kSocketVersion, &socket_layer);
    if (startup_error != 0) {
        WriteLine("Winsock-Initialsierungsfehler: " + DecimalText(startup_error));
        FreeLibrary(library.module);
        return -1;
    }
    if (socket_layer.wVersion != kSocketVersion) {
        WriteLine("Fehler: Winsock Version 1.1 oder h\xF6her nicht vorhanden !");
        WSACleanup();
        FreeLibrary(library.module);
        return -1;
    }
    const hostent* host = ResolveTarget(target);
    IPAddr address = 0;
    if (!FirstAddress(host, address)) {
        WriteLine("Fehler: Adresse " + target + " wurde nicht gefunden !");
        WSACleanup();
        FreeLibrary(library.module);
        return -1;
    }
    WriteLine("Ping an " + OfficialName(host) + "[" + DottedText(address) + "]");
    const std::int32_t mean = RunEchoSeries(library, address);
    FreeLibrary(library.module);
    WSACleanup();
    return mean;
}

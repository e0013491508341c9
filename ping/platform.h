// The operations the host ping needs from its platform, under the names and
// records the Windows platform gives them. On Windows they are the system's
// own; elsewhere NIVOR supplies them (ping/posix), and the tests link a
// scripted fake in their place. Both sides share the vocabulary below.
#ifndef NIVOR_PING_PLATFORM_H
#define NIVOR_PING_PLATFORM_H

#if defined(_WIN32)

#include <windows.h>
#include <winsock.h>
#include <ipexport.h>

#else

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <cstdint>

#define WINAPI

typedef std::uint8_t UCHAR;
typedef std::uint16_t USHORT;
typedef std::uint16_t WORD;
typedef std::uint32_t ULONG;
typedef std::uint32_t DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef void* LPVOID;
typedef void* PVOID;
typedef UCHAR* PUCHAR;
typedef std::uint32_t IPAddr;
typedef struct NivorModule* HMODULE;
typedef void (*FARPROC)(void);

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// The socket layer's start-up record; only the granted version is read.
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
};
typedef WSADATA* LPWSADATA;

typedef struct ip_option_information {
    UCHAR Ttl;
    UCHAR Tos;
    UCHAR Flags;
    UCHAR OptionsSize;
    PUCHAR OptionsData;
} IP_OPTION_INFORMATION, *PIP_OPTION_INFORMATION;

typedef struct icmp_echo_reply {
    IPAddr Address;
    ULONG Status;
    ULONG RoundTripTime;
    USHORT DataSize;
    USHORT Reserved;
    PVOID Data;
    struct ip_option_information Options;
} ICMP_ECHO_REPLY, *PICMP_ECHO_REPLY;

// Echo statuses, numbered as the Windows echo service numbers them.
enum : ULONG {
    IP_SUCCESS = 0,
    IP_BUF_TOO_SMALL = 11001,
    IP_DEST_NET_UNREACHABLE = 11002,
    IP_DEST_HOST_UNREACHABLE = 11003,
    IP_DEST_PROT_UNREACHABLE = 11004,
    IP_DEST_PORT_UNREACHABLE = 11005,
    IP_NO_RESOURCES = 11006,
    IP_BAD_OPTION = 11007,
    IP_HW_ERROR = 11008,
    IP_PACKET_TOO_BIG = 11009,
    IP_REQ_TIMED_OUT = 11010,
    IP_BAD_REQ = 11011,
    IP_BAD_ROUTE = 11012,
    IP_TTL_EXPIRED_TRANSIT = 11013,
    IP_TTL_EXPIRED_REASSEM = 11014,
    IP_PARAM_PROBLEM = 11015,
    IP_SOURCE_QUENCH = 11016,
    IP_OPTION_TOO_BIG = 11017,
    IP_BAD_DESTINATION = 11018,
    IP_GENERAL_FAILURE = 11050,
};

// Dynamic binding of the echo library.
HMODULE LoadLibraryA(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// Socket layer. inet_addr, inet_ntoa, gethostbyname and gethostbyaddr come
// from the C library's headers above.
int WSAStartup(WORD requested_version, LPWSADATA data);
int WSACleanup(void);

void Sleep(DWORD milliseconds);

#endif

// The three entry points of the echo library, as GetProcAddress hands them out.
typedef HANDLE(WINAPI* IcmpCreateFileFunction)(void);
typedef BOOL(WINAPI* IcmpCloseHandleFunction)(HANDLE icmp_handle);
typedef DWORD(WINAPI* IcmpSendEchoFunction)(HANDLE icmp_handle, IPAddr destination, LPVOID request_data,
                                            WORD request_size, PIP_OPTION_INFORMATION request_options,
                                            LPVOID reply_buffer, DWORD reply_size, DWORD timeout);

#endif

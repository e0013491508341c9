// NIVOR's own echo service for platforms without ICMP.DLL: the three entry
// points with the Windows service's semantics, over Linux ICMP sockets.
#ifndef NIVOR_PING_POSIX_ECHO_SERVICE_H
#define NIVOR_PING_POSIX_ECHO_SERVICE_H

#include "platform.h"

// Whether this process may open an ICMP socket of either kind.
bool CanOpenIcmpSocket();

// A datagram ICMP socket where permitted, else a raw one;
// INVALID_HANDLE_VALUE when neither opens.
HANDLE IcmpCreateFile(void);

BOOL IcmpCloseHandle(HANDLE icmp_handle);

// Sends one echo request and fills the one reply record in `reply_buffer`
// with its outcome. Returns 1 when an ICMP answer (reply or error) was
// stored, 0 on a timeout or a failed send; 0 and the record untouched when
// the buffer cannot hold a record.
DWORD IcmpSendEcho(HANDLE icmp_handle, IPAddr destination, LPVOID request_data, WORD request_size,
                   PIP_OPTION_INFORMATION request_options, LPVOID reply_buffer, DWORD reply_size, DWORD timeout);

#endif

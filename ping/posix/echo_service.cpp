#include "echo_service.h"

#include <errno.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "icmp_packet.h"
#include "monotonic_clock.h"

namespace {

constexpr std::size_t kLargestPacket = 65536;
constexpr int kIcmpFilterOption = 1;  // ICMP_FILTER on SOL_RAW

struct EchoSocket {
    int descriptor;
    bool with_ip_header;  // raw sockets deliver the IP header, datagram sockets do not
    std::uint16_t identifier;
    std::uint16_t next_sequence;
    // One packet's worth, allocated with the handle so that nothing is
    // allocated between a send and its reply.
    std::uint8_t packet[kLargestPacket];
};

struct Answer {
    icmp::Judgement judgement;
    std::int64_t received_at;
};

std::uint16_t UnpredictableU16() {
    std::uint16_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        value = static_cast<std::uint16_t>(MonotonicNanoseconds() ^ getpid());
    }
    return value;
}

bool MayFallBackToRaw(int error) {
    return error == EACCES || error == EPERM || error == EPROTONOSUPPORT || error == EAFNOSUPPORT;
}

int OpenIcmpSocket(bool& with_ip_header) {
    // A datagram socket needs no privilege where ping_group_range allows it.
    int descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    with_ip_header = false;
    if (descriptor >= 0 || !MayFallBackToRaw(errno)) return descriptor;
    with_ip_header = true;
    return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
}

void SetOption(int descriptor, int level, int name, int value) {
    setsockopt(descriptor, level, name, &value, sizeof value);
}

// The kernel picks the identifier of a datagram socket: its local port.
bool PrepareDatagramSocket(EchoSocket& echo_socket) {
    SetOption(echo_socket.descriptor, IPPROTO_IP, IP_RECVERR, 1);
    SetOption(echo_socket.descriptor, IPPROTO_IP, IP_RECVTTL, 1);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    if (bind(echo_socket.descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    socklen_t length = sizeof local;
    if (getsockname(echo_socket.descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    echo_socket.identifier = ntohs(local.sin_port);
    return true;
}

// Echo replies that carry another identifier never reach us: on a busy host
// every pinger's replies would otherwise wake every raw socket. Errors pass,
// for the judge to match the request they quote.
void KeepOnlyOurReplies(int descriptor, std::uint16_t identifier) {
    sock_filter program[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                  // X = IP header length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                   // A = ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, icmp::kEchoReply, 0, 2),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                   // A = identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),                  // keep
        BPF_STMT(BPF_RET | BPF_K, 0),                            // drop
    };
    const sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    setsockopt(descriptor, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
}

// A raw socket sees every ICMP packet of the host: an unpredictable
// identifier keeps other pingers' replies apart, and the kernel drops every
// type that cannot answer an echo request before it reaches us.
bool PrepareRawSocket(EchoSocket& echo_socket) {
    const std::uint32_t answers = (1u << icmp::kEchoReply) | (1u << icmp::kDestinationUnreachable) |
                                  (1u << icmp::kSourceQuench) | (1u << icmp::kTimeExceeded) |
                                  (1u << icmp::kParameterProblem);
    const std::uint32_t blocked = ~answers;
    setsockopt(echo_socket.descriptor, SOL_RAW, kIcmpFilterOption, &blocked, sizeof blocked);
    echo_socket.identifier = UnpredictableU16();
    KeepOnlyOurReplies(echo_socket.descriptor, echo_socket.identifier);
    return true;
}

EchoSocket* SocketFromHandle(HANDLE icmp_handle) {
    if (icmp_handle == nullptr || icmp_handle == INVALID_HANDLE_VALUE) return nullptr;
    return static_cast<EchoSocket*>(icmp_handle);
}

DWORD StoreFailure(ICMP_ECHO_REPLY& record, ULONG status) {
    std::memset(&record, 0, sizeof record);
    record.Status = status;
    return 0;
}

DWORD StoreAnswer(ICMP_ECHO_REPLY& record, const Answer& answer, std::int64_t sent_at) {
    std::memset(&record, 0, sizeof record);
    record.Address = answer.judgement.sender;
    record.Status = answer.judgement.status;
    record.RoundTripTime = static_cast<ULONG>((answer.received_at - sent_at) / kNanosecondsPerMillisecond);
    record.Options.Ttl = answer.judgement.ttl;
    return 1;
}

void ApplyRequestOptions(const EchoSocket& echo_socket, const IP_OPTION_INFORMATION* options) {
    // A TTL of 0 cannot be sent: -1 restores the system's default.
    const int ttl = options != nullptr && options->Ttl != 0 ? options->Ttl : -1;
    SetOption(echo_socket.descriptor, IPPROTO_IP, IP_TTL, ttl);
    SetOption(echo_socket.descriptor, IPPROTO_IP, IP_TOS, options != nullptr ? options->Tos : 0);
}

// Answers left over from earlier requests, so a late error cannot be taken
// for this request's.
void DiscardPending(EchoSocket& echo_socket) {
    while (recv(echo_socket.descriptor, echo_socket.packet, sizeof echo_socket.packet, MSG_DONTWAIT) >= 0) {
    }
    if (echo_socket.with_ip_header) return;
    while (recv(echo_socket.descriptor, echo_socket.packet, sizeof echo_socket.packet, MSG_DONTWAIT | MSG_ERRQUEUE) >=
           0) {
    }
}

std::uint8_t TtlFromControl(msghdr& message) {
    for (cmsghdr* control = CMSG_FIRSTHDR(&message); control != nullptr; control = CMSG_NXTHDR(&message, control)) {
        if (control->cmsg_level != IPPROTO_IP || control->cmsg_type != IP_TTL) continue;
        if (control->cmsg_len < CMSG_LEN(sizeof(int))) continue;
        int ttl;
        std::memcpy(&ttl, CMSG_DATA(control), sizeof ttl);
        return static_cast<std::uint8_t>(ttl);
    }
    return 0;
}

msghdr MessageInto(sockaddr_in& address, iovec& data, unsigned char* control, std::size_t control_size) {
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = control_size;
    return message;
}

// Reads one packet from the socket's ordinary queue; false when none is left.
bool ReceiveOrdinary(EchoSocket& echo_socket, const icmp::EchoIdentity& ours, Answer& answer) {
    sockaddr_in sender;
    std::memset(&sender, 0, sizeof sender);
    iovec data{echo_socket.packet, sizeof echo_socket.packet};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int)) * 4];
    msghdr message = MessageInto(sender, data, control, sizeof control);
    const ssize_t length = recvmsg(echo_socket.descriptor, &message, MSG_DONTWAIT);
    answer.received_at = MonotonicNanoseconds();
    if (length < 0) return false;
    // A truncated packet would be judged on part of itself.
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        answer.judgement = icmp::Judgement{icmp::Verdict::kNotOurs, 0, 0, 0};
        return true;
    }
    const std::size_t size = static_cast<std::size_t>(length);
    answer.judgement = echo_socket.with_ip_header
                           ? icmp::JudgeRawPacket(echo_socket.packet, size, ours)
                           : icmp::JudgeDatagramPacket(echo_socket.packet, size, sender.sin_addr.s_addr,
                                                       TtlFromControl(message), ours);
    return true;
}

// Reads one ICMP error from a datagram socket's error queue; false when the
// queue is empty.
bool ReceiveQueuedError(EchoSocket& echo_socket, const icmp::EchoIdentity& ours, Answer& answer) {
    sockaddr_in original_destination;
    std::memset(&original_destination, 0, sizeof original_destination);
    iovec data{echo_socket.packet, sizeof echo_socket.packet};
    alignas(cmsghdr) unsigned char control[512];
    msghdr message = MessageInto(original_destination, data, control, sizeof control);
    const ssize_t length = recvmsg(echo_socket.descriptor, &message, MSG_DONTWAIT | MSG_ERRQUEUE);
    answer.received_at = MonotonicNanoseconds();
    if (length < 0) return false;
    answer.judgement = icmp::Judgement{icmp::Verdict::kNotOurs, 0, 0, 0};
    const std::size_t error_size = sizeof(sock_extended_err) + sizeof(sockaddr_in);
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_RECVERR) continue;
        if (item->cmsg_len < CMSG_LEN(error_size)) continue;
        sock_extended_err error;
        sockaddr_in offender;
        std::memcpy(&error, CMSG_DATA(item), sizeof error);
        std::memcpy(&offender, CMSG_DATA(item) + sizeof error, sizeof offender);
        if (error.ee_origin != SO_EE_ORIGIN_ICMP || offender.sin_family != AF_INET) continue;
        answer.judgement = icmp::JudgeQueuedError(error.ee_type, error.ee_code, offender.sin_addr.s_addr,
                                                  original_destination.sin_addr.s_addr, echo_socket.packet,
                                                  static_cast<std::size_t>(length), TtlFromControl(message), ours);
        break;
    }
    return true;
}

// Reads what has arrived until an answer to our request turns up, the
// queues run dry, or the deadline passes.
bool TakeAnswer(EchoSocket& echo_socket, const icmp::EchoIdentity& ours, std::int64_t deadline, short events,
                Answer& answer) {
    if ((events & POLLERR) != 0 && !echo_socket.with_ip_header) {
        while (ReceiveQueuedError(echo_socket, ours, answer)) {
            if (answer.judgement.verdict != icmp::Verdict::kNotOurs) return true;
        }
    }
    while (ReceiveOrdinary(echo_socket, ours, answer)) {
        if (answer.judgement.verdict != icmp::Verdict::kNotOurs) return true;
        if (answer.received_at >= deadline) return false;
    }
    return false;
}

// poll may end a wait late by a thousandth of its timeout (five times that
// for a niced process) to batch wake-ups: 5 ms of a 5 s echo timeout. Waiting
// for all but a hundredth of what is left, then again for the rest, keeps the
// deadline to within the thread's timer slack after at most three wake-ups.
std::int64_t NextWait(std::int64_t remaining) {
    if (remaining <= kNanosecondsPerMillisecond) return remaining;
    return remaining - remaining / 100;
}

DWORD AwaitAnswer(EchoSocket& echo_socket, const icmp::EchoIdentity& ours, std::int64_t sent_at,
                  std::int64_t deadline, ICMP_ECHO_REPLY& record) {
    for (;;) {
        const std::int64_t now = MonotonicNanoseconds();
        if (now >= deadline) return StoreFailure(record, IP_REQ_TIMED_OUT);
        const timespec wait = TimespecFromNanoseconds(NextWait(deadline - now));
        pollfd watched{echo_socket.descriptor, POLLIN, 0};
        const int ready = ppoll(&watched, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR) return StoreFailure(record, IP_GENERAL_FAILURE);
        if (ready <= 0) continue;
        Answer answer;
        if (TakeAnswer(echo_socket, ours, deadline, watched.revents, answer)) return StoreAnswer(record, answer, sent_at);
    }
}

DWORD ExchangeEcho(EchoSocket* echo_socket, IPAddr destination, const void* request_data, WORD request_size,
                   const IP_OPTION_INFORMATION* options, DWORD timeout, ICMP_ECHO_REPLY& record) {
    if (echo_socket == nullptr) return StoreFailure(record, IP_GENERAL_FAILURE);
    const icmp::EchoIdentity ours{destination, echo_socket->identifier, echo_socket->next_sequence++};
    std::uint8_t request[icmp::kHeaderSize + 0xFFFF];
    const std::size_t length =
        icmp::BuildEchoRequest(request, sizeof request, ours.identifier, ours.sequence, request_data, request_size);
    if (length == 0) return StoreFailure(record, IP_GENERAL_FAILURE);
    ApplyRequestOptions(*echo_socket, options);
    DiscardPending(*echo_socket);
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = destination;
    // The clock is read last before the send and first after the receipt.
    const std::int64_t sent_at = MonotonicNanoseconds();
    if (sendto(echo_socket->descriptor, request, length, 0, reinterpret_cast<const sockaddr*>(&target),
               sizeof target) < 0) {
        return StoreFailure(record, errno == EHOSTUNREACH ? IP_DEST_HOST_UNREACHABLE : IP_GENERAL_FAILURE);
    }
    const std::int64_t deadline = sent_at + static_cast<std::int64_t>(timeout) * kNanosecondsPerMillisecond;
    return AwaitAnswer(*echo_socket, ours, sent_at, deadline, record);
}

}  // namespace

bool CanOpenIcmpSocket() {
    bool with_ip_header = false;
    const int descriptor = OpenIcmpSocket(with_ip_header);
    if (descriptor < 0) return false;
    close(descriptor);
    return true;
}

HANDLE IcmpCreateFile(void) {
    EchoSocket* echo_socket = new (std::nothrow) EchoSocket;
    if (echo_socket == nullptr) return INVALID_HANDLE_VALUE;
    echo_socket->descriptor = OpenIcmpSocket(echo_socket->with_ip_header);
    echo_socket->next_sequence = UnpredictableU16();
    const bool prepared = echo_socket->descriptor >= 0 && (echo_socket->with_ip_header
                                                               ? PrepareRawSocket(*echo_socket)
                                                               : PrepareDatagramSocket(*echo_socket));
    if (!prepared) {
        if (echo_socket->descriptor >= 0) close(echo_socket->descriptor);
        delete echo_socket;
        return INVALID_HANDLE_VALUE;
    }
    return echo_socket;
}

BOOL IcmpCloseHandle(HANDLE icmp_handle) {
    EchoSocket* echo_socket = SocketFromHandle(icmp_handle);
    if (echo_socket == nullptr) return 0;
    close(echo_socket->descriptor);
    delete echo_socket;
    return 1;
}

DWORD IcmpSendEcho(HANDLE icmp_handle, IPAddr destination, LPVOID request_data, WORD request_size,
                   PIP_OPTION_INFORMATION request_options, LPVOID reply_buffer, DWORD reply_size, DWORD timeout) {
    if (reply_buffer == nullptr || reply_size < sizeof(ICMP_ECHO_REPLY)) return 0;
    ICMP_ECHO_REPLY record;
    const DWORD replies = ExchangeEcho(SocketFromHandle(icmp_handle), destination, request_data, request_size,
                                       request_options, timeout, record);
    std::memcpy(reply_buffer, &record, sizeof record);
    return replies;
}

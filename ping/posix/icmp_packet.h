// Building echo requests and judging received ICMP bytes: pure functions,
// apart from the sockets, so every length check can be tested on its own.
#ifndef NIVOR_PING_POSIX_ICMP_PACKET_H
#define NIVOR_PING_POSIX_ICMP_PACKET_H

#include <cstddef>
#include <cstdint>

namespace icmp {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMinimumIpHeaderSize = 20;
constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kSourceQuench = 4;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;
constexpr std::uint8_t kProtocolIcmp = 1;

// What identifies one request of ours. Addresses are in network byte order,
// identifier and sequence in host order.
struct EchoIdentity {
    std::uint32_t destination;
    std::uint16_t identifier;
    std::uint16_t sequence;
};

enum class Verdict {
    kNotOurs,    // anything else: ignore it and keep waiting
    kOurReply,   // the reply to our request
    kOurError,   // an ICMP error that quotes our request
};

struct Judgement {
    Verdict verdict;
    std::uint32_t status;  // echo status: 0 for a reply, the mapped number for an error
    std::uint32_t sender;  // network byte order
    std::uint8_t ttl;
};

// RFC 1071 one's-complement sum, folded and complemented.
std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t length);

// Writes an echo request (type 8, code 0, checksum filled in) followed by
// `payload` into `buffer`. Returns its length, or 0 when it does not fit.
std::size_t BuildEchoRequest(std::uint8_t* buffer, std::size_t capacity, std::uint16_t identifier,
                             std::uint16_t sequence, const void* payload, std::size_t payload_size);

// The echo status for an ICMP error of `type` and `code`, or 0 when that type
// is no answer to an echo request.
std::uint32_t StatusForError(std::uint8_t type, std::uint8_t code);

// A packet from a raw socket: IP header first.
Judgement JudgeRawPacket(const std::uint8_t* data, std::size_t length, const EchoIdentity& ours);

// A packet from a datagram ICMP socket: the ICMP header first; the sender and
// the TTL come from the socket.
Judgement JudgeDatagramPacket(const std::uint8_t* data, std::size_t length, std::uint32_t sender, std::uint8_t ttl,
                              const EchoIdentity& ours);

// An ICMP error from a datagram socket's error queue: `quoted` is the echo
// header we sent, `quoted_destination` the address it went to.
Judgement JudgeQueuedError(std::uint8_t type, std::uint8_t code, std::uint32_t offender,
                           std::uint32_t quoted_destination, const std::uint8_t* quoted, std::size_t quoted_length,
                           std::uint8_t ttl, const EchoIdentity& ours);

}  // namespace icmp

#endif

#include "icmp_packet.h"

#include <cstring>

namespace icmp {
namespace {

constexpr Judgement kNotOurs{Verdict::kNotOurs, 0, 0, 0};

std::uint16_t ReadU16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// Kept in network byte order, as the platform's records hold addresses.
std::uint32_t ReadAddress(const std::uint8_t* at) {
    std::uint32_t address;
    std::memcpy(&address, at, sizeof address);
    return address;
}

void WriteU16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

// The IP header's length as the packet states it, or 0 when the packet
// cannot hold an IPv4 header of that length.
std::size_t IpHeaderLength(const std::uint8_t* data, std::size_t length) {
    if (length < kMinimumIpHeaderSize) return 0;
    if ((data[0] >> 4) != 4) return 0;
    const std::size_t header_length = static_cast<std::size_t>(data[0] & 0x0F) * 4;
    if (header_length < kMinimumIpHeaderSize || header_length > length) return 0;
    return header_length;
}

bool IsOurRequestHeader(const std::uint8_t* icmp_header, std::size_t length, const EchoIdentity& ours) {
    return length >= kHeaderSize && icmp_header[0] == kEchoRequest && icmp_header[1] == 0 &&
           ReadU16(icmp_header + 4) == ours.identifier && ReadU16(icmp_header + 6) == ours.sequence;
}

// The IP packet an ICMP error quotes: ours only if it is our echo request to
// our destination.
bool QuotesOurRequest(const std::uint8_t* quoted, std::size_t length, const EchoIdentity& ours) {
    const std::size_t header_length = IpHeaderLength(quoted, length);
    if (header_length == 0) return false;
    if (quoted[9] != kProtocolIcmp || ReadAddress(quoted + 16) != ours.destination) return false;
    return IsOurRequestHeader(quoted + header_length, length - header_length, ours);
}

// `message` starts at an ICMP header whose checksum has been verified.
Judgement JudgeIcmpMessage(const std::uint8_t* message, std::size_t length, std::uint32_t sender, std::uint8_t ttl,
                           bool quote_has_ip_header, const EchoIdentity& ours) {
    const std::uint8_t type = message[0];
    const std::uint8_t code = message[1];
    if (type == kEchoReply) {
        if (code != 0 || sender != ours.destination) return kNotOurs;
        if (ReadU16(message + 4) != ours.identifier || ReadU16(message + 6) != ours.sequence) return kNotOurs;
        return Judgement{Verdict::kOurReply, 0, sender, ttl};
    }
    const std::uint32_t status = StatusForError(type, code);
    if (status == 0) return kNotOurs;
    const std::uint8_t* quoted = message + kHeaderSize;
    const std::size_t quoted_length = length - kHeaderSize;
    const bool ours_quoted = quote_has_ip_header ? QuotesOurRequest(quoted, quoted_length, ours)
                                                 : IsOurRequestHeader(quoted, quoted_length, ours);
    if (!ours_quoted) return kNotOurs;
    return Judgement{Verdict::kOurError, status, sender, ttl};
}

std::uint32_t StatusForUnreachable(std::uint8_t code) {
    switch (code) {
        case 0:
        case 6:
        case 9:
        case 11:
            return 11002;  // network unreachable
        case 2:
            return 11004;  // protocol unreachable
        case 3:
            return 11005;  // port unreachable
        case 4:
            return 11009;  // fragmentation needed
        case 5:
            return 11012;  // source route failed
        default:
            return 11003;  // host unreachable, and every other code
    }
}

}  // namespace

std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    std::size_t index = 0;
    for (; index + 1 < length; index += 2) sum += ReadU16(data + index);
    if (index < length) sum += static_cast<std::uint32_t>(data[index]) << 8;
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::size_t BuildEchoRequest(std::uint8_t* buffer, std::size_t capacity, std::uint16_t identifier,
                             std::uint16_t sequence, const void* payload, std::size_t payload_size) {
    if (capacity < kHeaderSize || payload_size > capacity - kHeaderSize) return 0;
    if (payload_size > 0 && payload == nullptr) return 0;
    buffer[0] = kEchoRequest;
    buffer[1] = 0;
    WriteU16(buffer + 2, 0);
    WriteU16(buffer + 4, identifier);
    WriteU16(buffer + 6, sequence);
    if (payload_size > 0) std::memcpy(buffer + kHeaderSize, payload, payload_size);
    const std::size_t length = kHeaderSize + payload_size;
    WriteU16(buffer + 2, InternetChecksum(buffer, length));
    return length;
}

std::uint32_t StatusForError(std::uint8_t type, std::uint8_t code) {
    switch (type) {
        case kDestinationUnreachable:
            return StatusForUnreachable(code);
        case kTimeExceeded:
            return code == 1 ? 11014 : 11013;
        case kParameterProblem:
            return 11015;
        case kSourceQuench:
            return 11016;
        default:
            return 0;
    }
}

Judgement JudgeRawPacket(const std::uint8_t* data, std::size_t length, const EchoIdentity& ours) {
    const std::size_t header_length = IpHeaderLength(data, length);
    if (header_length == 0 || data[9] != kProtocolIcmp) return kNotOurs;
    const std::uint8_t* message = data + header_length;
    const std::size_t message_length = length - header_length;
    if (message_length < kHeaderSize || InternetChecksum(message, message_length) != 0) return kNotOurs;
    return JudgeIcmpMessage(message, message_length, ReadAddress(data + 12), data[8], true, ours);
}

Judgement JudgeDatagramPacket(const std::uint8_t* data, std::size_t length, std::uint32_t sender, std::uint8_t ttl,
                              const EchoIdentity& ours) {
    if (length < kHeaderSize || InternetChecksum(data, length) != 0) return kNotOurs;
    // The kernel hands errors to the error queue, never here.
    if (data[0] != kEchoReply) return kNotOurs;
    return JudgeIcmpMessage(data, length, sender, ttl, false, ours);
}

Judgement JudgeQueuedError(std::uint8_t type, std::uint8_t code, std::uint32_t offender,
                           std::uint32_t quoted_destination, const std::uint8_t* quoted, std::size_t quoted_length,
                           std::uint8_t ttl, const EchoIdentity& ours) {
    const std::uint32_t status = StatusForError(type, code);
    if (status == 0 || quoted_destination != ours.destination) return kNotOurs;
    if (quoted == nullptr || !IsOurRequestHeader(quoted, quoted_length, ours)) return kNotOurs;
    return Judgement{Verdict::kOurError, status, offender, ttl};
}

}  // namespace icmp

// The packet judge against handmade packets: what counts as our reply or our
// error, and what is ignored however it is malformed.
#include "icmp_packet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kIdentifier = 0x4E49;
constexpr std::uint16_t kSequence = 0x0102;

std::uint32_t Address(const char* dotted) {
    in_addr in{};
    inet_pton(AF_INET, dotted, &in);
    return in.s_addr;
}

const std::uint32_t kHost = Address("127.0.0.2");
const std::uint32_t kRouter = Address("127.0.0.9");
const std::uint32_t kUs = Address("127.0.0.1");
const icmp::EchoIdentity kOurs{kHost, kIdentifier, kSequence};

void Put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

void PutAddress(Bytes& bytes, std::size_t at, std::uint32_t address) {
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&address);
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = octets[i];
}

Bytes Icmp(std::uint8_t type, std::uint8_t code, std::uint16_t identifier, std::uint16_t sequence,
           const Bytes& body = {}) {
    Bytes message(8, 0);
    message[0] = type;
    message[1] = code;
    Put16(message, 4, identifier);
    Put16(message, 6, sequence);
    message.insert(message.end(), body.begin(), body.end());
    Put16(message, 2, icmp::InternetChecksum(message.data(), message.size()));
    return message;
}

// An IPv4 header claiming `words` 32-bit words in front of `payload`; never
// shorter than the fixed header, so a claim below five words is a lie.
Bytes Ip(std::uint32_t source, std::uint32_t destination, std::uint8_t ttl, const Bytes& payload,
         std::uint8_t words = 5, std::uint8_t protocol = icmp::kProtocolIcmp) {
    Bytes packet(std::max<std::size_t>(static_cast<std::size_t>(words) * 4, 20), 0);
    packet[0] = static_cast<std::uint8_t>(0x40 | words);
    Put16(packet, 2, static_cast<std::uint16_t>(packet.size() + payload.size()));
    packet[8] = ttl;
    packet[9] = protocol;
    PutAddress(packet, 12, source);
    PutAddress(packet, 16, destination);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

Bytes OurRequest() { return Ip(kUs, kHost, 255, Icmp(icmp::kEchoRequest, 0, kIdentifier, kSequence)); }

Bytes ErrorQuoting(std::uint8_t type, std::uint8_t code, const Bytes& quoted, std::uint8_t ttl = 250) {
    return Ip(kRouter, kUs, ttl, Icmp(type, code, 0, 0, quoted));
}

Bytes Truncated(Bytes bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}

Bytes WithCorruptByte(Bytes bytes, std::size_t at) {
    bytes[at] ^= 0x40;
    return bytes;
}

struct RawCase {
    const char* name;
    Bytes packet;
    icmp::Verdict verdict;
    std::uint32_t status;
    std::uint32_t sender;
    std::uint8_t ttl;
};

const icmp::Verdict kReply = icmp::Verdict::kOurReply;
const icmp::Verdict kError = icmp::Verdict::kOurError;
const icmp::Verdict kIgnored = icmp::Verdict::kNotOurs;

const Bytes kReplyMessage = Icmp(icmp::kEchoReply, 0, kIdentifier, kSequence);

const RawCase kRawCases[] = {
    {"ReplyIhl5", Ip(kHost, kUs, 42, kReplyMessage), kReply, 0, kHost, 42},
    {"ReplyIhl6", Ip(kHost, kUs, 42, kReplyMessage, 6), kReply, 0, kHost, 42},
    {"ReplyWithPayload", Ip(kHost, kUs, 64, Icmp(icmp::kEchoReply, 0, kIdentifier, kSequence, {1, 2, 3})), kReply, 0,
     kHost, 64},
    {"ReplyTruncatedInIcmpHeader", Truncated(Ip(kHost, kUs, 42, kReplyMessage), 27), kIgnored, 0, 0, 0},
    {"OnlyAnIpHeader", Truncated(Ip(kHost, kUs, 42, kReplyMessage), 20), kIgnored, 0, 0, 0},
    {"ShorterThanAnIpHeader", Truncated(Ip(kHost, kUs, 42, kReplyMessage), 19), kIgnored, 0, 0, 0},
    {"Empty", Bytes{}, kIgnored, 0, 0, 0},
    {"IhlBeyondThePacket", Truncated(Ip(kHost, kUs, 42, kReplyMessage, 15), 40), kIgnored, 0, 0, 0},
    {"IhlBelowFive", Ip(kHost, kUs, 42, kReplyMessage, 4), kIgnored, 0, 0, 0},
    {"NotIpVersion4", WithCorruptByte(Ip(kHost, kUs, 42, kReplyMessage), 0), kIgnored, 0, 0, 0},
    {"NotIcmp", Ip(kHost, kUs, 42, kReplyMessage, 5, 17), kIgnored, 0, 0, 0},
    {"OtherIdentifier", Ip(kHost, kUs, 42, Icmp(icmp::kEchoReply, 0, kIdentifier + 1, kSequence)), kIgnored, 0, 0, 0},
    {"OtherSequence", Ip(kHost, kUs, 42, Icmp(icmp::kEchoReply, 0, kIdentifier, kSequence - 1)), kIgnored, 0, 0, 0},
    {"BadChecksum", WithCorruptByte(Ip(kHost, kUs, 42, kReplyMessage), 26), kIgnored, 0, 0, 0},
    {"ReplyFromAnotherHost", Ip(kRouter, kUs, 42, kReplyMessage), kIgnored, 0, 0, 0},
    {"ReplyWithNonzeroCode", Ip(kHost, kUs, 42, Icmp(icmp::kEchoReply, 1, kIdentifier, kSequence)), kIgnored, 0, 0, 0},
    {"OurOwnRequestOnLoopback", OurRequest(), kIgnored, 0, 0, 0},
    {"NetUnreachable", ErrorQuoting(3, 0, OurRequest()), kError, 11002, kRouter, 250},
    {"HostUnreachable", ErrorQuoting(3, 1, OurRequest()), kError, 11003, kRouter, 250},
    {"PortUnreachable", ErrorQuoting(3, 3, OurRequest()), kError, 11005, kRouter, 250},
    {"FragmentationNeeded", ErrorQuoting(3, 4, OurRequest()), kError, 11009, kRouter, 250},
    {"TtlExpiredInTransit", ErrorQuoting(11, 0, OurRequest(), 61), kError, 11013, kRouter, 61},
    {"TtlExpiredInReassembly", ErrorQuoting(11, 1, OurRequest()), kError, 11014, kRouter, 250},
    {"ParameterProblem", ErrorQuoting(12, 0, OurRequest()), kError, 11015, kRouter, 250},
    {"SourceQuench", ErrorQuoting(4, 0, OurRequest()), kError, 11016, kRouter, 250},
    {"QuoteWithIpOptions", ErrorQuoting(3, 1, Ip(kUs, kHost, 1, Icmp(8, 0, kIdentifier, kSequence), 7)), kError,
     11003, kRouter, 250},
    {"RedirectIsNoAnswer", ErrorQuoting(5, 1, OurRequest()), kIgnored, 0, 0, 0},
    {"ErrorForSomeoneElsesIdentifier", ErrorQuoting(3, 1, Ip(kUs, kHost, 1, Icmp(8, 0, 7, kSequence))), kIgnored, 0,
     0, 0},
    {"ErrorForAnotherSequence", ErrorQuoting(3, 1, Ip(kUs, kHost, 1, Icmp(8, 0, kIdentifier, 9))), kIgnored, 0, 0, 0},
    {"ErrorForAnotherDestination", ErrorQuoting(3, 1, Ip(kUs, kRouter, 1, Icmp(8, 0, kIdentifier, kSequence))),
     kIgnored, 0, 0, 0},
    {"ErrorQuotingAReply", ErrorQuoting(3, 1, Ip(kUs, kHost, 1, Icmp(0, 0, kIdentifier, kSequence))), kIgnored, 0, 0,
     0},
    {"ErrorQuotingUdp", ErrorQuoting(3, 3, Ip(kUs, kHost, 1, Icmp(8, 0, kIdentifier, kSequence), 5, 17)), kIgnored, 0,
     0, 0},
    {"QuoteCutInsideTheEchoHeader", ErrorQuoting(3, 1, Truncated(OurRequest(), 27)), kIgnored, 0, 0, 0},
    {"QuoteWithIhlBelowFive", ErrorQuoting(3, 1, Ip(kUs, kHost, 1, Icmp(8, 0, kIdentifier, kSequence), 4)), kIgnored,
     0, 0, 0},
    {"QuoteIhlBeyondTheQuote", ErrorQuoting(3, 1, Truncated(Ip(kUs, kHost, 1, Bytes(8, 0), 15), 28)), kIgnored, 0, 0,
     0},
    {"ErrorWithBadChecksum", WithCorruptByte(ErrorQuoting(3, 1, OurRequest()), 30), kIgnored, 0, 0, 0},
};

// Names the row in failure messages instead of dumping its bytes.
void PrintTo(const RawCase& row, std::ostream* out) { *out << row.name; }

class RawPacketTest : public testing::TestWithParam<RawCase> {};

TEST_P(RawPacketTest, IsJudgedAsExpected) {
    const RawCase& raw = GetParam();
    const icmp::Judgement judgement = icmp::JudgeRawPacket(raw.packet.data(), raw.packet.size(), kOurs);
    EXPECT_EQ(judgement.verdict, raw.verdict);
    if (raw.verdict == kIgnored) return;
    EXPECT_EQ(judgement.status, raw.status);
    EXPECT_EQ(judgement.sender, raw.sender);
    EXPECT_EQ(judgement.ttl, raw.ttl);
}

INSTANTIATE_TEST_SUITE_P(Handmade, RawPacketTest, testing::ValuesIn(kRawCases),
                         [](const testing::TestParamInfo<RawCase>& param_info) { return param_info.param.name; });

TEST(DatagramPacketTest, TakesSenderAndTtlFromTheSocket) {
    const icmp::Judgement reply = icmp::JudgeDatagramPacket(kReplyMessage.data(), kReplyMessage.size(), kHost, 42, kOurs);
    EXPECT_EQ(reply.verdict, kReply);
    EXPECT_EQ(reply.status, 0u);
    EXPECT_EQ(reply.sender, kHost);
    EXPECT_EQ(reply.ttl, 42);
}

TEST(DatagramPacketTest, IgnoresWhatIsNotOurReply) {
    const Bytes corrupt = WithCorruptByte(kReplyMessage, 7);
    const Bytes other_sequence = Icmp(icmp::kEchoReply, 0, kIdentifier, kSequence + 1);
    const Bytes other_identifier = Icmp(icmp::kEchoReply, 0, kIdentifier + 1, kSequence);
    const Bytes request = Icmp(icmp::kEchoRequest, 0, kIdentifier, kSequence);
    const Bytes with_header = Ip(kHost, kUs, 42, kReplyMessage);
    const struct {
        const char* name;
        Bytes bytes;
        std::uint32_t sender;
    } cases[] = {
        {"bad checksum", corrupt, kHost},
        {"other sequence", other_sequence, kHost},
        {"other identifier", other_identifier, kHost},
        {"a request", request, kHost},
        {"truncated", Truncated(kReplyMessage, 7), kHost},
        {"empty", Bytes{}, kHost},
        {"from another host", kReplyMessage, kRouter},
        {"with an IP header", with_header, kHost},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(icmp::JudgeDatagramPacket(item.bytes.data(), item.bytes.size(), item.sender, 42, kOurs).verdict,
                  kIgnored)
            << item.name;
    }
}

TEST(QueuedErrorTest, CountsOnlyErrorsQuotingOurRequest) {
    const Bytes ours = Icmp(icmp::kEchoRequest, 0, kIdentifier, kSequence);
    const icmp::Judgement error = icmp::JudgeQueuedError(11, 0, kRouter, kHost, ours.data(), ours.size(), 61, kOurs);
    EXPECT_EQ(error.verdict, kError);
    EXPECT_EQ(error.status, 11013u);
    EXPECT_EQ(error.sender, kRouter);
    EXPECT_EQ(error.ttl, 61);

    const Bytes other = Icmp(icmp::kEchoRequest, 0, kIdentifier, kSequence + 1);
    EXPECT_EQ(icmp::JudgeQueuedError(3, 1, kRouter, kHost, other.data(), other.size(), 61, kOurs).verdict, kIgnored);
    EXPECT_EQ(icmp::JudgeQueuedError(3, 1, kRouter, kRouter, ours.data(), ours.size(), 61, kOurs).verdict, kIgnored);
    EXPECT_EQ(icmp::JudgeQueuedError(5, 0, kRouter, kHost, ours.data(), ours.size(), 61, kOurs).verdict, kIgnored);
    EXPECT_EQ(icmp::JudgeQueuedError(3, 1, kRouter, kHost, ours.data(), 7, 61, kOurs).verdict, kIgnored);
    EXPECT_EQ(icmp::JudgeQueuedError(3, 1, kRouter, kHost, nullptr, 0, 61, kOurs).verdict, kIgnored);
}

TEST(StatusForErrorTest, MapsEveryUnreachableCode) {
    const std::uint32_t expected[] = {11002, 11003, 11004, 11005, 11009, 11012, 11002, 11003,
                                      11003, 11002, 11003, 11002, 11003, 11003, 11003, 11003};
    for (std::uint8_t code = 0; code < 16; ++code) EXPECT_EQ(icmp::StatusForError(3, code), expected[code]) << +code;
    EXPECT_EQ(icmp::StatusForError(3, 200), 11003u);
    EXPECT_EQ(icmp::StatusForError(11, 0), 11013u);
    EXPECT_EQ(icmp::StatusForError(11, 1), 11014u);
    EXPECT_EQ(icmp::StatusForError(11, 7), 11013u);
    EXPECT_EQ(icmp::StatusForError(12, 0), 11015u);
    EXPECT_EQ(icmp::StatusForError(4, 0), 11016u);
    const std::uint8_t other_types[] = {0, 5, 8, 9, 13, 255};
    for (const std::uint8_t type : other_types) EXPECT_EQ(icmp::StatusForError(type, 0), 0u) << +type;
}

TEST(BuildEchoRequestTest, WritesAnEchoRequestWithAValidChecksum) {
    std::uint8_t buffer[16] = {};
    const std::uint8_t payload[3] = {0xAB, 0xCD, 0xEF};
    ASSERT_EQ(icmp::BuildEchoRequest(buffer, sizeof buffer, kIdentifier, kSequence, payload, 3), 11u);
    EXPECT_EQ(buffer[0], icmp::kEchoRequest);
    EXPECT_EQ(buffer[1], 0);
    EXPECT_EQ(buffer[4], 0x4E);
    EXPECT_EQ(buffer[5], 0x49);
    EXPECT_EQ(buffer[6], 0x01);
    EXPECT_EQ(buffer[7], 0x02);
    EXPECT_EQ(buffer[10], 0xEF);
    EXPECT_EQ(icmp::InternetChecksum(buffer, 11), 0);
    EXPECT_EQ(icmp::BuildEchoRequest(buffer, sizeof buffer, kIdentifier, kSequence, nullptr, 0), 8u);
    EXPECT_EQ(icmp::InternetChecksum(buffer, 8), 0);
    EXPECT_EQ(icmp::BuildEchoRequest(buffer, 7, kIdentifier, kSequence, nullptr, 0), 0u);
    EXPECT_EQ(icmp::BuildEchoRequest(buffer, sizeof buffer, kIdentifier, kSequence, payload, 9), 0u);
}

TEST(InternetChecksumTest, MatchesTheRfcExample) {
    // RFC 1071's worked example: the sum of these words is 0xDDF2.
    const std::uint8_t words[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(icmp::InternetChecksum(words, sizeof words), static_cast<std::uint16_t>(~0xDDF2));
    const std::uint8_t odd[] = {0x01};
    EXPECT_EQ(icmp::InternetChecksum(odd, 1), static_cast<std::uint16_t>(~0x0100));
}

}  // namespace

// The echo service writes its records by offset, not by name: the headers this
// build compiles against must agree with the 32-bit layout of ICMP.DLL.
#include <gtest/gtest.h>

#include <cstddef>

#include "platform.h"

namespace {

TEST(RecordLayoutTest, IpOptionInformationHasThe32BitLayout) {
    EXPECT_EQ(sizeof(IP_OPTION_INFORMATION), 8u);
    EXPECT_EQ(offsetof(IP_OPTION_INFORMATION, Ttl), 0u);
    EXPECT_EQ(offsetof(IP_OPTION_INFORMATION, Tos), 1u);
    EXPECT_EQ(offsetof(IP_OPTION_INFORMATION, Flags), 2u);
    EXPECT_EQ(offsetof(IP_OPTION_INFORMATION, OptionsSize), 3u);
    EXPECT_EQ(offsetof(IP_OPTION_INFORMATION, OptionsData), 4u);
}

TEST(RecordLayoutTest, IcmpEchoReplyHasThe32BitLayout) {
    EXPECT_EQ(sizeof(ICMP_ECHO_REPLY), 28u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Address), 0u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Status), 4u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, RoundTripTime), 8u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, DataSize), 12u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Reserved), 14u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Data), 16u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Options), 20u);
    EXPECT_EQ(offsetof(ICMP_ECHO_REPLY, Options) + offsetof(IP_OPTION_INFORMATION, Ttl), 20u);
}

TEST(RecordLayoutTest, StatusNumbersAreTheServicesOwn) {
    EXPECT_EQ(IP_SUCCESS, 0);
    EXPECT_EQ(IP_REQ_TIMED_OUT, 11010);
    EXPECT_EQ(IP_TTL_EXPIRED_TRANSIT, 11013);
    EXPECT_EQ(IP_GENERAL_FAILURE, 11050);
}

TEST(RecordLayoutTest, WinsockAddressesAreFourBytesInNetworkOrder) {
    // inet_addr's result and IPAddr are stored into each other unchanged.
    EXPECT_EQ(sizeof(IPAddr), 4u);
    EXPECT_EQ(sizeof(in_addr), 4u);
}

}  // namespace

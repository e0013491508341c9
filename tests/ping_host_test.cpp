// PingHost against the scripted platform: every path, byte for byte, with
// the order in which the platform was called.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "fake_platform.h"
#include "ping_host.h"

namespace {

using Calls = std::vector<std::string>;

struct PingCase {
    const char* name;
    std::string target;
    FakeScript script;
    std::string output;
    std::int32_t result;
    Calls calls;
};

Calls Join(std::initializer_list<Calls> parts) {
    Calls joined;
    for (const Calls& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

const Calls kBind = {"LoadLibraryA(ICMP.DLL)", "GetProcAddress(IcmpCreateFile)", "GetProcAddress(IcmpCloseHandle)",
                     "GetProcAddress(IcmpSendEcho)"};
const Calls kStart = Join({kBind, {"WSAStartup(0x0101)"}});
const Calls kStopEarly = {"WSACleanup", "FreeLibrary"};
const Calls kStopAtEnd = {"IcmpCloseHandle", "FreeLibrary", "WSACleanup"};

std::string Request(const std::string& address) {
    return "IcmpSendEcho(" + address + ", data=null, size=0, ttl=255, tos=0, flags=0, options=0, reply=" +
           std::to_string(sizeof(ICMP_ECHO_REPLY)) + ", timeout=5000)";
}

const std::string kRequest = Request("127.0.0.1");
const std::string kPause = "Sleep(200)";
const FakeHost kLocalhost{"localhost", {"127.0.0.1"}};

FakeScript Resolving(const FakeHost& host, std::vector<FakeEcho> echoes) {
    FakeScript script;
    script.host_by_name = host;
    script.host_by_address = host;
    script.echoes = std::move(echoes);
    return script;
}

FakeScript NameOnly(const FakeHost& host) {
    FakeScript script;
    script.host_by_name = host;
    return script;
}

FakeEcho Success(ULONG round_trip, UCHAR ttl = 64) {
    FakeEcho echo;
    echo.round_trip = round_trip;
    echo.ttl = ttl;
    return echo;
}

FakeEcho TimedOut() {
    FakeEcho echo;
    echo.replies = 0;
    echo.address = "0.0.0.0";
    echo.status = IP_REQ_TIMED_OUT;
    echo.ttl = 0;
    return echo;
}

FakeEcho ServiceDown() {
    FakeEcho echo;
    echo.replies = 0;
    echo.writes_record = false;
    return echo;
}

FakeScript LibraryMissing() {
    FakeScript script;
    script.library_loads = false;
    return script;
}

FakeScript EntryPointMissing() {
    FakeScript script;
    script.missing_entry_points = {"IcmpCloseHandle"};
    return script;
}

FakeScript StartupFails() {
    FakeScript script;
    script.startup_error = 10091;
    return script;
}

FakeScript WrongVersion() {
    FakeScript script;
    script.granted_version = 0x0002;
    return script;
}

const std::string kLocalBanner = "Ping an localhost[127.0.0.1]\n";

std::string ReplyLine(const std::string& address, const std::string& time, const std::string& ttl) {
    return "Antwort von " + address + ": Zeit=" + time + " ms, Time to Live=" + ttl + " ms\n";
}

const PingCase kCases[] = {
    {"LibraryDoesNotLoad", "localhost", LibraryMissing(), "Could not load ICMP.DLL\n", -1,
     {"LoadLibraryA(ICMP.DLL)"}},
    {"EntryPointMissing", "localhost", EntryPointMissing(), "Error getting ICMP proc address\n", -1,
     Join({kBind, {"FreeLibrary"}})},
    {"StartupFails", "localhost", StartupFails(), "Winsock-Initialsierungsfehler: 10091\n", -1,
     Join({kStart, {"FreeLibrary"}})},
    {"WrongVersionGranted", "localhost", WrongVersion(),
     "Fehler: Winsock Version 1.1 oder h\xF6her nicht vorhanden !\n", -1, Join({kStart, kStopEarly})},
    {"NameNotFound", "nowhere.invalid", FakeScript{}, "Fehler: Adresse nowhere.invalid wurde nicht gefunden !\n", -1,
     Join({kStart, {"inet_addr(nowhere.invalid)", "gethostbyname(nowhere.invalid)"}, kStopEarly})},
    {"AddressWithoutHostEntry", "192.0.2.7", NameOnly(kLocalhost), "Fehler: Adresse 192.0.2.7 wurde nicht gefunden !\n",
     -1, Join({kStart, {"inet_addr(192.0.2.7)", "gethostbyaddr(192.0.2.7, 4, 2)"}, kStopEarly})},
    {"EmptyTarget", "", FakeScript{}, "Fehler: Adresse  wurde nicht gefunden !\n", -1,
     Join({kStart, {"inet_addr()", "gethostbyname()"}, kStopEarly})},
    {"PercentInTarget", "%s%n%d%%", FakeScript{}, "Fehler: Adresse %s%n%d%% wurde nicht gefunden !\n", -1,
     Join({kStart, {"inet_addr(%s%n%d%%)", "gethostbyname(%s%n%d%%)"}, kStopEarly})},
    {"HostEntryWithoutAddresses", "empty.example", Resolving(FakeHost{"empty.example", {}}, {}),
     "Fehler: Adresse empty.example wurde nicht gefunden !\n", -1,
     Join({kStart, {"inet_addr(empty.example)", "gethostbyname(empty.example)"}, kStopEarly})},
    {"ThreeSuccessesDropTheFraction", "localhost", Resolving(kLocalhost, {Success(1), Success(2), Success(2)}),
     kLocalBanner + ReplyLine("127.0.0.1", "1", "64") + ReplyLine("127.0.0.1", "2", "64") +
         ReplyLine("127.0.0.1", "2", "64"),
     1,
     Join({kStart, {"inet_addr(localhost)", "gethostbyname(localhost)", "IcmpCreateFile", kRequest, kPause, kRequest,
                    kPause, kRequest},
           kStopAtEnd})},
    {"MeanBelowOneIsZero", "localhost", Resolving(kLocalhost, {Success(0), Success(0), Success(1)}),
     kLocalBanner + ReplyLine("127.0.0.1", "0", "64") + ReplyLine("127.0.0.1", "0", "64") +
         ReplyLine("127.0.0.1", "1", "64"),
     0, Calls{}},
    {"FirstEchoFails", "localhost", Resolving(kLocalhost, {TimedOut()}),
     kLocalBanner + ReplyLine("0.0.0.0", "0", "0") + "Fehler: IcmpEcho-Status=11010", -1,
     Join({kStart, {"inet_addr(localhost)", "gethostbyname(localhost)", "IcmpCreateFile", kRequest}, kStopAtEnd})},
    {"SecondEchoFails", "localhost", Resolving(kLocalhost, {Success(17, 42), TimedOut(), Success(1)}),
     kLocalBanner + ReplyLine("127.0.0.1", "17", "42") + ReplyLine("0.0.0.0", "0", "0") +
         "Fehler: IcmpEcho-Status=11010",
     17,
     Join({kStart, {"inet_addr(localhost)", "gethostbyname(localhost)", "IcmpCreateFile", kRequest, kPause, kRequest},
           kStopAtEnd})},
    {"ThirdEchoFails", "localhost", Resolving(kLocalhost, {Success(3), Success(6), TimedOut()}),
     kLocalBanner + ReplyLine("127.0.0.1", "3", "64") + ReplyLine("127.0.0.1", "6", "64") +
         ReplyLine("0.0.0.0", "0", "0") + "Fehler: IcmpEcho-Status=11010",
     4, Calls{}},
    {"NoReplyOverAnEarlierSuccessIsAFailure", "localhost", Resolving(kLocalhost, {Success(7), ServiceDown()}),
     kLocalBanner + ReplyLine("127.0.0.1", "7", "64") + ReplyLine("127.0.0.1", "7", "64") +
         "Fehler: IcmpEcho-Status=11050",
     7, Calls{}},
    {"UnwrittenRecordReadsAsZero", "localhost", Resolving(kLocalhost, {ServiceDown()}),
     kLocalBanner + ReplyLine("0.0.0.0", "0", "0") + "Fehler: IcmpEcho-Status=11050", -1, Calls{}},
    {"ErrorFromARouter", "localhost",
     Resolving(kLocalhost, {FakeEcho{0, true, "127.0.0.9", IP_TTL_EXPIRED_TRANSIT, 3, 250}}),
     kLocalBanner + ReplyLine("127.0.0.9", "3", "250") + "Fehler: IcmpEcho-Status=11013", -1, Calls{}},
    {"RoundTripAboveTwoToThe31", "localhost", Resolving(kLocalhost, {Success(0x80000005u), TimedOut()}),
     kLocalBanner + ReplyLine("127.0.0.1", "-2147483643", "64") + ReplyLine("0.0.0.0", "0", "0") +
         "Fehler: IcmpEcho-Status=11010",
     std::numeric_limits<std::int32_t>::max(), Calls{}},
    {"SumBeyond32Bits", "localhost",
     Resolving(kLocalhost, {Success(0xFFFFFFFFu), Success(0xFFFFFFFFu), Success(0xFFFFFFFFu)}),
     kLocalBanner + ReplyLine("127.0.0.1", "-1", "64") + ReplyLine("127.0.0.1", "-1", "64") +
         ReplyLine("127.0.0.1", "-1", "64"),
     std::numeric_limits<std::int32_t>::max(), Calls{}},
    {"DottedAddressReversedToItsName", "127.0.0.1", Resolving(kLocalhost, {Success(0), Success(0), Success(0)}),
     kLocalBanner + ReplyLine("127.0.0.1", "0", "64") + ReplyLine("127.0.0.1", "0", "64") +
         ReplyLine("127.0.0.1", "0", "64"),
     0,
     Join({kStart, {"inet_addr(127.0.0.1)", "gethostbyaddr(127.0.0.1, 4, 2)", "IcmpCreateFile", kRequest, kPause,
                    kRequest, kPause, kRequest},
           kStopAtEnd})},
    {"AllOnesAddressIsLookedUpAsAName", "255.255.255.255", FakeScript{},
     "Fehler: Adresse 255.255.255.255 wurde nicht gefunden !\n", -1,
     Join({kStart, {"inet_addr(255.255.255.255)", "gethostbyname(255.255.255.255)"}, kStopEarly})},
    {"OnlyTheFirstOfSeveralAddresses", "www",
     Resolving(FakeHost{"www.example.test", {"127.0.0.5", "127.0.0.6"}},
               {FakeEcho{1, true, "127.0.0.5", 0, 9, 60}, TimedOut()}),
     "Ping an www.example.test[127.0.0.5]\n" + ReplyLine("127.0.0.5", "9", "60") + ReplyLine("0.0.0.0", "0", "0") +
         "Fehler: IcmpEcho-Status=11010",
     9,
     Join({kStart, {"inet_addr(www)", "gethostbyname(www)", "IcmpCreateFile", Request("127.0.0.5"), kPause,
                    Request("127.0.0.5")},
           kStopAtEnd})},
};

// Names the row in failure messages instead of dumping its bytes.
void PrintTo(const PingCase& row, std::ostream* out) { *out << row.name; }

class PingHostTest : public testing::TestWithParam<PingCase> {};

TEST_P(PingHostTest, WritesMessagesReturnsMeanAndReleasesInOrder) {
    const PingCase& ping_case = GetParam();
    RunFakePlatform(ping_case.script);
    testing::internal::CaptureStdout();
    const std::int32_t result = PingHost(ping_case.target);
    std::fflush(stdout);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, ping_case.output);
    EXPECT_EQ(result, ping_case.result);
    // An empty list stands for a path whose calls another row already pins.
    if (!ping_case.calls.empty()) {
        EXPECT_EQ(FakePlatformCalls(), ping_case.calls);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, PingHostTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<PingCase>& param_info) { return param_info.param.name; });

TEST(PingHostTest, EveryAcquisitionIsReleasedOnEveryPath) {
    for (const PingCase& ping_case : kCases) {
        RunFakePlatform(ping_case.script);
        testing::internal::CaptureStdout();
        PingHost(ping_case.target);
        testing::internal::GetCapturedStdout();
        const Calls& calls = FakePlatformCalls();
        const auto count = [&](const std::string& call) { return std::count(calls.begin(), calls.end(), call); };
        const bool loaded = ping_case.script.library_loads;
        EXPECT_EQ(count("FreeLibrary"), loaded ? 1 : 0) << ping_case.name;
        EXPECT_EQ(count("WSACleanup"), count("WSAStartup(0x0101)") == 1 && ping_case.script.startup_error == 0 ? 1 : 0)
            << ping_case.name;
        EXPECT_EQ(count("IcmpCloseHandle"), count("IcmpCreateFile")) << ping_case.name;
        EXPECT_EQ(count("IcmpSendEcho(wrong handle"), 0) << ping_case.name;
        // The handle is closed while the library that made it is loaded.
        const auto close = std::find(calls.begin(), calls.end(), "IcmpCloseHandle");
        const auto release = std::find(calls.begin(), calls.end(), "FreeLibrary");
        if (close != calls.end()) {
            EXPECT_LT(close - calls.begin(), release - calls.begin()) << ping_case.name;
        }
    }
}

TEST(DecimalTextTest, RendersAsPercentD) {
    const std::int32_t values[] = {0, 7, -7, 10, 255, 11010, 2147483647, -2147483647 - 1, -1};
    for (const std::int32_t value : values) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "%d", value);
        EXPECT_EQ(DecimalText(value), expected);
    }
}

TEST(MeanRoundTripTest, DropsTheFractionAndNeverLooksLikeAFailure) {
    EXPECT_EQ(MeanRoundTrip(0, 0), -1);
    EXPECT_EQ(MeanRoundTrip(5, 3), 1);
    EXPECT_EQ(MeanRoundTrip(1, 3), 0);
    EXPECT_EQ(MeanRoundTrip(2147483647, 1), 2147483647);
    EXPECT_EQ(MeanRoundTrip(2147483648u, 1), 2147483647);
    EXPECT_EQ(MeanRoundTrip(3ull * 0xFFFFFFFFull, 3), 2147483647);
}

}  // namespace

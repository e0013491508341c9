// The Linux side of the platform seam, apart from what needs a network:
// the loopback tests cover the echo service on the wire.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>

#include "echo_service.h"
#include "platform.h"

namespace {

TEST(SocketLayerTest, GrantsVersionOneDotOne) {
    WSADATA data;
    std::memset(&data, 0xAB, sizeof data);
    EXPECT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_NE(WSAStartup(0x0101, nullptr), 0);
    EXPECT_EQ(WSACleanup(), 0);
}

void IgnoreAlarm(int) {}

TEST(SleepTest, SleepsTheWholeTimeThoughASignalInterruptsIt) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = IgnoreAlarm;  // no SA_RESTART: the sleep is interrupted
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every_20_ms{{0, 20000}, {0, 20000}};
    itimerval stopped{{0, 0}, {0, 0}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_20_ms, nullptr), 0);
    const auto started = std::chrono::steady_clock::now();
    Sleep(200);
    const auto slept = std::chrono::steady_clock::now() - started;
    setitimer(ITIMER_REAL, &stopped, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept, std::chrono::milliseconds(200));
}

TEST(EchoLibraryTest, BindsOnlyIcmpDllAndItsThreeEntryPoints) {
    EXPECT_EQ(LoadLibraryA("KERNEL32.DLL"), nullptr);
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    HMODULE module = LoadLibraryA("icmp.dll");
    if (module == nullptr) GTEST_SKIP() << "this process may open no ICMP socket";
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "IcmpCreateFile")),
              reinterpret_cast<void*>(&IcmpCreateFile));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "IcmpSendEcho")), reinterpret_cast<void*>(&IcmpSendEcho));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "IcmpCloseHandle")),
              reinterpret_cast<void*>(&IcmpCloseHandle));
    EXPECT_EQ(GetProcAddress(module, "icmpsendecho"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "Icmp6CreateFile"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "IcmpSendEcho"), nullptr);
    EXPECT_NE(FreeLibrary(module), 0);
}

ICMP_ECHO_REPLY MarkedRecord() {
    ICMP_ECHO_REPLY record;
    std::memset(&record, 0x5A, sizeof record);
    return record;
}

TEST(EchoServiceTest, AnUnusableHandleFillsTheRecordWithAGeneralFailure) {
    const HANDLE unusable[] = {nullptr, INVALID_HANDLE_VALUE};
    for (const HANDLE handle : unusable) {
        ICMP_ECHO_REPLY record = MarkedRecord();
        IP_OPTION_INFORMATION options{255, 0, 0, 0, nullptr};
        EXPECT_EQ(IcmpSendEcho(handle, 0x0100007F, nullptr, 0, &options, &record, sizeof record, 5000), 0u);
        EXPECT_EQ(record.Status, IP_GENERAL_FAILURE);
        EXPECT_EQ(record.Address, 0u);
        EXPECT_EQ(record.RoundTripTime, 0u);
        EXPECT_EQ(record.Options.Ttl, 0);
    }
    EXPECT_EQ(IcmpCloseHandle(INVALID_HANDLE_VALUE), 0);
}

TEST(EchoServiceTest, ABufferTooSmallForARecordIsLeftUntouched) {
    ICMP_ECHO_REPLY record = MarkedRecord();
    const ICMP_ECHO_REPLY before = record;
    EXPECT_EQ(IcmpSendEcho(INVALID_HANDLE_VALUE, 0x0100007F, nullptr, 0, nullptr, &record, sizeof record - 1, 5000),
              0u);
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    EXPECT_EQ(IcmpSendEcho(INVALID_HANDLE_VALUE, 0x0100007F, nullptr, 0, nullptr, nullptr, sizeof record, 5000), 0u);
}

}  // namespace

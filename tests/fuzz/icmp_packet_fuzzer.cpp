// Feeds arbitrary bytes to every judge; the sanitizers report any read past
// a length that was not checked.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "icmp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A private copy of exactly `size` bytes, so an overread cannot hide in
    // the fuzzer's own buffer.
    const std::vector<std::uint8_t> packet(data, data + size);
    const icmp::EchoIdentity ours{0x0200007F, 0x4E49, 0x0102};
    icmp::JudgeRawPacket(packet.data(), packet.size(), ours);
    icmp::JudgeDatagramPacket(packet.data(), packet.size(), 0x0200007F, 64, ours);
    if (size >= 2) icmp::JudgeQueuedError(packet[0], packet[1], 0, 0x0200007F, packet.data() + 2, size - 2, 1, ours);
    return 0;
}

// Feeds arbitrary bytes to every judge; the sanitizers report any read past
// a length that was not checked.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "icmp_packet.h"

namespace {

const icmp::EchoIdentity kOurs{0x0200007F, 0x4E49, 0x0102};

// Random bytes almost never carry a valid checksum, which would keep the
// fuzzer out of everything behind the check: mend it where it can sit.
void MendChecksum(std::vector<std::uint8_t>& message) {
    if (message.size() < icmp::kHeaderSize) return;
    message[2] = 0;
    message[3] = 0;
    const std::uint16_t checksum = icmp::InternetChecksum(message.data(), message.size());
    message[2] = static_cast<std::uint8_t>(checksum >> 8);
    message[3] = static_cast<std::uint8_t>(checksum & 0xFF);
}

void JudgeRawWithMendedChecksum(const std::vector<std::uint8_t>& packet) {
    if (packet.empty()) return;
    const std::size_t header_length = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (header_length > packet.size()) return;
    std::vector<std::uint8_t> message(packet.begin() + static_cast<std::ptrdiff_t>(header_length), packet.end());
    MendChecksum(message);
    std::vector<std::uint8_t> mended(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(header_length));
    mended.insert(mended.end(), message.begin(), message.end());
    icmp::JudgeRawPacket(mended.data(), mended.size(), kOurs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A private copy of exactly `size` bytes, so an overread cannot hide in
    // the fuzzer's own buffer.
    std::vector<std::uint8_t> packet(data, data + size);
    icmp::JudgeRawPacket(packet.data(), packet.size(), kOurs);
    JudgeRawWithMendedChecksum(packet);
    icmp::JudgeDatagramPacket(packet.data(), packet.size(), 0x0200007F, 64, kOurs);
    MendChecksum(packet);
    icmp::JudgeDatagramPacket(packet.data(), packet.size(), 0x0200007F, 64, kOurs);
    if (size >= 2) {
        icmp::JudgeQueuedError(data[0], data[1], 0, 0x0200007F, packet.data() + 2, size - 2, 1, kOurs);
    }
    return 0;
}

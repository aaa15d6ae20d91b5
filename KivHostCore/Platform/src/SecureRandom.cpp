#include "KivHostCore/Platform/SecureRandom.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fmt/format.h>

namespace kiv {

void secureRandomBytes(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const auto n = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("getrandom");
            std::abort(); // tokens and keys must never be predictable
        }
        filled += static_cast<std::size_t>(n);
    }
}

std::string newPairingToken() {
    std::array<std::uint8_t, 32> bytes{};
    secureRandomBytes(bytes);
    std::string token;
    token.reserve(64);
    for (const auto b : bytes)
        token += fmt::format("{:02x}", b);
    return token;
}

std::string newUUID() {
    std::array<std::uint8_t, 16> b{};
    secureRandomBytes(b);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    return fmt::format(
        "{:02X}{:02X}{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", b[0],
        b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

std::uint32_t randomNonZeroU32() {
    while (true) {
        std::array<std::uint8_t, 4> b{};
        secureRandomBytes(b);
        const std::uint32_t value =
            std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
        if (value != 0) return value;
    }
}

std::uint64_t randomNonZeroU64() {
    while (true) {
        std::array<std::uint8_t, 8> b{};
        secureRandomBytes(b);
        std::uint64_t value = 0;
        for (const auto byte : b)
            value = value << 8 | byte;
        if (value != 0) return value;
    }
}

bool secretsEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0; // no branch on the bytes: the loop always runs to the end
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace kiv

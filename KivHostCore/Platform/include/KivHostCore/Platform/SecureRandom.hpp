#pragma once
// Cryptographically secure random bytes (getrandom(2)); failure to get them is fatal.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kiv {

void secureRandomBytes(std::span<std::uint8_t> out);
// 32 random bytes as 64 lower-case hex digits.
std::string newPairingToken();
// A random (version 4) UUID in upper-case text form.
std::string newUUID();
// A random value that is never 0 (session identifiers, video keys).
std::uint32_t randomNonZeroU32();
std::uint64_t randomNonZeroU64();
// Compares secrets (pairing tokens) in time that depends only on their lengths, never on where
// they first differ, so a device cannot guess a token byte by byte from response times.
bool secretsEqual(std::string_view a, std::string_view b);

} // namespace kiv

#pragma once
// Cryptographically secure random bytes (getrandom(2)); failure to get them is fatal.
#include <cstdint>
#include <span>
#include <string>

namespace kiv {

void secureRandomBytes(std::span<std::uint8_t> out);
// 32 random bytes as 64 lower-case hex digits.
std::string newPairingToken();
// A random (version 4) UUID in upper-case text form.
std::string newUUID();
// A random value that is never 0 (session identifiers, video keys).
std::uint32_t randomNonZeroU32();
std::uint64_t randomNonZeroU64();

} // namespace kiv

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvin::crypto {

// Lower-case hex, two digits a byte.
std::string hex(std::span<const uint8_t> bytes);
// Exactly 2*N hex digits of either case; anything else gives no value.
template <size_t N>
std::optional<std::array<uint8_t, N>> fromHex(std::string_view text);

std::string sha256Hex(std::string_view bytes);
std::array<uint8_t, 32> sha256(std::string_view bytes);

// Bytes from the operating system's generator; throws std::runtime_error when it fails.
void randomBytes(std::span<uint8_t> out);
// Random bytes rendered as lower-case hex (for tokens and secrets).
std::string randomHex(size_t byteCount);

// Constant-time equality of two byte strings of equal length (false when lengths differ).
bool constantTimeEqual(std::string_view a, std::string_view b) noexcept;

using Ed25519Seed = std::array<uint8_t, 32>;
using Ed25519PublicKey = std::array<uint8_t, 32>;
using Ed25519Signature = std::array<uint8_t, 64>;

Ed25519Seed ed25519GenerateSeed();
// No value when OpenSSL refuses the seed.
std::optional<Ed25519PublicKey> ed25519PublicKey(const Ed25519Seed& seed);
std::optional<Ed25519Signature> ed25519Sign(const Ed25519Seed& seed, std::string_view message);
bool ed25519Verify(const Ed25519PublicKey& key, std::string_view message, const Ed25519Signature& signature);

}  // namespace quorvin::crypto

#include "wire/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <memory>
#include <stdexcept>

namespace quorvin::crypto {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0xf];
  }
  return out;
}

template <size_t N>
std::optional<std::array<uint8_t, N>> fromHex(std::string_view text) {
  if (text.size() != 2 * N) return std::nullopt;
  std::array<uint8_t, N> out{};
  for (size_t i = 0; i < N; ++i) {
    const int hi = hexValue(text[2 * i]);
    const int lo = hexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return out;
}
template std::optional<std::array<uint8_t, 32>> fromHex<32>(std::string_view);
template std::optional<std::array<uint8_t, 64>> fromHex<64>(std::string_view);

std::array<uint8_t, 32> sha256(std::string_view bytes) {
  std::array<uint8_t, 32> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
  return digest;
}

std::string sha256Hex(std::string_view bytes) { return hex(sha256(bytes)); }

void randomBytes(std::span<uint8_t> out) {
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    throw std::runtime_error("the random generator failed");
  }
}

std::string randomHex(size_t byteCount) {
  std::string raw(byteCount, '\0');
  randomBytes({reinterpret_cast<uint8_t*>(raw.data()), raw.size()});
  return hex({reinterpret_cast<const uint8_t*>(raw.data()), raw.size()});
}

bool constantTimeEqual(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Ed25519Seed ed25519GenerateSeed() {
  Ed25519Seed seed{};
  randomBytes(seed);
  return seed;
}

std::optional<Ed25519PublicKey> ed25519PublicKey(const Ed25519Seed& seed) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  if (!key) return std::nullopt;
  Ed25519PublicKey pub{};
  size_t len = pub.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len) != 1 || len != pub.size()) return std::nullopt;
  return pub;
}

std::optional<Ed25519Signature> ed25519Sign(const Ed25519Seed& seed, std::string_view message) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return std::nullopt;
  Ed25519Signature sig{};
  size_t len = sig.size();
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1 ||
      len != sig.size()) {
    return std::nullopt;
  }
  return sig;
}

bool ed25519Verify(const Ed25519PublicKey& publicKey, std::string_view message, const Ed25519Signature& signature) {
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

}  // namespace quorvin::crypto

#include "publishing/PublisherId.h"

#include <cctype>
#include <cstdint>
#include <mutex>

#include "wire/Crypto.h"

namespace quorvin {

bool isUuid(std::string_view text) noexcept {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

namespace {

std::string randomUuid() {
  std::array<uint8_t, 16> b{};
  crypto::randomBytes(b);
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  const std::string h = crypto::hex(b);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

}  // namespace

std::string resolvePublisherId(UserDefaults& defaults) {
  if (auto stored = defaults.string(publisherIdDefaultsKey); stored && isUuid(*stored)) {
    std::string id = *stored;
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return id;
  }
  std::string id = randomUuid();
  defaults.setString(publisherIdDefaultsKey, id);
  return id;
}

const std::string& publisherID(UserDefaults& defaults) {
  static std::once_flag once;
  static std::string id;
  std::call_once(once, [&] { id = resolvePublisherId(defaults); });
  return id;
}

}  // namespace quorvin

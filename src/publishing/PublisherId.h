#pragma once

#include <string>

#include "platform/UserDefaults.h"

namespace quorvin {

inline constexpr const char* publisherIdDefaultsKey = "quorvin_publisher_id_v1";

// The lower-case UUID naming this installation to the service. A stored value that parses
// as a UUID is used lower-cased (and left as stored); anything else is replaced by a fresh
// random UUID, which is stored.
std::string resolvePublisherId(UserDefaults& defaults);

// resolvePublisherId once per process; later calls return the first answer.
const std::string& publisherID(UserDefaults& defaults);

bool isUuid(std::string_view text) noexcept;

}  // namespace quorvin

#pragma once

#include <string>

#include "platform/UserDefaults.h"

namespace quorvin {

// The service the app talks to. Self-hosters and tests point it elsewhere with the
// environment variable (checked first) or the user-defaults key.
inline constexpr const char* defaultServiceUrl = "https://quorvin.app";
inline constexpr const char* serviceUrlEnvironmentVariable = "QUORVIN_API_URL";
inline constexpr const char* serviceUrlDefaultsKey = "quorvin_api_base_url";
// Sent when pairing, for a service started with --auto-approve and --enrol-secret-file.
inline constexpr const char* enrolSecretEnvironmentVariable = "QUORVIN_ENROL_SECRET";

// An override counts only when it is an absolute http(s) URL; trailing slashes are dropped.
std::string serviceBaseUrl(const UserDefaults& defaults);

}  // namespace quorvin

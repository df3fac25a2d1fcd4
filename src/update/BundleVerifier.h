#pragma once

#include <filesystem>
#include <string_view>

#include "update/BundleSignature.h"

namespace quorvin {

// Checks an unpacked bundle folder before anything of it is installed, in this order:
// identity and release flags (Info.json), the signed file list (Signature.json: every file
// matches, nothing unlisted, no links), the team and runtime flag, the notarisation.
// Throws InstallError::invalidBundle or ::signatureRejected.
void verifyBundle(const std::filesystem::path& bundle, std::string_view version, const ReleaseKeys& keys);

}  // namespace quorvin

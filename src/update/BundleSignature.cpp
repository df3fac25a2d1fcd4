#include "update/BundleSignature.h"

#include <boost/json/serialize.hpp>
#include <set>
#include <stdexcept>

#include "wire/JsonFields.h"
#include "update/BundleArchive.h"

#ifndef QUORVIN_RELEASE_PUBLIC_KEY
#error "QUORVIN_RELEASE_PUBLIC_KEY must be defined by the build"
#endif
#ifndef QUORVIN_NOTARY_PUBLIC_KEY
#error "QUORVIN_NOTARY_PUBLIC_KEY must be defined by the build"
#endif

namespace quorvin {

namespace {

namespace jf = json_fields;

std::optional<boost::json::object> parseObject(std::string_view text) {
  auto document = jf::parseDocument(text);
  if (!document || !document->is_object()) return std::nullopt;
  return std::move(document->get_object());
}

bool isLowerHexDigest(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

std::optional<BundleInfo> BundleInfo::parse(std::string_view text) {
  auto object = parseObject(text);
  if (!object) return std::nullopt;
  BundleInfo info;
  if (!jf::readString(*object, "CFBundleIdentifier", info.identifier) ||
      !jf::readString(*object, "CFBundleExecutable", info.executable) ||
      !jf::readString(*object, "CFBundleShortVersionString", info.shortVersion) ||
      !jf::readBool(*object, "LSUIElement", info.uiElement) ||
      !jf::readOptionalBool(*object, "QuorvinPreviewBuild", info.previewBuild)) {
    return std::nullopt;
  }
  return info;
}

std::string BundleInfo::serialize() const {
  boost::json::object object;
  object["CFBundleIdentifier"] = identifier;
  object["CFBundleExecutable"] = executable;
  object["CFBundleShortVersionString"] = shortVersion;
  object["LSUIElement"] = uiElement;
  if (previewBuild) object["QuorvinPreviewBuild"] = *previewBuild;
  return boost::json::serialize(object) + "\n";
}

bool BundleInfo::matchesRelease(std::string_view version) const {
  return identifier == kIdentifier && executable == kExecutable && shortVersion == version && uiElement &&
         previewBuild.has_value() && !*previewBuild;
}

std::optional<BundleSignature> BundleSignature::parse(std::string_view text) {
  if (text.size() > kMaxBytes) return std::nullopt;
  auto object = parseObject(text);
  if (!object) return std::nullopt;
  BundleSignature result;
  std::string signatureHex;
  if (!jf::readString(*object, "team", result.team) || !jf::readBool(*object, "runtime", result.runtime) ||
      !jf::readString(*object, "signature", signatureHex)) {
    return std::nullopt;
  }
  auto signature = crypto::fromHex<64>(signatureHex);
  if (!signature) return std::nullopt;
  result.signature = *signature;
  const auto* files = jf::find(*object, "files");
  if (!files || !files->is_array()) return std::nullopt;
  std::set<std::string> seen;
  for (const auto& item : files->get_array()) {
    if (!item.is_object()) return std::nullopt;
    File file;
    int64_t mode = 0;
    if (!jf::readString(item.get_object(), "path", file.path) ||
        !jf::readString(item.get_object(), "sha256", file.sha256) || !jf::readInt64(item.get_object(), "mode", mode)) {
      return std::nullopt;
    }
    if (mode < 0 || mode > 07777 || !isLowerHexDigest(file.sha256)) return std::nullopt;
    // Listed paths are checked like archive entries, relative to the bundle folder.
    const auto clean = BundleArchive::safeEntryName(std::string(BundleArchive::kBundleFolder) + "/" + file.path);
    if (!clean || *clean != std::string(BundleArchive::kBundleFolder) + "/" + file.path) return std::nullopt;
    if (!seen.insert(file.path).second) return std::nullopt;
    file.mode = static_cast<uint32_t>(mode);
    result.files.push_back(std::move(file));
  }
  return result;
}

std::string BundleSignature::canonicalBytes() const {
  boost::json::array list;
  for (const auto& file : files) {
    boost::json::object entry;
    entry["path"] = file.path;
    entry["sha256"] = file.sha256;
    entry["mode"] = file.mode;
    list.push_back(std::move(entry));
  }
  boost::json::object object;
  object["team"] = team;
  object["runtime"] = runtime;
  object["files"] = std::move(list);
  return boost::json::serialize(object);
}

std::string BundleSignature::serialize() const {
  auto object = jf::parseDocument(canonicalBytes())->get_object();
  object["signature"] = crypto::hex(signature);
  return boost::json::serialize(object) + "\n";
}

std::optional<BundleNotarization> BundleNotarization::parse(std::string_view text) {
  if (text.size() > 64 * 1024) return std::nullopt;
  auto object = parseObject(text);
  if (!object) return std::nullopt;
  BundleNotarization result;
  std::string signatureHex;
  if (!jf::readString(*object, "signatureSha256", result.signatureSha256) ||
      !jf::readString(*object, "signature", signatureHex) || !isLowerHexDigest(result.signatureSha256)) {
    return std::nullopt;
  }
  auto signature = crypto::fromHex<64>(signatureHex);
  if (!signature) return std::nullopt;
  result.signature = *signature;
  return result;
}

std::string BundleNotarization::serialize() const {
  boost::json::object object;
  object["signatureSha256"] = signatureSha256;
  object["signature"] = crypto::hex(signature);
  return boost::json::serialize(object) + "\n";
}

ReleaseKeys ReleaseKeys::builtIn() {
  static const ReleaseKeys keys = [] {
    auto release = crypto::fromHex<32>(QUORVIN_RELEASE_PUBLIC_KEY);
    auto notary = crypto::fromHex<32>(QUORVIN_NOTARY_PUBLIC_KEY);
    if (!release || !notary) throw std::logic_error("the built-in release keys are not 64 hex digits");
    return ReleaseKeys{*release, *notary};
  }();
  return keys;
}

}  // namespace quorvin

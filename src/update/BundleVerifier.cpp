#include "update/BundleVerifier.h"

#include <sys/stat.h>

#include <map>
#include <system_error>

#include "wire/Crypto.h"
#include "update/FileDigest.h"
#include "update/InstallError.h"

namespace quorvin {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void rejected(const std::string& detail) {
  throw InstallError(InstallError::Kind::signatureRejected, detail);
}

void verifyIdentity(const fs::path& bundle, std::string_view version) {
  const auto text = readSmallFile(bundle / BundleInfo::kFile, 64 * 1024);
  const auto info = text ? BundleInfo::parse(*text) : std::nullopt;
  if (!info || !info->matchesRelease(version)) {
    throw InstallError(InstallError::Kind::invalidBundle, "Identity, version, or release flags do not match the manifest.");
  }
}

// The sealed files: each listed file is a regular file with its digest and mode, and the
// folder holds nothing else but folders and the two signature files.
void verifySealedFiles(const fs::path& bundle, const BundleSignature& signature) {
  std::map<std::string, const BundleSignature::File*> listed;
  for (const auto& file : signature.files) {
    listed.emplace(file.path, &file);
    struct stat info {};
    const fs::path path = bundle / file.path;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 07777) != file.mode) {
      rejected(file.path + ": a sealed resource is missing or invalid");
    }
    std::string digest;
    try {
      digest = sha256OfFile(path);
    } catch (const std::exception&) {
      rejected(file.path + ": a sealed resource is missing or invalid");
    }
    if (digest != file.sha256) rejected(file.path + ": a sealed resource is missing or invalid");
  }
  std::error_code ec;
  fs::recursive_directory_iterator it(bundle, ec), end;
  if (ec) rejected("the bundle could not be read");
  for (; it != end; it.increment(ec)) {
    if (ec) rejected("the bundle could not be read");
    const std::string relative = it->path().lexically_relative(bundle).generic_string();
    const auto status = it->symlink_status(ec);
    if (ec) rejected("the bundle could not be read");
    if (status.type() == fs::file_type::directory) continue;
    const bool signatureFile = relative == BundleSignature::kFile || relative == BundleNotarization::kFile;
    if (status.type() == fs::file_type::regular && (signatureFile || listed.contains(relative))) continue;
    rejected("file added: " + relative);
  }
}

}  // namespace

void verifyBundle(const fs::path& bundle, std::string_view version, const ReleaseKeys& keys) {
  verifyIdentity(bundle, version);

  const auto signatureText = readSmallFile(bundle / BundleSignature::kFile, BundleSignature::kMaxBytes);
  if (!signatureText) rejected("code object is not signed at all");
  const auto signature = BundleSignature::parse(*signatureText);
  if (!signature) rejected("the signature is malformed");
  if (!crypto::ed25519Verify(keys.release, signature->canonicalBytes(), signature->signature)) {
    rejected("invalid signature (code or signature have been modified)");
  }
  verifySealedFiles(bundle, *signature);

  if (signature->team != BundleSignature::kTeam || !signature->runtime) {
    rejected("Developer ID team or hardened-runtime identity does not match.");
  }

  const auto notarizationText = readSmallFile(bundle / BundleNotarization::kFile, 64 * 1024);
  const auto notarization = notarizationText ? BundleNotarization::parse(*notarizationText) : std::nullopt;
  if (!notarization) rejected("rejected (the code is not notarized)");
  const auto digest = crypto::sha256(*signatureText);
  const std::string_view digestBytes(reinterpret_cast<const char*>(digest.data()), digest.size());
  if (notarization->signatureSha256 != crypto::hex(digest) ||
      !crypto::ed25519Verify(keys.notary, digestBytes, notarization->signature)) {
    rejected("rejected (the notarization does not match this signature)");
  }
}

}  // namespace quorvin

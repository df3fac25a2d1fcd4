#include "update/UpdateChecker.h"

#include <algorithm>
#include <boost/url/parse.hpp>
#include <charconv>
#include <vector>

#include "wire/JsonFields.h"

namespace quorvin {

namespace {

namespace jf = json_fields;

bool decodeArtifact(const boost::json::object& parent, std::string_view key, UpdateChecker::Artifact& out) {
  const auto* value = jf::find(parent, key);
  if (!value || !value->is_object()) return false;
  const auto& object = value->get_object();
  return jf::readString(object, "file", out.file) && jf::readInt64(object, "size", out.size) &&
         jf::readString(object, "sha256", out.sha256) && jf::readBool(object, "signed", out.isSigned) &&
         jf::readBool(object, "notarized", out.notarized);
}

bool isHexDigest(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

bool artifactReady(const UpdateChecker::Artifact& artifact, std::string_view expectedFile) {
  return artifact.file == expectedFile && artifact.size >= 1 && artifact.isSigned && artifact.notarized &&
         isHexDigest(artifact.sha256);
}

std::vector<int64_t> versionNumbers(std::string_view version) {
  std::vector<int64_t> numbers;
  size_t begin = 0;
  while (begin <= version.size()) {
    size_t end = version.find('.', begin);
    if (end == std::string_view::npos) end = version.size();
    const std::string_view piece = version.substr(begin, end - begin);
    if (!piece.empty()) {
      int64_t number = 0;
      const bool digitsOnly = piece.find_first_not_of("0123456789") == std::string_view::npos;
      const auto [ptr, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), number);
      numbers.push_back(digitsOnly && ec == std::errc() && ptr == piece.data() + piece.size() ? number : 0);
    }
    begin = end + 1;
  }
  return numbers;
}

bool isAbsoluteUrl(const std::string& text) {
  auto parsed = boost::urls::parse_absolute_uri(text);
  return parsed.has_value() && parsed->has_authority() && !parsed->host().empty();
}

}  // namespace

bool UpdateChecker::Manifest::releaseReady() const {
  return verified && artifactReady(tarball, kTarballFile) && artifactReady(deb, kDebFile) &&
         artifactReady(source, kSourceFile);
}

bool UpdateChecker::isNewer(std::string_view candidate, std::string_view current) {
  const auto a = versionNumbers(candidate);
  const auto b = versionNumbers(current);
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const int64_t x = i < a.size() ? a[i] : 0;
    const int64_t y = i < b.size() ? b[i] : 0;
    if (x != y) return x > y;
  }
  return false;
}

bool UpdateChecker::isUsableVersion(std::string_view version) {
  if (version.empty() || version.size() > 64) return false;
  for (char c : version) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                    c == '-' || c == '+' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::optional<UpdateChecker::Manifest> UpdateChecker::decode(std::string_view body) {
  auto document = jf::parseDocument(body);
  if (!document || !document->is_object()) return std::nullopt;
  const auto& object = document->get_object();
  Manifest manifest;
  if (!jf::readString(object, "appVersion", manifest.appVersion) || !jf::readBool(object, "verified", manifest.verified) ||
      !decodeArtifact(object, "tarball", manifest.tarball) || !decodeArtifact(object, "deb", manifest.deb) ||
      !decodeArtifact(object, "source", manifest.source)) {
    return std::nullopt;
  }
  return manifest;
}

std::optional<UpdateChecker::Manifest> UpdateChecker::trustedManifest(std::string_view body, std::string_view current) {
  auto manifest = decode(body);
  if (!manifest || !manifest->releaseReady()) return std::nullopt;
  // The version names the downloaded file and appears in texts: a manifest that could steer
  // either somewhere else is not trusted.
  if (!isUsableVersion(manifest->appVersion)) return std::nullopt;
  if (!isNewer(manifest->appVersion, current)) return std::nullopt;
  return manifest;
}

boost::asio::awaitable<std::optional<UpdateChecker::AvailableUpdate>> UpdateChecker::availableUpdate(
    HttpClient& http, std::string api, std::string current) {
  auto checking = check(http, std::move(api), std::move(current));
  CheckOutcome outcome = co_await std::move(checking);
  co_return std::move(outcome.update);
}

boost::asio::awaitable<UpdateChecker::CheckOutcome> UpdateChecker::check(HttpClient& http, std::string api,
                                                                         std::string current) {
  const std::string manifestUrl = api + "/downloads/" + std::string(kManifestFile);
  if (!isAbsoluteUrl(manifestUrl)) co_return CheckOutcome{std::nullopt, "the service address is not usable"};
  HttpRequest request;
  request.url = manifestUrl;
  request.timeout = std::chrono::seconds(10);
  request.maxResponseBytes = kMaxManifestBytes;
  request.headers.emplace_back("Cache-Control", "no-cache");
  HttpResult result = co_await http.send(std::move(request));
  if (!result.ok()) {
    co_return CheckOutcome{std::nullopt, result.failure ? result.failure->message : std::string("no answer")};
  }
  if (result.response->status < 200 || result.response->status > 299) {
    co_return CheckOutcome{std::nullopt, "the service answered HTTP " + std::to_string(result.response->status)};
  }
  if (!decode(result.response->body)) co_return CheckOutcome{std::nullopt, "the release manifest could not be read"};
  auto manifest = trustedManifest(result.response->body, current);
  if (!manifest) co_return CheckOutcome{};
  std::string downloadUrl = api + "/downloads/" + manifest->tarball.file;
  if (!isAbsoluteUrl(downloadUrl)) co_return CheckOutcome{};
  co_return CheckOutcome{AvailableUpdate{manifest->appVersion, manifest->tarball, std::move(downloadUrl)}, std::nullopt};
}

}  // namespace quorvin

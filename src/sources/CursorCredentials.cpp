#include "sources/CursorCredentials.h"

#include <openssl/evp.h>
#include <sqlite3.h>

#include <boost/json.hpp>
#include <system_error>

#include "platform/BoundedFileRead.h"

namespace quorvin::CursorCredentials {

namespace {

constexpr size_t kMaxTokenLength = 32'768;
constexpr size_t kMaxSubjectLength = 512;
constexpr size_t kMaxCliConfigBytes = 1024 * 1024;

bool isAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool allOf(std::string_view text, std::string_view extra) {
  for (char c : text) {
    if (!isAlnum(c) && extra.find(c) == std::string_view::npos) return false;
  }
  return true;
}

std::optional<std::string> base64UrlDecode(std::string_view part) {
  std::string text(part);
  for (char& c : text) {
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
  }
  while (text.size() % 4 != 0) text.push_back('=');
  if (text.empty()) return std::string();
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding as decoded zero bytes.
  size_t padding = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
  if (padding > 2) return std::nullopt;
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

}  // namespace

Locations Locations::forHome(const std::filesystem::path& home, const std::filesystem::path& configHome) {
  return Locations{configHome / "Cursor" / "User" / "globalStorage" / "state.vscdb", home / ".cursor" / "cli-config.json"};
}

bool validAccessToken(std::string_view token) {
  if (token.size() < 10 || token.size() > kMaxTokenLength) return false;
  size_t dots = 0;
  for (char c : token) {
    if (c == '.') ++dots;
  }
  return dots == 2 && allOf(token, "-._");
}

std::optional<std::string> readAccessToken(const std::filesystem::path& stateDatabase) {
  sqlite3* db = nullptr;
  // Read-only: the editor owns this database and may be writing it right now.
  if (sqlite3_open_v2(stateDatabase.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return std::nullopt;
  }
  sqlite3_busy_timeout(db, 250);
  std::optional<std::string> token;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT value FROM ItemTable WHERE key = 'cursorAuth/accessToken' LIMIT 1", -1,
                         &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(statement, 0);
    const int bytes = sqlite3_column_bytes(statement, 0);
    if (text != nullptr && bytes >= 0 && static_cast<size_t>(bytes) <= kMaxTokenLength) {
      token.emplace(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return token;
}

std::optional<std::string> jwtSubject(std::string_view token) {
  const size_t first = token.find('.');
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) return std::nullopt;
  const auto payload = base64UrlDecode(token.substr(first + 1, second - first - 1));
  if (!payload) return std::nullopt;
  std::error_code ec;
  const boost::json::value claims = boost::json::parse(*payload, ec);
  if (ec || !claims.is_object()) return std::nullopt;
  const boost::json::value* sub = claims.get_object().if_contains("sub");
  if (sub == nullptr || !sub->is_string()) return std::nullopt;
  return std::string(sub->get_string());
}

std::optional<std::string> readCliConfigSubject(const std::filesystem::path& cliConfig) {
  const auto bytes = readBoundedFile(cliConfig.string(), kMaxCliConfigBytes);
  if (!bytes) return std::nullopt;
  std::error_code ec;
  const boost::json::value root = boost::json::parse(*bytes, ec);
  if (ec || !root.is_object()) return std::nullopt;
  const boost::json::value* auth = root.get_object().if_contains("authInfo");
  if (auth == nullptr || !auth->is_object()) return std::nullopt;
  const boost::json::value* id = auth->get_object().if_contains("authId");
  if (id == nullptr || !id->is_string()) return std::nullopt;
  return std::string(id->get_string());
}

std::optional<std::string> normalizeSubject(std::string_view s) {
  if (s.empty() || s.size() > kMaxSubjectLength) return std::nullopt;
  if (s.starts_with("auth0|user_")) {
    const std::string_view rest = s.substr(6);
    if (rest.empty() || !allOf(rest, "_")) return std::nullopt;
    return std::string(rest);
  }
  static constexpr std::string_view kPrefixes[] = {"google-oauth2|", "github|", "oidc|", "auth0|"};
  bool known = false;
  for (auto prefix : kPrefixes) known = known || s.starts_with(prefix);
  if (!known) return std::nullopt;
  const size_t bar = s.find('|');
  if (s.find('|', bar + 1) != std::string_view::npos || bar + 1 >= s.size()) return std::nullopt;
  if (!allOf(s, "-.@_|")) return std::nullopt;
  return std::string(s);
}

std::optional<std::string> sessionCookie(std::string_view accessToken, std::string_view subject) {
  if (!validAccessToken(accessToken)) return std::nullopt;
  return "WorkosCursorSessionToken=" + std::string(subject) + "%3A%3A" + std::string(accessToken);
}

std::string accountKey(std::string_view normalizedSubject) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(normalizedSubject.data(), normalizedSubject.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xF]);
  }
  return hex;
}

std::optional<Credentials> credentials(const Locations& where) {
  const auto token = readAccessToken(where.stateDatabase);
  if (!token || !validAccessToken(*token)) return std::nullopt;
  std::optional<std::string> subject;
  if (auto fromToken = jwtSubject(*token)) subject = normalizeSubject(*fromToken);
  if (!subject) {
    if (auto fromCli = readCliConfigSubject(where.cliConfig)) subject = normalizeSubject(*fromCli);
  }
  if (!subject) return std::nullopt;
  auto cookie = sessionCookie(*token, *subject);
  if (!cookie) return std::nullopt;
  return Credentials{std::move(*cookie), accountKey(*subject)};
}

}  // namespace quorvin::CursorCredentials

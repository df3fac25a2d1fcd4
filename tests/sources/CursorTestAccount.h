#pragma once

#include <openssl/evp.h>
#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvin::test {

inline std::string base64Url(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return out;
}

// An access token shaped like the editor's: three base64url parts, claims in the middle.
inline std::string jwt(std::string_view claims) {
  return base64Url("{\"alg\":\"HS256\"}") + "." + base64Url(claims) + ".sig-_9";
}

// Cursor's state database as the editor keeps it: a key-value ItemTable in SQLite.
inline void writeCursorStateDatabase(const std::filesystem::path& file, const std::string& token) {
  std::filesystem::create_directories(file.parent_path());
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot create the state database");
  sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS ItemTable (key TEXT UNIQUE ON CONFLICT REPLACE, value BLOB);", nullptr,
               nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO ItemTable VALUES ('cursorAuth/accessToken', ?1), ('other', 'x')", -1, &insert,
                     nullptr);
  sqlite3_bind_text(insert, 1, token.data(), static_cast<int>(token.size()), SQLITE_TRANSIENT);
  const int stepped = sqlite3_step(insert);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  if (stepped != SQLITE_DONE) throw std::runtime_error("cannot write the state database");
}

}  // namespace quorvin::test

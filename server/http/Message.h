#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvin::server {

// A request as the routes see it: the wire details are left in the HTTP layer.
struct Request {
  std::string method;
  std::string path;  // percent-decoded
  std::map<std::string, std::string, std::less<>> query;
  std::string authorization;
  std::string deviceSecret;
  std::string contentType;
  std::string enrolSecret;    // X-Quorvin-Enrol-Secret: lets a pairing be approved at once
  std::string range;          // the Range header, for downloads
  std::string clientAddress;  // the peer's IP address, the key of per-client limits
  bool forwarded = false;     // a proxy passed it on (Forwarded, X-Forwarded-For or X-Real-IP)
  std::string body;

  std::string queryValue(const std::string& key) const;
  // The token of "Authorization: Bearer TOKEN", empty when there is none.
  std::string bearerToken() const;
};

struct Response {
  unsigned status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::filesystem::path> file;  // sent byte for byte instead of `body`

  static Response json(unsigned status, std::string body);
  // {"error": message}
  static Response jsonError(unsigned status, const std::string& message);
  static Response html(unsigned status, std::string body);
  static Response text(unsigned status, std::string body);
};

// application/x-www-form-urlencoded; repeated keys keep the last value. Never throws.
std::map<std::string, std::string, std::less<>> parseForm(const std::string& body);

}  // namespace quorvin::server

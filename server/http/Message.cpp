#include "server/http/Message.h"

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/params_view.hpp>
#include <boost/url/parse_query.hpp>

namespace quorvin::server {

std::string Request::queryValue(const std::string& key) const {
  auto it = query.find(key);
  return it == query.end() ? std::string() : it->second;
}

std::string Request::bearerToken() const {
  constexpr std::string_view prefix = "Bearer ";
  if (authorization.size() <= prefix.size() || authorization.compare(0, prefix.size(), prefix) != 0) return {};
  return authorization.substr(prefix.size());
}

Response Response::json(unsigned status, std::string body) {
  Response r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

Response Response::jsonError(unsigned status, const std::string& message) {
  return json(status, boost::json::serialize(boost::json::object{{"error", message}}));
}

Response Response::html(unsigned status, std::string body) {
  Response r;
  r.status = status;
  r.contentType = "text/html; charset=utf-8";
  r.body = std::move(body);
  return r;
}

Response Response::text(unsigned status, std::string body) {
  Response r;
  r.status = status;
  r.contentType = "text/plain; charset=utf-8";
  r.body = std::move(body);
  return r;
}

std::map<std::string, std::string, std::less<>> parseForm(const std::string& body) {
  std::map<std::string, std::string, std::less<>> out;
  if (!boost::urls::parse_query(body)) return out;
  boost::urls::encoding_opts options;
  options.space_as_plus = true;  // forms write spaces as '+'
  try {
    for (auto param : boost::urls::params_view(body, options)) {
      out[param.key] = param.value;
    }
  } catch (...) {
    out.clear();
  }
  return out;
}

}  // namespace quorvin::server

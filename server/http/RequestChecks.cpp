#include "server/http/RequestChecks.h"

#include <boost/beast/core/string.hpp>
#include <charconv>

namespace quorvin::server {

namespace http = boost::beast::http;

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<uint64_t> number(std::string_view s) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return n;
}

}  // namespace

bool ambiguousFraming(const http::fields& fields) {
  size_t encodings = 0;
  for (const auto& field : fields) {
    if (field.name() != http::field::transfer_encoding) continue;
    ++encodings;
    if (!boost::beast::iequals(trimmed(field.value()), "chunked")) return true;
  }
  if (encodings > 1) return true;
  return encodings == 1 && fields.count(http::field::content_length) != 0;
}

ByteRange parseRange(std::string_view header, uint64_t size) {
  ByteRange whole;
  constexpr std::string_view unit = "bytes=";
  header = trimmed(header);
  if (header.size() <= unit.size() || !boost::beast::iequals(header.substr(0, unit.size()), unit)) return whole;
  const std::string_view spec = trimmed(header.substr(unit.size()));
  if (spec.find(',') != std::string_view::npos) return whole;
  const auto dash = spec.find('-');
  if (dash == std::string_view::npos) return whole;
  const auto firstText = trimmed(spec.substr(0, dash));
  const auto lastText = trimmed(spec.substr(dash + 1));
  ByteRange range;
  range.kind = ByteRange::Kind::partial;
  if (firstText.empty()) {
    auto suffix = number(lastText);
    if (!suffix) return whole;
    if (*suffix == 0 || size == 0) return ByteRange{ByteRange::Kind::unsatisfiable};
    range.first = *suffix >= size ? 0 : size - *suffix;
    range.last = size - 1;
    return range;
  }
  auto first = number(firstText);
  if (!first) return whole;
  std::optional<uint64_t> last = lastText.empty() ? std::optional<uint64_t>(UINT64_MAX) : number(lastText);
  if (!last || *last < *first) return whole;
  if (*first >= size) return ByteRange{ByteRange::Kind::unsatisfiable};
  range.first = *first;
  range.last = std::min(*last, size - 1);
  return range;
}

}  // namespace quorvin::server

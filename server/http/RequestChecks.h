#pragma once

#include <boost/beast/http/fields.hpp>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvin::server {

// Framing a proxy in front of the service could read differently from us: any
// Transfer-Encoding other than exactly "chunked", or one sent together with Content-Length.
// Such a request is refused with 400 and its connection closed (RFC 9112, 6.1 and 6.3).
bool ambiguousFraming(const boost::beast::http::fields& fields);

// The answer to a "Range" header for a file of `size` bytes.
struct ByteRange {
  enum class Kind { whole, partial, unsatisfiable } kind = Kind::whole;
  uint64_t first = 0;
  uint64_t last = 0;  // inclusive
};
// One "bytes=" range (first-last, first-, or -suffix); anything else, several ranges
// included, is served whole, as RFC 9110 allows.
ByteRange parseRange(std::string_view header, uint64_t size);

}  // namespace quorvin::server

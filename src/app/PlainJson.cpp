#include "app/PlainJson.h"

#include <boost/json/serialize.hpp>
#include <charconv>
#include <cmath>

namespace quorvin::app {

namespace json = boost::json;

namespace {

void writeDouble(double value, std::string& out) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // Shortest round-trip digits in fixed notation: 1e300 needs 301 digits, 1e-300 about as many.
  char text[400];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  std::string_view digits(text, static_cast<size_t>(result.ptr - text));
  out += digits;
  // Keeps the number a floating-point one for readers that tell 2 from 2.0.
  if (digits.find('.') == std::string_view::npos) out += ".0";
}

void write(const json::value& value, std::string& out) {
  switch (value.kind()) {
    case json::kind::double_:
      writeDouble(value.get_double(), out);
      return;
    case json::kind::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value.get_array()) {
        if (!first) out.push_back(',');
        first = false;
        write(element, out);
      }
      out.push_back(']');
      return;
    }
    case json::kind::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, element] : value.get_object()) {
        if (!first) out.push_back(',');
        first = false;
        out += json::serialize(json::string_view(key));
        out.push_back(':');
        write(element, out);
      }
      out.push_back('}');
      return;
    }
    default:
      out += json::serialize(value);
      return;
  }
}

}  // namespace

std::string plainJson(const json::value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace quorvin::app

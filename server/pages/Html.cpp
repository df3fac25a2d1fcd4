#include "server/pages/Html.h"

#include <cstdio>
#include <ctime>

namespace quorvin::server::html {

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string page(std::string_view title, std::string_view body, std::string_view head) {
  std::string out =
      "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>";
  out += escape(title);
  out +=
      "</title><style>"
      "body{font:15px/1.5 system-ui,sans-serif;max-width:760px;margin:2em auto;padding:0 1em;color:#1d1d1f}"
      "h1{font-size:1.6em}table{border-collapse:collapse;width:100%}td,th{padding:.3em .5em;text-align:left;"
      "border-bottom:1px solid #ddd}input{font:inherit;padding:.3em}button{font:inherit;padding:.3em .8em}"
      ".muted{color:#666}.error{color:#b00020}code{font-size:.9em;word-break:break-all}"
      "canvas{width:100%;height:260px;background:#0e1116;border-radius:6px}"
      "</style>";
  out += head;
  out += "</head><body>";
  out += body;
  out += "</body></html>\n";
  return out;
}

std::string formatTokens(int64_t tokens) {
  std::string digits = std::to_string(tokens);
  std::string out;
  size_t start = 0;
  if (!digits.empty() && digits[0] == '-') {
    out += '-';
    start = 1;
  }
  // A separator before every group of three counted from the right.
  for (size_t i = start; i < digits.size(); ++i) {
    if (i != start && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string formatDollars(double dollars) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "$%.2f", dollars);
  return buffer;
}

std::string formatTime(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M UTC", &tm);
  return buffer;
}

}  // namespace quorvin::server::html

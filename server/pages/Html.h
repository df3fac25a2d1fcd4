#pragma once

#include <string>
#include <string_view>

namespace quorvin::server::html {

// Text made safe for element content and quoted attribute values.
std::string escape(std::string_view text);

// The common frame of every page; `body` is already HTML.
std::string page(std::string_view title, std::string_view body, std::string_view head = {});

std::string formatTokens(int64_t tokens);
std::string formatDollars(double dollars);
std::string formatTime(int64_t ms);  // UTC, "2026-01-02 03:04"

}  // namespace quorvin::server::html

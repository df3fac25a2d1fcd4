#include "sources/CursorExport.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "core/TextCut.h"
#include "sources/CsvReader.h"

namespace quorvin::CursorExport {

namespace {

constexpr size_t kMaxModelCharacters = 160;
constexpr size_t kHeaderAllowance = 64 * 1024;

std::string_view trimmed(std::string_view text) { return trimWhitespace(text); }

std::string without(std::string_view text, std::string_view drop) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (drop.find(c) == std::string_view::npos) out.push_back(c);
  }
  return out;
}

// The whole text as a decimal floating-point number.
std::optional<double> parseDouble(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int daysInMonth(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
  }
  return days[month - 1];
}

}  // namespace

std::optional<std::string> normalizedDay(std::string_view cell) {
  const std::string_view text = trimmed(cell);
  if (text.size() < 10) return std::nullopt;
  for (size_t i = 0; i < 10; ++i) {
    const bool dash = i == 4 || i == 7;
    if (dash ? text[i] != '-' : !isDigit(text[i])) return std::nullopt;
  }
  auto number = [&](size_t from, size_t count) {
    int n = 0;
    for (size_t i = from; i < from + count; ++i) n = n * 10 + (text[i] - '0');
    return n;
  };
  const int year = number(0, 4);
  const int month = number(5, 2);
  const int day = number(8, 2);
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
  return std::string(text.substr(0, 10));
}

int64_t nonnegativeInt(std::string_view cell) {
  const std::string text = without(cell, ",");
  const auto value = parseDouble(trimmed(text));
  if (!value || !std::isfinite(*value) || *value < 0 || *value > 9e15) return 0;
  return static_cast<int64_t>(*value);
}

double nonnegativeDouble(std::string_view cell) {
  const std::string text = without(cell, "$,");
  const auto value = parseDouble(trimmed(text));
  if (!value || !std::isfinite(*value) || *value < 0 || *value > 1e9) return 0;
  return *value;
}

std::string sanitizedModel(std::string_view cell) {
  const std::string text = CsvReader::repairedUtf8(cell);
  std::string out;
  bool pendingSpace = false;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    // Control characters and white space of any kind collapse into one space; leading
    // and trailing ones vanish.
    if (c < 0 || u_charType(c) == U_CONTROL_CHAR || u_isUWhiteSpace(c) || c == 0x85) {
      pendingSpace = true;
      continue;
    }
    if (pendingSpace && !out.empty()) out.push_back(' ');
    pendingSpace = false;
    out.append(text, static_cast<size_t>(start), static_cast<size_t>(i - start));
  }
  out = prefixOfCharacters(out, kMaxModelCharacters);
  // A cut may leave a space at the end.
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.empty()) return "cursor-auto";
  return out;
}

std::optional<ParsedExport> parseExport(std::string_view data, WallTime fetchedAt) {
  static constexpr std::string_view kRequired[] = {"Date",       "Model",         "Input (w/ Cache Write)",
                                                   "Input (w/o Cache Write)", "Cache Read", "Output Tokens",
                                                   "Total Tokens", "Cost"};
  enum Column { date, model, inputWithWrite, inputWithoutWrite, cacheRead, outputTokens, totalTokens, cost };

  bool headerSeen = false;
  size_t columns[std::size(kRequired)] = {};
  CursorBuckets buckets;
  using CursorLedgerFormat::kMaxCount;

  auto addCount = [](int64_t& into, int64_t value) {
    if (value < 0 || value > kMaxCount || into > kMaxCount - value) return false;
    into += value;
    return true;
  };

  const bool read = CsvReader::forEachRow(data, [&](std::vector<std::string>& fields) -> bool {
    if (!headerSeen) {
      std::unordered_map<std::string, size_t> index;
      for (size_t i = 0; i < fields.size(); ++i) {
        std::string_view name = fields[i];
        if (i == 0 && name.starts_with("\xEF\xBB\xBF")) name.remove_prefix(3);
        name = trimmed(name);
        if (name.empty() || !index.emplace(std::string(name), i).second) return false;
      }
      for (size_t c = 0; c < std::size(kRequired); ++c) {
        auto it = index.find(std::string(kRequired[c]));
        if (it == index.end()) return false;
        columns[c] = it->second;
      }
      headerSeen = true;
      return true;
    }
    auto cell = [&](Column c) -> std::string_view {
      const size_t at = columns[c];
      return at < fields.size() ? std::string_view(fields[at]) : std::string_view();
    };
    const auto day = normalizedDay(cell(date));
    if (!day) return true;
    const int64_t input = nonnegativeInt(cell(inputWithoutWrite));
    const int64_t withWrite = nonnegativeInt(cell(inputWithWrite));
    const int64_t cacheWrite = withWrite > input ? withWrite - input : 0;
    const int64_t read = nonnegativeInt(cell(cacheRead));
    const int64_t output = nonnegativeInt(cell(outputTokens));
    const int64_t rowTotal = nonnegativeInt(cell(totalTokens));
    if (rowTotal == 0 && input == 0 && read == 0 && output == 0 && cacheWrite == 0) return true;

    const std::string name = sanitizedModel(cell(model));
    const std::string key = CursorLedgerFormat::bucketKey(*day, name);
    auto [it, inserted] = buckets.try_emplace(key, CursorUsageBucket{.day = *day, .model = name});
    CursorUsageBucket& bucket = it->second;
    if (!addCount(bucket.input, input) || !addCount(bucket.cacheWrite, cacheWrite) ||
        !addCount(bucket.cacheRead, read) || !addCount(bucket.output, output) ||
        !CursorLedgerFormat::counterSum(bucket)) {
      return false;
    }
    bucket.cost += nonnegativeDouble(cell(cost));
    return bucket.cost <= CursorLedgerFormat::kMaxCost;
  });

  if (!read || !headerSeen) return std::nullopt;
  if (!CursorLedgerFormat::makeSnapshot(buckets, fetchedAt)) return std::nullopt;
  return ParsedExport{std::move(buckets), fetchedAt};
}

HttpRequest exportRequest(std::string_view baseUrl, const CursorCredentials::Credentials& credentials) {
  HttpRequest request;
  request.method = "GET";
  request.url = std::string(baseUrl) + std::string(kExportPath);
  request.headers = {
      {"Accept", "text/csv,*/*;q=0.8"},
      {"Cookie", credentials.cookie},
      {"Referer", std::string(baseUrl) + "/settings"},
      {"User-Agent", "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36"},
  };
  request.timeout = kTimeout;
  // The client's bound covers the headers too; the body's own bound is checked on arrival.
  request.maxResponseBytes = kMaxExportBytes + kHeaderAllowance;
  return request;
}

boost::asio::awaitable<RefreshResult> fetchExport(HttpClient& http, const Clock& clock, BlockingPool& pool,
                                                  std::string baseUrl, CursorCredentials::Credentials credentials) {
  RefreshResult result{credentials.accountKey, Failure::unavailable};
  // Named before the co_await: GCC 12 destroys temporaries of a co_await expression twice.
  auto sending = http.send(exportRequest(baseUrl, credentials));
  HttpResult answer = co_await std::move(sending);
  if (!answer.ok()) co_return result;
  const HttpResponse& response = *answer.response;
  if (response.status == 401 || response.status == 403) {
    result.outcome = Failure::authentication;
    co_return result;
  }
  if (response.status != 200 || response.body.size() > kMaxExportBytes) co_return result;
  const WallTime fetchedAt = clock.now();
  auto parse = [body = std::move(answer.response->body), fetchedAt] { return parseExport(body, fetchedAt); };
  auto parsing = runBlocking(pool, std::move(parse));
  auto parsed = co_await std::move(parsing);
  if (parsed) result.outcome = std::move(*parsed);
  co_return result;
}

}  // namespace quorvin::CursorExport

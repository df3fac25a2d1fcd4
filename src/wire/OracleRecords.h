#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin::oracle {

struct Metrics {
  double costUsdTotal = 0;
  int64_t tokensTotal = 0;
  bool operator==(const Metrics&) const = default;
};

// One checkpoint of a profile's chain, as the service reports it.
struct Head {
  std::string handle;
  int64_t seq = 0;
  std::string head;
  std::string pubkey;  // lower-case hex of the 32-byte Ed25519 public key
  int64_t ts = 0;      // milliseconds since 1970
  std::optional<Metrics> metrics;
  bool operator==(const Head&) const = default;
};

struct HeadResponse {
  std::optional<Head> head;
};

struct CommitmentResponse {
  bool ok = false;
  std::optional<Head> commitment;
  std::optional<std::string> error;
};

// The signed record. The cost is kept as its canonical decimal text so that signer and
// verifier hash the very same bytes.
struct Tick {
  std::string handle;
  int64_t seq = 0;
  int64_t ts = 0;
  std::string prev;
  std::string costUsdTotal;  // canonicalCost() text
  int64_t tokensTotal = 0;
  bool operator==(const Tick&) const = default;
};

// "%.4f" of the cost read back as a decimal: at most four fractional digits, no trailing
// zeros, never an exponent (5 -> "5", 0.00004 -> "0", 1.23456 -> "1.2346"). Non-finite or
// negative costs, and costs too large to print exactly, give no value.
std::optional<std::string> canonicalCost(double cost);

// Keys sorted at every level, no whitespace, "/" not escaped.
std::string canonicalBytes(const Tick& tick);

// A tick as posted, read back for canonical re-serialisation: exactly the five keys with
// integers written as integers; anything else gives no value. The cost is re-rounded, so a
// signer that did not round signs other bytes and its signature fails.
std::optional<Tick> tickFromJson(const boost::json::value& value);

// Lower-case hex SHA-256 of prevHead's 64 hex characters (nothing for the first tick)
// followed by the canonical tick bytes.
std::string chainHead(std::string_view previousHead, std::string_view canonicalTick);

// Request body of POST /api/oracle/commit: the tick nested as an object.
std::string commitBody(const Tick& tick, std::string_view pubkeyHex, std::string_view sigHex);

std::optional<HeadResponse> decodeHeadResponse(std::string_view body) noexcept;
std::optional<CommitmentResponse> decodeCommitmentResponse(std::string_view body) noexcept;
boost::json::value toJson(const Head& head);
std::string encode(const HeadResponse& response);
std::string encode(const CommitmentResponse& response);

// "^[a-z0-9-]{1,39}$"
bool isValidHandle(std::string_view handle) noexcept;

}  // namespace quorvin::oracle

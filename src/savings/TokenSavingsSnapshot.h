#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvin {

// What RTK (the shell-output optimizer) has measurably saved, and whether it is set up.
// The default is the snapshot of a machine without RTK.
struct TokenSavingsSnapshot {
  bool installed = false;  // an rtk executable was found and answered
  bool enabled = false;    // at least one coding tool has RTK's integration installed
  std::optional<std::string> version;
  int64_t totalCommands = 0;
  int64_t originalTokens = 0;
  int64_t outputTokens = 0;
  int64_t savedTokens = 0;
  double savingsPercent = 0;  // 0...100
  std::optional<std::string> error;  // a user-facing problem with the report

  bool operator==(const TokenSavingsSnapshot&) const = default;
};

// The estimated value of measured savings, or of a scenario before there are any.
struct TokenSavingsProjection {
  double estimatedUSD = 0;
  int64_t tokens = 0;
  bool measured = false;  // tokens come from RTK's report
  double inputPriceCoverage = 0;  // share of observed fresh input whose model has a price, 0...1

  bool operator==(const TokenSavingsProjection&) const = default;
};

}  // namespace quorvin

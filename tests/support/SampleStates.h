#pragma once

#include <chrono>
#include <cmath>

#include "core/Clock.h"
#include "presentation/PresentationState.h"

namespace quorvin::testing {

// Fixed states for renders, the tray test and the tray benchmark. `now` anchors every time.
inline WallTime sampleNow() { return WallTime{std::chrono::seconds(1'796'000'000)}; }

// A clock that always reads sampleNow(), so time-relative labels are fixed.
class SampleClock final : public Clock {
 public:
  WallTime now() const override { return sampleNow(); }
};

inline std::vector<API::LiveCandle> sampleCandles(int count, double phase = 0) {
  std::vector<API::LiveCandle> candles;
  double level = 120;
  for (int i = 0; i < count; ++i) {
    API::LiveCandle c;
    c.at = 1e12 + i * 60'000.0;
    c.observed = i % 9 != 4;  // a gap now and then
    c.flowObserved = i % 3 != 0;
    c.open = level;
    level = std::max(5.0, level + 18 * std::sin(i * 0.7 + phase) + (i % 5 == 0 ? -14 : 6));
    c.close = level;
    c.high = std::max(c.open, c.close) + 6 + (i % 4);
    c.low = std::max(0.0, std::min(c.open, c.close) - 5 - (i % 3));
    c.vol = 2000 + 1500 * std::abs(std::sin(i * 1.3 + phase));
    c.cacheRead = c.vol * 0.5;
    c.fresh = c.vol * 0.2;
    c.cacheWrite = c.vol * 0.1;
    c.output = c.vol * 0.2;
    candles.push_back(c);
  }
  if (!candles.empty()) {
    candles.back().provisional = true;
  }
  return candles;
}

inline presentation::PresentationState connectedSample() {
  using namespace std::chrono;
  presentation::PresentationState s;
  s.status = ConnectionStatus::connected();
  s.login = "ada";
  s.plan = "max5";  // 43.2x plan value
  s.tokens = 1'234'567'890;
  s.cost = 4321.49;
  s.tokensPerMinuteNow = 184'000;
  s.appCount = 5;
  s.agentBreakdown = {{"claude", 700'000'000, 0}, {"codex", 300'000'000, 0}, {"gemini", 120'000'000, 0},
                      {"openclaw", 80'000'000, 0}, {"grok", 34'567'890, 0}};
  s.modelBreakdown = {{"claude-sonnet-4-5", 500'000'000, 20'000'000, 150'000'000, 30'000'000, 0},
                      {"gpt-5-codex", 200'000'000, 10'000'000, 80'000'000, 0, 0},
                      {"gemini-2.5-pro", 90'000'000, 5'000'000, 20'000'000, 0, 0}};
  s.activeSources = {"claude", "codex"};
  s.contextInput = 790'000'000;
  s.contextOutput = 35'000'000;
  s.contextCacheRead = 250'000'000;
  s.contextCacheWrite = 30'000'000;
  s.recentContextNow = {12'000, 3'000, 48'000, 1'000};
  for (int i = 0; i < 60; ++i) {
    s.recentTicks.push_back(
        {.at = sampleNow() - seconds(59 - i), .delta = 2'000 + (i % 7) * 900, .contextEpoch = 3, .isRealtime = true});
  }
  s.lastReconciled = sampleNow() - seconds(240);
  s.publicCandles = sampleCandles(36);
  s.publicCandleState = "live";
  s.publicCandleStale = false;
  s.publicCandleTokenRate = 184'000;
  s.publicCandleCostRate = 3.75;
  s.oracleSequence = 42;
  s.savingsProjection = {12.34, 2'400'000, false, 0.93};
  s.providerQuotas = {
      {presentation::QuotaProvider::codex,
       presentation::QuotaAvailability::available,
       {{"5H", 37.4, sampleNow() + minutes(95)}, {"WEEK", 61.0, sampleNow() + hours(50)}},
       sampleNow()},
      presentation::QuotaSnapshot::unavailable(presentation::QuotaProvider::grokBuild)};
  s.updateVersion = "0.2.0";
  return s;
}

inline presentation::PresentationState disconnectedSample() {
  presentation::PresentationState s;
  return s;
}

inline presentation::PresentationState pairingSample() {
  presentation::PresentationState s;
  s.status = ConnectionStatus::pairing("ABCD-1234");
  s.pairingURL = "https://quorvin.example/pair/ABCD-1234";
  return s;
}

}  // namespace quorvin::testing

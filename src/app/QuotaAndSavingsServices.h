#pragma once

#include "platform/CurlHttpClient.h"
#include "platform/Paths.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "savings/QuotaAndSavingsFlows.h"
#include "savings/TokenSavingsAdvisor.h"
#include "sources/ProviderQuotaReader.h"

namespace quorvin::app {

// What `quorvin quotas` and `quorvin savings` run on: the same reader, advisor and flows the
// agent uses, without a connection (so no quota loop and no pulse).
struct QuotaAndSavingsServices {
  Paths paths = Paths::fromEnvironment();
  SystemClock clock;
  Runtime runtime{2};
  ProcessRunner processes{clock, runtime};
  CurlHttpClient http{CurlHttpClient::Options{.pending = &runtime.pending()}};
  ProviderQuotaReader quotas;
  TokenSavingsAdvisor::Context savings{processes, runtime.pool(), TokenSavingsAdvisor::Environment{.home = paths.home}};
  QuotaAndSavingsFlows flows{runtime.model(), {quotas, savings, clock}, {[] { return false; }, [] { return false; }, [] {}, [] {}}};

  QuotaAndSavingsServices();
};

}  // namespace quorvin::app

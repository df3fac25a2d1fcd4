#include <charconv>

#include "wire/ServiceRecords.h"
#include "server/Service.h"
#include "server/logic/CandleBuilder.h"
#include "server/routes/Routes.h"

namespace quorvin::server::routes {

Response candles(Service& service, const Request& request) {
  const std::string handle = normalisedHandle(request.queryValue("handle"));
  if (handle.empty()) return Response::jsonError(400, "invalid handle");
  CandleRequest candleRequest;
  const std::string target = request.queryValue("target");
  if (!target.empty()) {
    int64_t n = 0;
    auto [end, ec] = std::from_chars(target.data(), target.data() + target.size(), n);
    if (ec != std::errc() || end != target.data() + target.size()) return Response::jsonError(400, "invalid target");
    candleRequest.target = n;
  }
  auto account = service.accounts().account(handle);
  if (!account) return Response::jsonError(404, "unknown handle");
  candleRequest.nowMs = service.nowMs();
  candleRequest.connected = service.accounts().hasActiveDevice(account->id);
  const auto samples = service.usage().samplesSince(account->id, candleWindowStart(candleRequest));
  auto response = Response::json(200, API::encode(buildCandles(samples, candleRequest)));
  response.headers.emplace_back("Cache-Control", "no-store");
  return response;
}

}  // namespace quorvin::server::routes

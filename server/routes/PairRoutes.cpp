#include "wire/Crypto.h"
#include "wire/ServiceRecords.h"
#include "server/Service.h"
#include "server/routes/Routes.h"

namespace quorvin::server::routes {

namespace {

// Short enough to read aloud, without look-alike letters; URL-safe as the app sends it raw.
std::string newPairCode() {
  static constexpr char alphabet[] = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";
  std::array<uint8_t, 8> raw{};
  crypto::randomBytes(raw);
  std::string code;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (i == 4) code += '-';
    code += alphabet[raw[i] % (sizeof alphabet - 1)];
  }
  return code;
}

Response createPair(Service& service) {
  const int64_t now = service.nowMs();
  // Old codes are forgotten a day after they lapsed; until then a poll still hears "expired".
  service.accounts().forgetPairCodesExpiredBefore(now - 24 * 3600 * 1000LL);
  PairCode code;
  code.code = newPairCode();
  const std::string secret = crypto::randomHex(32);
  code.secretHash = crypto::sha256Hex(secret);
  code.createdMs = now;
  code.expiresMs = now + pairCodeLifetimeMs;
  if (const auto& handle = service.config().autoApproveHandle) {
    if (auto account = service.accounts().account(*handle)) code.accountId = account->id;
  }
  service.accounts().addPairCode(code);
  API::Pair pair{code.code, secret, service.publicUrl() + "/pair/" + code.code};
  return Response::json(200, API::encode(pair));
}

Response poll(Service& service, const Request& request, const std::string& codeText) {
  const int64_t now = service.nowMs();
  if (!service.pollLimiter().allow(codeText, now)) return Response::jsonError(429, "polling too fast");
  auto code = service.accounts().pairCode(codeText);
  if (!code) return Response::jsonError(404, "unknown pair code");
  if (!crypto::constantTimeEqual(crypto::sha256Hex(request.deviceSecret), code->secretHash)) {
    return Response::jsonError(403, "device secret does not match");
  }
  if (now >= code->expiresMs) return Response::json(200, API::encode(API::PollRaw{"expired", {}, {}}));
  if (!code->accountId) return Response::json(200, API::encode(API::PollRaw{"pending", {}, {}}));
  auto token = service.accounts().collectToken(*code, now);
  if (!token) return Response::json(200, API::encode(API::PollRaw{"expired", {}, {}}));
  auto account = service.accounts().account(*code->accountId);
  if (!account) return Response::json(200, API::encode(API::PollRaw{"expired", {}, {}}));
  return Response::json(200, API::encode(API::PollRaw{"approved", *token, account->handle}));
}

}  // namespace

Response pair(Service& service, const Request& request) {
  const std::string code = request.queryValue("code");
  if (!code.empty()) return poll(service, request, code);
  if (request.queryValue("protocol") != "2") return Response::jsonError(400, "unsupported pairing protocol");
  return createPair(service);
}

}  // namespace quorvin::server::routes

#include "server/Service.h"
#include "server/http/ConnectionLimits.h"
#include "server/routes/Routes.h"
#include "wire/Crypto.h"
#include "wire/ServiceRecords.h"

namespace quorvin::server::routes {

namespace {

// Short enough to read aloud, without look-alike letters; URL-safe as the app sends it raw.
constexpr std::string_view codeAlphabet = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";

std::string newPairCode() {
  std::array<uint8_t, 8> raw{};
  crypto::randomBytes(raw);
  std::string code;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (i == 4) code += '-';
    code += codeAlphabet[raw[i] % codeAlphabet.size()];
  }
  return code;
}

bool enrolled(const Service& service, const Request& request) {
  const auto& secret = service.config().enrolSecret;
  // Without a secret only this computer may pair at once; a proxy on this computer would make
  // every stranger look local.
  if (!secret) return service.config().loopbackListener() && !request.forwarded;
  // Compared as hashes so the comparison takes the same time whatever the lengths.
  return crypto::constantTimeEqual(crypto::sha256Hex(request.enrolSecret), crypto::sha256Hex(*secret));
}

Response createPair(Service& service, const Request& request) {
  const int64_t now = service.nowMs();
  if (!service.limiters().pairCodes.allow(clientKey(request.clientAddress), now)) {
    return Response::jsonError(429, "too many pair codes; wait a minute");
  }
  service.accounts().prunePairCodes(now);
  if (service.accounts().pairCodeCount() >= AccountStore::maxPairCodes) {
    return Response::jsonError(503, "too many pairings in progress; try again later");
  }
  PairCode code;
  code.code = newPairCode();
  const std::string secret = crypto::randomHex(32);
  code.secretHash = crypto::sha256Hex(secret);
  code.createdMs = now;
  code.expiresMs = now + pairCodeLifetimeMs;
  if (const auto& handle = service.config().autoApproveHandle; handle && enrolled(service, request)) {
    if (auto account = service.accounts().account(*handle)) code.accountId = account->id;
  }
  service.accounts().addPairCode(code);
  API::Pair pair{code.code, secret, service.publicUrl() + "/pair/" + code.code};
  return Response::json(200, API::encode(pair));
}

Response poll(Service& service, const Request& request, const std::string& codeText) {
  // Nothing is kept for a text that is not a code the service could have issued.
  if (!wellFormedPairCode(codeText)) return Response::jsonError(404, "unknown pair code");
  const int64_t now = service.nowMs();
  auto& limits = service.limiters();
  const std::string client = clientKey(request.clientAddress);
  if (!limits.failuresByAddress.hasBudget(client, now)) return Response::jsonError(429, "too many failed attempts");
  // Keyed by client and code, so a stranger's polls never spend the app's budget.
  if (!limits.polls.allow(client + " " + codeText, now)) return Response::jsonError(429, "polling too fast");
  auto code = service.accounts().pairCode(codeText);
  // A wrong secret is answered like an unknown code: the answer tells nobody which codes live.
  if (!code || !crypto::constantTimeEqual(crypto::sha256Hex(request.deviceSecret), code->secretHash)) {
    limits.failuresByAddress.spend(client, now);
    return Response::jsonError(404, "unknown pair code");
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

bool wellFormedPairCode(std::string_view code) {
  if (code.size() != 9 || code[4] != '-') return false;
  for (size_t i = 0; i < code.size(); ++i) {
    if (i != 4 && codeAlphabet.find(code[i]) == std::string_view::npos) return false;
  }
  return true;
}

Response pair(Service& service, const Request& request) {
  const std::string code = request.queryValue("code");
  if (!code.empty()) return poll(service, request, code);
  if (request.queryValue("protocol") != "2") return Response::jsonError(400, "unsupported pairing protocol");
  return createPair(service, request);
}

}  // namespace quorvin::server::routes

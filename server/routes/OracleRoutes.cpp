#include "wire/Crypto.h"
#include "wire/JsonFields.h"
#include "wire/OracleRecords.h"
#include "server/Service.h"
#include "server/logic/IngestPlausibility.h"
#include "server/routes/DeviceAuth.h"
#include "server/routes/Routes.h"

namespace quorvin::server::routes {

namespace {

// Clocks of machines drift; a tick a little ahead of ours is fine, one from next week is not.
constexpr int64_t futureSlackMs = 10 * 60 * 1000;

// A chain only moves forward: a checkpoint may not be older or smaller than the one before it.
std::optional<std::string> implausibleTick(const oracle::Tick& tick, const std::optional<oracle::Head>& head,
                                           int64_t nowMs) {
  if (tick.ts > nowMs + futureSlackMs) return "tick time lies in the future";
  if (head && head->seq + 1 == tick.seq) {
    if (tick.ts < head->ts) return "tick time goes backwards";
    if (head->metrics && tick.tokensTotal < head->metrics->tokensTotal) return "tick token total goes down";
  }
  return std::nullopt;
}

Response refuse(unsigned status, const std::string& message) {
  return Response::json(status, oracle::encode(oracle::CommitmentResponse{false, std::nullopt, message}));
}

}  // namespace

Response oracleHead(Service& service, const Request&, const std::string& handleText) {
  const std::string handle = normalisedHandle(handleText);
  if (handle.empty()) return Response::jsonError(400, "invalid handle");
  auto account = service.accounts().account(handle);
  if (!account) return Response::jsonError(404, "unknown handle");
  return Response::json(200, oracle::encode(oracle::HeadResponse{service.oracle().head(account->id, handle)}));
}

Response oracleCommit(Service& service, const Request& request) {
  auto device = authenticateDevice(service, request);
  if (!device.device) return *device.refusal;

  auto doc = json_fields::parseDocument(request.body);
  if (!doc) return refuse(400, "malformed JSON");
  if (!doc->is_object()) return refuse(400, "body is not an object");
  const auto& body = doc->get_object();
  std::string pubkeyHex, sigHex;
  const auto* tickValue = body.if_contains("tick");
  if (tickValue == nullptr || !json_fields::readString(body, "pubkey", pubkeyHex) ||
      !json_fields::readString(body, "sig", sigHex)) {
    return refuse(400, "tick, pubkey and sig are required");
  }
  auto tick = oracle::tickFromJson(*tickValue);
  if (!tick) return refuse(400, "tick is malformed");
  auto pubkey = crypto::fromHex<32>(pubkeyHex);
  auto sig = crypto::fromHex<64>(sigHex);
  if (!pubkey || !sig) return refuse(400, "pubkey or sig is not hex of the right length");
  if (tick->handle != device.device->handle) return refuse(403, "tick handle does not belong to this device");
  if (tick->tokensTotal < 0 || tick->ts < 0) return refuse(400, "tick figures are negative");
  if (tick->tokensTotal > IngestLimits::maxCount) return refuse(400, "tick token total is above the limit");

  const std::string canonical = oracle::canonicalBytes(*tick);
  if (!crypto::ed25519Verify(*pubkey, canonical, *sig)) return refuse(400, "signature does not verify");

  // Keys are compared in their canonical lower-case form.
  const std::string keyHex = crypto::hex(*pubkey);
  const int64_t now = service.nowMs();
  if (auto reason = implausibleTick(*tick, service.oracle().head(device.device->accountId, tick->handle), now)) {
    return refuse(400, *reason);
  }
  oracle::Head head;
  switch (service.oracle().append(device.device->accountId, *tick, canonical, keyHex, crypto::hex(*sig), now, head)) {
    case OracleStore::AppendOutcome::keyMismatch:
      return refuse(409, "this profile's chain is signed by another key");
    case OracleStore::AppendOutcome::outOfSequence:
      return refuse(422, "the chain moved on; fetch the head and sign again");
    case OracleStore::AppendOutcome::appended:
      break;
  }
  return Response::json(200, oracle::encode(oracle::CommitmentResponse{true, head, std::nullopt}));
}

}  // namespace quorvin::server::routes

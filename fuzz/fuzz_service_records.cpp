// The app's decoders of every service answer.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/OracleRecords.h"
#include "wire/ServiceRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  using namespace quorvin;
  if (auto pair = API::decodePair(body); pair && API::decodePair(API::encode(*pair)) != pair) __builtin_trap();
  if (auto poll = API::decodePollRaw(body); poll && API::decodePollRaw(API::encode(*poll)) != poll) __builtin_trap();
  if (auto ingest = API::decodeIngestResponse(body)) (void)API::encode(*ingest);
  if (auto frame = API::decodeLiveCandleFrame(body)) (void)API::encode(*frame);
  if (auto head = oracle::decodeHeadResponse(body)) (void)oracle::encode(*head);
  if (auto commitment = oracle::decodeCommitmentResponse(body)) (void)oracle::encode(*commitment);
  return 0;
}

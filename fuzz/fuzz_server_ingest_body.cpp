// The server's reading of POST /api/ingest bodies: decoding and the plausibility check.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/IngestBody.h"
#include "server/logic/IngestPlausibility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  auto decoded = quorvin::API::decodeIngestUpload(body);
  if (decoded.outcome == quorvin::API::IngestDecode::Outcome::ok) {
    // Anything the server would store must encode and read back (1e400 reads as infinity,
    // which only the plausibility check keeps out).
    if (quorvin::server::implausibility(decoded.upload)) return 0;
    auto again = quorvin::API::decodeIngestUpload(quorvin::API::encode(decoded.upload));
    // Doubles may move by an ulp (Boost.JSON 1.81 does not parse long mantissas exactly);
    // every count must come back as it was.
    const auto& a = decoded.upload.totals;
    const auto& b = again.upload.totals;
    if (again.outcome != quorvin::API::IngestDecode::Outcome::ok || a.total != b.total || a.input != b.input ||
        a.output != b.output || a.cacheRead != b.cacheRead || a.cacheWrite != b.cacheWrite ||
        a.models.size() != b.models.size() || a.agents.size() != b.agents.size() || a.optimizer != b.optimizer) {
      __builtin_trap();
    }
  }
  return 0;
}

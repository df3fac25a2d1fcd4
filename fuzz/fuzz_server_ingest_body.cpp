// The server's reading of POST /api/ingest bodies: decoding and the plausibility check.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "publishing/IngestBody.h"
#include "server/logic/IngestPlausibility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  auto decoded = quorvin::API::decodeIngestUpload(body);
  if (decoded.outcome == quorvin::API::IngestDecode::Outcome::ok) {
    (void)quorvin::server::implausibility(decoded.upload);
    // Whatever was read must encode and read back to the same upload.
    auto again = quorvin::API::decodeIngestUpload(quorvin::API::encode(decoded.upload));
    if (again.outcome != quorvin::API::IngestDecode::Outcome::ok) __builtin_trap();
  }
  return 0;
}

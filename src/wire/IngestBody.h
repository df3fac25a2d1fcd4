#pragma once

#include <boost/json/object.hpp>
#include <string>
#include <string_view>

#include "wire/UsageTotals.h"

namespace quorvin::API {

// The body of POST /api/ingest. The app builds it from its totals; the server reads it back
// with the inverse decoder below.
struct IngestUpload {
  std::string handle;
  std::string source;
  std::string publisherId;
  std::string appVersion;
  std::string plan;
  Totals totals;  // agent costs and the accounting revision do not travel
};

// The tokens object; keys are present only when their value is known or non-empty.
boost::json::object ingestTokensBody(const Totals& totals);
std::string encode(const IngestUpload& upload);

struct IngestDecode {
  enum class Outcome { ok, malformed, invalid };
  Outcome outcome = Outcome::malformed;  // malformed: not JSON; invalid: JSON of the wrong shape
  IngestUpload upload;
  std::string reason;  // for the answer's "error"; never holds input text
};
IngestDecode decodeIngestUpload(std::string_view body) noexcept;

}  // namespace quorvin::API

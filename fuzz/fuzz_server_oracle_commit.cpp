// The server's reading of POST /api/oracle/commit bodies and the canonical re-serialisation.
#include <boost/json/parse.hpp>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/Crypto.h"
#include "wire/JsonFields.h"
#include "wire/OracleRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  auto doc = quorvin::json_fields::parseDocument(body);
  if (!doc || !doc->is_object()) return 0;
  const auto* tickValue = doc->get_object().if_contains("tick");
  if (tickValue == nullptr) return 0;
  auto tick = quorvin::oracle::tickFromJson(*tickValue);
  if (!tick) return 0;
  const std::string canonical = quorvin::oracle::canonicalBytes(*tick);
  // Canonical bytes are valid JSON and a fixed point of reading and re-serialising.
  auto reread = quorvin::oracle::tickFromJson(boost::json::parse(canonical));
  if (!reread || quorvin::oracle::canonicalBytes(*reread) != canonical) __builtin_trap();
  std::string pubkey, sig;
  if (quorvin::json_fields::readString(doc->get_object(), "pubkey", pubkey) &&
      quorvin::json_fields::readString(doc->get_object(), "sig", sig)) {
    auto key = quorvin::crypto::fromHex<32>(pubkey);
    auto signature = quorvin::crypto::fromHex<64>(sig);
    if (key && signature) (void)quorvin::crypto::ed25519Verify(*key, canonical, *signature);
  }
  (void)quorvin::oracle::chainHead(tick->prev, canonical);
  return 0;
}

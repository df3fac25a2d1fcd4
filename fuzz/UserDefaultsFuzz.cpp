// The settings file is the user's to edit: any bytes must load or be refused without harm,
// and whatever loads must save and load back to the same values.
#include <boost/json/serialize.hpp>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/FileUserDefaults.h"

namespace {

// Boost.JSON 1.81 does not always round a parsed double to the nearest value, so a double
// may come back a unit in the last place away; every other value must come back equal.
bool sameValue(const boost::json::value& a, const boost::json::value& b) {
  if (a.is_double() && b.is_double()) {
    const double x = a.get_double(), y = b.get_double();
    return x == y || std::fabs(x - y) <= 4 * std::fabs(x) * 2.220446049250313e-16;
  }
  if (a.is_object() && b.is_object()) {
    const auto &p = a.get_object(), &q = b.get_object();
    if (p.size() != q.size()) return false;
    for (const auto& entry : p) {
      auto it = q.find(entry.key());
      if (it == q.end() || !sameValue(entry.value(), it->value())) return false;
    }
    return true;
  }
  if (a.is_array() && b.is_array()) {
    const auto &p = a.get_array(), &q = b.get_array();
    if (p.size() != q.size()) return false;
    for (std::size_t i = 0; i < p.size(); ++i) {
      if (!sameValue(p[i], q[i])) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto values = quorvin::FileUserDefaults::parse(bytes);
  if (!values) return 0;
  quorvin::MemoryUserDefaults store(*values);
  for (const auto& entry : *values) {
    (void)store.string(entry.key());
    (void)store.boolean(entry.key());
    (void)store.integer(entry.key());
    (void)store.number(entry.key());
  }
  auto again = quorvin::FileUserDefaults::parse(boost::json::serialize(store.snapshot()));
  if (!again || !sameValue(boost::json::value(*again), boost::json::value(*values))) std::abort();
  return 0;
}

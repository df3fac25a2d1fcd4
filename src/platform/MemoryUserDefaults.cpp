#include "platform/MemoryUserDefaults.h"

#include <cmath>
#include <cstdint>

#include "core/Log.h"
#include "core/Utf8Text.h"

namespace quorvin {

namespace json = boost::json;

std::optional<std::string> MemoryUserDefaults::string(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end() || !it->value().is_string()) return std::nullopt;
  return std::string(it->value().get_string());
}

std::optional<bool> MemoryUserDefaults::boolean(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end() || !it->value().is_bool()) return std::nullopt;
  return it->value().get_bool();
}

std::optional<int64_t> MemoryUserDefaults::integer(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  const json::value& v = it->value();
  if (v.is_int64()) return v.get_int64();
  // A hand-edited file may hold a large positive integer; take it while it fits.
  if (v.is_uint64() && v.get_uint64() <= static_cast<uint64_t>(INT64_MAX)) return static_cast<int64_t>(v.get_uint64());
  return std::nullopt;
}

std::optional<double> MemoryUserDefaults::number(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end() || !it->value().is_double()) return std::nullopt;
  return it->value().get_double();
}

bool MemoryUserDefaults::contains(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return values_.contains(key);
}

void MemoryUserDefaults::set(std::string_view key, json::value value) {
  // JSON text is UTF-8: a key that is not would make the saved file unreadable and every
  // setting lost at the next start. There is no sound repair for a name, so it is refused.
  if (!isValidUtf8(key)) {
    logLine("Quorvin refused a setting whose name is not valid UTF-8");
    return;
  }
  {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it != values_.end() && it->value() == value) return;
    values_[key] = std::move(value);
    ++changes_;
  }
  changed();
}

void MemoryUserDefaults::setString(std::string_view key, std::string_view value) {
  // A value is kept with its ill-formed bytes replaced, for the same reason as keys above.
  if (!isValidUtf8(value)) {
    set(key, json::string(repairedUtf8(value)));
    return;
  }
  set(key, json::string(value));
}
void MemoryUserDefaults::setBoolean(std::string_view key, bool value) { set(key, json::value(value)); }
void MemoryUserDefaults::setInteger(std::string_view key, int64_t value) { set(key, json::value(value)); }
void MemoryUserDefaults::setNumber(std::string_view key, double value) {
  // JSON has no infinities or NaN: such a value would come back as another type.
  if (!std::isfinite(value)) return;
  set(key, json::value(value));
}

void MemoryUserDefaults::remove(std::string_view key) {
  {
    std::lock_guard lock(mutex_);
    if (values_.erase(key) == 0) return;
    ++changes_;
  }
  changed();
}

json::object MemoryUserDefaults::snapshot() const {
  std::lock_guard lock(mutex_);
  return values_;
}

uint64_t MemoryUserDefaults::changeCount() const {
  std::lock_guard lock(mutex_);
  return changes_;
}

std::pair<uint64_t, json::object> MemoryUserDefaults::versionedSnapshot() const {
  std::lock_guard lock(mutex_);
  return {changes_, values_};
}

void MemoryUserDefaults::replaceAll(json::object values) {
  std::lock_guard lock(mutex_);
  values_ = std::move(values);
}

}  // namespace quorvin

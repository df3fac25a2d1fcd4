#pragma once

#include <map>
#include <mutex>
#include <string>
#include <variant>

#include "platform/UserDefaults.h"

namespace quorvin::test {

// UserDefaults kept only in memory, safe from any thread: for tests of code that reads or writes
// settings but not of the persisted store itself.
class MemoryUserDefaults final : public UserDefaults {
 public:
  std::optional<std::string> string(std::string_view key) const override { return get<std::string>(key); }
  std::optional<bool> boolean(std::string_view key) const override { return get<bool>(key); }
  std::optional<int64_t> integer(std::string_view key) const override { return get<int64_t>(key); }
  std::optional<double> number(std::string_view key) const override { return get<double>(key); }
  bool contains(std::string_view key) const override {
    std::lock_guard lock(mutex_);
    return values_.find(key) != values_.end();
  }
  void setString(std::string_view key, std::string_view value) override { set(key, std::string(value)); }
  void setBoolean(std::string_view key, bool value) override { set(key, value); }
  void setInteger(std::string_view key, int64_t value) override { set(key, value); }
  void setNumber(std::string_view key, double value) override { set(key, value); }
  void remove(std::string_view key) override {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
  }

 private:
  using Value = std::variant<std::string, bool, int64_t, double>;

  template <typename T>
  std::optional<T> get(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end() || !std::holds_alternative<T>(it->second)) return std::nullopt;
    return std::get<T>(it->second);
  }
  void set(std::string_view key, Value value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::move(value));
  }

  mutable std::mutex mutex_;
  std::map<std::string, Value, std::less<>> values_;
};

}  // namespace quorvin::test

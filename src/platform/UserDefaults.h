#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin {

// The application's settings domain: typed values under string keys, kept in memory.
// Readers of a key of another type get no value.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  virtual std::optional<std::string> string(std::string_view key) const = 0;
  virtual std::optional<bool> boolean(std::string_view key) const = 0;
  virtual std::optional<int64_t> integer(std::string_view key) const = 0;
  virtual std::optional<double> number(std::string_view key) const = 0;
  virtual bool contains(std::string_view key) const = 0;

  virtual void setString(std::string_view key, std::string_view value) = 0;
  virtual void setBoolean(std::string_view key, bool value) = 0;
  virtual void setInteger(std::string_view key, int64_t value) = 0;
  virtual void setNumber(std::string_view key, double value) = 0;
  virtual void remove(std::string_view key) = 0;

  // Writes pending changes now (sleep, exit); a no-op for stores that keep nothing.
  virtual void flush() {}
};

}  // namespace quorvin

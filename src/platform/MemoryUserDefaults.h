#pragma once

#include <boost/json/object.hpp>
#include <mutex>

#include "platform/UserDefaults.h"

namespace quorvin {

// User defaults kept in memory only: the store of tests and the base of the file store.
// Values keep their JSON type: a string, a boolean, a 64-bit integer or a double. Text is
// always well-formed UTF-8: a key that is not is refused, a string value is repaired (U+FFFD).
// Safe to use from any thread.
class MemoryUserDefaults : public UserDefaults {
 public:
  MemoryUserDefaults() = default;
  explicit MemoryUserDefaults(boost::json::object values) : values_(std::move(values)) {}

  std::optional<std::string> string(std::string_view key) const override;
  std::optional<bool> boolean(std::string_view key) const override;
  std::optional<int64_t> integer(std::string_view key) const override;
  std::optional<double> number(std::string_view key) const override;
  bool contains(std::string_view key) const override;

  void setString(std::string_view key, std::string_view value) override;
  void setBoolean(std::string_view key, bool value) override;
  void setInteger(std::string_view key, int64_t value) override;
  void setNumber(std::string_view key, double value) override;
  void remove(std::string_view key) override;

  // Every key with its value, as stored.
  boost::json::object snapshot() const;
  // Changes seen so far (a set or a removal that changed something).
  uint64_t changeCount() const;

 protected:
  // Called after a change, outside the lock.
  virtual void changed() {}
  void replaceAll(boost::json::object values);
  // The values with the change count they reflect, read together.
  std::pair<uint64_t, boost::json::object> versionedSnapshot() const;

 private:
  void set(std::string_view key, boost::json::value value);

  mutable std::mutex mutex_;
  boost::json::object values_;
  uint64_t changes_ = 0;
};

}  // namespace quorvin

#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace quorvin::server {

// What the connection threads hold for strangers, counted across all of them: open
// connections (overall and per client address) and the bytes of request bodies still being
// read. Thread-safe; each grant is given back by the guard that holds it.
class ConnectionLimits {
 public:
  struct Caps {
    size_t connections = 2048;
    size_t connectionsPerAddress = 64;
    size_t unfinishedBodyBytes = 64u << 20;
  };

  explicit ConnectionLimits(Caps caps) : caps_(caps) {}

  class Slot {
   public:
    Slot() = default;
    Slot(ConnectionLimits* limits, std::string address) : limits_(limits), address_(std::move(address)) {}
    Slot(Slot&& other) noexcept : limits_(std::exchange(other.limits_, nullptr)), address_(std::move(other.address_)) {}
    Slot& operator=(Slot&&) = delete;
    ~Slot();
    explicit operator bool() const { return limits_ != nullptr; }

   private:
    ConnectionLimits* limits_ = nullptr;
    std::string address_;
  };
  // An empty slot when the server or this address already holds as many connections as allowed.
  Slot open(const std::string& address);

  class BodyBytes {
   public:
    BodyBytes() = default;
    BodyBytes(ConnectionLimits* limits, size_t bytes) : limits_(limits), bytes_(bytes) {}
    BodyBytes(BodyBytes&& other) noexcept
        : limits_(std::exchange(other.limits_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    BodyBytes& operator=(BodyBytes&& other) noexcept;
    ~BodyBytes() { release(); }
    explicit operator bool() const { return limits_ != nullptr; }
    void release();

   private:
    ConnectionLimits* limits_ = nullptr;
    size_t bytes_ = 0;
  };
  // Reserves room for a body about to be read; empty when the bodies in flight already fill
  // the budget.
  BodyBytes reserveBody(size_t bytes);

  size_t openConnections() const;
  size_t unfinishedBodyBytes() const;

 private:
  void close(const std::string& address);
  void giveBack(size_t bytes);

  const Caps caps_;
  mutable std::mutex mutex_;
  size_t open_ = 0;
  std::unordered_map<std::string, size_t> perAddress_;
  size_t bodyBytes_ = 0;
};

// The key connection and request limits use for a client: the address itself, or for IPv6
// its /64 network, which one subscriber usually holds whole.
std::string clientKey(const std::string& address);

}  // namespace quorvin::server

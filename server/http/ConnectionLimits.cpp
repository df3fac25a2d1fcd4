#include "server/http/ConnectionLimits.h"

#include <boost/asio/ip/address.hpp>

namespace quorvin::server {

ConnectionLimits::Slot::~Slot() {
  if (limits_ != nullptr) limits_->close(address_);
}

ConnectionLimits::Slot ConnectionLimits::open(const std::string& address) {
  std::lock_guard lock(mutex_);
  if (open_ >= caps_.connections) return {};
  auto& mine = perAddress_[address];
  if (mine >= caps_.connectionsPerAddress) return {};
  ++mine;
  ++open_;
  return Slot(this, address);
}

void ConnectionLimits::close(const std::string& address) {
  std::lock_guard lock(mutex_);
  --open_;
  auto it = perAddress_.find(address);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
}

size_t ConnectionLimits::openConnections() const {
  std::lock_guard lock(mutex_);
  return open_;
}

size_t ConnectionLimits::unfinishedBodyBytes() const {
  std::lock_guard lock(mutex_);
  return bodyBytes_;
}

ConnectionLimits::BodyBytes& ConnectionLimits::BodyBytes::operator=(BodyBytes&& other) noexcept {
  if (this != &other) {
    release();
    limits_ = std::exchange(other.limits_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void ConnectionLimits::BodyBytes::release() {
  if (limits_ != nullptr) limits_->giveBack(bytes_);
  limits_ = nullptr;
  bytes_ = 0;
}

ConnectionLimits::BodyBytes ConnectionLimits::reserveBody(size_t bytes) {
  std::lock_guard lock(mutex_);
  if (bodyBytes_ + bytes > caps_.unfinishedBodyBytes) return {};
  bodyBytes_ += bytes;
  return BodyBytes(this, bytes);
}

void ConnectionLimits::giveBack(size_t bytes) {
  std::lock_guard lock(mutex_);
  bodyBytes_ -= bytes;
}

std::string clientKey(const std::string& address) {
  boost::system::error_code ec;
  auto parsed = boost::asio::ip::make_address(address, ec);
  if (ec) return address.substr(0, 64);
  if (parsed.is_v6()) {
    auto v6 = parsed.to_v6();
    if (v6.is_v4_mapped()) return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string();
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return boost::asio::ip::address_v6(bytes).to_string() + "/64";
  }
  return parsed.to_string();
}

}  // namespace quorvin::server

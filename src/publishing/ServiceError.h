#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "platform/HttpClient.h"

namespace quorvin {

// An answer of the service that the app does not accept: the domain "Quorvin" with the
// HTTP status as code (-1 when there was no HTTP answer).
class ServiceError : public std::runtime_error {
 public:
  ServiceError(long code, std::string description);
  // "Quorvin request failed (HTTP <code>)"
  static ServiceError httpStatus(long code);

  static constexpr const char* domain = "Quorvin";
  long code() const noexcept { return code_; }

 private:
  long code_;
};

// The request never got an HTTP answer (refused, time-out, TLS). Propagated unchanged.
class TransportError : public std::runtime_error {
 public:
  explicit TransportError(HttpFailure failure);
  const HttpFailure& failure() const noexcept { return failure_; }

 private:
  HttpFailure failure_;
};

// A 2xx body that is not the record it should be.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quorvin

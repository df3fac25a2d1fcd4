#include "publishing/ServiceError.h"

namespace quorvin {

ServiceError::ServiceError(long code, std::string description) : std::runtime_error(std::move(description)), code_(code) {}

ServiceError ServiceError::httpStatus(long code) {
  return ServiceError(code, "Quorvin request failed (HTTP " + std::to_string(code) + ")");
}

TransportError::TransportError(HttpFailure failure)
    : std::runtime_error(failure.message.empty() ? std::string("the service could not be reached") : failure.message),
      failure_(std::move(failure)) {}

}  // namespace quorvin

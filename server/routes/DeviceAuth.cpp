#include "server/routes/DeviceAuth.h"

#include "server/Service.h"

namespace quorvin::server::routes {

DeviceAuth authenticateDevice(Service& service, const Request& request) {
  DeviceAuth auth;
  const std::string token = request.bearerToken();
  auto device = token.empty() ? std::nullopt : service.accounts().deviceForToken(token);
  if (!device) {
    auth.refusal = Response::jsonError(401, "unknown device token");
    return auth;
  }
  if (device->revokedMs) {
    auth.refusal = Response::jsonError(410, "this device was disconnected");
    return auth;
  }
  auth.device = std::move(device);
  return auth;
}

}  // namespace quorvin::server::routes

#pragma once

#include <optional>

#include "server/http/Message.h"
#include "server/storage/AccountStore.h"

namespace quorvin::server {
class Service;
}

namespace quorvin::server::routes {

struct DeviceAuth {
  std::optional<Device> device;    // set when the token belongs to a device still paired
  std::optional<Response> refusal;  // 401 unknown token, 410 revoked device
};

DeviceAuth authenticateDevice(Service& service, const Request& request);

}  // namespace quorvin::server::routes

#include "wire/IngestBody.h"
#include "wire/ServiceRecords.h"
#include "server/Service.h"
#include "server/logic/IngestPlausibility.h"
#include "server/routes/DeviceAuth.h"
#include "server/routes/Routes.h"

namespace quorvin::server::routes {

Response ingest(Service& service, const Request& request) {
  auto device = authenticateDevice(service, request);
  if (!device.device) return *device.refusal;

  auto decoded = API::decodeIngestUpload(request.body);
  if (decoded.outcome == API::IngestDecode::Outcome::malformed) return Response::jsonError(400, "malformed JSON");
  if (decoded.outcome == API::IngestDecode::Outcome::invalid) return Response::jsonError(422, decoded.reason);
  if (auto reason = implausibility(decoded.upload)) return Response::jsonError(422, *reason);
  if (normalisedHandle(decoded.upload.handle) != device.device->handle) {
    return Response::jsonError(403, "handle does not belong to this device");
  }

  if (!service.usage().mayRecord(device.device->accountId, device.device->id, decoded.upload.publisherId)) {
    return Response::jsonError(422, "too many publishers for this machine or profile");
  }
  const int64_t now = service.nowMs();
  const auto recorded = service.usage().record(device.device->accountId, device.device->id, decoded.upload, now);
  service.accounts().touchDevice(device.device->id, now);
  // What this publisher now stands at; list prices are what the app sends as cost.
  API::IngestResponse answer;
  answer.accepted = API::AcceptedTotals{recorded.total, recorded.cost, recorded.cost};
  return Response::json(200, API::encode(answer));
}

}  // namespace quorvin::server::routes

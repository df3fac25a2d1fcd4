#include "update/InstallError.h"

namespace quorvin {

std::string InstallError::describe(Kind kind, const std::string& detail) {
  switch (kind) {
    case Kind::mountFailed:
      return "The update disk image could not be mounted. " + detail;
    case Kind::invalidBundle:
      return "The update app bundle is invalid. " + detail;
    case Kind::signatureRejected:
      return "The system rejected the update signature. " + detail;
    case Kind::stagingFailed:
      return "The update could not be staged. " + detail;
    case Kind::unsupportedInstallLocation:
      return "Automatic updates require Quorvin to be installed in /opt or ~/.local/opt.";
    case Kind::invalidHTTPResponse:
      return "The update download returned an invalid response.";
    case Kind::checksumMismatch:
      return "The update checksum did not match the trusted release manifest.";
    case Kind::appMissing:
      return "The update disk image does not contain Quorvin/.";
  }
  return {};
}

InstallError::InstallError(Kind kind, const std::string& detail) : std::runtime_error(describe(kind, detail)), kind_(kind) {}

}  // namespace quorvin

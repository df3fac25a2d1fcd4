#pragma once

#include <stdexcept>
#include <string>

namespace quorvin {

// Why an update could not be prepared; what() is the sentence the user sees.
class InstallError : public std::runtime_error {
 public:
  enum class Kind {
    mountFailed,
    invalidBundle,
    signatureRejected,
    stagingFailed,
    unsupportedInstallLocation,
    invalidHTTPResponse,
    checksumMismatch,
    appMissing,
  };

  InstallError(Kind kind, const std::string& detail = {});
  Kind kind() const { return kind_; }

  static std::string describe(Kind kind, const std::string& detail);

 private:
  Kind kind_;
};

}  // namespace quorvin

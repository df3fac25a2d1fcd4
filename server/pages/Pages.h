#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wire/OracleRecords.h"
#include "server/storage/AccountStore.h"
#include "server/storage/UsageStore.h"

namespace quorvin::server::pages {

// Approval page for one pair code. `message` is shown above the form (already plain text).
std::string approval(const std::string& code, const std::string& message, bool done);

// The data settings page: sign-in form, or the account's devices with revoke buttons.
std::string connectSignIn(const std::string& message);
std::string connectDevices(const std::string& handle, const std::string& secret, const std::vector<Device>& devices,
                           const std::string& message);

struct ProfileData {
  std::string handle;
  UsageStore::ProfileSummary summary;
  std::optional<oracle::Head> head;
};
std::string profile(const ProfileData& data);
// The chart script the profile page loads.
std::string profileScript();

struct DownloadEntry {
  std::string name;
  int64_t size = 0;
};
std::string download(const std::optional<std::string>& version, const std::vector<DownloadEntry>& files);

std::string home();
std::string notFound();

}  // namespace quorvin::server::pages

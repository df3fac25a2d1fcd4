#pragma once

#include <boost/asio/awaitable.hpp>
#include <filesystem>
#include <string>
#include <sys/types.h>

#include "platform/BlockingPool.h"
#include "platform/HttpClient.h"
#include "update/BundleSignature.h"
#include "update/InstallError.h"
#include "update/UpdateChecker.h"

namespace quorvin {

// Turns an AvailableUpdate into a relaunch plan: downloads the tarball, checks it against the
// trusted manifest, unpacks and verifies the bundle, stages a verified copy next to the
// installed one and writes the relaunch script. The installed bundle is never touched here.
struct UpdateInstaller {
  struct RelaunchPlan {
    std::filesystem::path scriptURL;
    // Starts "/bin/sh script" in a session of its own, output to the null device, without
    // waiting; throws std::system_error when it cannot start.
    void launch() const;
  };

  struct Context {
    HttpClient& http;
    BlockingPool& pool;
    std::filesystem::path updatesDirectory;
    std::filesystem::path home;
    ReleaseKeys keys = ReleaseKeys::builtIn();
  };

  static constexpr std::string_view kBackupName = ".quorvin-previous";
  static constexpr std::string_view kStagedPrefix = ".quorvin-update-";

  // /opt/Quorvin or any folder under ~/.local/opt/, in a folder the user may write to.
  static bool supportsAutomaticInstall(const std::filesystem::path& bundle, const std::filesystem::path& home);
  // The bundle folder of the running executable (<bundle>/bin/quorvin).
  static std::filesystem::path currentBundle();

  // Throws InstallError for every refusal; a failed transfer throws std::runtime_error with
  // its message, and a cancelled one boost::system::system_error(operation_aborted).
  static boost::asio::awaitable<RelaunchPlan> prepare(Context context, UpdateChecker::AvailableUpdate update,
                                                      std::filesystem::path currentBundle, pid_t currentPid);

  // A fresh random UUID in its usual text form.
  static std::string makeUuid();
};

}  // namespace quorvin

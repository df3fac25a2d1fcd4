#include "update/UpdateInstaller.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <cctype>
#include <system_error>
#include <vector>

#include "platform/Paths.h"
#include "wire/Crypto.h"
#include "update/BundleArchive.h"
#include "update/BundleVerifier.h"
#include "update/FileDigest.h"
#include "update/RelaunchScript.h"

extern char** environ;

namespace quorvin {

namespace {

namespace fs = std::filesystem;
using Kind = InstallError::Kind;

fs::path standardized(const fs::path& path) {
  auto clean = path.lexically_normal();
  if (clean.has_filename() || clean == clean.root_path()) return clean;
  return clean.parent_path();
}

// Writes a new file (never through a link, never over an existing one), mode 0600.
void writeNewFile(const fs::path& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "create " + path.string());
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "write " + path.string());
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "close " + path.string());
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The unpacked archive; removing it is the counterpart of detaching a mounted image.
struct ExtractionFolder {
  fs::path path;
  ~ExtractionFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// Everything after the download: blocking file work, run on the pool.
UpdateInstaller::RelaunchPlan stageDownloaded(const UpdateInstaller::Context& context,
                                              const UpdateChecker::AvailableUpdate& update, const std::string& body,
                                              const fs::path& tarball, const fs::path& currentBundle, pid_t pid) {
  writeNewFile(tarball, body);
  std::error_code ec;
  const auto onDisk = fs::file_size(tarball, ec);
  if (ec || static_cast<int64_t>(onDisk) != update.artifact.size ||
      sha256OfFile(tarball) != lower(update.artifact.sha256)) {
    fs::remove(tarball, ec);
    throw InstallError(Kind::checksumMismatch);
  }

  ExtractionFolder extraction{context.updatesDirectory / ("extract-" + UpdateInstaller::makeUuid())};
  if (::mkdir(extraction.path.c_str(), 0700) != 0) {
    throw InstallError(Kind::mountFailed, "The extraction folder could not be created.");
  }
  BundleArchive::extract(tarball, extraction.path);
  const fs::path unpacked = extraction.path / BundleArchive::kBundleFolder;
  if (fs::symlink_status(unpacked, ec).type() != fs::file_type::directory) throw InstallError(Kind::appMissing);
  verifyBundle(unpacked, update.version, context.keys);

  const fs::path parent = currentBundle.parent_path();
  const fs::path staged = parent / (std::string(UpdateInstaller::kStagedPrefix) + UpdateInstaller::makeUuid());
  try {
    fs::copy(unpacked, staged, fs::copy_options::recursive);
  } catch (const std::exception& error) {
    throw InstallError(Kind::stagingFailed, error.what());
  }
  try {
    verifyBundle(staged, update.version, context.keys);
  } catch (...) {
    // A copy that failed its check is never used; do not leave it beside the installed bundle.
    fs::remove_all(staged, ec);
    throw;
  }

  RelaunchScript script;
  script.currentPid = pid;
  script.currentApp = currentBundle;
  script.stagedApp = staged;
  script.backupApp = parent / UpdateInstaller::kBackupName;
  script.tarball = tarball;
  script.script = context.updatesDirectory / ("install-" + UpdateInstaller::makeUuid() + ".sh");
  script.readyFile = context.updatesDirectory / ("ready-" + UpdateInstaller::makeUuid() + ".json");
  try {
    writeNewFile(script.script, script.text());
  } catch (const std::exception& error) {
    throw InstallError(Kind::stagingFailed, error.what());
  }
  return UpdateInstaller::RelaunchPlan{script.script};
}

}  // namespace

std::string UpdateInstaller::makeUuid() {
  std::array<uint8_t, 16> bytes{};
  crypto::randomBytes(bytes);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
  const std::string hex = crypto::hex(bytes);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

bool UpdateInstaller::supportsAutomaticInstall(const fs::path& bundle, const fs::path& home) {
  const fs::path p = standardized(bundle);
  const std::string userRoot = standardized(home / ".local" / "opt").string() + "/";
  const bool location = p == "/opt/Quorvin" || (!home.empty() && p.string().starts_with(userRoot));
  return location && ::access(p.parent_path().c_str(), W_OK) == 0;
}

fs::path UpdateInstaller::currentBundle() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().parent_path();
}

boost::asio::awaitable<UpdateInstaller::RelaunchPlan> UpdateInstaller::prepare(Context context,
                                                                               UpdateChecker::AvailableUpdate update,
                                                                               fs::path currentBundle, pid_t currentPid) {
  if (!supportsAutomaticInstall(currentBundle, context.home)) throw InstallError(Kind::unsupportedInstallLocation);
  if (!ensurePrivateDirectory(context.updatesDirectory)) {
    throw std::runtime_error("The update folder " + context.updatesDirectory.string() + " could not be created.");
  }
  const fs::path tarball = context.updatesDirectory / ("quorvin-" + update.version + ".tar.gz");
  std::error_code ec;
  fs::remove(tarball, ec);

  HttpRequest request;
  request.url = update.downloadURL;
  request.timeout = std::chrono::seconds(60);
  // A body past the trusted size cannot match it; stop reading there.
  const auto size = static_cast<size_t>(std::min<int64_t>(update.artifact.size, BundleArchive::kMaxTotalBytes));
  request.maxResponseBytes = size + 64 * 1024;
  request.headers.emplace_back("Cache-Control", "no-cache");
  HttpResult result = co_await context.http.send(std::move(request));
  if (!result.ok()) {
    const auto kind = result.failure ? result.failure->kind : HttpFailure::Kind::other;
    if (kind == HttpFailure::Kind::cancelled) throw boost::system::system_error(boost::asio::error::operation_aborted);
    if (kind == HttpFailure::Kind::tooLarge) throw InstallError(Kind::checksumMismatch);
    throw std::runtime_error("The update download failed: " + (result.failure ? result.failure->message : ""));
  }
  const auto& response = *result.response;
  if (response.status < 200 || response.status > 299) throw InstallError(Kind::invalidHTTPResponse);
  if (const auto length = response.header("Content-Length")) {
    int64_t announced = -1;
    try {
      announced = std::stoll(*length);
    } catch (const std::exception&) {
      throw InstallError(Kind::invalidHTTPResponse);
    }
    if (announced > 0 && announced != update.artifact.size) throw InstallError(Kind::invalidHTTPResponse);
  }

  auto stage = [&context, &update, &response, &tarball, &currentBundle, currentPid] {
    return stageDownloaded(context, update, response.body, tarball, currentBundle, currentPid);
  };
  co_return co_await runBlocking(context.pool, std::move(stage));
}

void UpdateInstaller::RelaunchPlan::launch() const {
  // The script and what it starts must not inherit a marker path meant for this process.
  std::vector<char*> environment;
  const std::string marker = std::string(RelaunchScript::kMarkerVariable) + "=";
  for (char** e = environ; *e; ++e) {
    if (!std::string_view(*e).starts_with(marker)) environment.push_back(*e);
  }
  environment.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A session of its own: the script outlives this process and its terminal.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  const std::string script = scriptURL.string();
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>(script.c_str()), nullptr};
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environment.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) throw std::system_error(error, std::generic_category(), "start the relaunch script");
}

}  // namespace quorvin

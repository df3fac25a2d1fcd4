#include "platform/Browser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/url/parse.hpp>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/Log.h"

extern char** environ;

namespace quorvin {

namespace {

bool isWebUrl(std::string_view url) {
  auto parsed = boost::urls::parse_uri(url);
  if (!parsed) return false;
  const auto scheme = parsed->scheme_id();
  return (scheme == boost::urls::scheme::http || scheme == boost::urls::scheme::https) && parsed->has_authority() &&
         !parsed->host().empty();
}

std::string resolve(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t begin = 0; begin <= dirs.size();) {
    std::size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = (end > begin ? dirs.substr(begin, end - begin) : std::string(".")) + "/" + program;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    begin = end + 1;
  }
  return {};
}

}  // namespace

bool XdgBrowser::open(std::string_view url) {
  if (!isWebUrl(url)) return false;
  const std::string program = resolve(program_);
  if (program.empty()) {
    logLine("Quorvin cannot open the browser: " + program_ + " was not found");
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  // Its own session: the browser it may start outlives us and our process group.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  std::string argument(url);
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), argument.data(), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return false;
  // xdg-open may wait for the browser; reap it whenever it ends.
  std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  return true;
}

}  // namespace quorvin

#include "usage/FileChangeWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Log.h"

namespace quorvin {

namespace {

constexpr uint32_t kMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE |
                           IN_ATTRIB | IN_ONLYDIR;
constexpr int kCoalesceMs = 200;
constexpr size_t kMaxDepth = 32;

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

FileChangeWatcher::FileChangeWatcher(const std::vector<std::filesystem::path>& paths) {
  for (const auto& path : paths) {
    std::error_code ec;
    std::string standardized = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (standardized.size() > 1 && standardized.back() == '/') standardized.pop_back();
    if (!ec && isDirectory(standardized)) roots_.push_back(standardized);
  }
  if (roots_.empty()) return;
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (inotify_ < 0 || stop_ < 0) {
    logLine("Quorvin cannot watch the agent log folders (" + std::string(std::strerror(errno)) +
            "); known files are still polled");
    return;
  }
  for (const auto& root : roots_) watchTree(root, nullptr, true);
  thread_ = std::thread([this] { run(); });
}

FileChangeWatcher::~FileChangeWatcher() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(stop_, &one, sizeof one);
    thread_.join();
  }
  if (inotify_ >= 0) ::close(inotify_);
  if (stop_ >= 0) ::close(stop_);
}

std::vector<std::string> FileChangeWatcher::drain() {
  std::set<std::string> taken;
  {
    std::lock_guard guard(lock_);
    taken.swap(pending_);
  }
  return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

void FileChangeWatcher::run() {
  pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
  for (;;) {
    fds[0].revents = fds[1].revents = 0;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    std::set<std::string> batch;
    readEvents(batch);
    // Let a burst of writes settle, then hand everything over at once.
    pollfd stopOnly{stop_, POLLIN, 0};
    int stopped = ::poll(&stopOnly, 1, kCoalesceMs);
    readEvents(batch);
    if (!batch.empty()) {
      std::lock_guard guard(lock_);
      pending_.merge(batch);
    }
    if (stopped > 0) return;
  }
}

void FileChangeWatcher::readEvents(std::set<std::string>& batch) {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    ssize_t length = ::read(inotify_, buffer, sizeof buffer);
    if (length <= 0) return;  // EAGAIN: nothing more for now
    for (char* cursor = buffer; cursor < buffer + length;) {
      auto* event = reinterpret_cast<inotify_event*>(cursor);
      cursor += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        reportEverything(batch);
        continue;
      }
      if (event->mask & IN_IGNORED) {
        directories_.erase(event->wd);
        continue;
      }
      auto directory = directories_.find(event->wd);
      if (directory == directories_.end()) continue;
      if (event->len == 0 || event->name[0] == '\0') {
        batch.insert(directory->second);
        continue;
      }
      std::string path = directory->second + "/" + event->name;
      if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO)) && event->name[0] != '.') {
        // Copy first: watching the new tree may rehash the map.
        watchTree(path, &batch, false);
      }
      batch.insert(std::move(path));
    }
  }
}

void FileChangeWatcher::watchTree(const std::string& top, std::set<std::string>* report, bool followRoot) {
  std::vector<std::pair<std::string, size_t>> stack{{top, 0}};
  while (!stack.empty()) {
    auto [directory, depth] = std::move(stack.back());
    stack.pop_back();
    uint32_t mask = kMask | ((followRoot && depth == 0) ? 0 : IN_DONT_FOLLOW);
    int wd = ::inotify_add_watch(inotify_, directory.c_str(), mask);
    if (wd < 0) {
      if ((errno == ENOSPC || errno == ENOMEM) && !warnedAboutLimit_) {
        warnedAboutLimit_ = true;
        logLine("Quorvin reached the inotify watch limit; new log files in unwatched folders are found by the "
                "periodic scan");
      }
      continue;
    }
    directories_[wd] = directory;
    if (report) report->insert(directory);
    if (depth >= kMaxDepth) continue;
    DIR* handle = ::opendir(directory.c_str());
    if (!handle) continue;
    while (dirent* entry = ::readdir(handle)) {
      if (entry->d_name[0] == '.') continue;  // hidden entries, "." and ".."
      std::string child = directory + "/" + entry->d_name;
      bool isDir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat st {};
        isDir = ::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      if (isDir) stack.emplace_back(std::move(child), depth + 1);
    }
    ::closedir(handle);
  }
}

void FileChangeWatcher::reportEverything(std::set<std::string>& batch) {
  // Events were lost: directories created meanwhile may be unwatched, so walk again.
  for (const auto& root : roots_) watchTree(root, nullptr, true);
  for (const auto& [wd, directory] : directories_) batch.insert(directory);
}

}  // namespace quorvin

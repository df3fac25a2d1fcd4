#include "platform/FileUserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/Log.h"
#include "platform/AtomicFile.h"
#include "platform/BlockingPool.h"
#include "platform/Paths.h"

namespace quorvin {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

enum class ReadOutcome { missing, ok, unreadable };

ReadOutcome readBounded(const fs::path& file, std::string& out, std::size_t limit) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? ReadOutcome::missing : ReadOutcome::unreadable;
  struct stat info {};
  ReadOutcome outcome = ReadOutcome::ok;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) > limit) {
    outcome = ReadOutcome::unreadable;
  } else {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || out.size() + static_cast<std::size_t>(n) > limit) {
        outcome = ReadOutcome::unreadable;
        break;
      }
      if (n == 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return outcome;
}

std::string timeStamp(WallTime time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

void FileUserDefaults::Writer::save(uint64_t change, const std::string& bytes) {
  std::lock_guard lock(mutex);
  if (change <= savedChange) return;  // an equal or newer state is on disk already
  ensurePrivateDirectory(file.parent_path());
  std::string error;
  if (!writeFileAtomically(file, bytes, 0600, &error)) {
    logLine("Quorvin could not save settings to " + file.string() + " (" + error + ")");
    return;
  }
  savedChange = change;
  ++saves;
}

FileUserDefaults::FileUserDefaults(fs::path file, std::optional<Saving> saving)
    : writer_(std::make_shared<Writer>(std::move(file))), saving_(std::move(saving)) {
  load();
}

FileUserDefaults::~FileUserDefaults() {
  pending_.cancel();
  flush();
}

void FileUserDefaults::load() {
  const fs::path& file = writer_->file;
  removeStaleTemporaries(file);
  std::string bytes;
  switch (readBounded(file, bytes, maxFileBytes)) {
    case ReadOutcome::missing:
      return;
    case ReadOutcome::unreadable:
      setAside("could not be read");
      return;
    case ReadOutcome::ok:
      break;
  }
  boost::system::error_code ec;
  json::value parsed = json::parse(bytes, ec);
  if (ec || !parsed.is_object()) {
    setAside("is not a settings file");
    return;
  }
  replaceAll(std::move(parsed.get_object()));
}

void FileUserDefaults::setAside(const char* why) {
  const fs::path& file = writer_->file;
  const WallTime now = saving_ && saving_->clock ? saving_->clock->now() : std::chrono::system_clock::now();
  fs::path aside = file;
  aside += ".corrupt-" + timeStamp(now);
  if (::rename(file.c_str(), aside.c_str()) == 0) {
    logLine("Quorvin settings file " + file.string() + " " + why + "; moved it to " + aside.filename().string() +
            " and started with empty settings");
  } else {
    logLine("Quorvin settings file " + file.string() + " " + why + " and could not be moved aside; started with " +
            "empty settings");
  }
}

std::pair<uint64_t, std::string> FileUserDefaults::serialize() const {
  auto [change, values] = versionedSnapshot();
  return {change, json::serialize(values)};
}

void FileUserDefaults::changed() {
  if (!saving_ || !saving_->clock) return;
  std::lock_guard lock(scheduleMutex_);
  if (scheduled_) return;
  scheduled_ = true;
  pending_ = Task::start(saving_->executor, saveLater(this, writer_, saving_->clock, saving_->pool));
}

// Touches `self` only while it is certainly alive: the owner cancels this task before it
// goes, and a cancelled sleep ends the task before the next line.
boost::asio::awaitable<void> FileUserDefaults::saveLater(FileUserDefaults* self, std::shared_ptr<Writer> writer,
                                                         RuntimeClock* clock, BlockingPool* pool) {
  co_await clock->sleep(writeDelay);
  {
    std::lock_guard lock(self->scheduleMutex_);
    self->scheduled_ = false;  // later changes schedule the next save
  }
  auto [change, bytes] = self->serialize();
  if (!pool) {
    writer->save(change, bytes);
    co_return;
  }
  auto job = [writer, change = change, bytes = std::move(bytes)] { writer->save(change, bytes); };
  co_await runBlocking(*pool, job);
}

void FileUserDefaults::flush() {
  auto [change, bytes] = serialize();
  writer_->save(change, bytes);
}

uint64_t FileUserDefaults::saves() const {
  std::lock_guard lock(writer_->mutex);
  return writer_->saves;
}

}  // namespace quorvin

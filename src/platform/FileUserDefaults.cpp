#include "platform/FileUserDefaults.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cerrno>
#include <cmath>
#include <string>

#include "core/Log.h"
#include "platform/AtomicFile.h"
#include "platform/BlockingPool.h"
#include "platform/BoundedFileRead.h"
#include "platform/Paths.h"

namespace quorvin {

namespace fs = std::filesystem;
namespace json = boost::json;

bool FileUserDefaults::Writer::save(uint64_t change, const std::string& bytes, std::string* reason) {
  std::lock_guard lock(mutex);
  if (change <= savedChange) return true;  // an equal or newer state is on disk already
  std::string error;
  if (blocked) {
    error = *blocked;
  } else if (target == file && !ensurePrivateDirectory(target.parent_path())) {
    error = "its folder " + target.parent_path().string() + " cannot be used";
  } else if (!writeFileAtomically(target, bytes, 0600, &error)) {
    error = "cannot write " + target.string() + " (" + error + ")";
  } else {
    savedChange = change;
    ++saves;
    return true;
  }
  logLine("Quorvin could not save settings: " + error);
  if (reason) *reason = error;
  return false;
}

FileUserDefaults::FileUserDefaults(fs::path file, std::optional<Saving> saving)
    : writer_(std::make_shared<Writer>(std::move(file))), saving_(std::move(saving)) {
  life_->store = this;
  load();
}

FileUserDefaults::~FileUserDefaults() {
  {
    std::lock_guard lock(life_->mutex);
    life_->store = nullptr;
  }
  pending_.cancel();
  flush();
}

void FileUserDefaults::load() {
  const fs::path& file = writer_->file;
  writer_->target = file;
  std::error_code ec;
  if (fs::is_symlink(file, ec)) {
    // Saves go through the link to the file it names, so a dotfile manager's link stays.
    const fs::path resolved = fs::weakly_canonical(file, ec);
    if (!ec) writer_->target = resolved;
  }
  removeStaleTemporaries(writer_->target);
  FileRead read = readFileWithin(writer_->target, maxFileBytes);
  switch (read.outcome) {
    case FileRead::Outcome::missing:
      return;
    case FileRead::Outcome::tooLarge:
      setAside("is too large");
      return;
    case FileRead::Outcome::notRegular:
    case FileRead::Outcome::unreadable:
      loadError_ = "the settings file " + file.string() + " cannot be read (" + read.reason() + ")";
      writer_->blocked = *loadError_ + " and is left as it is";
      logLine("Quorvin started with empty settings: " + *loadError_);
      return;
    case FileRead::Outcome::ok:
      break;
  }
  auto values = parse(read.bytes);
  if (!values) {
    setAside("is not a settings file");
    return;
  }
  replaceAll(std::move(*values));
}

namespace {

// A number too large for a double parses as infinity, which Boost.JSON then writes in a
// form it cannot read back: one such value would make the next save unreadable and lose
// every setting. Nested ones become null; a top-level one is dropped.
void replaceNonFinite(json::value& value) {
  if (value.is_double() && !std::isfinite(value.get_double())) {
    value = nullptr;
  } else if (value.is_array()) {
    for (auto& element : value.get_array()) replaceNonFinite(element);
  } else if (value.is_object()) {
    for (auto& entry : value.get_object()) replaceNonFinite(entry.value());
  }
}

}  // namespace

std::optional<json::object> FileUserDefaults::parse(std::string_view bytes) {
  boost::system::error_code ec;
  json::value parsed = json::parse(bytes, ec);
  if (ec || !parsed.is_object()) return std::nullopt;
  json::object& values = parsed.get_object();
  for (auto it = values.begin(); it != values.end();) {
    if (it->value().is_double() && !std::isfinite(it->value().get_double())) {
      it = values.erase(it);
    } else {
      replaceNonFinite(it->value());
      ++it;
    }
  }
  return std::move(values);
}

void FileUserDefaults::setAside(const char* why) {
  const fs::path& file = writer_->target;
  const WallTime now = saving_ && saving_->clock ? saving_->clock->now() : std::chrono::system_clock::now();
  if (auto aside = moveAside(file, now)) {
    logLine("Quorvin settings file " + file.string() + " " + why + "; moved it to " + aside->filename().string() +
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
  pending_ = Task::start(saving_->executor, saveLater(life_, writer_, saving_->clock, saving_->pool));
}

std::optional<std::pair<uint64_t, std::string>> FileUserDefaults::takeForSave(Life& life) {
  std::lock_guard lock(life.mutex);
  FileUserDefaults* self = life.store;
  if (!self) return std::nullopt;
  {
    std::lock_guard scheduleLock(self->scheduleMutex_);
    self->scheduled_ = false;  // later changes schedule the next save
  }
  return self->serialize();
}

boost::asio::awaitable<void> FileUserDefaults::saveLater(std::shared_ptr<Life> life, std::shared_ptr<Writer> writer,
                                                         RuntimeClock* clock, BlockingPool* pool) {
  co_await clock->sleep(writeDelay);
  std::optional<std::pair<uint64_t, std::string>> state = takeForSave(*life);
  if (!state) co_return;  // the store is gone; its destructor saved
  if (!pool) {
    writer->save(state->first, state->second, nullptr);
    co_return;
  }
  auto job = [writer, state = std::move(*state)] { writer->save(state.first, state.second, nullptr); };
  co_await runBlocking(*pool, job);
}

void FileUserDefaults::flush() { saveNow(); }

bool FileUserDefaults::saveNow(std::string* reason) {
  auto [change, bytes] = serialize();
  return writer_->save(change, bytes, reason);
}

uint64_t FileUserDefaults::saves() const {
  std::lock_guard lock(writer_->mutex);
  return writer_->saves;
}

}  // namespace quorvin

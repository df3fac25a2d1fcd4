#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/MemoryUserDefaults.h"
#include "platform/RuntimeClock.h"
#include "platform/Task.h"

namespace quorvin {

class BlockingPool;

// The settings domain kept in memory and saved to one JSON file (normally
// Paths::defaultsFile()), mode 0600, replaced atomically. A change is saved at most
// `writeDelay` later, so a burst of changes costs one write; flush() saves at once (sleep,
// exit) and the destructor flushes.
//
// A file whose content does not parse (or is over the bound) is renamed aside
// ("defaults.json.corrupt-<time>") with one log line, and the store starts empty. A file
// that cannot be read (permissions, a folder in its place) is left untouched: the store
// starts empty, says why in loadError() and never saves over it. A symbolic link (a
// dotfile manager's) is followed for reading and writing, so the link stays.
//
// Safe to use and destroy from any thread.
class FileUserDefaults final : public MemoryUserDefaults {
 public:
  static constexpr Duration writeDelay{3000};
  static constexpr std::size_t maxFileBytes = 4 * 1024 * 1024;

  struct Saving {
    RuntimeClock* clock = nullptr;     // times the delayed save
    boost::asio::any_io_executor executor;  // where the delayed save runs
    BlockingPool* pool = nullptr;      // writes there when set, else on `executor`
  };

  // Without `saving`, changes reach the file only through flush() (command-line use).
  explicit FileUserDefaults(std::filesystem::path file, std::optional<Saving> saving = std::nullopt);
  ~FileUserDefaults() override;

  void flush() override;
  // Saves pending changes now; false with the reason when they could not be written.
  bool saveNow(std::string* reason = nullptr);
  // Why the file could not be read at start; none when it was read or did not exist.
  const std::optional<std::string>& loadError() const { return loadError_; }
  // The settings held by a file's bytes; none when they are not a JSON object.
  static std::optional<boost::json::object> parse(std::string_view bytes);
  const std::filesystem::path& file() const { return writer_->file; }
  // Saves done so far (tests).
  uint64_t saves() const;

 private:
  struct Writer {
    explicit Writer(std::filesystem::path file) : file(std::move(file)) {}
    const std::filesystem::path file;
    std::mutex mutex;
    std::filesystem::path target;        // where saves go: `file`, or the file its link names
    std::optional<std::string> blocked;  // set when the file must not be written over
    uint64_t savedChange = 0;  // the change count the file holds
    uint64_t saves = 0;
    // Writes `bytes` unless a newer state was saved already; false with the reason when
    // it could not.
    bool save(uint64_t change, const std::string& bytes, std::string* reason);
  };

  // What a delayed save may touch of the store: the store only while it is alive.
  struct Life {
    std::mutex mutex;
    FileUserDefaults* store = nullptr;
  };

  void changed() override;
  void load();
  void setAside(const char* why);
  static std::optional<std::pair<uint64_t, std::string>> takeForSave(Life& life);
  static boost::asio::awaitable<void> saveLater(std::shared_ptr<Life> life, std::shared_ptr<Writer> writer,
                                                RuntimeClock* clock, BlockingPool* pool);
  std::pair<uint64_t, std::string> serialize() const;

  std::shared_ptr<Writer> writer_;
  std::optional<std::string> loadError_;
  std::shared_ptr<Life> life_ = std::make_shared<Life>();
  std::optional<Saving> saving_;
  std::mutex scheduleMutex_;
  bool scheduled_ = false;
  Task pending_;
};

}  // namespace quorvin

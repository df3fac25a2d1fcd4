#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <filesystem>
#include <memory>
#include <optional>

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
// A file that cannot be read or parsed is renamed aside ("defaults.json.corrupt-<time>")
// with one log line, and the store starts empty.
//
// Use it from one thread (the model thread) when timed saving is on; reads and writes of
// values are safe from any thread.
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
  const std::filesystem::path& file() const { return writer_->file; }
  // Saves done so far (tests).
  uint64_t saves() const;

 private:
  struct Writer {
    explicit Writer(std::filesystem::path file) : file(std::move(file)) {}
    const std::filesystem::path file;
    std::mutex mutex;
    uint64_t savedChange = 0;  // the change count the file holds
    uint64_t saves = 0;
    // Writes `bytes` unless a newer state was saved already.
    void save(uint64_t change, const std::string& bytes);
  };

  void changed() override;
  void load();
  void setAside(const char* why);
  static boost::asio::awaitable<void> saveLater(FileUserDefaults* self, std::shared_ptr<Writer> writer,
                                                RuntimeClock* clock, BlockingPool* pool);
  std::pair<uint64_t, std::string> serialize() const;

  std::shared_ptr<Writer> writer_;
  std::optional<Saving> saving_;
  std::mutex scheduleMutex_;
  bool scheduled_ = false;
  Task pending_;
};

}  // namespace quorvin

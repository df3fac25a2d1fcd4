#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/AtomicFile.h"
#include "platform/BoundedFileRead.h"
#include "platform/SecretStore.h"

namespace quorvin {

namespace {

namespace json = boost::json;

constexpr size_t kMaxFileBytes = 1024 * 1024;

std::string hexOf(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::optional<std::string> bytesOfHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = nibble(hex[i]), low = nibble(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high << 4 | low));
  }
  return out;
}

SecretOutcome errnoOutcome(int error, const std::string& what) {
  return SecretOutcome::failed(error != 0 ? error : -1, what + ": " + std::strerror(error));
}

struct Item {
  std::string service;
  std::optional<std::string> account;
  std::string secret;
};

struct Loaded {
  SecretOutcome outcome;
  bool unreadable = false;
  std::vector<Item> items;
};

// One JSON file: {"items":[{"service":..,"account":..,"secret":hex}]}. The file is written whole,
// through a temporary file, fsync and rename, always 0600, so a crash leaves the old or the new one.
class FileSecretStore final : public SecretStore {
 public:
  explicit FileSecretStore(std::filesystem::path file) : file_(std::move(file)) {
    // Writers killed midway leave temporaries; earlier versions used one fixed name.
    removeStaleTemporaries(file_);
    ::unlink((file_.string() + ".tmp").c_str());
  }

  Read read(const std::string& service, const std::string& account, bool) override {
    std::lock_guard lock(mutex_);
    Loaded loaded = load();
    if (!loaded.outcome.ok()) return {loaded.outcome, {}};
    if (loaded.unreadable) return {unreadable(), {}};
    for (const Item& item : loaded.items) {
      if (item.service == service && item.account == account) return {SecretOutcome::success(), item.secret};
    }
    return {SecretOutcome::notFound(), {}};
  }

  Listing list(const std::string& service) override {
    std::lock_guard lock(mutex_);
    Listing listing;
    Loaded loaded = load();
    listing.outcome = loaded.outcome;
    listing.unreadable = loaded.unreadable;
    if (!loaded.outcome.ok() || loaded.unreadable) return listing;
    for (const Item& item : loaded.items) {
      if (item.service == service) listing.accounts.push_back(item.account);
    }
    if (listing.accounts.empty()) listing.outcome = SecretOutcome::notFound();
    return listing;
  }

  SecretOutcome update(const std::string& service, const std::string& account, const std::string& secret,
                       bool) override {
    std::lock_guard lock(mutex_);
    Loaded loaded = load();
    if (!loaded.outcome.ok()) return loaded.outcome;
    if (loaded.unreadable) return SecretOutcome::notFound();  // nothing usable to update: add sets it aside
    bool found = false;
    for (Item& item : loaded.items) {
      if (item.service == service && item.account == account) {
        item.secret = secret;
        found = true;
      }
    }
    return found ? store(loaded.items) : SecretOutcome::notFound();
  }

  SecretOutcome add(const std::string& service, const std::string& account, const std::string& secret,
                    bool) override {
    std::lock_guard lock(mutex_);
    Loaded loaded = load();
    if (!loaded.outcome.ok()) return loaded.outcome;
    if (loaded.unreadable) {
      // Adding must not be blocked forever by a damaged file: keep it aside and start afresh.
      std::error_code ignored;
      std::filesystem::rename(file_, file_.string() + ".unreadable", ignored);
      loaded.items.clear();
    }
    loaded.items.push_back({service, account, secret});
    return store(loaded.items);
  }

  SecretOutcome removeAll(const std::string& service, bool) override {
    std::lock_guard lock(mutex_);
    Loaded loaded = load();
    if (!loaded.outcome.ok()) return loaded.outcome;
    if (loaded.unreadable) {
      // Whatever it held cannot be used; removing it is what was asked.
      if (::unlink(file_.c_str()) != 0 && errno != ENOENT) return errnoOutcome(errno, "cannot remove " + file_.string());
      return SecretOutcome::success();
    }
    std::erase_if(loaded.items, [&service](const Item& item) { return item.service == service; });
    if (loaded.items.empty()) {
      if (::unlink(file_.c_str()) != 0 && errno != ENOENT) return errnoOutcome(errno, "cannot remove " + file_.string());
      return SecretOutcome::success();
    }
    return store(loaded.items);
  }

  std::string name() const override { return "file"; }

 private:
  static SecretOutcome unreadable() { return SecretOutcome::failed(-1, "the credential file is damaged"); }

  // A missing file is an empty store; a damaged one is reported, never thrown.
  Loaded load() {
    Loaded loaded;
    FileRead read = readFileWithin(file_, kMaxFileBytes, FollowLinks::no);
    switch (read.outcome) {
      case FileRead::Outcome::ok: break;
      case FileRead::Outcome::missing: return loaded;
      case FileRead::Outcome::tooLarge: loaded.unreadable = true; return loaded;
      case FileRead::Outcome::notRegular:
        loaded.outcome = SecretOutcome::failed(-1, "cannot open " + file_.string() + ": not a regular file");
        return loaded;
      case FileRead::Outcome::unreadable:
        loaded.outcome = errnoOutcome(read.error, "cannot read " + file_.string());
        return loaded;
    }
    const std::string& text = read.bytes;

    boost::system::error_code error;
    json::value root = json::parse(text, error);
    const json::object* object = error ? nullptr : root.if_object();
    const json::value* items = object != nullptr ? object->if_contains("items") : nullptr;
    if (items == nullptr || !items->is_array()) {
      loaded.unreadable = true;
      return loaded;
    }
    for (const json::value& entry : items->get_array()) {
      const json::object* fields = entry.if_object();
      const json::value* service = fields != nullptr ? fields->if_contains("service") : nullptr;
      const json::value* secret = fields != nullptr ? fields->if_contains("secret") : nullptr;
      const json::value* account = fields != nullptr ? fields->if_contains("account") : nullptr;
      if (service == nullptr || !service->is_string() || secret == nullptr || !secret->is_string()) {
        loaded.unreadable = true;
        return loaded;
      }
      std::optional<std::string> bytes = bytesOfHex(secret->get_string());
      if (!bytes) {
        loaded.unreadable = true;
        return loaded;
      }
      Item item{std::string(service->get_string()), std::nullopt, std::move(*bytes)};
      if (account != nullptr && account->is_string()) item.account = std::string(account->get_string());
      loaded.items.push_back(std::move(item));
    }
    return loaded;
  }

  SecretOutcome store(const std::vector<Item>& items) {
    json::array array;
    for (const Item& item : items) {
      json::object entry;
      entry["service"] = item.service;
      if (item.account) entry["account"] = *item.account;
      entry["secret"] = hexOf(item.secret);
      array.push_back(std::move(entry));
    }
    json::object root;
    root["items"] = std::move(array);
    std::string text = json::serialize(root);

    std::error_code ec;
    std::filesystem::path folder = file_.parent_path();
    std::filesystem::create_directories(folder, ec);
    if (ec) return SecretOutcome::failed(ec.value(), "cannot create " + folder.string() + ": " + ec.message());
    std::string error;
    if (!writeFileAtomically(file_, text, 0600, &error)) {
      return SecretOutcome::failed(errno != 0 ? errno : -1, "cannot replace " + file_.string() + ": " + error);
    }
    return SecretOutcome::success();
  }

  std::filesystem::path file_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<SecretStore> makeFileSecretStore(std::filesystem::path file) {
  return std::make_unique<FileSecretStore>(std::move(file));
}

}  // namespace quorvin

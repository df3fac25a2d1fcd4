#include "app/DefaultsCommand.h"

#include <charconv>
#include <cmath>
#include <iostream>
#include <memory>
#include <string>

#include "app/PlainJson.h"
#include "app/TerminalText.h"
#include "core/Utf8Text.h"
#include "platform/FileUserDefaults.h"
#include "platform/Paths.h"

namespace quorvin::app {

namespace {

struct DefaultsOptions {
  std::string key;
  std::string value;
  bool asString = false, asBool = false, asInt = false, asFloat = false;
};

std::optional<bool> parseBool(const std::string& text) {
  if (text == "true" || text == "yes" || text == "TRUE" || text == "YES") return true;
  if (text == "false" || text == "no" || text == "FALSE" || text == "NO") return false;
  return std::nullopt;
}

std::optional<int64_t> parseInt(const std::string& text) {
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> parseDouble(const std::string& text) {
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// The store of the user's settings file; none, with the reason on standard error, when
// the file exists but cannot be read (it is then left as it is).
std::unique_ptr<FileUserDefaults> openStore() {
  auto store = std::make_unique<FileUserDefaults>(Paths::fromEnvironment().defaultsFile());
  if (store->loadError()) {
    std::cerr << printable(*store->loadError()) << "\n";
    return nullptr;
  }
  return store;
}

int saved(FileUserDefaults& store) {
  std::string reason;
  if (store.saveNow(&reason)) return 0;
  std::cerr << "The settings could not be saved: " << printable(reason) << "\n";
  return 1;
}

int read(const DefaultsOptions& options) {
  auto store = openStore();
  if (!store) return 1;
  auto values = store->snapshot();
  if (options.key.empty()) {
    std::cout << plainJson(values) << "\n";
    return 0;
  }
  auto it = values.find(options.key);
  if (it == values.end()) {
    std::cerr << "The key " << printable(options.key) << " does not exist\n";
    return 1;
  }
  if (it->value().is_string()) {
    std::cout << printable(it->value().get_string()) << "\n";
  } else {
    std::cout << plainJson(it->value()) << "\n";
  }
  return 0;
}

int write(const DefaultsOptions& options) {
  const std::string& text = options.value;
  // The settings file is JSON, which is UTF-8: other bytes would be lost or would spoil it.
  if (!isValidUtf8(options.key) || !isValidUtf8(text)) {
    std::cerr << "The setting's " << (isValidUtf8(options.key) ? "value" : "name")
              << " is not valid UTF-8; nothing was changed\n";
    return 1;
  }
  auto store = openStore();
  if (!store) return 1;
  auto refuse = [&](const char* kind) {
    std::cerr << "\"" << printable(text) << "\" is not " << kind << "\n";
    return 1;
  };
  if (options.asString) {
    store->setString(options.key, text);
  } else if (options.asBool) {
    auto value = parseBool(text);
    if (!value) return refuse("true or false");
    store->setBoolean(options.key, *value);
  } else if (options.asInt) {
    auto value = parseInt(text);
    if (!value) return refuse("a 64-bit integer");
    store->setInteger(options.key, *value);
  } else if (options.asFloat) {
    auto value = parseDouble(text);
    if (!value) return refuse("a finite number");
    store->setNumber(options.key, *value);
  } else if (auto flag = parseBool(text)) {
    store->setBoolean(options.key, *flag);
  } else if (auto integer = parseInt(text)) {
    store->setInteger(options.key, *integer);
  } else if (auto number = parseDouble(text)) {
    store->setNumber(options.key, *number);
  } else {
    store->setString(options.key, text);
  }
  return saved(*store);
}

int remove(const DefaultsOptions& options) {
  auto store = openStore();
  if (!store) return 1;
  if (!store->contains(options.key)) {
    std::cerr << "The key " << printable(options.key) << " does not exist\n";
    return 1;
  }
  store->remove(options.key);
  return saved(*store);
}

}  // namespace

void registerDefaultsCommand(CLI::App& app, CommandRegistry& registry) {
  auto options = std::make_shared<DefaultsOptions>();
  auto* defaults = app.add_subcommand("defaults", "Read and change Quorvin's settings")->require_subcommand(1);
  defaults->footer(
      "Settings live in $XDG_CONFIG_HOME/quorvin/defaults.json. A running Quorvin keeps its own copy in memory "
      "and may write over changes made here; quit it first.");

  auto* readCommand = defaults->add_subcommand("read", "Print one setting, or all of them as JSON");
  readCommand->add_option("key", options->key, "Setting name");
  registry.onRun(readCommand, [options] { return read(*options); });

  auto* writeCommand = defaults->add_subcommand("write", "Set a setting; the type is guessed unless given");
  writeCommand->add_option("key", options->key, "Setting name")->required();
  writeCommand->add_option("value", options->value, "New value")->required();
  auto* asString = writeCommand->add_flag("--string", options->asString, "Store the value as text");
  auto* asBool = writeCommand->add_flag("--bool", options->asBool, "Store true or false");
  auto* asInt = writeCommand->add_flag("--int", options->asInt, "Store a 64-bit integer");
  auto* asFloat = writeCommand->add_flag("--float", options->asFloat, "Store a floating-point number");
  asString->excludes(asBool, asInt, asFloat);
  asBool->excludes(asInt, asFloat);
  asInt->excludes(asFloat);
  registry.onRun(writeCommand, [options] { return write(*options); });

  auto* deleteCommand = defaults->add_subcommand("delete", "Remove a setting");
  deleteCommand->add_option("key", options->key, "Setting name")->required();
  registry.onRun(deleteCommand, [options] { return remove(*options); });
}

}  // namespace quorvin::app

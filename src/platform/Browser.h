#pragma once

#include <string>
#include <string_view>

namespace quorvin {

// Opens web pages in the user's browser.
class Browser {
 public:
  virtual ~Browser() = default;
  // True when the opener started; false for anything but an absolute http or https URL.
  virtual bool open(std::string_view url) = 0;
};

// xdg-open in a session of its own, output discarded, reaped in the background.
class XdgBrowser final : public Browser {
 public:
  // `program` is looked up in PATH when it has no slash.
  explicit XdgBrowser(std::string program = "xdg-open") : program_(std::move(program)) {}
  bool open(std::string_view url) override;

 private:
  std::string program_;
};

}  // namespace quorvin

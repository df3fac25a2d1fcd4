#pragma once

#include <stdlib.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace quorvin::test {

namespace fs = std::filesystem;

// A fresh private folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag = "quorvin-test") {
    std::string pattern = (fs::temp_directory_path() / (tag + "-XXXXXX")).string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(std::string_view relative) const { return path_ / relative; }

 private:
  fs::path path_;
};

// Writes `content` to a file (and its folders); `mode` sets its permissions when given.
inline void writeFile(const fs::path& path, std::string_view content, fs::perms mode = fs::perms::unknown) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(content.data(), std::streamsize(content.size()));
  if (mode != fs::perms::unknown) fs::permissions(path, mode);
}

inline void appendFile(const fs::path& path, std::string_view content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::app).write(content.data(), std::streamsize(content.size()));
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Moves a file's modification time, so tests need not wait for the clock to tick.
inline void setModified(const fs::path& path, long seconds) {
  struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ::utimes(path.c_str(), times);
}

}  // namespace quorvin::test

#include "usage/FileStamp.h"

namespace quorvin {

std::optional<FileStamp> fileStamp(const std::string& path) noexcept {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{fileIdentityOf(st), static_cast<uint64_t>(st.st_size), modificationTimeOf(st)};
}

}  // namespace quorvin

#include "update/BundleArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "update/InstallError.h"

namespace quorvin {

namespace {

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string_view::npos) end = path.size();
    const auto part = path.substr(begin, end - begin);
    if (!part.empty() && part != ".") parts.push_back(part);
    begin = end + 1;
  }
  return parts;
}

// Entry names go into error texts: keep them printable and short.
std::string shown(std::string_view name) {
  std::string out;
  for (char c : name.substr(0, 200)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  return out;
}

[[noreturn]] void refuse(const std::string& why) { throw InstallError(InstallError::Kind::mountFailed, why); }

struct ReadArchive {
  archive* a = archive_read_new();
  ~ReadArchive() { archive_read_free(a); }
};
struct DiskWriter {
  archive* a = archive_write_disk_new();
  ~DiskWriter() { archive_write_free(a); }
};

}  // namespace

std::optional<std::string> BundleArchive::safeEntryName(std::string_view name) {
  if (name.empty() || name.size() > 1024 || name.front() == '/') return std::nullopt;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
  }
  const auto parts = components(name);
  if (parts.empty() || parts.front() != kBundleFolder) return std::nullopt;
  std::string clean;
  for (const auto part : parts) {
    if (part == "..") return std::nullopt;
    if (!clean.empty()) clean += '/';
    clean += part;
  }
  return clean;
}

bool BundleArchive::linkStaysInside(std::string_view cleanEntryName, std::string_view target) {
  if (target.empty() || target.front() == '/') return false;
  auto resolved = components(cleanEntryName);
  if (resolved.size() < 2) return false;  // the bundle folder itself is never a link
  resolved.pop_back();                    // the link itself
  for (const auto part : components(target)) {
    if (part == "..") {
      // Never above "Quorvin" itself.
      if (resolved.size() <= 1) return false;
      resolved.pop_back();
    } else {
      resolved.push_back(part);
    }
  }
  return !resolved.empty() && resolved.front() == kBundleFolder;
}

void BundleArchive::extract(const std::filesystem::path& tarball, const std::filesystem::path& destination) {
  // A canonical destination, so the symlink guard below never trips over a link the user
  // keeps above the data folder.
  char real[PATH_MAX];
  if (!::realpath(destination.c_str(), real)) refuse("The extraction folder is missing.");
  const std::string root = real;

  ReadArchive in;
  DiskWriter out;
  archive_read_support_filter_gzip(in.a);
  archive_read_support_format_tar(in.a);
  archive_write_disk_set_options(out.a, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                            ARCHIVE_EXTRACT_SECURE_NODOTDOT);
  if (archive_read_open_filename(in.a, tarball.c_str(), 1 << 16) != ARCHIVE_OK) {
    refuse(std::string("The archive could not be opened: ") + archive_error_string(in.a));
  }

  uint64_t total = 0;
  size_t entries = 0;
  archive_entry* entry = nullptr;
  for (;;) {
    const int status = archive_read_next_header(in.a, &entry);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK) refuse(std::string("The archive is damaged: ") + archive_error_string(in.a));
    if (++entries > kMaxEntries) refuse("The archive holds too many entries.");

    const char* rawName = archive_entry_pathname(entry);
    const std::string_view name = rawName ? rawName : "";
    const auto clean = safeEntryName(name);
    if (!clean) refuse("Unsafe archive entry: " + shown(name));

    const char* hardlink = archive_entry_hardlink(entry);
    const auto type = archive_entry_filetype(entry);
    if (hardlink) {
      const auto target = safeEntryName(hardlink);
      if (!target) refuse("Archive link leaves the bundle: " + shown(name));
      archive_entry_set_hardlink(entry, (root + "/" + *target).c_str());
    } else if (type == AE_IFLNK) {
      const char* target = archive_entry_symlink(entry);
      if (!target || !linkStaysInside(*clean, target)) refuse("Archive link leaves the bundle: " + shown(name));
    } else if (type != AE_IFREG && type != AE_IFDIR) {
      refuse("Unsupported archive entry type: " + shown(name));
    }

    const int64_t declared = archive_entry_size(entry);
    if (declared < 0 || static_cast<uint64_t>(declared) > kMaxTotalBytes - total) refuse("The archive is too large.");
    archive_entry_set_pathname(entry, (root + "/" + *clean).c_str());
    if (archive_write_header(out.a, entry) != ARCHIVE_OK) {
      refuse("Archive entry could not be written: " + shown(name) + ": " + archive_error_string(out.a));
    }
    if (!hardlink && type == AE_IFREG) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      for (;;) {
        const int r = archive_read_data_block(in.a, &block, &size, &offset);
        if (r == ARCHIVE_EOF) break;
        if (r != ARCHIVE_OK) refuse(std::string("The archive is damaged: ") + archive_error_string(in.a));
        total += size;
        if (total > kMaxTotalBytes) refuse("The archive is too large.");
        if (archive_write_data_block(out.a, block, size, offset) != ARCHIVE_OK) {
          refuse("Archive entry could not be written: " + shown(name) + ": " + archive_error_string(out.a));
        }
      }
    }
    if (archive_write_finish_entry(out.a) != ARCHIVE_OK) {
      refuse("Archive entry could not be written: " + shown(name) + ": " + archive_error_string(out.a));
    }
  }
  if (archive_write_close(out.a) != ARCHIVE_OK) refuse(std::string("Extraction failed: ") + archive_error_string(out.a));
}

}  // namespace quorvin

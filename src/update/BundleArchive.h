#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin {

// The release tarball: one top-level folder "Quorvin/" holding the bundle.
struct BundleArchive {
  static constexpr std::string_view kBundleFolder = "Quorvin";
  static constexpr uint64_t kMaxTotalBytes = 1ull << 30;  // 1 GiB unpacked
  static constexpr size_t kMaxEntries = 20'000;

  // An entry name that may be written under the extraction folder: relative, no "..", no
  // control characters, inside "Quorvin/". Returns the entry as a clean relative path
  // ("Quorvin/bin/quorvin"), or no value when the name is unsafe.
  static std::optional<std::string> safeEntryName(std::string_view name);
  // A symbolic link's target read relative to the link's own folder stays inside "Quorvin/".
  static bool linkStaysInside(std::string_view cleanEntryName, std::string_view target);

  // Extracts `tarball` into `destination` (an existing empty folder). Refuses absolute
  // paths, "..", links that leave the folder, devices and archives beyond the size bounds.
  // Throws InstallError::mountFailed with the reason.
  static void extract(const std::filesystem::path& tarball, const std::filesystem::path& destination);
};

}  // namespace quorvin

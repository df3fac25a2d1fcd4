#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/Time.h"

namespace quorvin {

// Replaces `file` with `bytes` so that a crash at any moment leaves either the old or the
// new content: a temporary file in the same folder, created owner-only, written and fsynced,
// given `mode`, renamed over `file`, then the folder fsynced. The temporary is named
// "." + name + ".tmp-XXXXXX". Returns false (with a reason in `error`, never the content,
// and errno kept) when it could not; the temporary is then gone.
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode = 0600,
                         std::string* error = nullptr);

// Removes temporaries that writers killed midway left beside `file`.
void removeStaleTemporaries(const std::filesystem::path& file);

// Renames a damaged `file` to "<file>.corrupt-<UTC time>" so that the next save cannot
// overwrite what the user may still want. The new path, or none when the rename failed.
std::optional<std::filesystem::path> moveAside(const std::filesystem::path& file, WallTime now);

}  // namespace quorvin

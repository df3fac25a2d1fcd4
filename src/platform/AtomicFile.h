#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace quorvin {

// Replaces `file` with `bytes` so that a crash at any moment leaves either the old or the
// new content: a temporary file in the same folder, written and fsynced, renamed over
// `file`, then the folder fsynced. The temporary is named "." + name + ".tmp-XXXXXX".
// Returns false (with a reason in `error`, never the content) when it could not.
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode = 0600,
                         std::string* error = nullptr);

// Removes temporaries that writers killed midway left beside `file`.
void removeStaleTemporaries(const std::filesystem::path& file);

}  // namespace quorvin

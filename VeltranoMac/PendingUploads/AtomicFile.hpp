#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

namespace veltrano {

// Replaces `directory/name` so that a crash at any moment leaves either the
// old or the new content: the bytes go to a temporary file in the same
// folder (".<name>.tmp.<pid>"), which is flushed to disk, renamed over the
// target, and then the folder itself is flushed so the rename is durable.
// The new file is readable by its owner only. Throws std::system_error
// naming the step that failed; the temporary file is then removed.
void writeFileAtomically(const std::filesystem::path& directory, std::string_view name, std::string_view bytes);

// Flushes the folder's entries (a new name, a rename) to disk.
void syncDirectory(const std::filesystem::path& directory);

// Deletes temporary files that writeFileAtomically left behind for `name`
// when a process died mid-write. Returns how many were removed.
std::size_t removeStaleTemporaryFiles(const std::filesystem::path& directory, std::string_view name);

}  // namespace veltrano

// "file:" URLs, as the pending uploads file writes clip paths: encoding and
// parsing.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// "file:///abs/path" with every byte outside the characters a URL path may
// hold percent-encoded, so any file name (spaces, '#', '?', '%', non-UTF-8
// bytes) survives the round trip. A relative path is made absolute first.
std::string fileURLString(const std::filesystem::path& path);

// `text` with every byte that may not stand in a URL path percent-encoded.
std::string percentEncodePath(std::string_view text);

// The local path of a "file:" URL: the scheme in any case, an empty or
// "localhost" authority (or none), a non-empty absolute path; query and
// fragment are not part of the path. nullopt for anything else, including
// malformed percent escapes and characters a URL cannot hold. Whatever
// fileURLString wrote reads back, even a path no file system would accept.
std::optional<std::filesystem::path> parseFileURL(std::string_view url);

}  // namespace veltrano

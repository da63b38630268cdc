#pragma once

// JSON from outside (request bodies, token parts) parsed with a nesting
// limit, so a hostile document cannot make the parser or a later walk over
// the value go arbitrarily deep.

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace veltrano::uploadservice {

// Nothing when `text` is not JSON or nests deeper than `maxDepth`.
std::optional<nlohmann::json> parseBoundedJson(std::string_view text, int maxDepth = 8);

}  // namespace veltrano::uploadservice

#include "BoundedJson.hpp"

namespace veltrano::uploadservice {

namespace {

struct TooDeep {};

}  // namespace

std::optional<nlohmann::json> parseBoundedJson(std::string_view text, int maxDepth) {
  const nlohmann::json::parser_callback_t limit = [maxDepth](
                                                      int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    if ((event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start) &&
        depth >= maxDepth)
      throw TooDeep{};
    return true;
  };
  try {
    return nlohmann::json::parse(text, limit);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  } catch (const TooDeep&) {
    return std::nullopt;
  }
}

}  // namespace veltrano::uploadservice

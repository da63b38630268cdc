#include "Confinement.hpp"

#include <nlohmann/json.hpp>

namespace veltrano::uploadservice {

namespace {

// Length of the UTF-8 sequence at `at`, or 0 when it is malformed, overlong,
// a surrogate, beyond U+10FFFF or a C1 control.
std::size_t utf8Sequence(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  char32_t code = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3f);
  }
  const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (code < smallest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  if (code >= 0x80 && code <= 0x9f) return 0;
  return length;
}

bool digits(std::string_view text, std::size_t from, std::size_t count) {
  for (std::size_t i = from; i < from + count; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

}  // namespace

std::optional<SignedURLRequest> SignedURLRequest::fromJson(const nlohmann::json& body) {
  if (!body.is_object()) return std::nullopt;
  SignedURLRequest request;
  for (auto [name, member] : {std::pair{"userId", &request.userId}, std::pair{"sessionId", &request.sessionId},
                              std::pair{"answerId", &request.answerId}, std::pair{"objectPath", &request.objectPath}}) {
    const auto found = body.find(name);
    if (found == body.end() || !found->is_string()) return std::nullopt;
    *member = found->get<std::string>();
  }
  return request;
}

bool isSafeId(std::string_view id) {
  if (id.empty() || id == "." || id == "..") return false;
  for (std::size_t at = 0; at < id.size();) {
    const auto c = static_cast<unsigned char>(id[at]);
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
    const std::size_t length = utf8Sequence(id, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

bool isAnswerStamp(std::string_view stamp) {
  return stamp.size() == 20 && digits(stamp, 0, 4) && stamp[4] == '-' && digits(stamp, 5, 2) && stamp[7] == '-' &&
         digits(stamp, 8, 2) && stamp[10] == 'T' && digits(stamp, 11, 2) && stamp[13] == '-' && digits(stamp, 14, 2) &&
         stamp[16] == '-' && digits(stamp, 17, 2) && stamp[19] == 'Z';
}

std::optional<std::string> confinementRefusal(const SignedURLRequest& request, const std::string* tokenUser,
                                              std::size_t maxKeyBytes) {
  if (tokenUser && request.userId != *tokenUser) return "userId is not the token's user";
  for (const auto& [name, id] : {std::pair{"userId", &request.userId}, std::pair{"sessionId", &request.sessionId},
                                 std::pair{"answerId", &request.answerId}})
    if (!isSafeId(*id)) return std::string(name) + " is not a safe path segment";
  if (request.objectPath.size() > maxKeyBytes) return "objectPath is longer than " + std::to_string(maxKeyBytes);
  const std::string prefix = request.userId + "/" + request.sessionId + "/" + request.answerId + "/";
  const std::string_view path = request.objectPath;
  constexpr std::string_view suffix = ".mp4";
  if (path.size() != prefix.size() + 20 + suffix.size() || path.substr(0, prefix.size()) != prefix ||
      !isAnswerStamp(path.substr(prefix.size(), 20)) || path.substr(prefix.size() + 20) != suffix)
    return "objectPath is not userId/sessionId/answerId/<stamp>.mp4";
  return std::nullopt;
}

}  // namespace veltrano::uploadservice

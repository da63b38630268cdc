#include "Bridge/BridgeEnvelope.hpp"

#include "Support/Text.hpp"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>

namespace veltrano {

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
constexpr std::string_view kReplacementEscape = "\\ufffd";

std::optional<std::uint32_t> hexQuad(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const char c = text[at + i];
    value <<= 4;
    if (c >= '0' && c <= '9')
      value |= static_cast<std::uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      value |= static_cast<std::uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      value |= static_cast<std::uint32_t>(c - 'A' + 10);
    else
      return std::nullopt;
  }
  return value;
}

bool isHighSurrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

nlohmann::json makeSuccessEnvelope(nlohmann::json data) {
  return nlohmann::json{{"ok", true}, {"data", std::move(data)}};
}

nlohmann::json makeFailureEnvelope(std::string_view code, std::string_view message) {
  return nlohmann::json{{"ok", false}, {"code", std::string(code)}, {"message", std::string(message)}};
}

std::string serializeEnvelope(const nlohmann::json& envelope) noexcept {
  try {
    return envelope.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    // Only running out of memory gets here; a short fixed text still settles
    // the page's promise.
    return R"({"ok":false,"code":"internal","message":"Bridge reply could not be encoded"})";
  }
}

std::string repairJsonText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool inString = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      const std::size_t length = utf8SequenceLength(text.substr(i));
      if (length == 0) {
        out += kReplacementUtf8;
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    if (!inString) {
      if (c == '"') inString = true;
      out += c;
      ++i;
      continue;
    }
    if (c == '"') {
      inString = false;
      out += c;
      ++i;
      continue;
    }
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    // An escape. Only \uXXXX needs a look; the escaped character of any other
    // is copied with it so an escaped quote does not end the string.
    if (i + 1 >= text.size()) {
      out += c;
      ++i;
      continue;
    }
    const char next = text[i + 1];
    if (next != 'u') {
      out += c;
      if (static_cast<unsigned char>(next) < 0x80) {
        out += next;
        i += 2;
      } else {
        ++i;  // the byte is checked as UTF-8 on the next round
      }
      continue;
    }
    const auto unit = hexQuad(text, i + 2);
    if (!unit) {  // malformed; the parser reports it
      out += "\\u";
      i += 2;
      continue;
    }
    if (isHighSurrogate(*unit)) {
      const bool pairFollows = i + 7 < text.size() && text[i + 6] == '\\' && text[i + 7] == 'u';
      const auto second = pairFollows ? hexQuad(text, i + 8) : std::nullopt;
      if (second && isLowSurrogate(*second)) {
        out.append(text.substr(i, 12));
        i += 12;
      } else {
        out += kReplacementEscape;
        i += 6;
      }
      continue;
    }
    if (isLowSurrogate(*unit)) {
      out += kReplacementEscape;
    } else {
      out.append(text.substr(i, 6));
    }
    i += 6;
  }
  return out;
}

nlohmann::json parseMessageBody(std::string_view jsonText) noexcept {
  try {
    return nlohmann::json::parse(repairJsonText(jsonText), nullptr, /*allow_exceptions=*/false);
  } catch (...) {
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
}

std::string formatInternetDateTime(std::chrono::system_clock::time_point time) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

BridgeReply& BridgeReply::operator=(BridgeReply&& other) noexcept {
  if (this != &other) {
    // The envelope this reply still owed must not be lost by reassignment.
    sendHandlerUnavailable();
    callback_ = std::exchange(other.callback_, nullptr);
  }
  return *this;
}

BridgeReply::~BridgeReply() {
  sendHandlerUnavailable();
}

void BridgeReply::sendHandlerUnavailable() noexcept {
  if (!callback_) return;
  try {
    send(makeFailureEnvelope(bridge_code::internal, bridge_message::handlerUnavailable));
  } catch (...) {
    // Building the envelope ran out of memory; send the same text by hand.
    auto callback = std::exchange(callback_, nullptr);
    try {
      callback(R"({"ok":false,"code":"internal","message":"Bridge handler unavailable"})");
    } catch (...) {
    }
  }
}

void BridgeReply::send(const nlohmann::json& envelope) noexcept {
  if (!callback_) return;
  auto callback = std::exchange(callback_, nullptr);
  try {
    callback(serializeEnvelope(envelope));
  } catch (...) {
    // The glue's callback must not throw; if it does, the reply is spent
    // anyway and the error stays here rather than unwinding into WebKit.
  }
}

}  // namespace veltrano

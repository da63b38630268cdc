// The bridge's reply envelope: failure codes and messages, JSON text to and
// from the page, and the reply that is sent exactly once.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace veltrano {

// Failure codes and the fixed messages of the reply envelope.
namespace bridge_code {
inline constexpr std::string_view invalidBody = "invalid_body";
inline constexpr std::string_view missingMethod = "missing_method";
inline constexpr std::string_view unknownMethod = "unknown_method";
inline constexpr std::string_view invalidPayload = "invalid_payload";
inline constexpr std::string_view cameraUnavailable = "camera_unavailable";
inline constexpr std::string_view recordingStopFailed = "recording_stop_failed";
inline constexpr std::string_view uploadFailed = "upload_failed";
inline constexpr std::string_view enterAnswerFailed = "enter_answer_failed";
inline constexpr std::string_view internal = "internal";
}  // namespace bridge_code

namespace bridge_message {
inline constexpr std::string_view invalidBody = "Expected a JSON object body";
inline constexpr std::string_view missingMethod = "Missing or empty \"method\"";
inline constexpr std::string_view unknownMethodPrefix = "Unknown method: ";
inline constexpr std::string_view missingIdToken = "Missing or empty \"idToken\"";
inline constexpr std::string_view handlerUnavailable = "Bridge handler unavailable";
}  // namespace bridge_message

// {"ok": true, "data": data} and {"ok": false, "code": code, "message": message};
// an envelope never has other keys.
nlohmann::json makeSuccessEnvelope(nlohmann::json data);
nlohmann::json makeFailureEnvelope(std::string_view code, std::string_view message);

// The envelope as JSON text for the page. Never throws: text that is not
// valid UTF-8 (a method name or an error description taken from the page)
// goes out with U+FFFD in place of the bad bytes.
std::string serializeEnvelope(const nlohmann::json& envelope) noexcept;

// The body of a script message, from the JSON text the web view gives for
// it. JavaScript strings may hold lone UTF-16 surrogates, which strict JSON
// parsers reject; they (and any invalid UTF-8) become U+FFFD so the rest of
// the message still counts. Text that is no JSON at all yields a discarded
// value, which the dispatch answers as "invalid_body". Never throws.
nlohmann::json parseMessageBody(std::string_view jsonText) noexcept;

// The same repair on its own: lone surrogate escapes inside JSON strings and
// invalid UTF-8 anywhere become U+FFFD; everything else is left as it is.
std::string repairJsonText(std::string_view jsonText);

// UTC internet date-time with whole seconds and the zone letter Z, such as
// 2026-01-31T09:05:00Z.
std::string formatInternetDateTime(std::chrono::system_clock::time_point time);

// Sends one envelope to the page, exactly once: a reply that is dropped
// without having been sent (its task never ran to the end, the main loop
// went away) sends "internal" / "Bridge handler unavailable" on its way out,
// so the page's promise never hangs. Move-only.
class BridgeReply {
 public:
  using Callback = std::function<void(std::string envelopeJson)>;

  explicit BridgeReply(Callback callback) noexcept : callback_(std::move(callback)) {}
  BridgeReply(BridgeReply&& other) noexcept : callback_(std::exchange(other.callback_, nullptr)) {}
  BridgeReply& operator=(BridgeReply&& other) noexcept;
  BridgeReply(const BridgeReply&) = delete;
  BridgeReply& operator=(const BridgeReply&) = delete;
  ~BridgeReply();

  // The first call sends; later calls do nothing. Never throws.
  void send(const nlohmann::json& envelope) noexcept;
  bool isPending() const noexcept { return static_cast<bool>(callback_); }

 private:
  void sendHandlerUnavailable() noexcept;

  Callback callback_;
};

}  // namespace veltrano

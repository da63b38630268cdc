#include "Bridge/BridgeCameraMethods.hpp"

#include "Bridge/BridgeEnvelope.hpp"
#include "Runtime/ErrorDescription.hpp"

#include <exception>
#include <string>
#include <variant>

namespace veltrano {

namespace {

const nlohmann::json* payloadOf(const nlohmann::json& body) {
  auto it = body.find("payload");
  return it == body.end() || it->is_null() ? nullptr : &*it;
}

// The width asked for, or the invalid_payload envelope.
std::variant<int, nlohmann::json> previewWidth(const nlohmann::json& body) {
  const nlohmann::json* payload = payloadOf(body);
  if (!payload) return kPreviewDefaultWidth;
  if (!payload->is_object())
    return makeFailureEnvelope(bridge_code::invalidPayload, "The \"startPreview\" payload must be an object");
  auto it = payload->find("maxWidth");
  if (it == payload->end() || it->is_null()) return kPreviewDefaultWidth;
  // JSON.stringify writes a whole number without a fraction.
  const bool whole = it->is_number_integer();
  if (!whole || it->get<long long>() < kPreviewMinWidth || it->get<long long>() > kPreviewMaxWidth)
    return makeFailureEnvelope(bridge_code::invalidPayload, "\"maxWidth\" must be a whole number from 16 to 3840");
  return static_cast<int>(it->get<long long>());
}

nlohmann::json failureEnvelope(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const BridgeFailure& failure) {
    return makeFailureEnvelope(failure.code(), failure.what());
  } catch (...) {
    return makeFailureEnvelope(bridge_code::internal, describe(std::current_exception()));
  }
}

}  // namespace

Awaitable<nlohmann::json> handleStartPreview(CameraControls& cameras, const nlohmann::json& body) {
  auto width = previewWidth(body);
  if (auto* invalid = std::get_if<nlohmann::json>(&width)) co_return std::move(*invalid);
  std::exception_ptr error;
  try {
    co_return makeSuccessEnvelope(co_await cameras.startPreview(std::get<int>(width)));
  } catch (...) {
    error = std::current_exception();
  }
  co_return failureEnvelope(error);
}

nlohmann::json handleStopPreview(CameraControls& cameras) {
  cameras.stopPreview();
  return makeSuccessEnvelope(nlohmann::json::object());
}

nlohmann::json handleListCameras(CameraControls& cameras) {
  return makeSuccessEnvelope(cameras.listCameras());
}

nlohmann::json handleSelectCamera(CameraControls& cameras, const nlohmann::json& body) {
  const nlohmann::json* payload = payloadOf(body);
  auto id = payload && payload->is_object() ? payload->find("id") : nlohmann::json::const_iterator{};
  const bool valid = payload && payload->is_object() && id != payload->end() &&
                     (id->is_null() || (id->is_string() && !id->get_ref<const std::string&>().empty()));
  if (!valid)
    return makeFailureEnvelope(
        bridge_code::invalidPayload, "\"selectCamera\" needs {\"id\": a camera id, or null for the system default}");
  try {
    return makeSuccessEnvelope(
        cameras.selectCamera(id->is_null() ? std::nullopt : std::optional(id->get<std::string>())));
  } catch (...) {
    return failureEnvelope(std::current_exception());
  }
}

}  // namespace veltrano

// Every body the page can post gets exactly one reply, and that reply is a
// well-formed envelope: valid UTF-8 JSON with exactly the envelope's keys.
#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "FuzzBodies.hpp"
#include "Recording/RecordingError.hpp"

#include <glib.h>

#include <memory>
#include <stdexcept>

using namespace veltrano;

namespace {

// Picks an outcome from the payload so every branch of the error mapping is
// reachable, and echoes page text back into replies and error descriptions.
class FuzzCoordinator final : public AnswerRecordingCoordinatorProtocol {
 public:
  Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload payload) override {
    switch (payload.userId.size() % 6) {
      case 0: co_return nlohmann::json{{"status", "recording"}, {"answerId", payload.answerId.value_or("")}};
      case 1: throw RecordingError::cameraSetupFailed(std::make_exception_ptr(std::runtime_error(payload.sessionId)));
      case 2: throw RecordingError::recordingStopFailed(std::make_exception_ptr(std::runtime_error(payload.idToken)));
      case 3: throw RecordingError::uploadFailed(nullptr);
      case 4: throw std::runtime_error(payload.idToken);
      default: throw 42;
    }
  }
  Awaitable<void> finalizeForTermination(bool) override { co_return; }
  Awaitable<void> retryPendingUploads(std::string idToken) override {
    if (idToken == "throw") throw std::logic_error(idToken);
    co_return;
  }
};

// The camera methods with page text echoed into lists and failures; the
// width picks the outcome of a start.
class FuzzCameras final : public CameraControls {
 public:
  explicit FuzzCameras(const std::string& input) : input_(input) {}
  Awaitable<nlohmann::json> startPreview(int maxWidth) override {
    switch (maxWidth % 3) {
      case 0: co_return nlohmann::json{{"url", "app://local/__veltrano/preview"}, {"width", maxWidth}, {"height", 1}};
      case 1: throw BridgeFailure("camera_unavailable", input_);
      default: throw std::runtime_error(input_);
    }
  }
  void stopPreview() override {}
  nlohmann::json listCameras() override {
    return nlohmann::json::array({{{"id", input_}, {"name", input_}, {"isDefault", true}, {"isSelected", false}}});
  }
  nlohmann::json selectCamera(const std::optional<std::string>& id) override {
    if (id && id->size() % 2 == 1) throw BridgeFailure("camera_unavailable", *id);
    return listCameras();
  }

 private:
  const std::string& input_;
};

struct Harness {
  Harness()
      : glib(g_main_context_new()),
        main(glib),
        handler(std::make_shared<VeltranoBridgeMessageHandler>(
            std::make_shared<FuzzCoordinator>(), [] { return std::chrono::system_clock::time_point{}; },
            // The snapshot carries the input's raw bytes, as a clip's file
            // name can carry any bytes.
            [this] {
              return nlohmann::json{{"clips", {{{"clipId", input}, {"error", input}}}}, {"pending", input.size()}};
            },
            std::make_shared<FuzzCameras>(input))) {}
  GMainContext* glib;
  MainContext main;
  std::string input;
  std::shared_ptr<VeltranoBridgeMessageHandler> handler;
};

void checkEnvelope(const std::string& text) {
  nlohmann::json envelope;
  try {
    envelope = nlohmann::json::parse(text);  // strict: rejects invalid UTF-8
  } catch (const std::exception&) {
    fuzzing::fail("reply is not valid JSON");
  }
  if (!envelope.is_object() || !envelope.contains("ok") || !envelope["ok"].is_boolean()) fuzzing::fail("no ok");
  if (envelope["ok"].get<bool>()) {
    if (envelope.size() != 2 || !envelope.contains("data")) fuzzing::fail("success keys");
  } else {
    if (envelope.size() != 3 || !envelope["code"].is_string() || !envelope["message"].is_string())
      fuzzing::fail("failure keys");
    if (envelope["code"].get_ref<const std::string&>().empty()) fuzzing::fail("empty code");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Logger::setSink(std::make_shared<fuzzing::DiscardingLogSink>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness* harness = new Harness();  // one main loop for the whole run
  harness->input.assign(reinterpret_cast<const char*>(data), size);
  int replies = 0;
  std::string reply;
  VeltranoBridgeMessageHandler::receive(
      harness->handler, harness->main.get_executor(), fuzzing::bodyFromBytes(data, size), [&](std::string envelope) {
        ++replies;
        reply = std::move(envelope);
      });
  if (replies != 0) fuzzing::fail("replied before the main loop ran");
  while (g_main_context_iteration(harness->glib, FALSE)) {
  }
  if (replies != 1) fuzzing::fail("not exactly one reply");
  checkEnvelope(reply);
  return 0;
}

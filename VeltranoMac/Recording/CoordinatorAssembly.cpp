#include "Recording/CoordinatorAssembly.hpp"

#include "Capture/WebcamRecorder.hpp"

#include <chrono>
#include <utility>

namespace veltrano {

std::shared_ptr<AnswerRecordingCoordinator> assembleAnswerRecordingCoordinator(CoordinatorAssembly assembly) {
  WorkerThread& worker = assembly.worker;
  const SleepFunction sleep = makeTimerSleep(worker.context());
  const asio::any_io_executor main = assembly.main;
  const WallClock now = [] { return std::chrono::system_clock::now(); };
  auto cameras = std::move(assembly.cameras);
  auto client = std::move(assembly.uploads);
  auto store = std::move(assembly.store);
  auto paths = std::make_shared<AnswerObjectPathIssuer>();
  auto status = assembly.clipStatus;

  AnswerRecordingCoordinator::Parts parts(worker.makeStrand(), main, worker.context().get_executor());
  parts.makeRecorder = [cameras, sleep]() -> std::shared_ptr<AnswerRecordingVideoRecorder> {
    return WebcamRecorder::create(cameras, sleep);
  };
  parts.uploadRecordedVideo = [client, store, main, paths, now, status](
                                  FinishedClip clip, std::string idToken, RecordStored stored) {
    return writeAheadUpload(
        client, store, main, paths, now, std::move(clip), std::move(idToken), std::move(stored), status);
  };
  parts.chunkRotationDelay = AnswerRecordingCoordinator::rotationDelayOf(sleep);
  parts.makeTempRecordingURL = [folder = std::move(assembly.recordingsFolder)] { return makeClipFileURL(folder); };
  parts.store = store;
  parts.retryUpload = [client, main, status](PendingUploadRecord record) {
    return directUpload(client, main, std::move(record), status);
  };
  parts.retryUploadSleep = AnswerRecordingCoordinator::nanosecondSleepOf(sleep);
  parts.chunkRestartSleep = AnswerRecordingCoordinator::nanosecondSleepOf(sleep);
  parts.objectPaths = paths;
  parts.now = now;
  parts.recordingStateChanged = std::move(assembly.recordingStateChanged);
  parts.clipStatus = std::move(status);
  return AnswerRecordingCoordinator::create(std::move(parts));
}

}  // namespace veltrano

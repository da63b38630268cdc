#include "Capture/CameraSourceFactory.hpp"
#include "Capture/WebcamRecorder.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Recording/AnswerRecordingCoordinator.hpp"
#include "Runtime/MainExecutor.hpp"
#include "Runtime/ProcessConfiguration.hpp"
#include "Runtime/WorkerThread.hpp"
#include "Upload/AnswerVideoUploadClient.hpp"

namespace veltrano {

namespace {

// The process-wide parts live for the whole process; the coordinator only
// borrows them.
template <typename T>
std::shared_ptr<T> borrowed(T& object) {
  return std::shared_ptr<T>(&object, [](T*) {});
}

}  // namespace

std::shared_ptr<AnswerRecordingCoordinator> AnswerRecordingCoordinator::shared() {
  // Leaked on purpose: tasks on the worker may still hold it when static
  // destructors run.
  static const auto* const instance = [] {
    const ProcessConfiguration& configuration = processConfiguration();
    WorkerThread& worker = WorkerThread::shared();
    const SleepFunction sleep = makeTimerSleep(worker.context());
    std::shared_ptr<CameraSourceFactory> cameras =
        configuration.cameraSources ? configuration.cameraSources : SystemCameraSourceFactory::shared();
    auto client = borrowed<const AnswerVideoUploadClientProtocol>(AnswerVideoUploadClient::shared());
    auto store = borrowed<PendingUploadsStoreProtocol>(PendingUploadsStore::shared());
    auto paths = borrowed(AnswerObjectPathIssuer::shared());
    const asio::any_io_executor main(MainContext::shared().get_executor());
    const WallClock now = [] { return std::chrono::system_clock::now(); };

    Parts parts(worker.makeStrand(), main, worker.context().get_executor());
    parts.makeRecorder = [cameras, sleep]() -> std::shared_ptr<AnswerRecordingVideoRecorder> {
      return WebcamRecorder::create(cameras, sleep);
    };
    parts.uploadRecordedVideo = [client, store, main, paths, now](std::filesystem::path fileURL, std::string userId,
                                                                  std::string sessionId, std::string answerId,
                                                                  std::string idToken, RecordStored stored) {
      return writeAheadUpload(client, store, main, paths, now, std::move(fileURL), std::move(userId),
                              std::move(sessionId), std::move(answerId), std::move(idToken), std::move(stored));
    };
    parts.chunkRotationDelay = rotationDelayOf(sleep);
    parts.makeTempRecordingURL = [] { return makeClipFileURL(recordingsDirectoryURL()); };
    parts.store = store;
    parts.retryUpload = [client, main](PendingUploadRecord record) {
      return directUpload(client, main, std::move(record));
    };
    parts.retryUploadSleep = nanosecondSleepOf(sleep);
    parts.chunkRestartSleep = nanosecondSleepOf(sleep);
    parts.objectPaths = paths;
    parts.now = now;
    return new std::shared_ptr<AnswerRecordingCoordinator>(create(std::move(parts)));
  }();
  return *instance;
}

}  // namespace veltrano

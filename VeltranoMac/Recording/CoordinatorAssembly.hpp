// How a program puts the shipping coordinator together from the parts its
// entry built: the webcam recorder, the write-ahead upload path and the
// retries over one upload client and one store.
#pragma once

#include "Capture/CameraSourceFactory.hpp"
#include "PendingUploads/PendingUploadsStoreProtocol.hpp"
#include "Recording/AnswerRecordingCoordinator.hpp"
#include "Runtime/WorkerThread.hpp"
#include "Upload/AnswerVideoUploadClientProtocol.hpp"

#include <filesystem>
#include <memory>

namespace veltrano {

struct CoordinatorAssembly {
  WorkerThread& worker;        // the coordinator's strand, its sleeps and intermediate uploads
  asio::any_io_executor main;  // the main actor: recorder calls and uploads
  std::shared_ptr<CameraSourceFactory> cameras;
  std::shared_ptr<const AnswerVideoUploadClientProtocol> uploads;
  std::shared_ptr<PendingUploadsStoreProtocol> store;
  std::filesystem::path recordingsFolder;  // where clip files are written
  // Who hears of the recording states and of every clip's steps; may be
  // empty (a program without a page).
  RecordingStateObserver recordingStateChanged{};
  std::shared_ptr<ClipStatusObserver> clipStatus{};
};

// The parts must outlive every task the coordinator starts (in the
// programs: the process).
std::shared_ptr<AnswerRecordingCoordinator> assembleAnswerRecordingCoordinator(CoordinatorAssembly assembly);

}  // namespace veltrano

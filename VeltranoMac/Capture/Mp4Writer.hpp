// The writer that encodes a clip into an H.264 MP4 file (appsrc ! x264enc !
// h264parse ! mp4mux ! filesink).
#pragma once

#include "Capture/GStreamer.hpp"

#include <gst/app/gstappsrc.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

namespace veltrano {

// The asset writer: appsrc ! x264enc ! h264parse ! mp4mux ! filesink.
// H.264 High profile at an average 2,000,000 bit/s, a keyframe at least
// every 60 frames, no B-frames, tuned for latency so frames reach the file
// as they come. The input is fed in real time: a frame it cannot take at
// once is dropped, never queued.
//
// append() and the readiness test are for one feeding thread; finish() and
// close() may come from another. Completion handlers run on GStreamer's
// threads and must only post work onward.
class Mp4Writer {
 public:
  static constexpr int kAverageBitRateKbit = 2000;
  static constexpr int kMaxKeyFrameInterval = 60;
  // Enough to ride out the encoder's set-up after the first frame (about
  // 100 ms) without dropping; beyond that, frames are dropped.
  static constexpr unsigned kInputQueueFrames = 4;

  // Loads the encoder, parser and muxer plugins once per process, so the
  // first clip does not pay for loading them between its first frames.
  static void preload();

  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // Builds the writer for frames described by `caps` (raw video, width and
  // height at least 1) and starts it. nullptr when any step fails.
  // `onSampleWritten(index)` runs as each frame reaches the file (index 0
  // first), on a streaming thread; `onInputSpace` runs there each time a
  // frame leaves the input, making room for another.
  static std::shared_ptr<Mp4Writer> create(const std::filesystem::path& file, GstCaps* caps,
                                           std::function<void(std::uint64_t)> onSampleWritten,
                                           std::function<void()> onInputSpace = {});

  bool isReadyForMoreMediaData() const;
  // Takes the buffer. False when the writer refused it.
  bool append(GstBuffer* buffer);
  // Takes the buffer even when the input is full: for the few frames a clip
  // must not lose when no more will follow (the caller bounds them).
  bool appendBeyondLimit(GstBuffer* buffer);
  // The format the writer was built for.
  GstCaps* caps() const noexcept { return caps_.get(); }
  // The error the writer failed with, or null while it is healthy.
  std::exception_ptr failure() const;

  // Ends the input and finishes the file; `completion` gets null or the
  // writer's error, exactly once, on a GStreamer thread. Every call is
  // answered with that one outcome: one made while finishing when it ends,
  // one made after at once, on the calling thread.
  void finish(std::function<void(std::exception_ptr)> completion);
  // Stops the pipeline and closes the file; a finish still waiting then
  // fails. Idempotent; never call it from one of the writer's own streaming
  // threads.
  void close();

  // Frames that have reached the file so far.
  std::uint64_t framesWritten() const noexcept;

 private:
  struct Shared;
  Mp4Writer() = default;

  ElementPtr pipeline_;
  GstAppSrc* input_ = nullptr;  // owned by the pipeline
  CapsPtr caps_;
  std::shared_ptr<Shared> shared_;
  std::atomic<bool> closed_{false};
};

}  // namespace veltrano

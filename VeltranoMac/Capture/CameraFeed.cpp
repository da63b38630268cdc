#include "Capture/CameraFeed.hpp"

#include "Capture/CameraSourceFactory.hpp"
#include "Capture/RecorderError.hpp"

#include <algorithm>

namespace veltrano {

struct CameraFeed::AttachmentState {
  AttachmentState(FrameHandler handler, Role role) : onFrame(std::move(handler)), role(role) {}

  FrameHandler onFrame;
  const Role role;
  const std::shared_ptr<SessionNotifications> notifications = std::make_shared<SessionNotifications>();
  // Guarded by the feed's routing lock.
  bool started = false;
  bool detached = false;
};

namespace {

// A frame kept for a hand-over is copied out of the camera's buffers: a
// camera may have only a few, and holding them would stall it.
SamplePtr deepCopy(GstSample* sample) {
  GstBuffer* copy = gst_buffer_copy_deep(gst_sample_get_buffer(sample));
  SamplePtr out(gst_sample_new(copy, gst_sample_get_caps(sample), gst_sample_get_segment(sample), nullptr));
  gst_buffer_unref(copy);
  return out;
}

bool sameFormat(GstSample* a, GstSample* b) {
  GstCaps* left = gst_sample_get_caps(a);
  GstCaps* right = gst_sample_get_caps(b);
  return left == right || (left && right && gst_caps_is_equal(left, right));
}

template <typename T>
void eraseOne(std::vector<T>& items, const T& item) {
  items.erase(std::remove(items.begin(), items.end(), item), items.end());
}

}  // namespace

std::shared_ptr<CameraFeed> CameraFeed::create() {
  return std::shared_ptr<CameraFeed>(new CameraFeed());
}

CameraFeed::CameraFeed() : queue_(std::make_shared<SerialQueue>("com.brackwood.veltranoMac.webcam.feed")) {
  ensureGStreamer();
}

CameraFeed::~CameraFeed() {
  lingerTask_.cancel();
  windowTask_.cancel();
  // The pipeline's callbacks use this object: it goes first, and with it
  // every streaming thread.
  std::lock_guard life(lifecycleMutex_);
  for (auto& observer : sessionObservers_) observer.remove();
  session_.reset();
}

bool CameraFeed::isOpen() const {
  return open_.load();
}

std::size_t CameraFeed::attachmentCount() const {
  std::lock_guard lock(routeMutex_);
  return attachments_.size();
}

CameraFeed::Statistics CameraFeed::statistics() const {
  std::lock_guard lock(routeMutex_);
  return statistics_;
}

std::unique_ptr<CameraFeed::Attachment> CameraFeed::prepare(CameraSourceFactory& sources, FrameHandler onFrame,
                                                            Timers timers, Role role) {
  std::lock_guard life(lifecycleMutex_);
  if (!session_) {
    ElementPtr source = sources.makeSource();
    if (!source) throw RecorderError(RecorderError::Case::noVideoDevice);
    auto session = std::make_unique<CaptureSession>();
    if (!session->addInput(std::move(source))) throw RecorderError(RecorderError::Case::cannotAddInput);
    static std::atomic<std::uint64_t> sessions{0};
    const std::uint64_t id = ++sessions;
    // The pipeline goes before this object does (see the destructor), so
    // its callbacks may use it directly; taking a strong reference on a
    // streaming thread could make that thread the one to stop its pipeline.
    if (!session->addOutput([this, id](GstAppSink* sink) { onSample(sink, id); }))
      throw RecorderError(RecorderError::Case::cannotAddOutput);
    sessionObservers_.push_back(
        session->observe(SessionNotifications::Kind::runtimeError, [this, id](std::exception_ptr error) {
          onSessionEnded(id, std::move(error), SessionNotifications::Kind::runtimeError);
        }));
    sessionObservers_.push_back(session->observe(SessionNotifications::Kind::didStop, [this, id](std::exception_ptr) {
      onSessionEnded(id, nullptr, SessionNotifications::Kind::didStop);
    }));
    session_ = std::move(session);
    sessionStarted_ = false;
    open_.store(true);
    std::lock_guard lock(routeMutex_);
    sessionId_ = id;
    ended_ = false;
    endError_ = nullptr;
    holding_ = false;
    held_.clear();
    ++statistics_.opens;
  }
  auto state = std::make_shared<AttachmentState>(std::move(onFrame), role);
  Task linger, window;
  {
    std::lock_guard lock(routeMutex_);
    attachments_.push_back(state);
    ++generation_;  // a linger still running stands down
    timers_ = std::move(timers);
    linger = std::move(lingerTask_);
    if (role == Role::recorder) {
      // ... and so does a hand-over window: this recorder takes the hold.
      ++windowGeneration_;
      window = std::move(windowTask_);
    }
  }
  linger.cancel();
  window.cancel();
  return std::unique_ptr<Attachment>(new Attachment(shared_from_this(), state));
}

void CameraFeed::start(const std::shared_ptr<AttachmentState>& attachment) {
  std::exception_ptr failure;
  bool failed = false;
  std::lock_guard life(lifecycleMutex_);
  {
    std::lock_guard lock(routeMutex_);
    if (attachment->started || attachment->detached) return;
    attachment->started = true;
    if (ended_) {
      failed = true;
      failure = endError_ ? endError_ : std::make_exception_ptr(RecorderError(RecorderError::Case::notRecording));
    } else if (attachment->role == Role::watcher) {
      watching_.push_back(attachment);
    } else {
      // The frames that came since the previous clip ended open this one,
      // before any live frame can.
      if (holding_) {
        statistics_.framesHandedOver += held_.size();
        for (auto& [sample, baseTime] : held_) attachment->onFrame(std::move(sample), baseTime, true);
      }
      held_.clear();
      holding_ = false;
      receiving_.push_back(attachment);
    }
  }
  if (failed) {
    attachment->notifications->post(SessionNotifications::Kind::runtimeError, failure);
    return;
  }
  if (session_ && !sessionStarted_) {
    sessionStarted_ = true;
    // A failure to start comes back through onSessionEnded.
    session_->startRunning();
  }
}

void CameraFeed::stop(const std::shared_ptr<AttachmentState>& attachment) {
  {
    std::lock_guard lock(routeMutex_);
    stopReceivingLocked(attachment);
  }
  attachment->notifications->post(SessionNotifications::Kind::didStop, nullptr);
}

void CameraFeed::stopReceivingLocked(const std::shared_ptr<AttachmentState>& attachment) {
  if (attachment->role == Role::watcher) {
    eraseOne(watching_, attachment);
    return;
  }
  if (std::find(receiving_.begin(), receiving_.end(), attachment) == receiving_.end()) return;
  eraseOne(receiving_, attachment);
  // From the next frame on, frames are kept for the next clip.
  if (receiving_.empty() && sessionId_ != 0 && !ended_) {
    statistics_.heldFramesDropped += held_.size();
    held_.clear();
    holding_ = true;
  }
}

void CameraFeed::release(const std::shared_ptr<AttachmentState>& attachment) {
  std::lock_guard lock(routeMutex_);
  if (attachment->detached) return;
  attachment->detached = true;
  stopReceivingLocked(attachment);
  eraseOne(attachments_, attachment);
  // The window and the linger count from the last release: a recorder lets
  // go once its clip is finished, and starts the next one right after. A
  // watcher staying on holds the camera open, never the hold.
  if (attachment->role == Role::recorder && !anyRecorderAttachedLocked()) armHandOverWindowLocked();
  if (attachments_.empty()) armLingerLocked();
}

bool CameraFeed::anyRecorderAttachedLocked() const {
  return std::any_of(attachments_.begin(), attachments_.end(),
                     [](const auto& attachment) { return attachment->role == Role::recorder; });
}

void CameraFeed::armHandOverWindowLocked() {
  const auto windowGeneration = ++windowGeneration_;
  if (sessionId_ == 0 || !holding_) return;
  if (!timers_.executor || !timers_.sleep) {
    statistics_.heldFramesDropped += held_.size();
    held_.clear();
    holding_ = false;
    return;
  }
  windowTask_ = Task::spawn(timers_.executor, afterLastRecorder(weak_from_this(), timers_.sleep, windowGeneration));
}

void CameraFeed::armLingerLocked() {
  const auto generation = ++generation_;
  if (sessionId_ == 0) return;
  std::weak_ptr<CameraFeed> weak = weak_from_this();
  if (ended_ || !timers_.executor || !timers_.sleep) {
    queue_->async([weak, generation] {
      if (auto self = weak.lock()) self->close(generation);
    });
    return;
  }
  lingerTask_ = Task::spawn(timers_.executor, afterLastDetach(weak, timers_.sleep, generation));
}

Awaitable<void> CameraFeed::afterLastRecorder(std::weak_ptr<CameraFeed> weak, SleepFunction sleep,
                                              std::uint64_t windowGeneration) {
  co_await sleep(kHandOverWindow);
  if (auto self = weak.lock()) self->closeHandOverWindow(windowGeneration);
}

Awaitable<void> CameraFeed::afterLastDetach(std::weak_ptr<CameraFeed> weak, SleepFunction sleep,
                                            std::uint64_t generation) {
  co_await sleep(kLinger);
  if (auto self = weak.lock()) {
    // Stopping the pipeline blocks for a moment: not on the timers' executor.
    self->queue_->async([weak, generation] {
      if (auto feed = weak.lock()) feed->close(generation);
    });
  }
}

void CameraFeed::closeIfUnattached() {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(routeMutex_);
    generation = generation_;
  }
  close(generation);
}

void CameraFeed::cameraLost() {
  std::uint64_t session = 0;
  {
    std::lock_guard lock(routeMutex_);
    session = sessionId_;
  }
  if (session != 0)
    onSessionEnded(session, std::make_exception_ptr(RecorderError(RecorderError::Case::cameraStopped)),
                   SessionNotifications::Kind::runtimeError);
}

void CameraFeed::closeHandOverWindow(std::uint64_t windowGeneration) {
  std::lock_guard lock(routeMutex_);
  if (windowGeneration != windowGeneration_) return;
  statistics_.heldFramesDropped += held_.size();
  held_.clear();
  holding_ = false;
}

void CameraFeed::close(std::uint64_t generation) {
  std::unique_ptr<CaptureSession> doomed;
  std::lock_guard life(lifecycleMutex_);
  {
    std::lock_guard lock(routeMutex_);
    if (generation != generation_ || !attachments_.empty() || sessionId_ == 0) return;
    sessionId_ = 0;
    ++generation_;
    ++windowGeneration_;
    statistics_.heldFramesDropped += held_.size();
    held_.clear();
    holding_ = false;
    ended_ = false;
    endError_ = nullptr;
    ++statistics_.closes;
  }
  for (auto& observer : sessionObservers_) observer.remove();
  sessionObservers_.clear();
  doomed = std::move(session_);
  sessionStarted_ = false;
  // Still under the lifecycle lock: a camera opened next waits until this
  // one has let go of the device.
  doomed.reset();
  open_.store(false);
}

void CameraFeed::onSample(GstAppSink* sink, std::uint64_t session) {
  SamplePtr sample(gst_app_sink_try_pull_sample(sink, 0));
  if (!sample) return;
  const GstClockTime baseTime = gst_element_get_base_time(GST_ELEMENT(sink));
  std::lock_guard lock(routeMutex_);
  if (session != sessionId_) return;
  ++statistics_.framesDelivered;
  if (!watching_.empty()) {
    ++statistics_.framesWatched;
    for (auto& watcher : watching_) watcher->onFrame(SamplePtr(gst_sample_ref(sample.get())), baseTime, false);
  }
  if (!receiving_.empty()) {
    ++statistics_.framesRouted;
    for (auto& attachment : receiving_) attachment->onFrame(SamplePtr(gst_sample_ref(sample.get())), baseTime, false);
    return;
  }
  if (!holding_) {
    ++statistics_.framesUnclaimed;
    return;
  }
  // A clip has one frame size: frames of another size cannot open it.
  if (!held_.empty() && !sameFormat(held_.back().first.get(), sample.get())) {
    statistics_.heldFramesDropped += held_.size();
    held_.clear();
  }
  held_.emplace_back(deepCopy(sample.get()), baseTime);
  ++statistics_.framesHeld;
  while (held_.size() > kHeldFramesCap) {
    held_.pop_front();
    ++statistics_.heldFramesDropped;
  }
}

void CameraFeed::onSessionEnded(std::uint64_t session, std::exception_ptr error, SessionNotifications::Kind kind) {
  std::lock_guard lock(routeMutex_);
  if (session != sessionId_ || ended_) return;
  ended_ = true;
  endError_ = error;
  statistics_.heldFramesDropped += held_.size();
  held_.clear();
  holding_ = false;
  if (attachments_.empty()) {
    // Nobody to tell: the camera closes now, and the next start reopens it.
    const auto generation = ++generation_;
    queue_->async([weak = weak_from_this(), generation] {
      if (auto self = weak.lock()) self->close(generation);
    });
    return;
  }
  for (auto& attachment : attachments_) attachment->notifications->post(kind, error);
}

// ---------------------------------------------------------------------------

CameraFeed::Attachment::Attachment(std::shared_ptr<CameraFeed> feed, std::shared_ptr<AttachmentState> state)
    : feed_(std::move(feed)), state_(std::move(state)) {}

CameraFeed::Attachment::~Attachment() {
  feed_->release(state_);
}

ObserverRegistration CameraFeed::Attachment::observe(SessionNotifications::Kind kind,
                                                     SessionNotifications::Handler handler) {
  return ObserverRegistration{state_->notifications, state_->notifications->add(kind, std::move(handler))};
}

void CameraFeed::Attachment::startRunning() {
  feed_->start(state_);
}

void CameraFeed::Attachment::stopRunning() {
  feed_->stop(state_);
}

}  // namespace veltrano

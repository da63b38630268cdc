// Records from a live, camera-like test source through WebcamRecorder and
// prints what it cost:
//
//   recorder_bench [--clips N] [--seconds S] [--size WIDTHxHEIGHT] [--output PATH] [--gap-seconds N]
//
// With --clips N (N > 1) it records N consecutive clips of S seconds each
// with fresh recorders sharing one camera, stopping one and starting the
// next at once as the clip rotation does, and checks every cut by the
// source's own frame numbers (buffer offsets, taken before any drop): frames
// lost or repeated, and the gap between the last frame of one clip and the
// first of the next by the source's timestamps and by the wall clock.
//
// CPU is (user + system) seconds of the whole process per second of video,
// including generating the test source; the bare pipeline (gst-launch-1.0,
// same source and encoder settings, run in the same invocation afterwards)
// is measured the same way. The back-to-back part records two clips with
// two recorders, stopping one and starting the next as the clip rotation
// does, and reports the gap between the last frame of the first clip and
// the first frame of the second. The last line sums everything up.

#include "Capture/WebcamRecorder.hpp"
#include "Mp4Inspector.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "Runtime/WorkerThread.hpp"
#include "TestCameraSources.hpp"

#include <glib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

using namespace veltrano;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  int clips = 1;
  int seconds = 60;
  int width = 1280;
  int height = 720;
  std::filesystem::path output = "recorder-bench.mp4";
  int gapSeconds = 3;
};

const char* kSourceOptions = "pattern=smpte horizontal-speed=4";

double cpuSeconds(const rusage& usage) {
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return cpuSeconds(usage);
}

std::int64_t monotonicNs() {
  // GStreamer's system clock is CLOCK_MONOTONIC, like steady_clock here.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double ms(std::int64_t ns) {
  return double(ns) / 1e6;
}

struct RecordingResult {
  bool ok = false;
  std::string error;
  WebcamRecorder::Statistics stats;
  double cpu = 0;
  std::int64_t startCalled = 0, startReturned = 0, stopCalled = 0, stopReturned = 0;
};

Awaitable<void> recordClip(std::shared_ptr<WebcamRecorder> recorder, std::filesystem::path file, Duration length,
                           SleepFunction sleep, RecordingResult* out) {
  try {
    out->startCalled = monotonicNs();
    co_await recorder->startRecording(file);
    out->startReturned = monotonicNs();
    co_await sleep(length);
    out->stopCalled = monotonicNs();
    co_await recorder->stopRecording();
    out->stopReturned = monotonicNs();
    out->ok = true;
  } catch (const std::exception& e) {
    out->error = e.what();
  }
  out->stats = recorder->statistics();
}

struct Measurement {
  RecordingResult main;
  std::vector<RecordingResult> clips;  // with --clips
  RecordingResult first, second;       // back to back
  bool done = false;
};

std::filesystem::path clipFile(std::filesystem::path base, int index) {
  return base.replace_extension("." + std::to_string(index + 1) + ".mp4");
}

// The bench's one worker; stopped before it returns.
WorkerThread& benchWorker() {
  static auto* const worker = new WorkerThread;
  return *worker;
}

Awaitable<void> measure(Options options, Measurement* m, GMainLoop* loop) {
  SleepFunction sleep = makeTimerSleep(benchWorker().context());
  const std::string pattern = testing::testPattern(options.width, options.height, kSourceOptions);

  if (options.clips > 1) {
    // One camera for all clips, as the recorders of one factory share it.
    auto sources = std::make_shared<testing::PipelineSourceFactory>(pattern);
    m->clips.resize(std::size_t(options.clips));
    const double before = processCpu();
    for (int i = 0; i < options.clips; ++i) {
      auto recorder = WebcamRecorder::create(sources, sleep);
      co_await recordClip(recorder, clipFile(options.output, i), std::chrono::seconds(options.seconds), sleep,
                          &m->clips[std::size_t(i)]);
      if (!m->clips[std::size_t(i)].ok) break;
    }
    m->main.cpu = processCpu() - before;
    m->main.ok = true;
  } else {
    auto recorder = WebcamRecorder::create(std::make_shared<testing::PipelineSourceFactory>(pattern), sleep);
    const double before = processCpu();
    co_await recordClip(recorder, options.output, std::chrono::seconds(options.seconds), sleep, &m->main);
    m->main.cpu = processCpu() - before;
  }

  if (options.clips == 1 && options.gapSeconds > 0) {
    auto first = WebcamRecorder::create(std::make_shared<testing::PipelineSourceFactory>(pattern), sleep);
    auto second = WebcamRecorder::create(std::make_shared<testing::PipelineSourceFactory>(pattern), sleep);
    auto base = options.output;
    co_await recordClip(
        first, base.replace_extension(".gap1.mp4"), std::chrono::seconds(options.gapSeconds), sleep, &m->first);
    base = options.output;
    co_await recordClip(
        second, base.replace_extension(".gap2.mp4"), std::chrono::seconds(options.gapSeconds), sleep, &m->second);
  }
  m->done = true;
  g_main_loop_quit(loop);
}

// Runs gst-launch-1.0 with the recorder's source and writer settings for the
// same number of frames; returns its CPU seconds, or a negative value.
double bareCpu(const Options& options, const std::filesystem::path& file) {
  std::ostringstream caps;
  caps << "video/x-raw,format=NV12,width=" << options.width << ",height=" << options.height << ",framerate=30/1";
  std::vector<std::string> args = {"gst-launch-1.0",
                                   "-q",
                                   "-e",
                                   "videotestsrc",
                                   "is-live=true",
                                   "pattern=smpte",
                                   "horizontal-speed=4",
                                   "num-buffers=" + std::to_string(options.clips * options.seconds * 30),
                                   "!",
                                   caps.str(),
                                   "!",
                                   "x264enc",
                                   "bitrate=" + std::to_string(Mp4Writer::kAverageBitRateKbit),
                                   "vbv-buf-capacity=0",
                                   "key-int-max=" + std::to_string(Mp4Writer::kMaxKeyFrameInterval),
                                   "bframes=0",
                                   "speed-preset=superfast",
                                   "tune=zerolatency",
                                   "!",
                                   "video/x-h264,profile=high",
                                   "!",
                                   "h264parse",
                                   "!",
                                   "mp4mux",
                                   "!",
                                   "filesink",
                                   "buffer-mode=unbuffered",
                                   "location=" + file.string()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "gst-launch-1.0", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return cpuSeconds(usage);
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--clips" && hasValue) {
      options.clips = std::atoi(argv[++i]);
    } else if (arg == "--seconds" && hasValue) {
      options.seconds = std::atoi(argv[++i]);
    } else if (arg == "--size" && hasValue) {
      if (std::sscanf(argv[++i], "%dx%d", &options.width, &options.height) != 2) return false;
    } else if (arg == "--output" && hasValue) {
      options.output = argv[++i];
    } else if (arg == "--gap-seconds" && hasValue) {
      options.gapSeconds = std::atoi(argv[++i]);
    } else {
      return false;
    }
  }
  return options.clips > 0 && options.seconds > 0 && options.width > 0 && options.height > 0 && options.gapSeconds >= 0;
}

double bareRunCpuPerSecond(const Options& options) {
  auto bareFile = options.output;
  bareFile.replace_extension(".bare.mp4");
  const double bare = bareCpu(options, bareFile);
  std::filesystem::remove(bareFile);
  return bare < 0 ? -1 : bare / (options.clips * options.seconds);
}

// The clips of --clips N: each read back, each cut checked by the source's
// frame numbers and timestamps.
int reportClips(const Options& options, const Measurement& m) {
  std::uint64_t written = 0, offered = 0, droppedInClips = 0, lost = 0, repeated = 0;
  double videoSeconds = 0, maxGapMs = 0, maxWallGapMs = 0, sumWallGapMs = 0;
  double rotationStartMs = 0, maxRotationStartMs = 0;
  std::vector<std::int64_t> firstOffsets, lastOffsets;
  for (std::size_t i = 0; i < m.clips.size(); ++i) {
    const auto& clip = m.clips[i];
    if (!clip.ok) {
      std::printf("clip %zu failed: %s\n", i + 1, clip.error.c_str());
      return 1;
    }
    const auto file = clipFile(options.output, int(i));
    std::string why;
    auto mp4 = testing::inspectMp4(file, &why);
    if (!mp4) {
      std::printf("clip %zu does not read back: %s\n", i + 1, why.c_str());
      return 1;
    }
    const auto& s = clip.stats;
    const std::int64_t span = s.lastFrameOffset - s.firstFrameOffset + 1;
    const std::uint64_t missing = span > std::int64_t(mp4->sampleCount) ? std::uint64_t(span) - mp4->sampleCount : 0;
    written += mp4->sampleCount;
    offered += s.framesOffered;
    droppedInClips += missing;
    videoSeconds += mp4->durationSeconds;
    const double startMs = ms(clip.startReturned - clip.startCalled);
    std::printf(
        "clip %zu: frames %lld..%lld, %llu in the file (%llu missing inside), %.3f s, %llu handed over, "
        "startRecording %.1f ms\n",
        i + 1, static_cast<long long>(s.firstFrameOffset), static_cast<long long>(s.lastFrameOffset),
        static_cast<unsigned long long>(mp4->sampleCount), static_cast<unsigned long long>(missing),
        mp4->durationSeconds, static_cast<unsigned long long>(s.framesHandedOver), startMs);
    if (i > 0) {
      const auto& before = m.clips[i - 1].stats;
      const std::int64_t step = s.firstFrameOffset - before.lastFrameOffset;
      if (step > 1) lost += std::uint64_t(step - 1);
      if (step < 1) repeated += std::uint64_t(1 - step);
      const double gap = ms(s.firstFrameCaptureTime - before.lastFrameCaptureTime);
      const double wallGap = ms(s.firstFrameAppendedAt - before.lastFrameAppendedAt);
      maxGapMs = std::max(maxGapMs, gap);
      maxWallGapMs = std::max(maxWallGapMs, wallGap);
      sumWallGapMs += wallGap;
      rotationStartMs += startMs;
      maxRotationStartMs = std::max(maxRotationStartMs, startMs);
      std::printf("  cut %zu|%zu: next frame number step %lld, gap %.1f ms by the source, %.1f ms by the wall clock\n",
                  i, i + 1, static_cast<long long>(step), gap, wallGap);
    }
    std::filesystem::remove(file);
  }
  const std::size_t boundaries = m.clips.size() - 1;
  const double recorderCpu = m.main.cpu / videoSeconds;
  const double bareRate = bareRunCpuPerSecond(options);
  const double firstStartMs = ms(m.clips.front().startReturned - m.clips.front().startCalled);
  std::printf(
      "recorder: %.3f CPU s over %.3f s of video = %.3f CPU s per video s\n", m.main.cpu, videoSeconds, recorderCpu);
  if (bareRate < 0)
    std::printf("bare pipeline: gst-launch-1.0 failed\n");
  else
    std::printf("bare pipeline: %.3f CPU s per video s; ratio %.3f\n", bareRate, recorderCpu / bareRate);
  std::printf(
      "summary: size=%dx%d seconds=%d clips=%zu boundaries=%zu frames_offered=%llu frames_written=%llu "
      "frames_lost=%llu frames_repeated=%llu frames_lost_in_clips=%llu max_gap_ms=%.1f max_wall_gap_ms=%.1f "
      "mean_wall_gap_ms=%.1f recorder_cpu_per_s=%.3f bare_cpu_per_s=%.3f ratio=%.3f first_start_ms=%.1f "
      "rotation_start_mean_ms=%.1f rotation_start_max_ms=%.1f\n",
      options.width, options.height, options.seconds, m.clips.size(), boundaries,
      static_cast<unsigned long long>(offered), static_cast<unsigned long long>(written),
      static_cast<unsigned long long>(lost), static_cast<unsigned long long>(repeated),
      static_cast<unsigned long long>(droppedInClips), maxGapMs, maxWallGapMs,
      boundaries ? sumWallGapMs / double(boundaries) : 0.0, recorderCpu, bareRate,
      bareRate < 0 ? -1.0 : recorderCpu / bareRate, firstStartMs,
      boundaries ? rotationStartMs / double(boundaries) : 0.0, maxRotationStartMs);
  benchWorker().stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(
        stderr,
        "usage: recorder_bench [--clips N] [--seconds S] [--size WIDTHxHEIGHT] [--output PATH] [--gap-seconds N]\n");
    return 2;
  }
  ensureGStreamer();
  std::printf("recorder_bench: %dx%d at 30 fps, %d clip(s) of %d s, videotestsrc is-live=true %s\n", options.width,
              options.height, options.clips, options.seconds, kSourceOptions);
  std::fflush(stdout);

  Measurement m;
  GMainLoop* loop = g_main_loop_new(g_main_context_default(), FALSE);
  Task::spawn(MainContext::shared().get_executor(), measure(options, &m, loop));
  g_main_loop_run(loop);
  g_main_loop_unref(loop);

  if (options.clips > 1) return reportClips(options, m);
  if (!m.main.ok) {
    std::printf("recording failed: %s\n", m.main.error.c_str());
    return 1;
  }
  std::string why;
  auto clip = testing::inspectMp4(options.output, &why);
  if (!clip) {
    std::printf("the clip does not read back: %s\n", why.c_str());
    return 1;
  }
  const double videoSeconds = clip->durationSeconds;
  const double recorderCpu = m.main.cpu / videoSeconds;
  const auto& s = m.main.stats;
  const std::int64_t dropped = std::int64_t(s.framesOffered) - std::int64_t(clip->sampleCount);
  std::printf("clip: %s, %llu frames, %.3f s, %dx%d, profile_idc %d, max keyframe interval %u, %.2f Mbit/s\n",
              options.output.c_str(), static_cast<unsigned long long>(clip->sampleCount), videoSeconds, clip->width,
              clip->height, clip->profileIdc, clip->maxKeyFrameInterval(),
              double(clip->mediaBytes) * 8 / videoSeconds / 1e6);
  std::printf(
      "frames: offered %llu, handed to the writer %llu, in the file %llu, dropped %lld "
      "(%llu at the writer's full input, the rest replaced in the output while the frame path was busy)\n",
      static_cast<unsigned long long>(s.framesOffered), static_cast<unsigned long long>(s.framesAppended),
      static_cast<unsigned long long>(clip->sampleCount), static_cast<long long>(dropped),
      static_cast<unsigned long long>(s.framesDroppedByWriter));
  std::printf(
      "recorder: %.3f CPU s over %.3f s of video = %.3f CPU s per video s\n", m.main.cpu, videoSeconds, recorderCpu);
  std::printf("recorder start: first frame captured %.1f ms after startRecording, start returned after %.1f ms\n",
              ms(s.firstFrameCaptureTime - m.main.startCalled), ms(m.main.startReturned - m.main.startCalled));
  std::fflush(stdout);

  auto bareFile = options.output;
  bareFile.replace_extension(".bare.mp4");
  const double bare = bareCpu(options, bareFile);
  const double bareRate = bare / options.seconds;
  std::filesystem::remove(bareFile);
  if (bare < 0)
    std::printf("bare pipeline: gst-launch-1.0 failed\n");
  else
    std::printf("bare pipeline: %.3f CPU s over %d s of video = %.3f CPU s per video s; ratio %.3f\n", bare,
                options.seconds, bareRate, recorderCpu / bareRate);

  double gapMs = -1, secondStartToFrameMs = -1, stopMs = -1, lastFrameToStopMs = -1;
  if (options.gapSeconds > 0) {
    if (!m.first.ok || !m.second.ok) {
      std::printf("back to back: failed: %s%s\n", m.first.error.c_str(), m.second.error.c_str());
    } else {
      gapMs = ms(m.second.stats.firstFrameCaptureTime - m.first.stats.lastFrameCaptureTime);
      lastFrameToStopMs = ms(m.first.stopCalled - m.first.stats.lastFrameCaptureTime);
      stopMs = ms(m.first.stopReturned - m.first.stopCalled);
      const double handOverMs = ms(m.second.startCalled - m.first.stopReturned);
      secondStartToFrameMs = ms(m.second.stats.firstFrameCaptureTime - m.second.startCalled);
      std::printf(
          "back to back: gap between the last frame of clip 1 and the first frame of clip 2 = %.1f ms\n"
          "  last frame of clip 1 -> stopRecording called: %.1f ms (negative: frames still taken while stopping)\n"
          "  stopRecording (capture down, file finished): %.1f ms\n"
          "  stop returned -> next startRecording: %.1f ms\n"
          "  startRecording -> first frame captured (pipeline start): %.1f ms; start returned after %.1f ms\n",
          gapMs, lastFrameToStopMs, stopMs, handOverMs, secondStartToFrameMs,
          ms(m.second.startReturned - m.second.startCalled));
      for (const char* suffix : {".gap1.mp4", ".gap2.mp4"}) {
        auto f = options.output;
        std::filesystem::remove(f.replace_extension(suffix));
      }
    }
  }

  std::printf(
      "summary: size=%dx%d seconds=%d frames_offered=%llu frames_written=%llu dropped=%lld "
      "recorder_cpu_per_s=%.3f bare_cpu_per_s=%.3f ratio=%.3f gap_ms=%.1f stop_ms=%.1f "
      "start_to_first_frame_ms=%.1f\n",
      options.width, options.height, options.seconds, static_cast<unsigned long long>(s.framesOffered),
      static_cast<unsigned long long>(clip->sampleCount), static_cast<long long>(dropped), recorderCpu, bareRate,
      bare < 0 ? -1.0 : recorderCpu / bareRate, gapMs, stopMs, secondStartToFrameMs);
  benchWorker().stop();
  return 0;
}

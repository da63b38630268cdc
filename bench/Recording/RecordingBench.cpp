// Answers recorded through the bridge's dispatch into the coordinator as the
// app assembles it (real recorder on a live test pattern, real upload client and
// store, the reference service as a program on loopback), interleaved with
// clips recorded by a bare WebcamRecorder with the same camera, and what
// each cost:
//
//   recording_bench [--answers N] [--seconds S] [--size WIDTHxHEIGHT]
//
// - enter: "enterAnswer" handed to the dispatch -> its "recording" envelope.
//   The first enter of the process (cold: GStreamer's plugins and the
//   encoder are set up then) apart from the rest.
// - leave: the leaving "enterAnswer" -> its "idle" envelope, which comes once
//   the last clip is uploaded (checked: storage holds it, the recordings
//   folder and the pending table are empty when the envelope is in).
// - CPU: process (user + system) seconds per wall second between the
//   "recording" envelope and the leave, against the same for the bare
//   recorder between its start returning and its stop; also the whole cycle
//   (enter dispatch -> idle, which includes the upload) against start call ->
//   stop returned.
// The main loop blocks between events, so nothing here spins.

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Capture/WebcamRecorder.hpp"
#include "Mp4Inspector.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Recording/CoordinatorAssembly.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "Runtime/WorkerThread.hpp"
#include "TestCameraSources.hpp"
#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/CurlMultiDriver.hpp"

#include <glib.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace veltrano;
using nlohmann::json;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kToken = "bench-token";
constexpr const char* kSourceOptions = "pattern=smpte horizontal-speed=4";

struct Options {
  int answers = 20;
  double seconds = 3;
  int width = 1280, height = 720;
};

double processCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Iterates the default main context, blocking between events, until `done`.
void runUntil(const std::function<bool()>& done) {
  while (!done()) g_main_context_iteration(MainContext::shared().native(), TRUE);
}

void runFor(double seconds) {
  bool elapsed = false;
  g_timeout_add(
      static_cast<guint>(seconds * 1000),
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
      },
      &elapsed);
  runUntil([&] { return elapsed; });
}

// The reference service as a program of its own; its first line is the endpoint.
class UploadService {
 public:
  explicit UploadService(const fs::path& storage) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::execl(VELTRANO_UPLOAD_SERVICE_PROGRAM, VELTRANO_UPLOAD_SERVICE_PROGRAM, "--listen", "127.0.0.1:0", "--storage",
              storage.c_str(), "--token", kToken, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    output_ = ::fdopen(out[0], "r");
    char line[512] = {};
    if (!std::fgets(line, sizeof line, output_)) throw std::runtime_error("the upload service did not start");
    endpoint_ = line;
    while (!endpoint_.empty() && endpoint_.back() == '\n') endpoint_.pop_back();
  }
  ~UploadService() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    std::fclose(output_);
  }
  UploadService(const UploadService&) = delete;
  UploadService& operator=(const UploadService&) = delete;

  const std::string& endpoint() const { return endpoint_; }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  std::string endpoint_;
};

// One body through the dispatch, as the web view's glue hands it over;
// returns the envelope and how long it took.
std::pair<json, double> send(const std::shared_ptr<VeltranoBridgeMessageHandler>& handler, json body) {
  std::optional<json> reply;
  const auto start = Clock::now();
  double ms = 0;
  VeltranoBridgeMessageHandler::receive(
      handler, MainContext::shared().get_executor(), std::move(body), [&](std::string text) {
        ms = msSince(start);
        reply = json::parse(text);
      });
  runUntil([&] { return reply.has_value(); });
  return {std::move(*reply), ms};
}

std::size_t filesUnder(const fs::path& folder) {
  std::size_t count = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->is_regular_file()) ++count;
  return count;
}

struct Stats {
  double median = 0, worst = 0, mean = 0;
};

Stats statsOf(std::vector<double> values) {
  Stats s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.worst = values.back();
  for (double v : values) s.mean += v / double(n);
  return s;
}

struct CpuTally {
  double cpu = 0, wall = 0;
  double frames = 0;  // frames in the files over the same time (at the clip's frame rate)
  void add(double c, double w) {
    cpu += c;
    wall += w;
  }
  double rate() const { return wall > 0 ? cpu / wall : 0; }
  double perFrameMs() const { return frames > 0 ? cpu / frames * 1000 : 0; }
};

// Frames per second of video in a clip, or 0 when it does not read back.
double frameRate(const fs::path& clip) {
  auto summary = testing::inspectMp4(clip);
  return summary && summary->durationSeconds > 0 ? double(summary->sampleCount) / summary->durationSeconds : 0;
}

// The one file under `folder` that is not in `before`.
std::optional<fs::path> newFile(const fs::path& folder, const std::vector<fs::path>& before) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->is_regular_file() && std::find(before.begin(), before.end(), it->path()) == before.end()) return it->path();
  return std::nullopt;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->is_regular_file()) files.push_back(it->path());
  return files;
}

struct BareClip {
  bool done = false;
  std::string error;
  Clock::time_point started, stopCalled;
  double cpuAtStartCall = 0, cpuAtStarted = 0, cpuAtStopCall = 0, cpuAtStopped = 0;
  double wallWhole = 0, startMs = 0, stopMs = 0;
};

Awaitable<void> recordBareClip(std::shared_ptr<WebcamRecorder> recorder, fs::path file, double seconds,
                               SleepFunction sleep, BareClip* out) {
  try {
    const auto startCall = Clock::now();
    out->cpuAtStartCall = processCpu();
    co_await recorder->startRecording(file);
    out->started = Clock::now();
    out->startMs = std::chrono::duration<double, std::milli>(out->started - startCall).count();
    out->cpuAtStarted = processCpu();
    co_await sleep(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds)));
    out->stopCalled = Clock::now();
    out->cpuAtStopCall = processCpu();
    co_await recorder->stopRecording();
    out->stopMs = msSince(out->stopCalled);
    out->cpuAtStopped = processCpu();
    out->wallWhole = msSince(startCall) / 1000;
  } catch (const std::exception& e) {
    out->error = e.what();
  }
  out->done = true;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--answers")
      o.answers = std::stoi(value);
    else if (arg == "--seconds")
      o.seconds = std::stod(value);
    else if (arg == "--size") {
      if (std::sscanf(value.c_str(), "%dx%d", &o.width, &o.height) != 2) throw std::invalid_argument("bad --size");
    } else
      throw std::invalid_argument("unknown option " + arg);
  }
  if (o.answers < 2 || o.seconds <= 0 || o.width <= 0 || o.height <= 0) throw std::invalid_argument("bad options");
  return o;
}

WorkerThread* workerOfBench = nullptr;

int run(const Options& o) {
  const fs::path dir = fs::temp_directory_path() / ("veltrano-recording-bench-" + std::to_string(::getpid()));
  const fs::path data = dir / "data", storage = dir / "objects", bundle = dir / "bundle", bare = dir / "bare";
  fs::create_directories(bundle / "share/VeltranoMac");
  fs::create_directories(bare);
  UploadService service(storage);
  std::ofstream(bundle / "share/VeltranoMac/Info.json") << json{
      {"CFBundleIdentifier", "com.brackwood.VeltranoMac"},
      {"VeltranoAnswerVideoSignedURLRequestURL",
       service.endpoint()}}.dump();

  auto camera =
      std::make_shared<testing::PipelineSourceFactory>(testing::testPattern(o.width, o.height, kSourceOptions));
  // The parts as the programs' entries build them.
  static WorkerThread* const worker = new WorkerThread;  // stopped at the end of main
  static CurlMultiDriver* const curl = new CurlMultiDriver;
  const fs::path recordings = recordingsDirectoryURL(data);
  auto uploads = std::make_shared<AnswerVideoUploadClient>(bundle / "share/VeltranoMac/Info.json", *curl);
  auto store = std::make_shared<PendingUploadsStore>(worker->makeStrand(), data, recordings);
  auto coordinator = assembleAnswerRecordingCoordinator(
      {*worker, MainContext::shared().get_executor(), camera, uploads, store, recordings});
  workerOfBench = worker;

  std::printf("recording_bench: %d answers of %.1f s at %dx%d 30 fps (videotestsrc is-live=true %s), service %s\n",
              o.answers, o.seconds, o.width, o.height, kSourceOptions, service.endpoint().c_str());
  std::fflush(stdout);

  auto handler = std::make_shared<VeltranoBridgeMessageHandler>(coordinator);
  const SleepFunction sleep = makeTimerSleep(worker->context());

  double coldEnter = 0;
  std::vector<double> warmEnters, leaves, bareStarts, bareStops;
  CpuTally answerWindow, bareWindow, answerWhole, bareWhole;
  int failures = 0;

  for (int i = 0; i < o.answers; ++i) {
    // One answer through the bridge.
    json payload = {{"userId", "bench-user"},
                    {"sessionId", "bench-session"},
                    {"answerId", "answer-" + std::to_string(i)},
                    {"idToken", kToken}};
    const double cpuAtEnter = processCpu();
    const auto enterStart = Clock::now();
    auto [entered, enterMs] = send(handler, {{"method", "enterAnswer"}, {"payload", payload}});
    const double cpuRecording = processCpu();
    const auto recordingSince = Clock::now();
    if (entered.value("ok", false) != true || entered["data"].value("status", "") != "recording") {
      std::printf("answer %d: enter failed: %s\n", i, entered.dump().c_str());
      ++failures;
      continue;
    }
    (i == 0 ? coldEnter : warmEnters.emplace_back()) = enterMs;
    runFor(o.seconds);
    const double cpuLeave = processCpu();
    const double window = msSince(recordingSince) / 1000;
    answerWindow.add(cpuLeave - cpuRecording, window);
    payload.erase("answerId");
    const std::vector<fs::path> storedBefore = filesIn(storage);
    auto [left, leaveMs] = send(handler, {{"method", "enterAnswer"}, {"payload", payload}});
    answerWhole.add(processCpu() - cpuAtEnter, msSince(enterStart) / 1000);
    const auto stored = newFile(storage, storedBefore);
    const bool uploaded = stored && filesUnder(storage) == storedBefore.size() + 1 &&
                          filesUnder(data / "recordings") == 0 &&
                          json::parse(std::ifstream(data / "pending-uploads.json")) == json::array();
    if (left.value("ok", false) != true || left["data"].value("status", "") != "idle" || !uploaded) {
      std::printf("answer %d: leave %s, clip uploaded by then: %s\n", i, left.dump().c_str(), uploaded ? "yes" : "no");
      ++failures;
      continue;
    }
    leaves.push_back(leaveMs);
    const double answerFps = frameRate(*stored);
    answerWindow.frames += answerFps * window;
    std::printf(
        "answer %2d: enter -> recording %7.1f ms%s, leave -> idle (clip stored) %7.1f ms, %.3f CPU s/s, %.1f fps\n", i,
        enterMs, i == 0 ? " (cold)" : "", leaveMs, (cpuLeave - cpuRecording) / window, answerFps);
    std::fflush(stdout);

    // The bare recorder with the same camera, side by side.
    auto recorder = WebcamRecorder::create(camera, sleep);
    BareClip clip;
    Task::spawn(MainContext::shared().get_executor(),
                recordBareClip(recorder, bare / ("clip-" + std::to_string(i) + ".mp4"), o.seconds, sleep, &clip));
    runUntil([&] { return clip.done; });
    recorder.reset();
    if (!clip.error.empty()) {
      std::printf("bare recorder %d failed: %s\n", i, clip.error.c_str());
      ++failures;
      continue;
    }
    const double bareWall = std::chrono::duration<double>(clip.stopCalled - clip.started).count();
    bareWindow.add(clip.cpuAtStopCall - clip.cpuAtStarted, bareWall);
    const double bareFps = frameRate(bare / ("clip-" + std::to_string(i) + ".mp4"));
    bareWindow.frames += bareFps * bareWall;
    bareWhole.add(clip.cpuAtStopped - clip.cpuAtStartCall, clip.wallWhole);
    bareStarts.push_back(clip.startMs);
    bareStops.push_back(clip.stopMs);
    std::printf(
        "bare     %2d: %.3f CPU s/s, %.1f fps\n", i, (clip.cpuAtStopCall - clip.cpuAtStarted) / bareWall, bareFps);
    std::fflush(stdout);
    fs::remove(bare / ("clip-" + std::to_string(i) + ".mp4"));
  }

  const Stats warm = statsOf(warmEnters), leave = statsOf(leaves), bareStart = statsOf(bareStarts),
              bareStop = statsOf(bareStops);
  std::printf(
      "\nenter -> \"recording\": cold %.1f ms; warm median %.1f ms, mean %.1f ms, worst %.1f ms (%zu answers)\n",
      coldEnter, warm.median, warm.mean, warm.worst, warmEnters.size());
  std::printf("leave -> \"idle\" with the last clip uploaded: median %.1f ms, mean %.1f ms, worst %.1f ms\n",
              leave.median, leave.mean, leave.worst);
  std::printf(
      "bare recorder for reference: start -> first frame in the file median %.1f ms (worst %.1f ms), "
      "stop median %.1f ms (worst %.1f ms)\n",
      bareStart.median, bareStart.worst, bareStop.median, bareStop.worst);
  std::printf(
      "CPU while recording: answers %.3f CPU s/s over %.1f s, bare recorder %.3f CPU s/s over %.1f s; ratio %.3f\n",
      answerWindow.rate(), answerWindow.wall, bareWindow.rate(), bareWindow.wall,
      answerWindow.rate() / bareWindow.rate());
  // A starved process drops frames and so spends less per second: per frame
  // in the file is the fairer comparison when the machine is busy.
  std::printf("CPU per frame in the file while recording: answers %.2f ms, bare recorder %.2f ms; ratio %.3f\n",
              answerWindow.perFrameMs(), bareWindow.perFrameMs(), answerWindow.perFrameMs() / bareWindow.perFrameMs());
  std::printf(
      "CPU whole cycle: answer (enter..idle, with the upload) %.3f CPU s/s, bare recorder (start..stop) %.3f CPU s/s; "
      "ratio %.3f\n",
      answerWhole.rate(), bareWhole.rate(), answerWhole.rate() / bareWhole.rate());
  std::printf(
      "summary: answers=%d seconds=%.1f cold_enter_ms=%.1f warm_enter_median_ms=%.1f warm_enter_worst_ms=%.1f "
      "leave_median_ms=%.1f leave_worst_ms=%.1f cpu_ratio=%.3f cpu_per_frame_ratio=%.3f whole_cycle_cpu_ratio=%.3f "
      "failures=%d\n",
      o.answers, o.seconds, coldEnter, warm.median, warm.worst, leave.median, leave.worst,
      answerWindow.rate() / bareWindow.rate(), answerWindow.perFrameMs() / bareWindow.perFrameMs(),
      answerWhole.rate() / bareWhole.rate(), failures);
  std::fflush(stdout);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const int status = run(parse(argc, argv));
    if (workerOfBench) workerOfBench->stop();
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "recording_bench: %s\n", e.what());
    return 2;
  }
}

// Uploads a generated (sparse) file to the reference service, once with
// the app's upload client and once with `curl -T`, in the same run and to
// the same server, and prints throughput, peak RSS and their ratio.
//
//   upload_benchmark [--size-mib N] [--runs R] [--storage DIR] [--source-dir DIR]

#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/SignedUrlReply.hpp"

#include <curl/curl.h>
#include <glib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace veltrano;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kToken = "bench-token";

struct Options {
  std::uint64_t sizeMiB = 1024;
  int runs = 3;
  fs::path storage;
  fs::path sourceDir = fs::temp_directory_path();
};

Options parse(int argc, char** argv) {
  Options options;
  options.storage = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  options.storage /= "veltrano-upload-bench-" + std::to_string(::getpid());
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--size-mib")
      options.sizeMiB = std::stoull(value);
    else if (arg == "--runs")
      options.runs = std::stoi(value);
    else if (arg == "--storage")
      options.storage = value;
    else if (arg == "--source-dir")
      options.sourceDir = value;
    else
      throw std::invalid_argument("unknown argument " + arg);
  }
  return options;
}

void makeSparseFile(const fs::path& path, std::uint64_t bytes) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(bytes)) != 0)
    throw std::runtime_error("cannot create " + path.string());
  ::close(fd);
}

struct Service {
  pid_t pid = -1;
  std::string endpoint;
};

Service startService(const fs::path& storage) {
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDERR_FILENO);
    ::execl(VELTRANO_UPLOAD_SERVICE_PROGRAM, VELTRANO_UPLOAD_SERVICE_PROGRAM, "--listen", "127.0.0.1:0", "--storage",
            storage.c_str(), "--token", kToken, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  char c = 0;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  ::close(out[0]);
  if (line.empty()) throw std::runtime_error("the upload service did not start");
  return {pid, line};
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// A signed URL for curl, asked for the same way the client asks.
std::string signedURL(const std::string& endpoint, const std::string& objectPath) {
  CurlEasy easy(curl_easy_init());
  std::string reply;
  const std::string body = upload::makeSignedURLRequestBody("bench", "bench", "bench", objectPath);
  curl_slist* headers = curl_slist_append(nullptr, ("Authorization: Bearer " + std::string(kToken)).c_str());
  headers = curl_slist_append(headers, "Content-Type: application/json");
  curl_easy_setopt(easy.get(), CURLOPT_URL, endpoint.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &reply);
  const CURLcode result = curl_easy_perform(easy.get());
  curl_slist_free_all(headers);
  if (result != CURLE_OK) throw std::runtime_error(curl_easy_strerror(result));
  return upload::chooseUploadTarget(reply).url;
}

struct Measurement {
  double seconds = 0;
  long peakRssKiB = 0;
};

Measurement runCurl(const std::string& url, const fs::path& file) {
  const auto started = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("curl", "curl", "-sS", "--fail", "-o", "/dev/null", "-T", file.c_str(), "-H", "Content-Type: video/mp4",
             url.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("curl -T failed");
  return {seconds, usage.ru_maxrss};
}

Measurement runClient(AnswerVideoUploadClient& client, MainContext& main, GMainContext* glib, const fs::path& file,
                      const std::string& objectPath) {
  const auto started = Clock::now();
  Task task = Task::spawn(main.get_executor(), client.upload({file, {"bench", "bench", "bench"}, objectPath, kToken}));
  while (!task.isFinished()) g_main_context_iteration(glib, TRUE);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (fs::exists(file)) throw std::runtime_error("the client did not upload the file");
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return {seconds, usage.ru_maxrss};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = parse(argc, argv);
    const std::uint64_t bytes = options.sizeMiB << 20;
    fs::create_directories(options.storage);
    const Service service = startService(options.storage);

    const fs::path info = options.sourceDir / ("veltrano-upload-bench-" + std::to_string(::getpid()) + ".json");
    std::ofstream(info) << nlohmann::json{{"VeltranoAnswerVideoSignedURLRequestURL", service.endpoint}}.dump();
    const fs::path file = options.sourceDir / ("veltrano-upload-bench-" + std::to_string(::getpid()) + ".mp4");

    GMainContext* glib = g_main_context_new();
    g_main_context_push_thread_default(glib);
    {
      MainContext main(glib);
      CurlMultiDriver driver;
      AnswerVideoUploadClient client(info, driver);

      std::vector<double> clientSeconds, curlSeconds;
      long clientRss = 0, curlRss = 0;
      for (int run = 0; run < options.runs; ++run) {
        makeSparseFile(file, bytes);
        const auto viaCurl = runCurl(signedURL(service.endpoint, "bench/bench/bench/2026-01-01T00-00-00Z.mp4"), file);
        curlSeconds.push_back(viaCurl.seconds);
        curlRss = std::max(curlRss, viaCurl.peakRssKiB);

        makeSparseFile(file, bytes);
        const auto viaClient = runClient(client, main, glib, file, "bench/bench/bench/2026-01-01T00-00-01Z.mp4");
        clientSeconds.push_back(viaClient.seconds);
        clientRss = std::max(clientRss, viaClient.peakRssKiB);
        std::printf("run %d: client %.3f s, curl %.3f s\n", run + 1, viaClient.seconds, viaCurl.seconds);
      }

      const double mib = static_cast<double>(options.sizeMiB);
      const double clientRate = mib / median(clientSeconds);
      const double curlRate = mib / median(curlSeconds);
      std::printf(
          "file: %llu MiB (sparse), %d runs, medians; server: veltrano-upload-service on loopback, storage %s\n",
          static_cast<unsigned long long>(options.sizeMiB), options.runs, options.storage.c_str());
      std::printf("client:  %8.1f MiB/s  peak RSS %6.1f MiB\n", clientRate, static_cast<double>(clientRss) / 1024.0);
      std::printf("curl -T: %8.1f MiB/s  peak RSS %6.1f MiB\n", curlRate, static_cast<double>(curlRss) / 1024.0);
      std::printf("ratio client/curl throughput: %.3f\n", clientRate / curlRate);
    }
    g_main_context_pop_thread_default(glib);
    g_main_context_unref(glib);

    ::kill(service.pid, SIGTERM);
    ::waitpid(service.pid, nullptr, 0);
    fs::remove(info);
    fs::remove(file);
    fs::remove_all(options.storage);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "upload_benchmark: %s\n", e.what());
    return 1;
  }
}

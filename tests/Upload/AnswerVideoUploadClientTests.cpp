// The upload client against the real reference service on loopback.

#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/SignedUrlReply.hpp"
#include "UploadService.hpp"
#include "UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <optional>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using namespace veltrano::uploadservice;
using namespace std::chrono_literals;
using Endpoint = Fault::Endpoint;
using Json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kToken = "id-token-1";
constexpr const char* kObjectPath = "user-1/session-1/answer-1/2026-12-06T10-00-00Z.mp4";
constexpr const char* kNotSet = "VeltranoAnswerVideoSignedURLRequestURL not set; removing temp file and skipping upload.";
constexpr const char* kUploaded = "Answer video uploaded successfully for object path user-1/session-1/answer-1/2026-12-06T10-00-00Z.mp4";

template <typename E>
std::optional<E> caught(std::exception_ptr error) {
  if (!error) return std::nullopt;
  try {
    std::rethrow_exception(error);
  } catch (const E& e) {
    return e;
  } catch (...) {
  }
  return std::nullopt;
}

std::string describe(std::exception_ptr error) {
  if (!error) return "success";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

// A TCP socket bound to a free loopback port, and that port.
std::pair<int, int> loopbackSocket() {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
  return {sock, ntohs(address.sin_port)};
}

Fault fault(Endpoint endpoint, int status = 0, const std::string& body = {}) {
  Fault fault;
  fault.endpoint = endpoint;
  fault.status = status;
  fault.body = body;
  return fault;
}

class UploadClientTest : public ::testing::Test {
 protected:
  // Small receive buffers, so a throttled reader is felt by the client soon.
  UploadClientTest()
      : service_({.storage = dir_ / "store", .tokens = {"other-token", kToken}, .receiveBufferBytes = 256 * 1024}) {
    service_.start();
    setEndpoint(service_.signedURLEndpoint());
  }

  void setEndpoint(const Json& value) {
    writeFile(info_, Json{{"CFBundleIdentifier", "com.brackwood.VeltranoMac"},
                          {"VeltranoAnswerVideoSignedURLRequestURL", value}}.dump());
  }

  fs::path clip(const std::string& content, const std::string& name = "veltrano-answer-1.mp4") {
    const auto path = dir_ / ("recordings/" + name);
    writeFile(path, content);
    return path;
  }

  AnswerVideoUploadClient client(std::chrono::seconds idle = 60s) {
    AnswerVideoUploadClient::Options options;
    options.idleTimeout = idle;
    return AnswerVideoUploadClient(info_, driver_, options);
  }

  std::exception_ptr upload(const AnswerVideoUploadClient& client, const fs::path& clip,
                            const std::string& token = kToken, const std::string& userId = "user-1",
                            const std::function<void(Task&)>& tick = {}) {
    return main_.run(client.upload(clip, userId, "session-1", "answer-1", kObjectPath, token), 60s, tick);
  }

  std::vector<RecordedRequest> requests(const std::string& method) const {
    std::vector<RecordedRequest> out;
    for (auto& request : service_.requests())
      if (request.method == method) out.push_back(request);
    return out;
  }

  std::vector<std::string> errorLogs() { return logs_->messages("AnswerVideoUpload", LogLevel::error); }
  fs::path stored() const { return service_.storage() / kObjectPath; }
  std::string uploadURL(const std::string& contentType = "video/mp4") const {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return service_.uploadURL(kObjectPath, std::chrono::duration_cast<std::chrono::seconds>(now).count() + 600, contentType);
  }
  // A signed-URL reply that points at this service unless it says otherwise.
  std::string replyWith(Json reply) const {
    if (!reply.contains("uploadUrl")) reply["uploadUrl"] = uploadURL();
    return reply.dump();
  }

  TempDir dir_;
  fs::path info_ = dir_ / "share/VeltranoMac/Info.json";
  MainThread main_;
  UploadService service_;
  CurlMultiDriver driver_;
  LogCapture logs_;
};

}  // namespace

// A large sparse clip: the upload must stream it, not read it into memory.
TEST_F(UploadClientTest, StreamsTheClipAndDeletesItWithExactlyTheExpectedRequests) {
  const auto path = clip("");
  constexpr std::uintmax_t size = 256ull << 20;
  fs::resize_file(path, size);
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto error = upload(client(), path);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  ASSERT_FALSE(error) << describe(error);
  EXPECT_EQ(fs::file_size(stored()), size);
  // The service runs in this process too and streams to disk as well.
  const long grownKiB = after.ru_maxrss - before.ru_maxrss;
  EXPECT_LT(grownKiB, 64 * 1024) << "peak RSS grew by " << grownKiB << " KiB for a " << (size >> 20) << " MiB clip";
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(logs_->contains("AnswerVideoUpload", LogLevel::info, kUploaded));

  const auto posts = requests("POST");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/upload-url");
  EXPECT_EQ(posts[0].header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(posts[0].header("Content-Type"), "application/json");
  const Json body = Json::parse(posts[0].body);
  EXPECT_EQ(body, (Json{{"userId", "user-1"}, {"sessionId", "session-1"}, {"answerId", "answer-1"}, {"objectPath", kObjectPath}}));
  EXPECT_EQ(posts[0].body, body.dump()) << "the body is compact";

  const auto puts = requests("PUT");
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0].headerCount("Content-Type"), 1u);
  EXPECT_EQ(puts[0].header("Content-Type"), "video/mp4");
  EXPECT_EQ(puts[0].header("Content-Length"), std::to_string(size));
  EXPECT_EQ(puts[0].headerCount("Transfer-Encoding"), 0u);
  EXPECT_EQ(puts[0].headerCount("Authorization"), 0u) << "the ID token never goes to storage";
}

TEST_F(UploadClientTest, WithoutAUsableEndpointTheClipIsDeletedAndNothingIsSent) {
  const Json notSet[] = {nullptr, "", 42, Json::array({"http://127.0.0.1/x"}), "not a url", " http://127.0.0.1/x",
                         "ftp://127.0.0.1/upload-url", "file:///tmp/upload-url"};
  for (const Json& value : notSet) {
    SCOPED_TRACE(value.dump());
    if (value.is_null()) {
      writeFile(info_, R"({"CFBundleIdentifier": "com.brackwood.VeltranoMac"})");
    } else {
      setEndpoint(value);
    }
    const auto path = clip("clip");
    logs_->clear();
    const auto error = upload(client(), path);
    EXPECT_FALSE(error) << describe(error);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(errorLogs(), std::vector<std::string>{kNotSet});
  }
  EXPECT_TRUE(service_.requests().empty());
}

// Info.json, token and body are checked before anything goes out; the clip stays.
TEST_F(UploadClientTest, FailuresBeforeTheSignedURLRequestSendNothingAndKeepTheClip) {
  const auto path = clip("clip");
  fs::remove(info_);
  EXPECT_TRUE(caught<std::system_error>(upload(client(), path)));
  writeFile(info_, "[]");
  EXPECT_TRUE(caught<std::system_error>(upload(client(), path)));
  writeFile(info_, "{ not json");
  EXPECT_TRUE(caught<Json::parse_error>(upload(client(), path)));
  setEndpoint(service_.signedURLEndpoint());
  EXPECT_TRUE(caught<std::invalid_argument>(upload(client(), path, "token\r\nX-Injected: 1")));
  EXPECT_TRUE(caught<Json::type_error>(upload(client(), path, kToken, "user-\xff")));
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_TRUE(fs::exists(path));

  // Even an empty token goes out verbatim (and the service refuses it).
  EXPECT_EQ(caught<UploadError>(upload(client(), path, "")), UploadError::badHTTPStatus(401));
  ASSERT_EQ(requests("POST").size(), 1u);
  EXPECT_EQ(requests("POST")[0].header("Authorization").value_or("").rfind("Bearer", 0), 0u);
}

// A Location to a file: URL on every answer proves no redirect is followed.
TEST_F(UploadClientTest, AStatusOutside200To299FailsWithThatStatusAndKeepsTheClip) {
  struct Case {
    Endpoint endpoint;
    int status;
  };
  const Case cases[] = {{Endpoint::signedURL, 201}, {Endpoint::signedURL, 300}, {Endpoint::signedURL, 401},
                        {Endpoint::signedURL, 503}, {Endpoint::put, 204},       {Endpoint::put, 307},
                        {Endpoint::put, 403},       {Endpoint::put, 500}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    service_.clearRequests();
    const bool signedURL = c.endpoint == Endpoint::signedURL;
    auto canned = fault(c.endpoint, c.status, signedURL ? replyWith(Json::object()) : "");
    canned.headers = {{"Location", "file://" + (dir_ / "stolen.mp4").string()}};
    service_.addFault(canned);
    const auto path = clip("clip");
    logs_->clear();
    const auto error = upload(client(), path);
    EXPECT_FALSE(fs::exists(dir_ / "stolen.mp4"));
    if (c.status < 300) {
      EXPECT_FALSE(error) << describe(error);
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    EXPECT_EQ(caught<UploadError>(error), UploadError::badHTTPStatus(c.status)) << describe(error);
    EXPECT_EQ(errorLogs(), std::vector<std::string>{(signedURL ? "Signed URL request failed: HTTP " : "Upload PUT failed: HTTP ") +
                                                    std::to_string(c.status)});
    EXPECT_EQ(requests("PUT").size(), signedURL ? 0u : 1u);
    EXPECT_TRUE(fs::exists(path));
  }
}

TEST_F(UploadClientTest, SignedURLRepliesOfTheWrongShapeEndInTheirOwnErrorsBeforeAnyPut) {
  // A huge reply is not read to its end: with a success status it is not
  // a usable reply, with an error status the status is what counts.
  const std::string huge = replyWith({{"padding", std::string(3 << 20, 'x')}});
  struct Case {
    int status;
    std::string body;
    std::optional<UploadError> expected;  // none: the parser's own error
  };
  const Case cases[] = {
      {200, "<html>surprise</html>", std::nullopt},
      {200, R"(["http://127.0.0.1/x"])", UploadError::invalidResponse()},
      {200, replyWith({{"uploadUrl", "file://" + (dir_ / "stolen.mp4").string()}}), UploadError::missingUploadURL()},
      {200, huge, UploadError::invalidResponse()},
      {500, huge, UploadError::badHTTPStatus(500)},
  };
  const auto path = clip("clip");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 80));
    service_.addFault(fault(Endpoint::signedURL, c.status, c.body));
    const auto error = upload(client(), path);
    if (c.expected) {
      EXPECT_EQ(caught<UploadError>(error), c.expected) << describe(error);
    } else {
      EXPECT_TRUE(caught<Json::parse_error>(error)) << describe(error);
    }
  }
  EXPECT_TRUE(requests("PUT").empty());
  EXPECT_FALSE(fs::exists(dir_ / "stolen.mp4")) << "a file: URL must never receive the clip";
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, TheReplyChoosesTheURLAndHeadersButHostileHeadersAddNothing) {
  struct Case {
    Json reply;
    std::string contentType;  // the one Content-Type that goes out
    bool extraHeader;         // X-Meta arrives
    bool logged;
  };
  const std::string octet = "application/octet-stream";
  const Case cases[] = {
      {{{"uploadUrl", 12}, {"signedUrl", uploadURL()}}, "video/mp4", false, false},
      {{{"uploadUrl", uploadURL(octet)}, {"uploadHeaders", {{"content-type", octet}, {"X-Meta", "m"}}}}, octet, true, false},
      {{{"uploadHeaders", {{"X-Meta", "m"}, {"X-Count", 3}}}}, "video/mp4", false, false},
      {{{"uploadHeaders", {{"X-Meta", "m"}, {"X-Evil", "1\r\nAuthorization: Bearer stolen"}}}}, "video/mp4", false, true},
      {{{"uploadHeaders", {{"X-Meta\r\nX-Injected", "1"}}}}, "video/mp4", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply.dump());
    service_.clearRequests();
    logs_->clear();
    service_.addFault(fault(Endpoint::signedURL, 200, replyWith(c.reply)));
    const auto error = upload(client(), clip("plain"));
    ASSERT_FALSE(error) << describe(error);
    EXPECT_EQ(readFile(stored()), "plain");
    const auto puts = requests("PUT");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].headerCount("Content-Type"), 1u);
    EXPECT_EQ(puts[0].header("Content-Type"), c.contentType);
    EXPECT_EQ(puts[0].headerCount("X-Meta"), c.extraHeader ? 1u : 0u);
    EXPECT_EQ(puts[0].headerCount("X-Injected"), 0u);
    EXPECT_EQ(puts[0].headerCount("Authorization"), 0u);
    EXPECT_EQ(errorLogs().size(), c.logged ? 1u : 0u);
  }
}

TEST_F(UploadClientTest, TransportErrorsArePassedOnAsTheHttpLayersErrors) {
  // A connection dropped mid-body stores nothing.
  auto drop = fault(Endpoint::put);
  drop.dropAfterBytes = 512 * 1024;
  service_.addFault(drop);
  const auto path = clip(patternBytes(2 << 20));
  auto error = upload(client(), path);
  EXPECT_TRUE(caught<CurlError>(error)) << describe(error);
  // The service cleans up on its own thread once it notices the drop.
  ASSERT_TRUE(waitFor([&] {
    const auto all = service_.requests();
    return std::all_of(all.begin(), all.end(), [](const auto& r) { return r.finished; });
  }));
  EXPECT_TRUE(filesUnder(service_.storage()).empty());

  // Nobody listening.
  const auto [unused, closedPort] = loopbackSocket();
  ::close(unused);
  setEndpoint("http://127.0.0.1:" + std::to_string(closedPort) + "/upload-url");
  const auto refused = caught<CurlError>(upload(client(), path));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code(), CURLE_COULDNT_CONNECT);

  // A server that does not speak HTTP.
  const auto [listener, port] = loopbackSocket();
  ASSERT_EQ(::listen(listener, 1), 0);
  std::thread server([listener = listener] {
    const int connection = ::accept(listener, nullptr, nullptr);
    char buffer[4096];
    (void)::read(connection, buffer, sizeof buffer);
    const char answer[] = "SSH-2.0-OpenSSH_9.2\r\n\r\n";
    (void)::write(connection, answer, sizeof answer - 1);
    ::close(connection);
  });
  setEndpoint("http://127.0.0.1:" + std::to_string(port) + "/upload-url");
  error = upload(client(), path);
  server.join();
  ::close(listener);
  EXPECT_TRUE(caught<CurlError>(error)) << describe(error);
  EXPECT_TRUE(fs::exists(path));
}

// A lost clip (ENOENT after the signed-URL request) or one that cannot be
// deleted after the PUT fails with the file system's error, not a transport
// one, and without the success log.
TEST_F(UploadClientTest, FileSystemErrorsArePassedOnUnchanged) {
  auto error = upload(client(), dir_ / "recordings/gone.mp4");
  const auto lost = caught<std::system_error>(error);
  ASSERT_TRUE(lost) << describe(error);
  EXPECT_FALSE(caught<CurlError>(error));
  EXPECT_EQ(lost->code(), std::error_code(ENOENT, std::generic_category()));
  EXPECT_EQ(requests("POST").size(), 1u);
  EXPECT_TRUE(requests("PUT").empty());

  const auto path = clip("clip");
  auto stall = fault(Endpoint::put);
  stall.stall = 1500ms;
  service_.addFault(stall);
  bool swapped = false;
  // While the PUT is held up, the clip's name comes to hold a folder that
  // cannot simply be removed; the open clip still uploads.
  auto swap = [&](Task&) {
    if (swapped || requests("PUT").empty()) return;
    fs::rename(path, dir_ / "moved.mp4");
    fs::create_directories(path / "inner");
    swapped = true;
  };
  error = upload(client(), path, kToken, "user-1", swap);
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(caught<std::system_error>(error)) << describe(error);
  EXPECT_EQ(readFile(stored()), "clip");
  EXPECT_TRUE(logs_->messages("AnswerVideoUpload", LogLevel::info).empty());
}

// While it waits for the stalled server the main loop keeps running.
TEST_F(UploadClientTest, AStalledServerFailsAfterTheIdleTimeout) {
  auto stall = fault(Endpoint::signedURL);
  stall.stall = 60s;
  service_.addFault(stall);
  const auto path = clip("clip");
  const auto started = std::chrono::steady_clock::now();
  auto last = started;
  std::chrono::steady_clock::duration longestIteration{};
  auto measure = [&](Task&) {
    const auto now = std::chrono::steady_clock::now();
    longestIteration = std::max(longestIteration, now - last);
    last = now;
  };
  const auto error = upload(client(1s), path, kToken, "user-1", measure);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const auto failure = caught<CurlError>(error);
  ASSERT_TRUE(failure) << describe(error);
  EXPECT_EQ(failure->code(), CURLE_OPERATION_TIMEDOUT);
  // libcurl averages the speed over about five seconds, hence the slack.
  EXPECT_GE(elapsed, 1s);
  EXPECT_LT(elapsed, 20s);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_LT(longestIteration, 1000ms) << "the main loop stalled while the request waited";
}

TEST_F(UploadClientTest, ASlowButMovingUploadIsNeverCutOff) {
  auto throttle = fault(Endpoint::put);
  throttle.bytesPerSecond = 4 << 20;
  service_.addFault(throttle);
  const std::string content = patternBytes(20 << 20);
  const auto path = clip(content);
  const auto started = std::chrono::steady_clock::now();
  const auto error = upload(client(1s), path);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(error) << describe(error);
  EXPECT_GT(elapsed, 3s) << "the transfer must take several idle timeouts to prove anything";
  EXPECT_EQ(readFile(stored()), content);
}

TEST_F(UploadClientTest, CancellingTheCallerAbortsTheTransferAndKeepsTheClip) {
  auto stall = fault(Endpoint::put);
  stall.stall = 60s;
  service_.addFault(stall);
  const auto path = clip(patternBytes(64 * 1024));
  std::optional<std::chrono::steady_clock::time_point> cancelledAt;
  auto cancelOncePutArrives = [&](Task& task) {
    if (cancelledAt || requests("PUT").empty()) return;
    cancelledAt = std::chrono::steady_clock::now();
    task.cancel();
  };
  const auto error = upload(client(), path, kToken, "user-1", cancelOncePutArrives);
  ASSERT_TRUE(cancelledAt);
  EXPECT_LT(std::chrono::steady_clock::now() - *cancelledAt, 5s);
  const auto aborted = caught<boost::system::system_error>(error);
  ASSERT_TRUE(aborted) << describe(error);
  EXPECT_EQ(aborted->code(), boost::asio::error::operation_aborted);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(driver_.transfersInFlight(), 0u);
}

TEST_F(UploadClientTest, SeveralUploadsShareTheDriverAtOnce) {
  const auto first = clip(patternBytes(1 << 20, 1), "a.mp4");
  const auto second = clip(patternBytes(1 << 20, 2), "b.mp4");
  auto c = client();
  Task one = Task::spawn(main_.context().get_executor(), c.upload(first, "u", "s", "a", "u/s/a/1.mp4", kToken));
  Task two = Task::spawn(main_.context().get_executor(), c.upload(second, "u", "s", "a", "u/s/a/2.mp4", kToken));
  ASSERT_TRUE(main_.iterateUntil([&] { return one.isFinished() && two.isFinished(); }));
  EXPECT_EQ(readFile(service_.storage() / "u/s/a/1.mp4"), patternBytes(1 << 20, 1));
  EXPECT_EQ(readFile(service_.storage() / "u/s/a/2.mp4"), patternBytes(1 << 20, 2));
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
}

// The upload client against the real reference service on loopback.

#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/SignedUrlReply.hpp"
#include "UploadService.hpp"
#include "UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/system/system_error.hpp>
#include <optional>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::LogCapture;
using veltrano::testing::MainThread;
using veltrano::testing::patternBytes;
using veltrano::testing::readFile;
using veltrano::testing::TempDir;
using veltrano::testing::writeFile;
using veltrano::uploadservice::Fault;
using veltrano::uploadservice::RecordedRequest;
using veltrano::uploadservice::UploadService;
using veltrano::uploadservice::UploadServiceOptions;
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

UploadServiceOptions serviceOptions(const fs::path& storage) {
  UploadServiceOptions options;
  options.storage = storage;
  options.tokens = {"other-token", kToken};
  // Small fixed buffers, so a throttled reader is felt by the client soon.
  options.receiveBufferBytes = 256 * 1024;
  return options;
}

Fault cannedSignedURLReply(int status, const std::string& body) {
  Fault fault;
  fault.endpoint = Fault::Endpoint::signedURL;
  fault.status = status;
  fault.body = body;
  return fault;
}

Fault putFault() {
  Fault fault;
  fault.endpoint = Fault::Endpoint::put;
  return fault;
}

std::int64_t inTenMinutes() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() +
         600;
}

class UploadClientTest : public ::testing::Test {
 protected:
  UploadClientTest() : service_(serviceOptions(dir_ / "store")) {
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

  fs::path stored() const { return service_.storage() / kObjectPath; }

  bool serviceFinishedEveryRequest() const {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto all = service_.requests();
      if (std::all_of(all.begin(), all.end(), [](const auto& r) { return r.finished; })) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  bool leftoverPartFiles() const {
    if (!fs::exists(service_.storage())) return false;
    for (const auto& entry : fs::recursive_directory_iterator(service_.storage()))
      if (entry.path().filename().string().find(".part.") != std::string::npos) return true;
    return false;
  }

  TempDir dir_;
  fs::path info_ = dir_ / "share/VeltranoMac/Info.json";
  MainThread main_;
  UploadService service_;
  CurlMultiDriver driver_;
  LogCapture logs_;
};

}  // namespace

TEST_F(UploadClientTest, UploadsTheClipAndDeletesItWithExactlyTheExpectedRequests) {
  const std::string content = patternBytes(300 * 1024);
  const auto path = clip(content);

  const auto error = upload(client(), path);
  ASSERT_FALSE(error) << describe(error);

  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(readFile(stored()), content);
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
  EXPECT_EQ(puts[0].header("Content-Length"), std::to_string(content.size()));
  EXPECT_EQ(puts[0].headerCount("Transfer-Encoding"), 0u);
  EXPECT_EQ(puts[0].headerCount("Authorization"), 0u) << "the ID token never goes to storage";
  EXPECT_EQ(puts[0].status, 200);
}

TEST_F(UploadClientTest, WithoutAUsableEndpointTheClipIsDeletedAndNothingIsSent) {
  const Json notSet[] = {nullptr, "", 42, "not a url", "ftp://127.0.0.1/upload-url", "file:///tmp/upload-url"};
  for (const Json& value : notSet) {
    if (value.is_null()) {
      writeFile(info_, R"({"CFBundleIdentifier": "com.brackwood.VeltranoMac"})");
    } else {
      setEndpoint(value);
    }
    const auto path = clip("clip");
    logs_->clear();
    const auto error = upload(client(), path);
    EXPECT_FALSE(error) << value.dump() << ": " << describe(error);
    EXPECT_FALSE(fs::exists(path)) << value.dump();
    EXPECT_EQ(logs_->messages("AnswerVideoUpload", LogLevel::error), std::vector<std::string>{kNotSet}) << value.dump();
  }
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(UploadClientTest, AMissingOrBrokenInfoJsonFailsAndKeepsTheClip) {
  const auto path = clip("clip");
  fs::remove(info_);
  EXPECT_TRUE(caught<std::system_error>(upload(client(), path)));
  writeFile(info_, "{ not json");
  EXPECT_TRUE(caught<Json::parse_error>(upload(client(), path)));
  EXPECT_TRUE(fs::exists(path));
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(UploadClientTest, SignedURLStatusOutside200To299FailsWithThatStatusBeforeAnyPut) {
  for (int status : {300, 401, 403, 500, 503}) {
    service_.addFault(cannedSignedURLReply(status, R"({"uploadUrl": "http://127.0.0.1:1/never"})"));
    const auto path = clip("clip");
    logs_->clear();
    const auto failure = caught<UploadError>(upload(client(), path));
    ASSERT_TRUE(failure) << status;
    EXPECT_EQ(*failure, UploadError::badHTTPStatus(status));
    EXPECT_EQ(logs_->messages("AnswerVideoUpload", LogLevel::error),
              std::vector<std::string>{"Signed URL request failed: HTTP " + std::to_string(status)});
    EXPECT_TRUE(fs::exists(path));
  }
  // The real service refuses an unknown token the same way.
  const auto failure = caught<UploadError>(upload(client(), clip("clip"), "forged-token"));
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, UploadError::badHTTPStatus(401));
  EXPECT_TRUE(requests("PUT").empty());
}

TEST_F(UploadClientTest, StatusesFrom200To299CountAsSuccessForBothRequests) {
  const std::string reply = Json{{"uploadUrl", service_.uploadURL(kObjectPath, inTenMinutes())}}.dump();
  service_.addFault(cannedSignedURLReply(201, reply));
  auto noContent = putFault();
  noContent.status = 204;
  service_.addFault(noContent);
  const auto path = clip("clip");
  const auto error = upload(client(), path);
  EXPECT_FALSE(error) << describe(error);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(UploadClientTest, SignedURLRepliesOfTheWrongShapeEndInTheirOwnErrors) {
  const auto path = clip("clip");
  service_.addFault(cannedSignedURLReply(200, "<html>surprise</html>"));
  EXPECT_TRUE(caught<Json::parse_error>(upload(client(), path)));

  service_.addFault(cannedSignedURLReply(200, R"(["http://127.0.0.1/x"])"));
  auto failure = caught<UploadError>(upload(client(), path));
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, UploadError::invalidResponse());

  const Json missing[] = {Json::object(), Json{{"uploadUrl", ""}, {"signedUrl", service_.uploadURL(kObjectPath, inTenMinutes())}},
                          Json{{"uploadUrl", 7}}, Json{{"uploadUrl", "file://" + (dir_ / "stolen.mp4").string()}},
                          Json{{"signedUrl", "ftp://127.0.0.1/x"}}};
  for (const Json& reply : missing) {
    service_.addFault(cannedSignedURLReply(200, reply.dump()));
    failure = caught<UploadError>(upload(client(), path));
    ASSERT_TRUE(failure) << reply.dump();
    EXPECT_EQ(*failure, UploadError::missingUploadURL()) << reply.dump();
  }
  EXPECT_FALSE(fs::exists(dir_ / "stolen.mp4")) << "a file: URL must never receive the clip";

  // A huge reply is not read to its end: with a success status it is not
  // a usable reply, with an error status the status is what counts.
  const std::string huge = Json{{"uploadUrl", service_.uploadURL(kObjectPath, inTenMinutes())},
                                {"padding", std::string(3 << 20, 'x')}}.dump();
  service_.addFault(cannedSignedURLReply(200, huge));
  failure = caught<UploadError>(upload(client(), path));
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, UploadError::invalidResponse());
  service_.addFault(cannedSignedURLReply(500, huge));
  failure = caught<UploadError>(upload(client(), path));
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, UploadError::badHTTPStatus(500));

  EXPECT_TRUE(requests("PUT").empty());
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, SignedUrlIsUsedWhenUploadUrlIsNotAString) {
  const Json reply{{"uploadUrl", 12}, {"signedUrl", service_.uploadURL(kObjectPath, inTenMinutes())}};
  service_.addFault(cannedSignedURLReply(200, reply.dump()));
  const auto error = upload(client(), clip("from signedUrl"));
  EXPECT_FALSE(error) << describe(error);
  EXPECT_EQ(readFile(stored()), "from signedUrl");
}

TEST_F(UploadClientTest, UploadHeadersReplaceContentTypeIgnoringCaseSoExactlyOneGoesOut) {
  const Json reply{{"uploadUrl", service_.uploadURL(kObjectPath, inTenMinutes(), "application/octet-stream")},
                   {"uploadHeaders", {{"content-type", "application/octet-stream"}, {"X-Meta", "m"}}}};
  service_.addFault(cannedSignedURLReply(200, reply.dump()));
  const auto error = upload(client(), clip("typed"));
  ASSERT_FALSE(error) << describe(error);
  const auto puts = requests("PUT");
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0].headerCount("Content-Type"), 1u);
  EXPECT_EQ(puts[0].header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(puts[0].header("X-Meta"), "m");
}

TEST_F(UploadClientTest, UploadHeadersWithANonStringOrHostileMemberAddNothingAndThePutStillGoesOut) {
  struct Case {
    Json headers;
    bool logged;
  };
  const Case cases[] = {
      {Json{{"X-Meta", "m"}, {"X-Count", 3}}, false},
      {Json{{"X-Meta", "m"}, {"X-Evil", "1\r\nAuthorization: Bearer stolen"}}, true},
      {Json{{"X-Meta\r\nX-Injected", "1"}}, true},
  };
  for (const auto& c : cases) {
    service_.clearRequests();
    logs_->clear();
    const Json reply{{"uploadUrl", service_.uploadURL(kObjectPath, inTenMinutes())}, {"uploadHeaders", c.headers}};
    service_.addFault(cannedSignedURLReply(200, reply.dump()));
    const auto error = upload(client(), clip("plain"));
    ASSERT_FALSE(error) << c.headers.dump() << ": " << describe(error);
    const auto puts = requests("PUT");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].header("Content-Type"), "video/mp4");
    EXPECT_EQ(puts[0].headerCount("X-Meta"), 0u) << c.headers.dump();
    EXPECT_EQ(puts[0].headerCount("X-Injected"), 0u);
    EXPECT_EQ(puts[0].headerCount("Authorization"), 0u);
    EXPECT_EQ(logs_->messages("AnswerVideoUpload", LogLevel::error).size(), c.logged ? 1u : 0u) << c.headers.dump();
  }
}

TEST_F(UploadClientTest, TheIdTokenGoesOutVerbatimEvenEmptyButNeverWithALineBreak) {
  const auto path = clip("clip");
  EXPECT_EQ(caught<UploadError>(upload(client(), path, "")), UploadError::badHTTPStatus(401));
  ASSERT_EQ(requests("POST").size(), 1u);
  EXPECT_EQ(requests("POST")[0].header("Authorization").value_or("").rfind("Bearer", 0), 0u);

  service_.clearRequests();
  EXPECT_TRUE(caught<std::invalid_argument>(upload(client(), path, "token\r\nX-Injected: 1")));
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, ABodyThatCannotBeSerialisedFailsWithTheSerializersError) {
  const auto path = clip("clip");
  EXPECT_TRUE(caught<Json::type_error>(upload(client(), path, kToken, "user-\xff")));
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, TransportErrorsArePassedOnAsTheHttpLayersErrors) {
  const auto [unused, closedPort] = loopbackSocket();
  ::close(unused);  // nobody listens there now
  setEndpoint("http://127.0.0.1:" + std::to_string(closedPort) + "/upload-url");
  const auto path = clip("clip");
  const auto failure = caught<CurlError>(upload(client(), path));
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code(), CURLE_COULDNT_CONNECT);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, AServerThatDoesNotSpeakHttpIsATransportError) {
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
  const auto path = clip("clip");
  const auto error = upload(client(), path);
  server.join();
  ::close(listener);
  EXPECT_TRUE(caught<CurlError>(error)) << describe(error);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, PutStatusOutside200To299FailsWithThatStatusAndKeepsTheClip) {
  for (int status : {300, 403, 500}) {
    auto fault = putFault();
    fault.status = status;
    service_.addFault(fault);
    const auto path = clip("clip");
    logs_->clear();
    const auto failure = caught<UploadError>(upload(client(), path));
    ASSERT_TRUE(failure) << status;
    EXPECT_EQ(*failure, UploadError::badHTTPStatus(status));
    EXPECT_EQ(logs_->messages("AnswerVideoUpload", LogLevel::error),
              std::vector<std::string>{"Upload PUT failed: HTTP " + std::to_string(status)});
    EXPECT_TRUE(fs::exists(path));
  }
}

TEST_F(UploadClientTest, ARedirectFromStorageIsNotFollowed) {
  auto fault = putFault();
  fault.status = 307;
  fault.headers = {{"Location", "file://" + (dir_ / "stolen.mp4").string()}};
  service_.addFault(fault);
  const auto path = clip("clip");
  const auto failure = caught<UploadError>(upload(client(), path));
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, UploadError::badHTTPStatus(307));
  EXPECT_EQ(requests("PUT").size(), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "stolen.mp4"));
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, AConnectionDroppedMidBodyIsATransportErrorAndStoresNothing) {
  auto fault = putFault();
  fault.dropAfterBytes = 512 * 1024;
  service_.addFault(fault);
  const auto path = clip(patternBytes(2 << 20));
  const auto error = upload(client(), path);
  EXPECT_TRUE(caught<CurlError>(error)) << describe(error);
  EXPECT_TRUE(fs::exists(path));
  // The service cleans up on its own thread once it notices the drop.
  ASSERT_TRUE(serviceFinishedEveryRequest());
  EXPECT_FALSE(fs::exists(stored()));
  EXPECT_FALSE(leftoverPartFiles());
}

TEST_F(UploadClientTest, AMissingClipFailsWithTheFileSystemErrorAfterTheSignedURLRequest) {
  const auto error = upload(client(), dir_ / "recordings/gone.mp4");
  const auto failure = caught<std::system_error>(error);
  ASSERT_TRUE(failure) << describe(error);
  EXPECT_FALSE(caught<CurlError>(error));
  EXPECT_EQ(failure->code(), std::error_code(ENOENT, std::generic_category()));
  EXPECT_EQ(requests("POST").size(), 1u);
  EXPECT_TRUE(requests("PUT").empty());
}

TEST_F(UploadClientTest, AClipThatCannotBeDeletedAfterthePutFailsWithoutTheSuccessLog) {
  const auto path = clip("clip");
  auto fault = putFault();
  fault.stall = 1500ms;
  service_.addFault(fault);
  bool swapped = false;
  // While the PUT is held up, the clip's name comes to hold a folder that
  // cannot simply be removed; the open clip still uploads.
  auto swap = [&](Task&) {
    if (swapped || requests("PUT").empty()) return;
    fs::rename(path, dir_ / "moved.mp4");
    fs::create_directories(path / "inner");
    swapped = true;
  };
  const auto error = main_.run(client().upload(path, "user-1", "session-1", "answer-1", kObjectPath, kToken), 60s, swap);
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(caught<std::system_error>(error)) << describe(error);
  EXPECT_EQ(readFile(stored()), "clip");
  EXPECT_TRUE(logs_->messages("AnswerVideoUpload", LogLevel::info).empty());
}

TEST_F(UploadClientTest, AStalledServerFailsAfterTheIdleTimeout) {
  Fault stall;
  stall.endpoint = Fault::Endpoint::signedURL;
  stall.stall = 60s;
  service_.addFault(stall);
  const auto path = clip("clip");
  const auto started = std::chrono::steady_clock::now();
  const auto error = upload(client(1s), path);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const auto failure = caught<CurlError>(error);
  ASSERT_TRUE(failure) << describe(error);
  EXPECT_EQ(failure->code(), CURLE_OPERATION_TIMEDOUT);
  // libcurl averages the speed over about five seconds, hence the slack.
  EXPECT_GE(elapsed, 1s);
  EXPECT_LT(elapsed, 20s);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadClientTest, ASlowButMovingUploadIsNeverCutOff) {
  auto throttle = putFault();
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

TEST_F(UploadClientTest, TheMainLoopKeepsRunningWhileARequestWaits) {
  Fault stall;
  stall.endpoint = Fault::Endpoint::signedURL;
  stall.stall = 3s;
  service_.addFault(stall);
  std::vector<std::chrono::steady_clock::time_point> ticks;
  GSource* timer = g_timeout_source_new(5);
  g_source_set_callback(
      timer,
      [](gpointer data) -> gboolean {
        static_cast<std::vector<std::chrono::steady_clock::time_point>*>(data)->push_back(std::chrono::steady_clock::now());
        return G_SOURCE_CONTINUE;
      },
      &ticks, nullptr);
  g_source_attach(timer, main_.glib());
  const auto error = upload(client(), clip("clip"));
  g_source_destroy(timer);
  g_source_unref(timer);
  ASSERT_FALSE(error) << describe(error);
  ASSERT_GT(ticks.size(), 10u);
  std::chrono::steady_clock::duration longest{};
  for (std::size_t i = 1; i < ticks.size(); ++i) longest = std::max(longest, ticks[i] - ticks[i - 1]);
  EXPECT_GT(ticks.back() - ticks.front(), 2500ms);
  EXPECT_LT(longest, 1000ms) << "the main loop stalled while the request waited";
}

TEST_F(UploadClientTest, CancellingTheCallerAbortsTheTransferAndKeepsTheClip) {
  auto stall = putFault();
  stall.stall = 60s;
  service_.addFault(stall);
  const auto path = clip(patternBytes(64 * 1024));
  std::optional<std::chrono::steady_clock::time_point> cancelledAt;
  auto cancelOncePutArrives = [&](Task& task) {
    if (cancelledAt || requests("PUT").empty()) return;
    cancelledAt = std::chrono::steady_clock::now();
    task.cancel();
  };
  const auto error = main_.run(client().upload(path, "user-1", "session-1", "answer-1", kObjectPath, kToken), 60s,
                               cancelOncePutArrives);
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
  Task one = Task::spawn(main_.context().get_executor(),
                         c.upload(first, "u", "s", "a", "u/s/a/1.mp4", kToken));
  Task two = Task::spawn(main_.context().get_executor(),
                         c.upload(second, "u", "s", "a", "u/s/a/2.mp4", kToken));
  ASSERT_TRUE(main_.iterateUntil([&] { return one.isFinished() && two.isFinished(); }));
  EXPECT_EQ(readFile(service_.storage() / "u/s/a/1.mp4"), patternBytes(1 << 20, 1));
  EXPECT_EQ(readFile(service_.storage() / "u/s/a/2.mp4"), patternBytes(1 << 20, 2));
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
}

TEST_F(UploadClientTest, TheClipIsStreamedNotReadIntoMemory) {
  const auto path = dir_ / "recordings/big.mp4";
  fs::create_directories(path.parent_path());
  constexpr std::uintmax_t size = 256ull << 20;
  {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);  // sparse: no memory or disk to fill
    ::close(fd);
  }
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
  EXPECT_EQ(requests("PUT").at(0).header("Content-Length"), std::to_string(size));
}

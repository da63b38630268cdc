// The upload client against the real reference service on loopback.

#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/SignedUrlReply.hpp"
#include "UploadService.hpp"
#include "UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
constexpr const char* kNotSet =
    "VeltranoAnswerVideoSignedURLRequestURL not set; removing temp file and skipping upload.";
constexpr const char* kUploaded =
    "Answer video uploaded successfully for object path user-1/session-1/answer-1/2026-12-06T10-00-00Z.mp4";

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
                          {"VeltranoAnswerVideoSignedURLRequestURL", value}}
                         .dump());
  }

  fs::path clip(const std::string& content, const std::string& name = "veltrano-answer-1.mp4") {
    auto path = dir_ / ("recordings/" + name);
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
    return service_.uploadURL(
        kObjectPath, std::chrono::duration_cast<std::chrono::seconds>(now).count() + 600, contentType);
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
  EXPECT_EQ(
      body,
      (Json{{"userId", "user-1"}, {"sessionId", "session-1"}, {"answerId", "answer-1"}, {"objectPath", kObjectPath}}));
  EXPECT_EQ(posts[0].body, body.dump()) << "the body is compact";

  const auto puts = requests("PUT");
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0].headerCount("Content-Type"), 1u);
  EXPECT_EQ(puts[0].header("Content-Type"), "video/mp4");
  EXPECT_EQ(puts[0].header("Content-Length"), std::to_string(size));
  EXPECT_EQ(puts[0].headerCount("Transfer-Encoding"), 0u);
  EXPECT_EQ(puts[0].headerCount("Authorization"), 0u) << "the ID token never goes to storage";
}

// Only a missing, empty or non-URL value means "no endpoint" and drops the
// clip; a URL of another scheme is a misconfiguration that keeps it.
TEST_F(UploadClientTest, OnlyAnEndpointThatIsNoURLDeletesTheClipAnotherSchemeFailsAndKeepsIt) {
  const std::pair<Json, bool> cases[] = {{nullptr, true},
                                         {"", true},
                                         {42, true},
                                         {Json::array({"http://127.0.0.1/x"}), true},
                                         {"not a url", true},
                                         {" http://127.0.0.1/x", true},
                                         {"example.com/upload-url", true},
                                         {"ftp://127.0.0.1/upload-url", false},
                                         {"file:///tmp/upload-url", false},
                                         {"gopher://127.0.0.1/x", false},
                                         {"mailto:ops@example.org", false},
                                         {"http://", false}};
  for (const auto& [value, deletes] : cases) {
    SCOPED_TRACE(value.dump());
    if (value.is_null()) {
      writeFile(info_, R"({"CFBundleIdentifier": "com.brackwood.VeltranoMac"})");
    } else {
      setEndpoint(value);
    }
    const auto path = clip("clip");
    logs_->clear();
    const auto error = upload(client(), path);
    if (deletes) {
      EXPECT_FALSE(error) << describe(error);
      EXPECT_EQ(errorLogs(), std::vector<std::string>{kNotSet});
    } else {
      const auto refused = caught<CurlError>(error);
      ASSERT_TRUE(refused) << describe(error);
      EXPECT_EQ(refused->code(), CURLE_UNSUPPORTED_PROTOCOL);
      EXPECT_TRUE(errorLogs().empty());
    }
    EXPECT_EQ(fs::exists(path), !deletes);
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

// A 3xx without a Location is an answer like any other.
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
    service_.addFault(fault(c.endpoint, c.status, signedURL ? replyWith(Json::object()) : ""));
    const auto path = clip("clip");
    logs_->clear();
    const auto error = upload(client(), path);
    if (c.status < 300) {
      EXPECT_FALSE(error) << describe(error);
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    EXPECT_EQ(caught<UploadError>(error), UploadError::badHTTPStatus(c.status)) << describe(error);
    EXPECT_EQ(errorLogs(),
              std::vector<std::string>{(signedURL ? "Signed URL request failed: HTTP " : "Upload PUT failed: HTTP ") +
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
      {{{"uploadUrl", uploadURL(octet)}, {"uploadHeaders", {{"content-type", octet}, {"X-Meta", "m"}}}},
       octet,
       true,
       false},
      {{{"uploadHeaders", {{"X-Meta", "m"}, {"X-Count", 3}}}}, "video/mp4", false, false},
      {{{"uploadHeaders", {{"X-Meta", "m"}, {"X-Evil", "1\r\nAuthorization: Bearer stolen"}}}},
       "video/mp4",
       false,
       true},
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
  setEndpoint(ScriptedServer([](int, const std::string&) {}).url("/upload-url"));
  const auto refused = caught<CurlError>(upload(client(), path));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code(), CURLE_COULDNT_CONNECT);

  // A server that does not speak HTTP.
  ScriptedServer ssh(
      [](int socket, const std::string&) { ScriptedServer::send(socket, "SSH-2.0-OpenSSH_9.2\r\n\r\n"); });
  setEndpoint(ssh.url("/upload-url"));
  error = upload(client(), path);
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

// libcurl's own low-speed check fires about five seconds late; the idle
// watch must not. While it waits, the main loop keeps running.
TEST_F(UploadClientTest, AStalledRequestFailsSoonAfterItsIdleTimeWhichIsAMinuteByDefault) {
  EXPECT_EQ(AnswerVideoUploadClient::Options{}.idleTimeout, 60s);
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
  const auto error = upload(client(2s), path, kToken, "user-1", measure);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const auto failure = caught<CurlError>(error);
  ASSERT_TRUE(failure) << describe(error);
  EXPECT_EQ(failure->code(), CURLE_OPERATION_TIMEDOUT);
  EXPECT_GE(elapsed, 2s);
  EXPECT_LT(elapsed, 3500ms);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_LT(longestIteration, 1000ms) << "the main loop stalled while the request waited";
}

// Slow is not idle, in either direction: the reply trickles in one byte
// every 1.2 s against a 2 s idle time, the clip goes to a throttled reader.
TEST_F(UploadClientTest, ASlowButMovingTransferIsNeverCutOff) {
  const std::string reply = replyWith(Json::object());
  ScriptedServer trickle([&](int socket, const std::string&) {
    const std::string spaces = "    ";  // white space before the JSON is still JSON
    ScriptedServer::send(socket,
                         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                         "Content-Length: " +
                             std::to_string(spaces.size() + reply.size()) + "\r\n\r\n");
    for (char space : spaces) {
      ScriptedServer::send(socket, std::string(1, space));
      std::this_thread::sleep_for(1200ms);
    }
    ScriptedServer::send(socket, reply);
  });
  setEndpoint(trickle.url("/upload-url"));
  auto error = upload(client(2s), clip("clip"));
  ASSERT_FALSE(error) << describe(error);
  EXPECT_EQ(readFile(stored()), "clip");

  setEndpoint(service_.signedURLEndpoint());
  auto throttle = fault(Endpoint::put);
  throttle.bytesPerSecond = 4 << 20;
  service_.addFault(throttle);
  const std::string content = patternBytes(12 << 20);
  const auto started = std::chrono::steady_clock::now();
  error = upload(client(1s), clip(content));
  ASSERT_FALSE(error) << describe(error);
  EXPECT_GT(std::chrono::steady_clock::now() - started, 2s)
      << "the transfer must outlast the idle time to prove anything";
  EXPECT_EQ(readFile(stored()), content);
}

// Replaced while its upload waits for the signed URL by a client on
// another driver whose idle time would cut the stalled PUT: the upload
// still uses only what its own client had.
TEST_F(UploadClientTest, AnUploadKeepsWhatItNeedsWhenItsClientGoesAway) {
  auto slowPost = fault(Endpoint::signedURL);
  slowPost.stall = 300ms;
  service_.addFault(slowPost);
  auto slowPut = fault(Endpoint::put);
  slowPut.stall = 2500ms;
  service_.addFault(slowPut);
  CurlMultiDriver otherDriver;
  std::optional<AnswerVideoUploadClient> slot(client(60s));
  bool replaced = false;
  bool otherDriverUsed = false;
  const auto error =
      main_.run(slot->upload(clip("clip"), "user-1", "session-1", "answer-1", kObjectPath, kToken), 60s, [&](Task&) {
        otherDriverUsed = otherDriverUsed || otherDriver.transfersInFlight() > 0;
        if (replaced || requests("POST").empty()) return;
        slot.reset();
        AnswerVideoUploadClient::Options options;
        options.idleTimeout = 1s;
        slot.emplace(info_, otherDriver, options);
        replaced = true;
      });
  ASSERT_TRUE(replaced);
  EXPECT_FALSE(otherDriverUsed);
  ASSERT_FALSE(error) << describe(error);
  EXPECT_EQ(readFile(stored()), "clip");
}

// Redirects of either request: up to 5, http(s) only; 307/308 keep method
// and body (the PUT re-sent from the file's start), 301/302/303 as libcurl
// does; the token never goes to another origin. A success answered before
// the whole clip went out (to "Expect: 100-continue", or after part of the
// body) stored nothing. Any failure keeps the clip.
TEST_F(UploadClientTest, OnlyASuccessAfterTheWholeClipWasSentCountsWhereverRedirectsLead) {
  UploadService other({.storage = dir_ / "other", .tokens = {kToken}});
  other.start();
  // Gone before `other`, so no kept-alive connection holds up its stop.
  CurlMultiDriver driver;
  auto redirect = [](Endpoint endpoint, int status, const std::string& location, int count = 1) {
    auto hop = fault(endpoint, status);
    hop.count = count;
    hop.headers = {{"Location", location}};
    return hop;
  };
  auto early = [](std::uint64_t afterBytes) {
    auto answer = fault(Endpoint::put, 200);
    answer.answerAfterBytes = afterBytes;
    return answer;
  };
  const std::string endpoint = service_.signedURLEndpoint();
  const std::string stolen = "file://" + (dir_ / "stolen.mp4").string();
  constexpr CURLcode anyTransportError = CURL_LAST;  // never a result of its own
  struct Case {
    const char* what;
    std::vector<Fault> faults;
    std::optional<UploadError> status;  // neither this nor `curl`: success
    std::optional<CURLcode> curl;
    std::size_t posts;
  };
  const Case cases[] = {
      {"307 POST, 308 PUT",
       {redirect(Endpoint::signedURL, 307, endpoint), redirect(Endpoint::put, 308, uploadURL())},
       {},
       {},
       2},
      {"308 POST, 307 and 301 PUT",
       {redirect(Endpoint::signedURL, 308, endpoint), redirect(Endpoint::put, 307, uploadURL()),
        redirect(Endpoint::put, 301, uploadURL())},
       {},
       {},
       2},
      {"5 redirects", {redirect(Endpoint::signedURL, 307, endpoint, 5)}, {}, {}, 6},
      {"6 redirects", {redirect(Endpoint::signedURL, 307, endpoint, 6)}, {}, CURLE_TOO_MANY_REDIRECTS, 6},
      // A POST turned GET finds no handler; a PUT turned GET sends no clip.
      {"301 POST", {redirect(Endpoint::signedURL, 301, endpoint)}, UploadError::badHTTPStatus(404), {}, 1},
      {"302 POST", {redirect(Endpoint::signedURL, 302, endpoint)}, UploadError::badHTTPStatus(404), {}, 1},
      {"303 POST", {redirect(Endpoint::signedURL, 303, endpoint)}, UploadError::badHTTPStatus(404), {}, 1},
      {"303 PUT", {redirect(Endpoint::put, 303, uploadURL())}, UploadError::badHTTPStatus(404), {}, 1},
      // Another port is another origin: the token stays behind, so it refuses.
      {"POST to another port",
       {redirect(Endpoint::signedURL, 307, other.signedURLEndpoint())},
       UploadError::badHTTPStatus(401),
       {},
       1},
      {"POST to file:", {redirect(Endpoint::signedURL, 307, stolen)}, {}, CURLE_UNSUPPORTED_PROTOCOL, 1},
      {"PUT to file:", {redirect(Endpoint::put, 307, stolen)}, {}, CURLE_UNSUPPORTED_PROTOCOL, 1},
      {"200 before the body", {early(0)}, {}, anyTransportError, 1},
      {"200 after 64 KiB", {early(std::uint64_t{64} * 1024)}, {}, anyTransportError, 1},
  };
  std::size_t otherPosts = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service_.clearRequests();
    other.clearRequests();
    fs::remove(stored());
    for (const auto& f : c.faults) service_.addFault(f);
    const std::string content = patternBytes(4 << 20, c.faults.size());  // more than socket buffers hold
    const auto path = clip(content);
    logs_->clear();
    const auto error = upload(AnswerVideoUploadClient(info_, driver), path);
    service_.clearFaults();
    if (c.status) {
      EXPECT_EQ(caught<UploadError>(error), c.status) << describe(error);
    } else if (c.curl) {
      const auto failure = caught<CurlError>(error);
      EXPECT_TRUE(failure) << describe(error);
      if (failure && *c.curl != anyTransportError) {
        EXPECT_EQ(failure->code(), *c.curl);
      }
    } else {
      EXPECT_FALSE(error) << describe(error);
      EXPECT_EQ(readFile(stored()), content) << "the PUT is re-sent whole after a redirect";
    }
    const bool failed = c.status || c.curl;
    EXPECT_EQ(fs::exists(path), failed);
    EXPECT_EQ(logs_->messages("AnswerVideoUpload", LogLevel::info).empty(), failed);
    EXPECT_TRUE(!failed || !fs::exists(stored()));
    const auto posts = requests("POST");
    EXPECT_EQ(posts.size(), c.posts);
    for (const auto& post : posts) {
      EXPECT_EQ(post.header("Authorization"), std::string("Bearer ") + kToken);
      EXPECT_EQ(Json::parse(post.body)["objectPath"], kObjectPath) << "307/308 keep the body";
    }
    for (const auto& post : other.requests()) EXPECT_EQ(post.headerCount("Authorization"), 0u);
    otherPosts += other.requests().size();
  }
  EXPECT_EQ(otherPosts, 1u);
  EXPECT_FALSE(fs::exists(dir_ / "stolen.mp4"));
}

// Up from http to https is followed; back from https to http is refused
// before the request goes out. The https peer has a throw-away certificate.
TEST_F(UploadClientTest, ARedirectNeverLeadsFromHttpsBackToHttp) {
  const auto cert = dir_ / "cert.pem";
  const auto key = dir_ / "key.pem";
  const std::string makeCert =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
      key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(makeCert.c_str()), 0);
  httplib::SSLServer tls(cert.c_str(), key.c_str());
  tls.set_keep_alive_max_count(1);  // no kept-alive connection holds up its stop
  const std::string downgrade = service_.signedURLEndpoint();
  const std::string reply = replyWith(Json::object());
  tls.Post("/down", [&](const httplib::Request&, httplib::Response& response) {
    response.status = 307;
    response.set_header("Location", downgrade);
  });
  tls.Post("/reply", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(reply, "application/json");
  });
  const int port = tls.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { tls.listen_after_bind(); });
  while (!tls.is_running()) std::this_thread::sleep_for(1ms);
  const std::string https = "https://127.0.0.1:" + std::to_string(port);
  AnswerVideoUploadClient::Options options;
  options.caBundle = cert;
  const AnswerVideoUploadClient client(info_, driver_, options);

  setEndpoint(https + "/down");
  const auto path = clip("clip");
  const auto refused = caught<CurlError>(upload(client, path));
  EXPECT_EQ(refused ? refused->code() : CURLE_OK, CURLE_UNSUPPORTED_PROTOCOL);
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_TRUE(fs::exists(path));

  auto upgrade = fault(Endpoint::signedURL, 308);
  upgrade.headers = {{"Location", https + "/reply"}};
  service_.addFault(upgrade);
  setEndpoint(service_.signedURLEndpoint());
  const auto error = upload(client, path);
  EXPECT_FALSE(error) << describe(error);
  EXPECT_EQ(readFile(stored()), "clip");
  tls.stop();
  serving.join();
}

TEST_F(UploadClientTest, CancellingTheCallerAbortsTheTransferAndKeepsTheClip) {
  auto stall = fault(Endpoint::put);
  stall.stall = 60s;
  service_.addFault(stall);
  const auto path = clip(patternBytes(std::size_t{64} * 1024));
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

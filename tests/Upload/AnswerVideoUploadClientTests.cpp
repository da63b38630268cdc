// The upload client against the real reference service on loopback.

#include "Upload/AnswerVideoUploadClient.hpp"
#include "UploadService.hpp"
#include "UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/resource.h>

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
using ::testing::StartsWith;
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
constexpr const char* kIgnoring = "Ignoring uploadHeaders: a header name or value is not allowed in an HTTP header";

// How an upload ended, as one string a row can name by its start: "ok",
// the UploadError's own rendering, or the family and code of another error
// followed by its message.
std::string outcome(std::exception_ptr error) {
  if (!error) return "ok";
  try {
    std::rethrow_exception(error);
  } catch (const UploadError& e) {
    return e.what();
  } catch (const CurlError& e) {
    return "CurlError(" + std::to_string(e.code()) + ") " + e.what();
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted ? "aborted" : std::string("boost ") + e.what();
  } catch (const std::system_error& e) {
    return "system_error(" + std::string(e.code().category().name()) + ":" + std::to_string(e.code().value()) + ") " +
           e.what();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument ") + e.what();
  } catch (const std::exception& e) {
    return e.what();  // nlohmann's start "[json.exception.<kind>.<id>]"
  }
}

std::string curl(CURLcode code) {
  return "CurlError(" + std::to_string(code) + ")";
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

  void setEndpoint(const Json& value) { writeFile(info_, infoWith(value)); }
  static std::string infoWith(const Json& endpoint) {
    Json info{{"CFBundleIdentifier", "com.brackwood.VeltranoMac"}};
    if (!endpoint.is_null()) info["VeltranoAnswerVideoSignedURLRequestURL"] = endpoint;
    return info.dump();
  }

  fs::path clip(const std::string& content, const std::string& name = "veltrano-answer-1.mp4") {
    auto path = dir_ / ("recordings/" + name);
    writeFile(path, content);
    return path;
  }

  AnswerVideoUploadClient client() { return AnswerVideoUploadClient(info_, driver_); }

  std::exception_ptr upload(const AnswerVideoUploadClient& client, const fs::path& clip,
                            const std::string& token = kToken, const std::string& userId = "user-1",
                            const std::function<void(Task&)>& tick = {}) {
    return main_.run(client.upload({clip, {userId, "session-1", "answer-1"}, kObjectPath, token}), 60s, tick);
  }

  std::vector<RecordedRequest> requests(const std::string& method) const {
    std::vector<RecordedRequest> out;
    for (auto& request : service_.requests())
      if (request.method == method) out.push_back(request);
    return out;
  }

  std::vector<std::string> errorLogs() { return logs_->messages("AnswerVideoUpload", LogLevel::error); }
  fs::path stored() const { return service_.storage() / kObjectPath; }
  std::string uploadURL(const std::string& contentType = "video/mp4",
                        const std::string& objectPath = kObjectPath) const {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return service_.uploadURL(
        objectPath, std::chrono::duration_cast<std::chrono::seconds>(now).count() + 600, contentType);
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
  ASSERT_EQ(outcome(error), "ok");
  EXPECT_EQ(fs::file_size(stored()), size);
  // The service runs in this process too and streams to disk as well.
  const long grownKiB = after.ru_maxrss - before.ru_maxrss;
  EXPECT_LT(grownKiB, 64 * 1024) << "peak RSS grew by " << grownKiB << " KiB for a " << (size >> 20) << " MiB clip";
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(logs_->contains("AnswerVideoUpload", LogLevel::info, kUploaded));

  const auto posts = requests("POST");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/upload-url");
  EXPECT_EQ(posts[0].header("Content-Type"), "application/json");
  EXPECT_EQ(posts[0].body, std::string(R"({"answerId":"answer-1","objectPath":")") + kObjectPath +
                               R"(","sessionId":"session-1","userId":"user-1"})");

  const auto puts = requests("PUT");
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0].header("Content-Length"), std::to_string(size));
  EXPECT_EQ(puts[0].headerCount("Transfer-Encoding"), 0u);
}

// Info.json, token and body are checked before anything goes out. Only a
// missing, empty or non-URL endpoint means "no endpoint" and drops the
// clip; a URL of another scheme is a misconfiguration that keeps it, like
// every other failure here.
TEST_F(UploadClientTest, WhatIsWrongBeforeTheSignedURLRequestSendsNothing) {
  const std::string good = infoWith(service_.signedURLEndpoint());
  struct Case {
    std::optional<std::string> info;  // none: no Info.json at all
    std::string outcome;
    std::string token = kToken;
    std::string userId = "user-1";
  };
  std::vector<Case> cases = {
      {std::nullopt, "system_error(generic:" + std::to_string(ENOENT) + ")"},
      {"[]", "system_error(generic:" + std::to_string(EINVAL) + ")"},
      {"{ not json", "[json.exception.parse_error."},
      {good, "invalid_argument", "token\r\nX-Injected: 1"},
      {good, "[json.exception.type_error.316]", kToken, "user-\xff"},
  };
  for (const Json& none : {Json(nullptr), Json(""), Json(42), Json::array({"http://127.0.0.1/x"}), Json("not a url"),
                           Json(" http://127.0.0.1/x"), Json("example.com/upload-url")})
    cases.push_back({infoWith(none), "ok"});
  for (const char* misconfigured : {"ftp://127.0.0.1/upload-url", "file:///tmp/upload-url", "gopher://127.0.0.1/x",
                                    "mailto:ops@example.org", "http://"})
    cases.push_back({infoWith(misconfigured), curl(CURLE_UNSUPPORTED_PROTOCOL)});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.info.value_or("no Info.json") + " " + c.outcome);
    fs::remove(info_);
    if (c.info) writeFile(info_, *c.info);
    const auto path = clip("clip");
    logs_->clear();
    EXPECT_THAT(outcome(upload(client(), path, c.token, c.userId)), StartsWith(c.outcome));
    const bool dropped = c.outcome == "ok";
    EXPECT_EQ(errorLogs(), dropped ? std::vector<std::string>{kNotSet} : std::vector<std::string>{});
    EXPECT_EQ(fs::exists(path), !dropped);
  }
  EXPECT_TRUE(service_.requests().empty());

  // Even an empty token goes out verbatim (and the service refuses it).
  writeFile(info_, good);
  EXPECT_EQ(outcome(upload(client(), clip("clip"), "")), "UploadError.badHTTPStatus(401)");
  ASSERT_EQ(requests("POST").size(), 1u);
  EXPECT_EQ(requests("POST")[0].header("Authorization").value_or("").rfind("Bearer", 0), 0u);
}

// Each row: what the service (or where it redirects to) answers, and how
// the upload must end. Whatever the row, the clip stays unless it was
// stored whole, the success log comes only then, storage keeps nothing of
// a failed upload, the ID token reaches only the endpoint's origin and
// never storage, 307/308 keep the POST's body, and a file: URL never
// receives the clip. A 3xx without a Location is an answer like any
// other; redirects are followed up to 5, http(s) only, 301/302/303 as
// libcurl does; a success answered before the whole clip went out (to
// "Expect: 100-continue", or after part of the body) stored nothing.
TEST_F(UploadClientTest, EveryAnswerAndRedirectEndsTheUploadInItsOwnWay) {
  UploadService other({.storage = dir_ / "other", .tokens = {kToken}});
  other.start();
  // Gone before `other`, so no kept-alive connection holds up its stop.
  CurlMultiDriver driver;
  const auto onPost = Endpoint::signedURL;
  const auto onPut = Endpoint::put;
  auto redirect = [](Endpoint endpoint, int status, const std::string& location, int count = 1) {
    auto hop = fault(endpoint, status);
    hop.count = count;
    hop.headers = {{"Location", location}};
    return hop;
  };
  auto early = [](std::uint64_t afterBytes) {
    auto answer = fault(onPut, 200);
    answer.answerAfterBytes = afterBytes;
    return answer;
  };
  auto drop = fault(onPut);
  drop.dropAfterBytes = 512 * 1024;
  auto reply = [&](const Json& json, int status = 200) { return fault(onPost, status, replyWith(json)); };
  auto status = [](int status) { return "UploadError.badHTTPStatus(" + std::to_string(status) + ")"; };
  const std::string post = service_.signedURLEndpoint();
  const std::string put = uploadURL();
  const std::string stolen = "file://" + (dir_ / "stolen.mp4").string();
  const std::string octet = "application/octet-stream";
  const std::string huge = replyWith({{"padding", std::string(3 << 20, 'x')}});
  const Json ownType = {{"uploadUrl", uploadURL(octet)}, {"uploadHeaders", {{"content-type", octet}, {"X-Meta", "m"}}}};
  const Json inValue = {{"uploadHeaders", {{"X-Meta", "m"}, {"X-Evil", "1\r\nAuthorization: Bearer stolen"}}}};
  const Json inName = {{"uploadHeaders", {{"X-Meta\r\nX-Injected", "1"}}}};
  struct Case {
    const char* what;
    std::vector<Fault> faults;
    std::string outcome;  // how outcome() starts
    std::size_t posts = 1;
    std::size_t puts = 1;
    bool headersIgnored = false;            // logged as refused
    std::string contentType = "video/mp4";  // the one the last PUT carried
    bool meta = false;                      // the reply's X-Meta reached the PUT
    bool stored = true;                     // on success: not a canned answer
  };
  const Case cases[] = {
      // Status codes of either request.
      {"POST 201", {reply(Json::object(), 201)}, "ok"},
      {"POST 300", {reply(Json::object(), 300)}, status(300), 1, 0},
      {"POST 401", {reply(Json::object(), 401)}, status(401), 1, 0},
      {"POST 503", {reply(Json::object(), 503)}, status(503), 1, 0},
      {"PUT 204", {fault(onPut, 204)}, "ok", 1, 1, false, "video/mp4", false, false},
      {"PUT 307", {fault(onPut, 307)}, status(307)},
      {"PUT 403", {fault(onPut, 403)}, status(403)},
      {"PUT 500", {fault(onPut, 500)}, status(500)},
      // Replies of the wrong shape; a huge one is not read to its end, and
      // with an error status the status is what counts.
      {"HTML", {fault(onPost, 200, "<html>surprise</html>")}, "[json.exception.parse_error.", 1, 0},
      {"array", {fault(onPost, 200, R"(["http://127.0.0.1/x"])")}, "UploadError.invalidResponse", 1, 0},
      {"file: URL", {reply({{"uploadUrl", stolen}})}, "UploadError.missingUploadURL", 1, 0},
      {"huge", {fault(onPost, 200, huge)}, "UploadError.invalidResponse", 1, 0},
      {"huge 500", {fault(onPost, 500, huge)}, status(500), 1, 0},
      // The reply chooses URL and headers; hostile headers add nothing.
      {"uploadUrl no string", {reply({{"uploadUrl", 12}, {"signedUrl", put}})}, "ok"},
      {"own Content-Type", {reply(ownType)}, "ok", 1, 1, false, octet, true},
      {"header no string", {reply({{"uploadHeaders", {{"X-Meta", "m"}, {"X-Count", 3}}}})}, "ok"},
      {"CR LF in a value", {reply(inValue)}, "ok", 1, 1, true},
      {"CR LF in a name", {reply(inName)}, "ok", 1, 1, true},
      // Redirects; the PUT is re-sent from the file's start.
      {"307 POST, 308 PUT", {redirect(onPost, 307, post), redirect(onPut, 308, put)}, "ok", 2, 2},
      {"308 POST, 307 301 PUT",
       {redirect(onPost, 308, post), redirect(onPut, 307, put), redirect(onPut, 301, put)},
       "ok",
       2,
       3},
      {"5 redirects", {redirect(onPost, 307, post, 5)}, "ok", 6},
      {"6 redirects", {redirect(onPost, 307, post, 6)}, curl(CURLE_TOO_MANY_REDIRECTS), 6, 0},
      // A POST turned GET finds no handler; a PUT turned GET sends no clip.
      {"301 POST", {redirect(onPost, 301, post)}, status(404), 1, 0},
      {"302 POST", {redirect(onPost, 302, post)}, status(404), 1, 0},
      {"303 POST", {redirect(onPost, 303, post)}, status(404), 1, 0},
      {"303 PUT", {redirect(onPut, 303, put)}, status(404)},
      // Another port is another origin: the token stays behind, so it refuses.
      {"POST to another port", {redirect(onPost, 307, other.signedURLEndpoint())}, status(401), 1, 0},
      {"POST to file:", {redirect(onPost, 307, stolen)}, curl(CURLE_UNSUPPORTED_PROTOCOL), 1, 0},
      {"PUT to file:", {redirect(onPut, 307, stolen)}, curl(CURLE_UNSUPPORTED_PROTOCOL)},
      {"200 before the body", {early(0)}, "CurlError("},
      {"200 after 64 KiB", {early(std::uint64_t{64} * 1024)}, "CurlError("},
      {"PUT dropped mid-body", {drop}, "CurlError("},
  };
  std::size_t otherPosts = 0;
  std::uint32_t seed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service_.clearRequests();
    other.clearRequests();
    fs::remove(stored());
    for (const auto& f : c.faults) service_.addFault(f);
    const std::string content = patternBytes(4 << 20, ++seed);  // more than socket buffers hold
    const auto path = clip(content);
    logs_->clear();
    EXPECT_THAT(outcome(upload(AnswerVideoUploadClient(info_, driver), path)), StartsWith(c.outcome));
    service_.clearFaults();
    const bool ok = c.outcome == "ok";
    EXPECT_EQ(fs::exists(path), !ok);
    EXPECT_EQ(logs_->messages("AnswerVideoUpload", LogLevel::info).empty(), !ok);
    // A refused status is logged with the request it answered.
    std::vector<std::string> errors;
    if (c.headersIgnored) errors.emplace_back(kIgnoring);
    if (c.outcome.starts_with("UploadError.badHTTPStatus("))
      errors.push_back((c.puts ? "Upload PUT failed: HTTP " : "Signed URL request failed: HTTP ") +
                       c.outcome.substr(26, 3));
    EXPECT_EQ(errorLogs(), errors);
    // The service cleans up on its own thread once it notices a drop.
    ASSERT_TRUE(waitFor([&] {
      const auto all = service_.requests();
      return std::all_of(all.begin(), all.end(), [](const auto& r) { return r.finished; });
    }));
    EXPECT_EQ(filesUnder(service_.storage()), ok && c.stored ? std::vector{stored()} : std::vector<fs::path>{});
    if (ok && c.stored) {
      EXPECT_EQ(readFile(stored()), content);
    }
    const auto posts = requests("POST");
    EXPECT_EQ(posts.size(), c.posts);
    for (const auto& request : posts) {
      EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + kToken);
      EXPECT_EQ(Json::parse(request.body)["objectPath"], kObjectPath);
    }
    for (const auto& request : other.requests()) EXPECT_EQ(request.headerCount("Authorization"), 0u);
    otherPosts += other.requests().size();
    const auto puts = requests("PUT");
    EXPECT_EQ(puts.size(), c.puts);
    if (puts.empty()) continue;
    EXPECT_EQ(puts.back().headerCount("Content-Type"), 1u);
    EXPECT_EQ(puts.back().header("Content-Type"), c.contentType);
    EXPECT_EQ(puts.back().headerCount("X-Meta"), c.meta ? 1u : 0u);
    EXPECT_EQ(puts.back().headerCount("X-Injected"), 0u);
    EXPECT_EQ(puts.back().headerCount("Authorization"), 0u);
  }
  EXPECT_EQ(otherPosts, 1u);
  EXPECT_FALSE(fs::exists(dir_ / "stolen.mp4"));
}

TEST_F(UploadClientTest, TransportErrorsArePassedOnAsTheHttpLayersErrors) {
  const auto path = clip("clip");
  // Nobody listening.
  setEndpoint(ScriptedServer([](int, const std::string&) {}).url("/upload-url"));
  EXPECT_THAT(outcome(upload(client(), path)), StartsWith(curl(CURLE_COULDNT_CONNECT)));

  // A server that does not speak HTTP.
  ScriptedServer ssh(
      [](int socket, const std::string&) { ScriptedServer::send(socket, "SSH-2.0-OpenSSH_9.2\r\n\r\n"); });
  setEndpoint(ssh.url("/upload-url"));
  EXPECT_THAT(outcome(upload(client(), path)), StartsWith("CurlError("));
  EXPECT_TRUE(fs::exists(path));
}

// A lost clip (ENOENT after the signed-URL request) or one that cannot be
// deleted after the PUT fails with the file system's error, not a transport
// one, and without the success log.
TEST_F(UploadClientTest, FileSystemErrorsArePassedOnUnchanged) {
  EXPECT_THAT(outcome(upload(client(), dir_ / "recordings/gone.mp4")),
              StartsWith("system_error(generic:" + std::to_string(ENOENT) + ")"));
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
  EXPECT_THAT(outcome(upload(client(), path, kToken, "user-1", swap)), StartsWith("system_error("));
  ASSERT_TRUE(swapped);
  EXPECT_EQ(readFile(stored()), "clip");
  EXPECT_TRUE(logs_->messages("AnswerVideoUpload", LogLevel::info).empty());
}

// The idle watch fails a request where nothing moved for its idle time
// soon after it (libcurl's own low-speed check fires about five seconds
// late), and never one that is slow but moving, in either direction: a
// reply trickling in one byte every 1.2 s against a 2 s idle time, a clip
// going to a throttled reader. All three run at once on one driver, and
// the main loop keeps running meanwhile; the two that finish each store
// their own clip and delete it.
TEST_F(UploadClientTest, OnlyARequestWhereNothingMovesIsCutSoonAfterItsIdleTime) {
  EXPECT_EQ(AnswerVideoUploadClient::Options{}.idleTimeout, 60s);
  ScriptedServer silent([](int socket, const std::string&) {
    pollfd hangUp{socket, POLLIN, 0};
    ::poll(&hangUp, 1, 10000);
  });
  const std::string reply = replyWith({{"uploadUrl", uploadURL("video/mp4", "t/trickled.mp4")}});
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
  auto throttle = fault(Endpoint::put);
  throttle.bytesPerSecond = 4 << 20;
  service_.addFault(throttle);
  struct Upload {
    std::string name, endpoint;
    std::chrono::seconds idle;
    std::string content;
    std::exception_ptr error{};
    Task task{};
    std::chrono::steady_clock::duration took{};
  } uploads[] = {{"stalled", silent.url("/upload-url"), 2s, "clip"},
                 {"trickled", trickle.url("/upload-url"), 2s, "trickled"},
                 {"throttled", service_.signedURLEndpoint(), 1s, patternBytes(12 << 20)}};
  const auto started = std::chrono::steady_clock::now();
  for (auto& u : uploads) {  // each client with an Info.json of its own
    writeFile(dir_ / (u.name + ".json"), infoWith(u.endpoint));
    const AnswerVideoUploadClient client(dir_ / (u.name + ".json"), driver_, {.idleTimeout = u.idle});
    u.task = main_.spawn(
        client.upload({clip(u.content, u.name + ".mp4"), {"user-1", "session-1", "answer-1"}, kObjectPath, kToken}),
        &u.error);
  }
  auto last = started;
  std::chrono::steady_clock::duration longestIteration{};
  auto allDone = [&] {
    return std::all_of(std::begin(uploads), std::end(uploads), [](auto& u) { return u.task.isFinished(); });
  };
  ASSERT_TRUE(main_.iterateUntil(allDone, 60s, [&] {
    const auto now = std::chrono::steady_clock::now();
    longestIteration = std::max(longestIteration, now - last);
    last = now;
    for (auto& u : uploads) u.took = u.task.isFinished() ? u.took : now - started;
  }));
  EXPECT_THAT(outcome(uploads[0].error), StartsWith(curl(CURLE_OPERATION_TIMEDOUT)));
  EXPECT_GE(uploads[0].took, 2s);
  EXPECT_LT(uploads[0].took, 3500ms);
  EXPECT_EQ(outcome(uploads[1].error), "ok");
  EXPECT_EQ(readFile(service_.storage() / "t/trickled.mp4"), "trickled");
  EXPECT_EQ(outcome(uploads[2].error), "ok");
  EXPECT_GT(uploads[2].took, 2s) << "the transfer must outlast the idle time to prove anything";
  EXPECT_EQ(readFile(stored()), uploads[2].content);
  EXPECT_EQ(filesUnder(dir_ / "recordings"), std::vector{dir_ / "recordings/stalled.mp4"});
  EXPECT_LT(longestIteration, 1000ms) << "the main loop stalled while the requests waited";
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
  std::optional<AnswerVideoUploadClient> slot(client());
  bool replaced = false;
  bool otherDriverUsed = false;
  const auto error = main_.run(
      slot->upload({clip("clip"), {"user-1", "session-1", "answer-1"}, kObjectPath, kToken}), 60s, [&](Task&) {
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
  ASSERT_EQ(outcome(error), "ok");
  EXPECT_EQ(readFile(stored()), "clip");
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
  EXPECT_THAT(outcome(upload(client, path)), StartsWith(curl(CURLE_UNSUPPORTED_PROTOCOL)));
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_TRUE(fs::exists(path));

  auto upgrade = fault(Endpoint::signedURL, 308);
  upgrade.headers = {{"Location", https + "/reply"}};
  service_.addFault(upgrade);
  setEndpoint(service_.signedURLEndpoint());
  EXPECT_EQ(outcome(upload(client, path)), "ok");
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
  EXPECT_EQ(outcome(upload(client(), path, kToken, "user-1", cancelOncePutArrives)), "aborted");
  ASSERT_TRUE(cancelledAt);
  EXPECT_LT(std::chrono::steady_clock::now() - *cancelledAt, 5s);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(driver_.transfersInFlight(), 0u);
}

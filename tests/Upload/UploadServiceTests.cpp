// The reference service on its own, spoken to with a plain HTTP client and
// raw sockets.

#include "UploadService.hpp"
#include "UploadTestSupport.hpp"
#include "UrlSigner.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

using namespace veltrano::uploadservice;
using namespace std::chrono_literals;
using veltrano::testing::patternBytes;
using veltrano::testing::readFile;
using veltrano::testing::TempDir;
using Json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPath = "user-1/session-1/answer-1/2026-12-06T10-00-00Z.mp4";

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class UploadServiceTest : public ::testing::Test {
 protected:
  UploadServiceTest() : service_(options()), http_("127.0.0.1", startedPort(service_)) {}

  static int startedPort(UploadService& service) {
    service.start();
    return service.port();
  }

  UploadServiceOptions options() const {
    UploadServiceOptions o;
    o.storage = dir_ / "store";
    o.tokens = {"token-a", "token-b"};
    o.secret = "test-secret";
    o.maxObjectPathLength = 200;
    return o;
  }

  httplib::Result requestURL(const std::string& token, const Json& body) {
    return http_.Post("/upload-url", {{"Authorization", "Bearer " + token}}, body.dump(), "application/json");
  }

  static Json requestBody(const std::string& objectPath) {
    return {{"userId", "user-1"}, {"sessionId", "session-1"}, {"answerId", "answer-1"}, {"objectPath", objectPath}};
  }

  // Path and query of an absolute URL on this service.
  std::string target(const std::string& url) const {
    const std::string base = "http://127.0.0.1:" + std::to_string(service_.port());
    EXPECT_EQ(url.rfind(base, 0), 0u) << url;
    return url.substr(base.size());
  }

  httplib::Result put(const std::string& url, const std::string& body, const std::string& contentType = "video/mp4") {
    return http_.Put(target(url).c_str(), body, contentType.c_str());
  }

  int connect() const {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(service_.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return sock;
  }

  // Writes a raw request and returns whatever comes back until the
  // service closes the connection or goes quiet.
  std::string exchange(const std::string& request) const {
    const int sock = connect();
    EXPECT_EQ(::write(sock, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    timeval quiet{2, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    std::string answer;
    char buffer[4096];
    for (ssize_t got; (got = ::read(sock, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(got));
    ::close(sock);
    return answer;
  }

  // Sends a PUT's head and only part of its body, then hangs up.
  void putTruncated(const std::string& url, std::size_t announced, std::size_t sent) {
    const int sock = connect();
    const std::string head = "PUT " + target(url) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: video/mp4\r\n" +
                             "Content-Length: " + std::to_string(announced) + "\r\n\r\n";
    const std::string body = patternBytes(sent);
    ASSERT_EQ(::write(sock, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::write(sock, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    ::close(sock);
  }

  bool waitUntilAllRequestsFinished() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto all = service_.requests();
      if (!all.empty() && std::all_of(all.begin(), all.end(), [](const auto& r) { return r.finished; })) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  std::vector<fs::path> storedFiles() const {
    std::vector<fs::path> out;
    if (!fs::exists(service_.storage())) return out;
    for (const auto& entry : fs::recursive_directory_iterator(service_.storage()))
      if (entry.is_regular_file()) out.push_back(entry.path());
    return out;
  }

  TempDir dir_;
  UploadService service_;
  httplib::Client http_;
};

}  // namespace

TEST_F(UploadServiceTest, ASignedURLRoundTripStoresTheObject) {
  auto reply = requestURL("token-b", requestBody(kPath));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->status, 200);
  const Json json = Json::parse(reply->body);
  EXPECT_EQ(json["uploadHeaders"], (Json{{"Content-Type", "video/mp4"}}));
  const std::string body = patternBytes(100000);
  auto stored = put(json["uploadUrl"].get<std::string>(), body);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 200);
  EXPECT_EQ(readFile(service_.storage() / kPath), body);
}

TEST_F(UploadServiceTest, AMissingOrUnknownBearerTokenIs401) {
  EXPECT_EQ(requestURL("token-c", requestBody(kPath))->status, 401);
  EXPECT_EQ(requestURL("", requestBody(kPath))->status, 401);
  EXPECT_EQ(requestURL("token-ab", requestBody(kPath))->status, 401);
  EXPECT_EQ(http_.Post("/upload-url", requestBody(kPath).dump(), "application/json")->status, 401);
  EXPECT_EQ(http_.Post("/upload-url", {{"Authorization", "Basic token-a"}}, requestBody(kPath).dump(), "application/json")->status,
            401);
}

TEST_F(UploadServiceTest, BadObjectPathsAndBadBodiesAre400) {
  for (const std::string& path : {std::string("/abs/x.mp4"), std::string("a/../b.mp4"), std::string(".."),
                                  std::string("a/./b"), std::string("a//b"), std::string("a/b/"), std::string(""),
                                  std::string("a\nb"), std::string("a\x01") + "b", std::string("a\\b"),
                                  std::string(201, 'x')}) {
    auto reply = requestURL("token-a", requestBody(path));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400) << Json(path).dump();
  }
  EXPECT_EQ(requestURL("token-a", requestBody(std::string(200, 'x')))->status, 200);
  EXPECT_EQ(http_.Post("/upload-url", {{"Authorization", "Bearer token-a"}}, "not json", "application/json")->status, 400);
  Json noAnswer = requestBody(kPath);
  noAnswer.erase("answerId");
  EXPECT_EQ(requestURL("token-a", noAnswer)->status, 400);
  Json numeric = requestBody(kPath);
  numeric["userId"] = 1;
  EXPECT_EQ(requestURL("token-a", numeric)->status, 400);
  EXPECT_TRUE(storedFiles().empty());
}

TEST_F(UploadServiceTest, TamperedExpiredOrRetypedURLsAre403AndStoreNothing) {
  const std::string good = service_.uploadURL(kPath, now() + 600);
  std::string otherPath = good;
  otherPath.replace(otherPath.find("answer-1"), 8, "answer-2");
  std::string otherSig = good;
  otherSig.back() = otherSig.back() == '0' ? '1' : '0';
  std::string longerLife = good;
  const auto exp = longerLife.find("exp=") + 4;
  longerLife[exp] = longerLife[exp] == '9' ? '8' : '9';
  std::string noSig = good.substr(0, good.find("&sig="));

  for (const auto& url : {otherPath, otherSig, longerLife, noSig, service_.uploadURL(kPath, now() - 1)}) {
    auto reply = put(url, "body");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 403) << url;
  }
  EXPECT_EQ(put(good, "body", "application/octet-stream")->status, 403);
  // Signed by someone else's secret.
  const UrlSigner stranger("another-secret");
  const std::string foreign = "http://127.0.0.1:" + std::to_string(service_.port()) + "/objects/" + kPath +
                              "?exp=" + std::to_string(now() + 600) + "&sig=" +
                              stranger.sign("PUT", kPath, now() + 600, "video/mp4");
  EXPECT_EQ(put(foreign, "body")->status, 403);
  EXPECT_TRUE(storedFiles().empty());
  EXPECT_EQ(put(good, "body")->status, 200);
}

TEST_F(UploadServiceTest, APutWithoutContentLengthIs411) {
  const std::string url = service_.uploadURL(kPath, now() + 600);
  const std::string answer = exchange("PUT " + target(url) +
                                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: video/mp4\r\n"
                                      "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 411", 0), 0u) << answer;
  EXPECT_TRUE(storedFiles().empty());
}

TEST_F(UploadServiceTest, ATruncatedBodyLeavesNoObjectAndNoTemporaryFile) {
  putTruncated(service_.uploadURL(kPath, now() + 600), 1 << 20, 300 * 1024);
  ASSERT_TRUE(waitUntilAllRequestsFinished());
  EXPECT_TRUE(storedFiles().empty());
  // Nor does a failed second attempt remove what a good first one stored.
  ASSERT_EQ(put(service_.uploadURL(kPath, now() + 600), "first")->status, 200);
  putTruncated(service_.uploadURL(kPath, now() + 600), 1 << 20, 1000);
  ASSERT_TRUE(waitUntilAllRequestsFinished());
  EXPECT_EQ(storedFiles(), std::vector<fs::path>{service_.storage() / kPath});
  EXPECT_EQ(readFile(service_.storage() / kPath), "first");
}

TEST_F(UploadServiceTest, TheSameURLTwiceOverwritesTheObject) {
  const std::string url = service_.uploadURL(kPath, now() + 600);
  ASSERT_EQ(put(url, "first version")->status, 200);
  ASSERT_EQ(put(url, "second")->status, 200);
  EXPECT_EQ(readFile(service_.storage() / kPath), "second");
  EXPECT_EQ(storedFiles().size(), 1u);
}

TEST_F(UploadServiceTest, ControlFaultsHitTheNextRequestsOfTheirEndpointOnly) {
  auto added = http_.Post("/control/faults", R"({"endpoint": "signedUrl", "count": 2, "status": 503, "body": "busy"})",
                          "application/json");
  ASSERT_TRUE(added);
  ASSERT_EQ(added->status, 200);
  EXPECT_EQ(http_.Post("/control/faults", R"({"endpoint": "elsewhere"})", "application/json")->status, 400);

  const std::string url = service_.uploadURL(kPath, now() + 600);
  EXPECT_EQ(put(url, "not affected")->status, 200);
  auto first = requestURL("token-a", requestBody(kPath));
  EXPECT_EQ(first->status, 503);
  EXPECT_EQ(first->body, "busy");
  EXPECT_EQ(requestURL("token-a", requestBody(kPath))->status, 503);
  EXPECT_EQ(requestURL("token-a", requestBody(kPath))->status, 200);

  auto log = http_.Get("/control/requests");
  ASSERT_TRUE(log);
  const Json requests = Json::parse(log->body);
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0]["method"], "PUT");
  EXPECT_EQ(requests[0]["bodyBytes"], 12);
  EXPECT_EQ(requests[3]["status"], 200);
}

TEST(UploadServiceProgram, PrintsItsEndpointFirstServesItAndStopsOnSigterm) {
  TempDir dir;
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string storage = (dir / "store").string();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(VELTRANO_UPLOAD_SERVICE_PROGRAM, VELTRANO_UPLOAD_SERVICE_PROGRAM, "--listen", "127.0.0.1:0", "--storage",
            storage.c_str(), "--token", "tok", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* program = ::fdopen(out[0], "r");
  ASSERT_NE(program, nullptr);
  char line[512] = {};
  const bool gotLine = std::fgets(line, sizeof line, program) != nullptr;
  std::string endpoint(line);
  if (gotLine && !endpoint.empty() && endpoint.back() == '\n') endpoint.pop_back();

  bool served = false;
  if (endpoint.rfind("http://127.0.0.1:", 0) == 0 && endpoint.size() > 28) {
    httplib::Client http("127.0.0.1", std::stoi(endpoint.substr(17)));
    auto reply = http.Post("/upload-url", {{"Authorization", "Bearer tok"}},
                           Json{{"userId", "u"}, {"sessionId", "s"}, {"answerId", "a"}, {"objectPath", "u/s/a/x.mp4"}}.dump(),
                           "application/json");
    served = reply && reply->status == 200 &&
             Json::parse(reply->body)["uploadUrl"].get<std::string>().rfind(
                 endpoint.substr(0, endpoint.size() - 11) + "/objects/u/s/a/x.mp4?", 0) == 0;
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::fclose(program);

  ASSERT_TRUE(gotLine);
  EXPECT_EQ(endpoint.substr(endpoint.size() - 11), "/upload-url") << endpoint;
  EXPECT_TRUE(served) << endpoint;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The reference service on its own, spoken to with a plain HTTP client and
// raw sockets.

#include "Upload/UploadTestSupport.hpp"
#include "UploadService.hpp"
#include "UrlSigner.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cstdio>

using namespace veltrano::testing;
using namespace veltrano::uploadservice;
using namespace std::chrono_literals;
using Json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPath = "user-1/session-1/answer-1/2026-12-06T10-00-00Z.mp4";

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Json requestBody(const std::string& objectPath) {
  return {{"userId", "user-1"}, {"sessionId", "session-1"}, {"answerId", "answer-1"}, {"objectPath", objectPath}};
}

class UploadServiceTest : public ::testing::Test {
 protected:
  UploadServiceTest()
      : service_({.storage = dir_ / "store",
                  .tokens = {"token-a", "token-b"},
                  .secret = "test-secret",
                  .maxObjectPathLength = 200,
                  .testControls = true}),
        http_("127.0.0.1", (service_.start(), service_.port())) {}

  httplib::Result requestURL(const std::string& token, const Json& body) {
    return http_.Post("/upload-url", {{"Authorization", "Bearer " + token}}, body.dump(), "application/json");
  }

  // Path and query of an absolute URL on this service.
  std::string target(const std::string& url) const {
    const std::string base = "http://127.0.0.1:" + std::to_string(service_.port());
    EXPECT_EQ(url.rfind(base, 0), 0u) << url;
    return url.substr(base.size());
  }

  int put(const std::string& url, const std::string& body, const std::string& contentType = "video/mp4") {
    const auto reply = http_.Put(target(url).c_str(), body, contentType.c_str());
    return reply ? reply->status : -1;
  }

  // Writes a raw request; returns whatever comes back until the service
  // closes the connection or goes quiet, or hangs up at once.
  std::string sendRaw(const std::string& request, bool readAnswer = true) const {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(service_.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::write(sock, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    timeval quiet{2, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    std::string answer;
    char buffer[4096];
    for (ssize_t got; readAnswer && (got = ::read(sock, buffer, sizeof buffer)) > 0;)
      answer.append(buffer, static_cast<std::size_t>(got));
    ::close(sock);
    return answer;
  }

  // Sends a PUT's head and only part of its body, hangs up, and waits
  // until the service has dealt with it (earlier requests are finished
  // already, so it waits for this one to be counted too).
  void putTruncated(std::size_t announced, std::size_t sent) {
    const auto before = service_.requests().size();
    sendRaw("PUT " + target(service_.uploadURL(kPath, now() + 600)) +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: video/mp4\r\nContent-Length: " +
                std::to_string(announced) + "\r\n\r\n" + patternBytes(sent),
            false);
    ASSERT_TRUE(waitFor([&] {
      const auto all = service_.requests();
      return all.size() > before && std::all_of(all.begin(), all.end(), [](const auto& r) { return r.finished; });
    }));
  }

  std::vector<fs::path> storedFiles() const { return filesUnder(service_.storage()); }

  TempDir dir_;
  UploadService service_;
  httplib::Client http_;
};

}  // namespace

TEST_F(UploadServiceTest, ASignedURLRoundTripStoresTheObjectAndTheSameURLTwiceOverwritesIt) {
  auto reply = requestURL("token-b", requestBody(kPath));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->status, 200);
  const Json json = Json::parse(reply->body);
  EXPECT_EQ(json["uploadHeaders"], (Json{{"Content-Type", "video/mp4"}}));
  const std::string url = json["uploadUrl"].get<std::string>();
  ASSERT_EQ(put(url, patternBytes(100000)), 200);
  EXPECT_EQ(readFile(service_.storage() / kPath), patternBytes(100000));
  ASSERT_EQ(put(url, "second"), 200);
  EXPECT_EQ(readFile(service_.storage() / kPath), "second");
  EXPECT_EQ(storedFiles().size(), 1u);
}

// The Host header is the client's to choose: upload URLs never follow it.
TEST_F(UploadServiceTest, UploadURLsStartWithTheConfiguredBaseWhateverHostTheRequestNames) {
  auto urlFrom = [](httplib::Client& client) {
    const auto reply =
        client.Post("/upload-url", {{"Authorization", "Bearer token-a"}, {"Host", "attacker.example:81"}},
                    requestBody(kPath).dump(), "application/json");
    return reply && reply->status == 200 ? Json::parse(reply->body)["uploadUrl"].get<std::string>() : std::string();
  };
  const std::string listening = "http://127.0.0.1:" + std::to_string(service_.port());
  EXPECT_EQ(urlFrom(http_).rfind(listening + "/objects/" + kPath + "?", 0), 0u) << urlFrom(http_);

  UploadService proxied(
      {.publicBaseURL = "https://uploads.example.org/", .storage = dir_ / "store2", .tokens = {"token-a"}});
  proxied.start();
  httplib::Client client("127.0.0.1", proxied.port());
  EXPECT_EQ(urlFrom(client).rfind("https://uploads.example.org/objects/" + std::string(kPath) + "?", 0), 0u)
      << urlFrom(client);
  EXPECT_EQ(proxied.signedURLEndpoint(), "https://uploads.example.org/upload-url");
  EXPECT_THROW(
      UploadService({.publicBaseURL = "ftp://x", .storage = dir_ / "s3", .tokens = {"t"}}), std::invalid_argument);
}

// Only a known bearer token gets an upload URL, and only for a path of the
// confined shape. A body that no client of ours sends is 400; everything
// about the ids and the path is 403, which the native client survives
// (it keeps the clip), a too-large body included.
TEST_F(UploadServiceTest, TokensAre401MalformedBodiesAre400AndEveryPathOrSizeRefusalIs403) {
  struct Case {
    std::string authorization;  // empty: none
    std::string body;
    int status;
  };
  std::vector<Case> cases;
  for (const char* refused : {"Bearer token-c", "Bearer ", "Bearer token-ab", "", "Basic token-a", "bearer token-a"})
    cases.push_back({refused, requestBody(kPath).dump(), 401});
  Json missing = requestBody(kPath), mistyped = requestBody(kPath);
  missing.erase("answerId");
  mistyped["userId"] = 1;
  const std::string deep = std::string(50, '[') + std::string(50, ']');
  // Bytes that are not UTF-8 are not JSON: the native client's serializer
  // cannot write them.
  const std::string latin1 = R"({"userId":"user-\xe9","sessionId":"s","answerId":"a","objectPath":"user-\xe9/s/a/)"
                             R"(2026-12-06T10-00-00Z.mp4"})";
  for (const std::string& body :
       {missing.dump(), mistyped.dump(), std::string("not json"), std::string("[]"), deep, latin1})
    cases.push_back({"Bearer token-a", body, 400});
  // A C1 control character, and a body over 16 KiB.
  Json c1 = requestBody("user-1/session-\u0085/answer-1/2026-12-06T10-00-00Z.mp4");
  c1["sessionId"] = "session-\u0085";
  Json huge = requestBody(kPath);
  huge["padding"] = std::string(std::size_t{17} * 1024, 'x');
  for (const std::string& body : {c1.dump(), huge.dump()}) cases.push_back({"Bearer token-a", body, 403});
  cases.push_back({"Bearer token-a", requestBody(kPath).dump(), 200});
  for (const auto& c : cases) {
    httplib::Headers headers;
    if (!c.authorization.empty()) headers.emplace("Authorization", c.authorization);
    const auto reply = http_.Post("/upload-url", headers, c.body, "application/json");
    ASSERT_TRUE(reply) << c.body.substr(0, 100);
    EXPECT_EQ(reply->status, c.status) << c.authorization << " " << c.body.substr(0, 100);
  }
  EXPECT_TRUE(storedFiles().empty());
}

// Only a whole body, sent with its length to an untampered and unexpired
// URL signed for its path, expiry and Content-Type, is stored. A failed
// attempt leaves no object and no temporary file, nor does it remove what
// a good one stored.
TEST_F(UploadServiceTest, OnlyAWholePutToAnIntactSignedURLStoresAnything) {
  const std::string good = service_.uploadURL(kPath, now() + 600);
  std::string otherPath = good;
  otherPath.replace(otherPath.find("answer-1"), 8, "answer-2");
  std::string otherSig = good;
  otherSig.back() = otherSig.back() == '0' ? '1' : '0';
  std::string longerLife = good;
  const auto exp = longerLife.find("exp=") + 4;
  longerLife[exp] = longerLife[exp] == '9' ? '8' : '9';
  // Signed with someone else's secret.
  const std::string foreign = "http://127.0.0.1:" + std::to_string(service_.port()) + "/objects/" + kPath +
                              "?exp=" + std::to_string(now() + 600) +
                              "&sig=" + UrlSigner("another-secret").sign("PUT", kPath, now() + 600, "video/mp4");
  for (const auto& url : {otherPath, otherSig, longerLife, good.substr(0, good.find("&sig=")), foreign,
                          service_.uploadURL(kPath, now() - 1)})
    EXPECT_EQ(put(url, "body"), 403) << url;
  EXPECT_EQ(put(good, "body", "application/octet-stream"), 403);
  const std::string chunked = sendRaw("PUT " + target(good) +
                                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: video/mp4\r\nConnection: close\r\n"
                                      "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
  EXPECT_EQ(chunked.rfind("HTTP/1.1 411", 0), 0u) << chunked;
  putTruncated(1 << 20, std::size_t{300} * 1024);
  EXPECT_TRUE(storedFiles().empty());

  ASSERT_EQ(put(good, "first"), 200);
  putTruncated(1 << 20, 1000);
  EXPECT_EQ(storedFiles(), std::vector<fs::path>{service_.storage() / kPath});
  EXPECT_EQ(readFile(service_.storage() / kPath), "first");
}

TEST_F(UploadServiceTest, ControlFaultsHitTheNextRequestsOfTheirEndpointOnly) {
  auto added = http_.Post(
      "/control/faults", R"({"endpoint": "signedUrl", "count": 2, "status": 503, "body": "busy"})", "application/json");
  ASSERT_TRUE(added);
  ASSERT_EQ(added->status, 200);
  EXPECT_EQ(http_.Post("/control/faults", R"({"endpoint": "elsewhere"})", "application/json")->status, 400);

  EXPECT_EQ(put(service_.uploadURL(kPath, now() + 600), "not affected"), 200);
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

// The fault endpoints exist only with the flag, and then answer loopback
// clients only: asked through this machine's own non-loopback address they
// refuse, and nothing is injected.
TEST(UploadServiceControls, OnlyWithTheFlagAndOnlyForLoopbackClients) {
  std::string external;
  ifaddrs* addresses = nullptr;
  ASSERT_EQ(::getifaddrs(&addresses), 0);
  for (const ifaddrs* a = addresses; a && external.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    external = text;
  }
  ::freeifaddrs(addresses);
  if (external.empty()) GTEST_SKIP() << "no non-loopback IPv4 address to ask from";

  TempDir dir;
  const std::string fault = R"({"endpoint": "signedUrl", "status": 503})";
  for (const bool controls : {true, false}) {
    SCOPED_TRACE(controls ? "with --test-controls" : "without");
    UploadService service({.host = "0.0.0.0", .storage = dir / "store", .tokens = {"t"}, .testControls = controls});
    service.start();
    httplib::Client fromOutside(external, service.port());
    httplib::Client fromLoopback("127.0.0.1", service.port());
    EXPECT_EQ(fromOutside.Post("/control/faults", fault, "application/json")->status, controls ? 403 : 404);
    EXPECT_EQ(fromOutside.Get("/control/requests")->status, controls ? 403 : 404);
    EXPECT_EQ(fromLoopback.Get("/control/requests")->status, controls ? 200 : 404);
    EXPECT_EQ(fromLoopback
                  .Post("/upload-url", {{"Authorization", "Bearer t"}}, requestBody(kPath).dump(), "application/json")
                  ->status,
              200);
  }
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
    ::execl(VELTRANO_UPLOAD_SERVICE_PROGRAM, VELTRANO_UPLOAD_SERVICE_PROGRAM, "--listen", "127.0.0.1:0", "--storage",
            storage.c_str(), "--token", "tok", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* program = ::fdopen(out[0], "r");
  char line[512] = {};
  int port = 0;
  if (std::fgets(line, sizeof line, program)) std::sscanf(line, "http://127.0.0.1:%d/", &port);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  std::string uploadURL;
  if (port > 0) {
    auto reply = httplib::Client("127.0.0.1", port)
                     .Post("/upload-url", {{"Authorization", "Bearer tok"}},
                           Json{{"userId", "u"},
                                {"sessionId", "s"},
                                {"answerId", "a"},
                                {"objectPath", "u/s/a/2026-12-06T10-00-00Z.mp4"}}
                               .dump(),
                           "application/json");
    if (reply && reply->status == 200) uploadURL = Json::parse(reply->body)["uploadUrl"].get<std::string>();
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::fclose(program);

  EXPECT_EQ(std::string(line), base + "/upload-url\n");
  EXPECT_EQ(uploadURL.rfind(base + "/objects/u/s/a/2026-12-06T10-00-00Z.mp4?", 0), 0u) << uploadURL;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The whole path with real parts: a user signed in through the identity
// emulator, the app's own upload client, this service in emulator and S3
// mode, and an S3 server that checks Signature V4. The emulator and the S3
// server start once for the program (one CTest test).

#include "NativeUpload.hpp"
#include "NodeTools.hpp"
#include "UploadService.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <regex>

using namespace veltrano::testing;
using namespace veltrano::uploadservice;
using namespace std::chrono_literals;
using Json = nlohmann::json;

namespace {

constexpr const char* kBucket = "clips";

struct World {
  TempDir dir;
  S3Server s3{dir.path, kBucket};
  IdentityEmulator emulator{dir.path, "demo-veltrano-e2e-" + std::to_string(::getpid())};
};
World* world = nullptr;

class WorldEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { world = new World; }
  void TearDown() override {
    delete world;
    world = nullptr;
  }
};
const auto* const registered = ::testing::AddGlobalTestEnvironment(new WorldEnvironment);

S3Options s3Options(const std::string& secret = "S3RVER") {
  return {
      .endpoint = world->s3.endpoint(), .bucket = kBucket, .pathStyle = true, .credentials = {"S3RVER", secret, ""}};
}

std::string stamp(int second) {
  return "2026-12-06T10-00-" + std::string(second < 10 ? "0" : "") + std::to_string(second) + "Z";
}

ClipIds clip(const std::string& user, const std::string& session, const std::string& answer, int second) {
  return {user, session, answer, user + "/" + session + "/" + answer + "/" + stamp(second) + ".mp4"};
}

Json getJson(int port, const std::string& path, const std::string& token, int* status,
             std::string* allowOrigin = nullptr) {
  httplib::Client http("127.0.0.1", port);
  const auto reply = http.Get(path, {{"Authorization", "Bearer " + token}, {"Origin", "app://local"}});
  *status = reply ? reply->status : -1;
  if (allowOrigin && reply) *allowOrigin = reply->get_header_value("Access-Control-Allow-Origin");
  return reply && reply->status == 200 ? Json::parse(reply->body) : Json();
}

}  // namespace

// Alice and Bob sign in with email links; the service is the program, in
// emulator and S3 mode from its flags and AWS_* keys. Alice's clips go
// through the native client into S3 and arrive byte for byte; her listing
// shows exactly them, Bob's shows none of them, and he cannot have an
// upload URL for her path. Each sees the sessions meant for them. The same
// emulator token means nothing to a service checking production tokens.
TEST(EndToEnd, EmulatorUsersUploadThroughTheNativeClientIntoS3AndSeeOnlyTheirOwn) {
  auto alice = world->emulator.signInWithEmailLink("alice@example.org");
  auto bob = world->emulator.signInWithEmailLink("bob@example.org");
  const auto sessionsFile = world->dir / "sessions.json";
  writeFile(
      sessionsFile,
      Json{{"sessions",
            {{{"id", "open"}, {"title", "Open"}, {"prompts", Json::array()}},
             {{"id", "for-alice"}, {"title", "By email"}, {"prompts", Json::array()}, {"users", {"ALICE@example.org"}}},
             {{"id", "for-bob"}, {"title", "By uid"}, {"prompts", Json::array()}, {"users", {bob.uid}}}}}}
          .dump());
  ChildProcess program({VELTRANO_UPLOAD_SERVICE_PROGRAM, "--listen", "127.0.0.1:0", "--auth-emulator", "--auth-project",
                        world->emulator.project(), "--s3-endpoint", world->s3.endpoint(), "--s3-bucket", kBucket,
                        "--s3-path-style", "--sessions", sessionsFile.string()},
                       world->dir.path, world->dir / "service.err",
                       {"AWS_ACCESS_KEY_ID=S3RVER", "AWS_SECRET_ACCESS_KEY=S3RVER"});
  const std::string endpoint = program.readLine(10s).value_or("");
  int port = 0;
  ASSERT_EQ(std::sscanf(endpoint.c_str(), "http://127.0.0.1:%d/upload-url", &port), 1)
      << readFile(world->dir / "service.err");
  NativeUploader uploader(world->dir / "alice");

  const std::vector<ClipIds> clips = {
      clip(alice.uid, "open", "a1", 0), clip(alice.uid, "open", "a1", 1), clip(alice.uid, "open", "a2", 0)};
  for (std::size_t i = 0; i < clips.size(); ++i) {
    const std::string content = patternBytes(300000 + i * 1000, static_cast<std::uint32_t>(i + 1));
    const auto result = uploader.upload(endpoint, alice.idToken, clips[i], content);
    EXPECT_EQ(result.outcome, "ok") << clips[i].objectPath;
    EXPECT_FALSE(result.clipKept);
    EXPECT_EQ(readFile(world->s3.objectFile(kBucket, clips[i].objectPath)), content) << clips[i].objectPath;
  }

  int status = 0;
  std::string allowOrigin;
  const Json listing = getJson(port, "/v1/sessions/open/answers/a1/clips", alice.idToken, &status, &allowOrigin);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(allowOrigin, "app://local");
  ASSERT_EQ(listing["clips"].size(), 2U) << listing.dump();
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(listing["clips"][i]["objectPath"], clips[i].objectPath);
    EXPECT_EQ(listing["clips"][i]["bytes"], 300000 + i * 1000);
    EXPECT_TRUE(std::regex_match(
        listing["clips"][i]["storedAt"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  }
  EXPECT_EQ(
      getJson(port, "/v1/sessions/open/answers/a1/clips", bob.idToken, &status), (Json{{"clips", Json::array()}}));

  auto sessionIds = [&](const std::string& token) {
    std::vector<std::string> ids;
    const Json sessions = getJson(port, "/v1/sessions", token, &status);
    for (const auto& session : sessions["sessions"]) ids.push_back(session["id"]);
    return ids;
  };
  EXPECT_EQ(sessionIds(alice.idToken), (std::vector<std::string>{"open", "for-alice"}));
  EXPECT_EQ(sessionIds(bob.idToken), (std::vector<std::string>{"open", "for-bob"}));

  auto intoAlices = clip(alice.uid, "open", "a1", 2);
  EXPECT_TRUE(uploader.upload(endpoint, bob.idToken, intoAlices, "bob's").refusedAtSignedURL(403));
  EXPECT_FALSE(std::filesystem::exists(world->s3.objectFile(kBucket, intoAlices.objectPath)));

  UploadService production(
      {.idTokens = std::make_shared<const IdTokenVerifier>(
           world->emulator.project(), std::make_shared<SigningCertificates>("http://127.0.0.1:9/certs")),
       .s3 = s3Options()});
  production.start();
  const auto refused =
      uploader.upload(production.signedURLEndpoint(), alice.idToken, clip(alice.uid, "open", "a3", 0), "x");
  EXPECT_TRUE(refused.refusedAtSignedURL(401)) << refused.outcome;
}

// Storage refuses every PUT its signature does not cover: another path, a
// URL signed with the wrong secret, a Content-Type other than the signed
// one, an expired URL. The client keeps each clip; the same PUT sent again
// shows storage's reason; nothing is stored and the listing stays empty.
TEST(EndToEnd, StorageRefusesTamperedPathsWrongSecretsOtherContentTypesAndExpiredURLs) {
  const auto user = world->emulator.signInWithEmailLink("carol@example.org");
  const auto verifier =
      std::make_shared<const IdTokenVerifier>(IdTokenVerifier::forEmulator(world->emulator.project()));
  UploadService honest({.idTokens = verifier, .s3 = s3Options()});
  UploadService wrongSecret({.idTokens = verifier, .s3 = s3Options("not-the-secret")});
  UploadService expired({.ttl = 60s, .idTokens = verifier, .s3 = s3Options(), .clock = [] {
                           return std::chrono::system_clock::now() - 2min;
                         }});
  for (auto* service : {&honest, &wrongSecret, &expired}) service->start();

  // Between the client and a service: passes its answer on, changed, and
  // keeps what it handed out. The test thread and the server's thread meet
  // only through sockets, which ThreadSanitizer cannot see: a lock says so.
  std::mutex betweenMutex;
  UploadService* target = nullptr;
  std::function<void(Json&)> change;
  Json handedOut;
  auto setTarget = [&](UploadService* service, std::function<void(Json&)> changed) {
    std::lock_guard lock(betweenMutex);
    target = service;
    change = std::move(changed);
  };
  auto lastHandedOut = [&] {
    std::lock_guard lock(betweenMutex);
    return handedOut;
  };
  httplib::Server between;
  between.Post("/upload-url", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(betweenMutex);
    httplib::Client http("127.0.0.1", target->port());
    const auto reply = http.Post("/upload-url", {{"Authorization", request.get_header_value("Authorization")}},
                                 request.body, "application/json");
    handedOut = Json::parse(reply->body);
    if (change) change(handedOut);
    response.set_content(handedOut.dump(), "application/json");
  });
  const int betweenPort = between.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { between.listen_after_bind(); });
  while (!between.is_running()) std::this_thread::sleep_for(1ms);

  struct Row {
    std::string name;
    UploadService* service;
    std::function<void(Json&)> change;
    std::string code;  // S3's error code
  };
  const std::vector<Row> rows = {
      {"another path", &honest,
       [](Json& answer) {
         std::string url = answer["uploadUrl"];
         url.replace(url.find("/refused/"), 9, "/elsewhere/");
         answer["uploadUrl"] = url;
       },
       "SignatureDoesNotMatch"},
      {"another Content-Type", &honest,
       [](Json& answer) { answer["uploadHeaders"]["Content-Type"] = "application/octet-stream"; },
       "SignatureDoesNotMatch"},
      {"wrong secret", &wrongSecret, {}, "SignatureDoesNotMatch"},
      {"expired", &expired, {}, "AccessDenied"},
  };
  NativeUploader uploader(world->dir / "carol");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    setTarget(rows[i].service, rows[i].change);
    const auto ids = clip(user.uid, "refused", "a", static_cast<int>(i));
    const auto result = uploader.upload(
        "http://127.0.0.1:" + std::to_string(betweenPort) + "/upload-url", user.idToken, ids, "refused bytes");
    EXPECT_TRUE(result.refusedAtPut(403)) << result.outcome;

    const Json answer = lastHandedOut();
    const std::string url = answer["uploadUrl"];
    const auto pathStart = url.find('/', url.find("://") + 3);
    httplib::Client storage(url.substr(0, pathStart));
    httplib::Headers headers;
    for (const auto& [name, value] : answer["uploadHeaders"].items()) headers.emplace(name, value);
    const auto again =
        storage.Put(url.substr(pathStart), headers, "refused bytes", answer["uploadHeaders"].value("Content-Type", ""));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 403);
    EXPECT_NE(again->body.find("<Code>" + rows[i].code + "</Code>"), std::string::npos) << again->body;
    EXPECT_FALSE(std::filesystem::exists(world->s3.objectFile(kBucket, ids.objectPath)));
  }
  int status = 0;
  for (const std::string session : {"refused", "elsewhere"})
    EXPECT_EQ(getJson(honest.port(), "/v1/sessions/" + session + "/answers/a/clips", user.idToken, &status),
              (Json{{"clips", Json::array()}}));

  // The same way in, untouched, stores: the refusals were the changes'.
  const auto ids = clip(user.uid, "refused", "a", 0);
  setTarget(&honest, {});
  EXPECT_EQ(
      uploader
          .upload("http://127.0.0.1:" + std::to_string(betweenPort) + "/upload-url", user.idToken, ids, "stored bytes")
          .outcome,
      "ok");
  const Json stored = getJson(honest.port(), "/v1/sessions/refused/answers/a/clips", user.idToken, &status);
  ASSERT_EQ(stored["clips"].size(), 1U) << stored.dump();
  EXPECT_EQ(stored["clips"][0]["objectPath"], ids.objectPath);
  EXPECT_EQ(readFile(world->s3.objectFile(kBucket, ids.objectPath)), "stored bytes");

  between.stop();
  serving.join();
}

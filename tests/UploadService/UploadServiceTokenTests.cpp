// The service in production mode, with certificates and keys the test mints
// and publishes itself, spoken to by the app's own upload client: which ID
// tokens get an upload URL, which object paths a signed-in user may have,
// and that the client keeps every refused clip.

#include "NativeUpload.hpp"
#include "TokenMint.hpp"
#include "UploadService.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace veltrano::testing;
using namespace veltrano::uploadservice;
using namespace std::chrono_literals;
using Json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kProject = "veltrano-test";
constexpr const char* kStamp = "2026-12-06T10-00-00Z";

std::string pathOf(const std::string& user, const std::string& session, const std::string& answer) {
  return user + "/" + session + "/" + answer + "/" + kStamp + ".mp4";
}

ClipIds idsOf(const std::string& user, const std::string& session = "session-1",
              const std::string& answer = "answer-1") {
  return {user, session, answer, pathOf(user, session, answer)};
}

// Log lines written on the service's threads.
struct ServiceLog {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  std::string text() {
    std::lock_guard lock(mutex);
    std::string out;
    for (const auto& line : lines) out += line + "\n";
    return out;
  }
};

class TokenTest : public ::testing::Test {
 protected:
  TokenTest() {
    certificates_.publish("k1", signer_.certificatePem);
    auto clock = [this] { return std::chrono::system_clock::now() + std::chrono::seconds(offset_.load()); };
    auto keys = std::make_shared<SigningCertificates>(certificates_.url(), clock);
    service_ = std::make_unique<UploadService>(
        UploadServiceOptions{.storage = dir_ / "store",
                             .idTokens = std::make_shared<const IdTokenVerifier>(kProject, keys, clock),
                             .log = log_.sink()});
    service_->start();
  }

  std::string token(const Json& claims, const std::string& kid = "k1") const {
    return signedToken(JWT_ALG_RS256, signer_.privatePem, kid, claims);
  }
  Json claims(const std::string& user = "alice") const { return goodClaims(kProject, user); }
  template <typename Change>
  Json claimsWith(Change change) const {
    Json out = claims();
    change(out);
    return out;
  }

  TempDir dir_;
  SigningKey signer_ = SigningKey::generate();
  SigningKey stranger_ = SigningKey::generate();  // never published
  CertificateServer certificates_;
  std::atomic<long> offset_{0};  // seconds the service's clock is ahead
  ServiceLog log_;
  std::unique_ptr<UploadService> service_;
  NativeUploader uploader_{dir_.path};
};

}  // namespace

// Every row goes through the native client to the service in production
// mode: a refused token is 401, a path that is not the signed-in user's own
// is 403, and either way the clip stays for a later retry; an accepted one
// is stored and its clip removed. The service log names each outcome and
// never a token.
TEST_F(TokenTest, RefusedTokensAre401PathsNotTheUsersOwnAre403AndTheClientKeepsEveryRefusedClip) {
  const std::string good = token(claims());
  std::string tampered = good;  // alice's signature over mallory's claims
  tampered.replace(
      tampered.find('.') + 1, tampered.rfind('.') - tampered.find('.') - 1, base64Url(claims("mallory").dump()));
  struct Row {
    std::string name;
    std::string token;
    ClipIds ids;
    int status;  // 0: uploaded
  };
  const std::vector<Row> rows = {
      {"valid", good, idsOf("alice"), 0},
      {"expired 30 s ago, within the clock skew", token(claimsWith([](Json& c) { c["exp"] = unixSeconds(-30s); })),
       idsOf("alice", "skew-exp"), 0},
      {"issued 30 s ahead, within the clock skew", token(claimsWith([](Json& c) { c["iat"] = unixSeconds(30s); })),
       idsOf("alice", "skew-iat"), 0},
      {"non-ASCII ids", good, idsOf("alice", "s\u00e9ance", "r\u00e9ponse"), 0},
      {"expired", token(claimsWith([](Json& c) { c["exp"] = unixSeconds(-120s); })), idsOf("alice"), 401},
      {"issued in the future", token(claimsWith([](Json& c) { c["iat"] = unixSeconds(300s); })), idsOf("alice"), 401},
      {"signed in in the future", token(claimsWith([](Json& c) { c["auth_time"] = unixSeconds(300s); })),
       idsOf("alice"), 401},
      {"no iat", token(claimsWith([](Json& c) { c.erase("iat"); })), idsOf("alice"), 401},
      {"wrong aud", token(claimsWith([](Json& c) { c["aud"] = "another-project"; })), idsOf("alice"), 401},
      {"wrong iss", token(claimsWith([](Json& c) { c["iss"] = "https://securetoken.google.com/another-project"; })),
       idsOf("alice"), 401},
      {"empty sub", token(claimsWith([](Json& c) { c["sub"] = ""; })), idsOf("alice"), 401},
      {"sub of 129 characters", token(claimsWith([](Json& c) { c["sub"] = std::string(129, 'a'); })),
       idsOf(std::string(129, 'a')), 401},
      {"unknown kid", signedToken(JWT_ALG_RS256, stranger_.privatePem, "k9", claims()), idsOf("alice"), 401},
      {"known kid, another key", signedToken(JWT_ALG_RS256, stranger_.privatePem, "k1", claims()), idsOf("alice"), 401},
      {"no kid", token(claims(), ""), idsOf("alice"), 401},
      {"alg none without the emulator", unsignedToken(claims()), idsOf("alice"), 401},
      {"alg none naming a kid", unsignedToken(claims(), {{"alg", "none"}, {"kid", "k1"}}), idsOf("alice"), 401},
      {"HS256 keyed with the certificate", signedToken(JWT_ALG_HS256, signer_.certificatePem, "k1", claims()),
       idsOf("alice"), 401},
      {"HS256 keyed with the public key", signedToken(JWT_ALG_HS256, signer_.publicPem, "k1", claims()), idsOf("alice"),
       401},
      {"claims changed under the signature", tampered, idsOf("mallory"), 401},
      {"not a token", "not-a-token", idsOf("alice"), 401},
      {"sub is not the userId", good, idsOf("mallory"), 403},
      {"another user's prefix",
       good,
       {"alice", "session-1", "answer-1", pathOf("mallory", "session-1", "answer-1")},
       403},
      {"another answer's path",
       good,
       {"alice", "session-1", "answer-1", pathOf("alice", "session-1", "answer-2")},
       403},
      {"session ..", good, idsOf("alice", ".."), 403},
      {"answer .", good, idsOf("alice", "session-1", "."), 403},
      {"empty session", good, idsOf("alice", ""), 403},
      {"slash in a session id", good, idsOf("alice", "s/x"), 403},
      {"backslash in an answer id", good, idsOf("alice", "session-1", "a\\b"), 403},
      {"control character", good, idsOf("alice", "session-1", "a\tb"), 403},
      {"DEL", good, idsOf("alice", "session-1", "a\x7f"), 403},
      {"key over 1024 bytes", good, idsOf("alice", std::string(1000, 's')), 403},
      {"stamp with colons", good, {"alice", "s", "a", "alice/s/a/2026-12-06T10:00:00Z.mp4"}, 403},
      {"stamp without Z", good, {"alice", "s", "a", "alice/s/a/2026-12-06T10-00-00.mp4"}, 403},
      {"another extension", good, {"alice", "s", "a", "alice/s/a/2026-12-06T10-00-00Z.mov"}, 403},
      {"an extra segment", good, {"alice", "s", "a", "alice/s/a/x/2026-12-06T10-00-00Z.mp4"}, 403},
      {"leading slash", good, {"alice", "s", "a", "/alice/s/a/2026-12-06T10-00-00Z.mp4"}, 403},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string content = patternBytes(20000, static_cast<std::uint32_t>(row.name.size()));
    const auto result = uploader_.upload(service_->signedURLEndpoint(), row.token, row.ids, content);
    if (row.status == 0) {
      EXPECT_EQ(result.outcome, "ok");
      EXPECT_FALSE(result.clipKept);
      EXPECT_EQ(readFile(service_->storage() / row.ids.objectPath), content);
    } else {
      EXPECT_TRUE(result.refusedAtSignedURL(row.status)) << result.outcome;
    }
  }
  EXPECT_EQ(filesUnder(service_->storage()).size(), 4U) << "only the accepted rows stored anything";

  const std::string log = log_.text();
  for (const auto& row : rows) {
    const auto signature = row.token.substr(row.token.rfind('.') + 1);
    if (signature.size() > 8) {
      EXPECT_EQ(log.find(signature), std::string::npos) << row.name;
    }
    EXPECT_EQ(log.find(row.token), std::string::npos) << row.name;
  }
  EXPECT_NE(log.find("POST /upload-url 403 user=alice "), std::string::npos) << log;
  EXPECT_NE(log.find("POST /upload-url 401 user=- "), std::string::npos) << log;
  EXPECT_NE(
      log.find("PUT /objects/alice/session-1/answer-1/2026-12-06T10-00-00Z.mp4 200 user=alice "), std::string::npos)
      << log;
}

// A token naming a key id the cache lacks makes the service fetch the
// certificates again, once; further such tokens within the minute cost
// nothing, and a key published meanwhile is found by the next fetch.
TEST_F(TokenTest, AnUnknownKidCostsOneFetchAMinuteAndARotatedInKeyWorksAfterwards) {
  httplib::Client http("127.0.0.1", service_->port());
  auto ask = [&](const std::string& token) {
    const auto reply = http.Post(
        "/upload-url", {{"Authorization", "Bearer " + token}},
        Json{{"userId", "alice"}, {"sessionId", "s"}, {"answerId", "a"}, {"objectPath", pathOf("alice", "s", "a")}}
            .dump(),
        "application/json");
    return reply ? reply->status : -1;
  };
  EXPECT_EQ(ask(token(claims())), 200);
  EXPECT_EQ(certificates_.fetches(), 1);
  const std::string rotated = signedToken(JWT_ALG_RS256, stranger_.privatePem, "k2", claims());
  EXPECT_EQ(ask(rotated), 401);
  EXPECT_EQ(certificates_.fetches(), 2);
  certificates_.publish("k2", stranger_.certificatePem);
  EXPECT_EQ(ask(rotated), 401) << "within the minute: no fetch";
  EXPECT_EQ(certificates_.fetches(), 2);
  EXPECT_EQ(ask(token(claims())), 200) << "known keys still work";
  offset_ = 61;
  EXPECT_EQ(ask(rotated), 200);
  EXPECT_EQ(certificates_.fetches(), 3);
  offset_ = 3600 + 61;  // past max-age: fetched again even for a known kid
  EXPECT_EQ(ask(signedToken(
                JWT_ALG_RS256, stranger_.privatePem, "k2", claimsWith([](Json& c) { c["exp"] = unixSeconds(7200s); }))),
            200);
  EXPECT_EQ(certificates_.fetches(), 4);
}

// Without its certificates the service cannot tell a good token from a bad
// one: 503, which the client treats as "later", not as a refusal.
TEST_F(TokenTest, UnreachableCertificatesAre503AndTheClipIsKept) {
  auto keys = std::make_shared<SigningCertificates>(ScriptedServer([](int, const std::string&) {}).url("/certs"));
  UploadService blind({.storage = dir_ / "blind", .idTokens = std::make_shared<const IdTokenVerifier>(kProject, keys)});
  blind.start();
  const auto result = uploader_.upload(blind.signedURLEndpoint(), token(claims()), idsOf("alice"), "clip");
  EXPECT_TRUE(result.refusedAtSignedURL(503)) << result.outcome;
}

// The emulator's verifier takes unsigned tokens of its demo- project only,
// with the same claim checks, and never a signed one.
TEST(EmulatorTokens, OnlyUnsignedTokensOfTheDemoProjectWithGoodClaims) {
  EXPECT_THROW(IdTokenVerifier::forEmulator("veltrano-prod"), std::invalid_argument);
  const auto verifier = IdTokenVerifier::forEmulator("demo-veltrano");
  const Json good = goodClaims("demo-veltrano", "alice");
  Json expired = good, otherProject = goodClaims("demo-other", "alice");
  expired["exp"] = unixSeconds(-120s);
  const SigningKey key = SigningKey::generate();
  const struct {
    std::string token;
    bool accepted;
  } rows[] = {
      {unsignedToken(good), true},
      {unsignedToken(good) + "c2ln", false},  // "none" with a signature
      {unsignedToken(expired), false},
      {unsignedToken(otherProject), false},
      {unsignedToken(good, {{"alg", "HS256"}}), false},
      {signedToken(JWT_ALG_RS256, key.privatePem, "k1", good), false},
      {signedToken(JWT_ALG_HS256, "secret", "", good), false},
  };
  for (const auto& row : rows) {
    const auto verdict = verifier.verify(row.token);
    EXPECT_EQ(verdict.result == TokenVerdict::Result::accepted, row.accepted) << row.token << " " << verdict.reason;
    if (row.accepted) {
      EXPECT_EQ(verdict.identity.userId, "alice");
    }
  }
}

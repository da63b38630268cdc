#include "Upload/SignedUrlReply.hpp"
#include "Upload/UploadError.hpp"
#include "UploadTestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

using namespace veltrano;
using namespace veltrano::upload;
using veltrano::testing::TempDir;
using veltrano::testing::writeFile;
using Json = nlohmann::json;

namespace {

UploadError::Case failureOf(const std::string& body) {
  try {
    chooseUploadTarget(body);
  } catch (const UploadError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no UploadError for " << body;
  return UploadError::Case::badHTTPStatus;
}

std::string reply(const Json& json) { return json.dump(); }

}  // namespace

TEST(SignedURLReply, UploadUrlWinsAndSignedUrlIsOnlyTheFallbackForAMissingOrNonStringUploadUrl) {
  EXPECT_EQ(chooseUploadTarget(reply({{"uploadUrl", "https://a.example/u"}, {"signedUrl", "https://b.example/s"}})).url,
            "https://a.example/u");
  EXPECT_EQ(chooseUploadTarget(reply({{"signedUrl", "https://b.example/s"}})).url, "https://b.example/s");
  EXPECT_EQ(chooseUploadTarget(reply({{"uploadUrl", 42}, {"signedUrl", "http://b.example/s"}})).url,
            "http://b.example/s");
  EXPECT_EQ(chooseUploadTarget(reply({{"uploadUrl", nullptr}, {"signedUrl", "http://b.example/s"}})).url,
            "http://b.example/s");
  // A string that does not parse does not fall back.
  EXPECT_EQ(failureOf(reply({{"uploadUrl", ""}, {"signedUrl", "https://b.example/s"}})),
            UploadError::Case::missingUploadURL);
  EXPECT_EQ(failureOf(reply({{"uploadUrl", "not a url"}, {"signedUrl", "https://b.example/s"}})),
            UploadError::Case::missingUploadURL);
  EXPECT_EQ(failureOf(reply(Json::object())), UploadError::Case::missingUploadURL);
  EXPECT_EQ(failureOf(reply({{"signedUrl", 7}})), UploadError::Case::missingUploadURL);
}

TEST(SignedURLReply, OnlyHttpAndHttpsURLsAreUsable) {
  for (const char* url : {"file:///tmp/clip.mp4", "ftp://host/clip", "gopher://host/", "scp://host/x", "/relative/path",
                          "host.example/path", "https://", "http://exa mple.com/x", "data:video/mp4,abc"}) {
    EXPECT_EQ(failureOf(reply({{"uploadUrl", url}})), UploadError::Case::missingUploadURL) << url;
  }
  EXPECT_TRUE(isHttpURL("HTTPS://Storage.example:8443/a/b?x=1&y=%20"));
  EXPECT_TRUE(isHttpURL("http://[::1]:9000/objects/x"));
}

TEST(SignedURLReply, BodiesThatAreNotJsonObjectsFailWithTheParserOrInvalidResponse) {
  EXPECT_THROW(chooseUploadTarget("<html>nope</html>"), Json::parse_error);
  EXPECT_THROW(chooseUploadTarget(""), Json::parse_error);
  EXPECT_THROW(chooseUploadTarget("{\"uploadUrl\": \"http://a/x\""), Json::parse_error);
  EXPECT_THROW(chooseUploadTarget("\xff\xfe{}"), Json::parse_error);
  // A number the parser cannot hold is its error too, not ours.
  EXPECT_THROW(chooseUploadTarget(R"({"uploadUrl": "https://a/x", "n": 1e999})"), Json::out_of_range);
  EXPECT_EQ(failureOf("[\"http://a.example/x\"]"), UploadError::Case::invalidResponse);
  EXPECT_EQ(failureOf("\"http://a.example/x\""), UploadError::Case::invalidResponse);
  EXPECT_EQ(failureOf("null"), UploadError::Case::invalidResponse);
  EXPECT_EQ(failureOf("12"), UploadError::Case::invalidResponse);
}

TEST(SignedURLReply, UploadHeadersOverrideContentTypeCaseInsensitivelyAndExactlyOneGoesOut) {
  auto target = chooseUploadTarget(
      reply({{"uploadUrl", "https://a/x"}, {"uploadHeaders", {{"content-type", "application/octet-stream"}, {"X-Goog-Meta", "m"}}}}));
  EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::applied);
  EXPECT_EQ(target.headers, (HeaderList{{"content-type", "application/octet-stream"}, {"X-Goog-Meta", "m"}}));

  // Both spellings in one reply still give one Content-Type.
  target = chooseUploadTarget(
      reply({{"uploadUrl", "https://a/x"}, {"uploadHeaders", {{"Content-Type", "a/b"}, {"CONTENT-TYPE", "c/d"}}}}));
  int contentTypes = 0;
  for (const auto& [name, value] : target.headers) contentTypes += (name == "Content-Type" || name == "CONTENT-TYPE");
  EXPECT_EQ(contentTypes, 1);

  target = chooseUploadTarget(reply({{"uploadUrl", "https://a/x"}}));
  EXPECT_EQ(target.headers, (HeaderList{{"Content-Type", "video/mp4"}}));
  EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::applied);

  // The storage service's own credential may come through uploadHeaders.
  target = chooseUploadTarget(reply({{"uploadUrl", "https://a/x"}, {"uploadHeaders", {{"Authorization", "AWS4 x"}}}}));
  EXPECT_EQ(target.headers, (HeaderList{{"Content-Type", "video/mp4"}, {"Authorization", "AWS4 x"}}));
}

TEST(SignedURLReply, UploadHeadersThatAreNotAnObjectOfStringsAddNothingAndTheUploadGoesOn) {
  for (const Json& headers : {Json{{"X-A", "1"}, {"X-B", 2}}, Json::array({"X-A"}), Json("X-A: 1"), Json(nullptr),
                              Json{{"Content-Type", Json{{"nested", "x"}}}}}) {
    auto target = chooseUploadTarget(reply({{"uploadUrl", "https://a/x"}, {"uploadHeaders", headers}}));
    EXPECT_EQ(target.url, "https://a/x");
    EXPECT_EQ(target.headers, (HeaderList{{"Content-Type", "video/mp4"}})) << headers.dump();
    EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::notStrings) << headers.dump();
  }
}

TEST(SignedURLReply, HeaderInjectionThroughUploadHeadersIsRefusedAsAWhole) {
  const Json hostile[] = {
      {{"X-Ok", "1"}, {"X-A", "1\r\nAuthorization: Bearer stolen"}},
      {{"X-A", std::string("a\0b", 3)}},
      {{"X-A", "line\nbreak"}},
      {{"X-A\r\nEvil", "1"}},
      {{"Bad Name", "1"}},
      {{"", "1"}},
      {{"X:A", "1"}},
      {{"Content-Length", "1"}},
      {{"transfer-encoding", "chunked"}},
  };
  for (const Json& headers : hostile) {
    auto target = chooseUploadTarget(reply({{"uploadUrl", "https://a/x"}, {"uploadHeaders", headers}}));
    EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::unsafe) << headers.dump();
    EXPECT_EQ(target.headers, (HeaderList{{"Content-Type", "video/mp4"}})) << headers.dump();
  }
  // Tabs and odd but legal token characters are fine.
  auto target = chooseUploadTarget(reply({{"uploadUrl", "https://a/x"}, {"uploadHeaders", {{"X-Odd!#$%&'*+.^_`|~", "a\tb"}}}}));
  EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::applied);
  EXPECT_EQ(target.headers.size(), 2u);
}

TEST(SignedURLRequestBody, IsCompactWithExactlyTheFourMembers) {
  const std::string body = makeSignedURLRequestBody("u \"1\"", "s/2", "a\n3", "u/s/a/2026-01-01T00-00-00Z.mp4");
  EXPECT_EQ(body.find(": "), std::string::npos);
  EXPECT_EQ(body.find('\n'), std::string::npos);
  const Json parsed = Json::parse(body);
  EXPECT_EQ(parsed, (Json{{"userId", "u \"1\""},
                          {"sessionId", "s/2"},
                          {"answerId", "a\n3"},
                          {"objectPath", "u/s/a/2026-01-01T00-00-00Z.mp4"}}));
  EXPECT_THROW(makeSignedURLRequestBody("\xff", "s", "a", "p"), Json::type_error);
}

TEST(SignedURLEndpoint, IsReadFromInfoJsonAndAnythingButAnHttpURLCountsAsNotSet) {
  TempDir dir;
  const auto info = dir / "Info.json";
  writeFile(info, R"({"VeltranoAnswerVideoSignedURLRequestURL": "https://api.example/upload-url"})");
  EXPECT_EQ(readSignedURLEndpoint(info), "https://api.example/upload-url");
  // Not trimmed: a string that still parses is used unchanged.
  writeFile(info, R"({"VeltranoAnswerVideoSignedURLRequestURL": "http://h:1/p?q=1#f"})");
  EXPECT_EQ(readSignedURLEndpoint(info), "http://h:1/p?q=1#f");

  for (const char* content : {R"({})", R"({"VeltranoAnswerVideoSignedURLRequestURL": ""})",
                              R"({"VeltranoAnswerVideoSignedURLRequestURL": 5})",
                              R"({"VeltranoAnswerVideoSignedURLRequestURL": ["https://a/x"]})",
                              R"({"VeltranoAnswerVideoSignedURLRequestURL": "ftp://a/x"})",
                              R"({"VeltranoAnswerVideoSignedURLRequestURL": " https://a/x"})",
                              R"({"VeltranoAnswerVideoSignedURLRequestURL": "no url"})"}) {
    writeFile(info, content);
    EXPECT_EQ(readSignedURLEndpoint(info), std::nullopt) << content;
  }
}

TEST(SignedURLEndpoint, AnUnreadableOrBrokenInfoJsonIsAnErrorNotAMissingKey) {
  TempDir dir;
  EXPECT_THROW(readSignedURLEndpoint(dir / "absent.json"), std::system_error);
  writeFile(dir / "broken.json", "{\"VeltranoAnswerVideoSignedURLRequestURL\": ");
  EXPECT_THROW(readSignedURLEndpoint(dir / "broken.json"), Json::parse_error);
  writeFile(dir / "array.json", "[]");
  EXPECT_THROW(readSignedURLEndpoint(dir / "array.json"), std::system_error);
}

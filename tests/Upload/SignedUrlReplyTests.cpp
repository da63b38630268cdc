// The reply handling on its own: the cases the service cannot easily be
// made to send, and the Info.json reading.

#include "Upload/SignedUrlReply.hpp"
#include "Upload/UploadError.hpp"
#include "UploadTestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace veltrano;
using namespace veltrano::upload;
using veltrano::testing::TempDir;
using veltrano::testing::writeFile;
using Json = nlohmann::json;

namespace {

std::optional<UploadError::Case> failureOf(const Json& reply) {
  try {
    chooseUploadTarget(reply.dump());
  } catch (const UploadError& e) {
    return e.kind();
  }
  return std::nullopt;
}

UploadTarget withHeaders(const Json& headers) {
  return chooseUploadTarget(Json{{"uploadUrl", "https://a/x"}, {"uploadHeaders", headers}}.dump());
}

const HeaderList kDefaultHeaders{{"Content-Type", "video/mp4"}};

}  // namespace

TEST(SignedURLReply, OnlyAnHttpOrHttpsUploadURLIsUsableAndABadUploadUrlDoesNotFallBack) {
  for (const char* url : {"file:///tmp/clip.mp4", "ftp://host/clip", "scp://host/x", "/relative/path", "host.example/p",
                          "https://", "http://exa mple.com/x", " https://a/x", "data:video/mp4,abc"}) {
    EXPECT_EQ(failureOf({{"uploadUrl", url}}), UploadError::Case::missingUploadURL) << url;
    EXPECT_EQ(failureOf({{"uploadUrl", url}, {"signedUrl", "https://b/s"}}), UploadError::Case::missingUploadURL) << url;
  }
  EXPECT_EQ(chooseUploadTarget(R"({"uploadUrl": "HTTPS://S.example:8443/a?x=%20", "signedUrl": "https://b/s"})").url,
            "HTTPS://S.example:8443/a?x=%20");
  EXPECT_EQ(chooseUploadTarget(R"({"uploadUrl": null, "signedUrl": "http://[::1]:9000/x"})").url, "http://[::1]:9000/x");
  EXPECT_EQ(failureOf({{"signedUrl", 7}}), UploadError::Case::missingUploadURL);
}

TEST(SignedURLReply, NonObjectsAreInvalidAndWhatTheParserRefusesStaysTheParsersError) {
  for (const char* body : {"[]", "\"https://a/x\"", "null", "12"})
    EXPECT_EQ(failureOf(Json::parse(body)), UploadError::Case::invalidResponse) << body;
  EXPECT_THROW(chooseUploadTarget(""), Json::parse_error);
  EXPECT_THROW(chooseUploadTarget("\xff\xfe{}"), Json::parse_error);
  // A number the parser cannot hold is its error too, not ours.
  EXPECT_THROW(chooseUploadTarget(R"({"uploadUrl": "https://a/x", "n": 1e999})"), Json::out_of_range);
}

TEST(SignedURLReply, BothSpellingsOfContentTypeInOneReplyStillSendOne) {
  // Members apply in the parser's (sorted) order; the later one replaces.
  const auto target = withHeaders({{"Content-Type", "a/b"}, {"CONTENT-TYPE", "c/d"}, {"X-A", ""}});
  EXPECT_EQ(target.headers, (HeaderList{{"Content-Type", "a/b"}, {"X-A", ""}}));
}

TEST(SignedURLReply, UploadHeadersThatAreNotAnObjectOfStringsAddNothing) {
  for (const Json& headers : {Json{{"X-A", "1"}, {"X-B", 2}}, Json::array({"X-A"}), Json("X-A: 1"), Json(nullptr),
                              Json{{"Content-Type", Json{{"nested", "x"}}}}}) {
    const auto target = withHeaders(headers);
    EXPECT_EQ(target.headers, kDefaultHeaders) << headers.dump();
    EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::notStrings) << headers.dump();
  }
}

TEST(SignedURLReply, UploadHeadersThatCouldInjectOrReframeTheRequestAreRefusedAsAWhole) {
  for (const Json& headers : {Json{{"X-Ok", "1"}, {"X-A", "1\r\nAuthorization: Bearer stolen"}},
                              Json{{"X-A", std::string("a\0b", 3)}}, Json{{"X-A", "line\nbreak"}},
                              Json{{"X-A\r\nEvil", "1"}}, Json{{"Bad Name", "1"}}, Json{{"", "1"}}, Json{{"X:A", "1"}},
                              Json{{"Content-Length", "1"}}, Json{{"transfer-encoding", "chunked"}}}) {
    const auto target = withHeaders(headers);
    EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::unsafe) << headers.dump();
    EXPECT_EQ(target.headers, kDefaultHeaders) << headers.dump();
  }
  // Odd but legal names, tabs in values, and the storage's own credential.
  const auto target = withHeaders({{"X-Odd!#$%&'*+.^_`|~", "a\tb"}, {"Authorization", "AWS4 x"}});
  EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::applied);
  EXPECT_EQ(target.headers.size(), 3u);
}

TEST(SignedURLRequestBody, IsCompactWithExactlyTheFourMembersAndRefusesTextThatIsNotUtf8) {
  const std::string body = makeSignedURLRequestBody("u \"1\"", "s/2", "a\n3", "u/s/a/x.mp4");
  EXPECT_EQ(body, R"({"answerId":"a\n3","objectPath":"u/s/a/x.mp4","sessionId":"s/2","userId":"u \"1\""})");
  EXPECT_THROW(makeSignedURLRequestBody("\xff", "s", "a", "p"), Json::type_error);
}

TEST(SignedURLEndpoint, OnlyAnHttpURLStringCountsAndABrokenInfoJsonIsAnError) {
  TempDir dir;
  const auto info = dir / "Info.json";
  writeFile(info, R"({"VeltranoAnswerVideoSignedURLRequestURL": "http://h:1/p?q=1#f"})");
  EXPECT_EQ(readSignedURLEndpoint(info), "http://h:1/p?q=1#f");
  for (const char* value : {"5", R"("")", R"(["https://a/x"])", R"("ftp://a/x")", R"(" https://a/x")", R"("no url")"}) {
    writeFile(info, std::string(R"({"VeltranoAnswerVideoSignedURLRequestURL": )") + value + "}");
    EXPECT_EQ(readSignedURLEndpoint(info), std::nullopt) << value;
  }
  EXPECT_THROW(readSignedURLEndpoint(dir / "absent.json"), std::system_error);
  writeFile(info, "[]");
  EXPECT_THROW(readSignedURLEndpoint(info), std::system_error);
  writeFile(info, "{\"VeltranoAnswerVideoSignedURLRequestURL\": ");
  EXPECT_THROW(readSignedURLEndpoint(info), Json::parse_error);
}

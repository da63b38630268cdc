// The reply handling on its own: the cases the service cannot easily be
// made to send.

#include "Upload/SignedUrlReply.hpp"
#include "Upload/UploadError.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>

using namespace veltrano;
using namespace veltrano::upload;
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
                          "", "https://", "http://exa mple.com/x", " https://a/x", "data:video/mp4,abc"}) {
    EXPECT_EQ(failureOf({{"uploadUrl", url}}), UploadError::Case::missingUploadURL) << url;
    EXPECT_EQ(failureOf({{"uploadUrl", url}, {"signedUrl", "https://b/s"}}), UploadError::Case::missingUploadURL)
        << url;
  }
  EXPECT_EQ(chooseUploadTarget(R"({"uploadUrl": "HTTPS://S.example:8443/a?x=%20", "signedUrl": "https://b/s"})").url,
            "HTTPS://S.example:8443/a?x=%20");
  EXPECT_EQ(
      chooseUploadTarget(R"({"uploadUrl": null, "signedUrl": "http://[::1]:9000/x"})").url, "http://[::1]:9000/x");
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

// Not an object of strings, or able to inject or reframe the request: the
// whole object is refused and only our Content-Type goes out.
TEST(SignedURLReply, UploadHeadersApplyOnlyWhenAllAreSafeStrings) {
  using enum UploadHeadersOutcome;
  const std::pair<Json, UploadHeadersOutcome> cases[] = {
      {Json{{"X-A", "1"}, {"X-B", 2}}, notStrings},
      {Json::array({"X-A"}), notStrings},
      {Json("X-A: 1"), notStrings},
      {Json(nullptr), notStrings},
      {Json{{"Content-Type", Json{{"nested", "x"}}}}, notStrings},
      {Json{{"X-Ok", "1"}, {"X-A", "1\r\nAuthorization: Bearer stolen"}}, unsafe},
      {Json{{"X-A", std::string("a\0b", 3)}}, unsafe},
      {Json{{"X-A", "line\nbreak"}}, unsafe},
      {Json{{"X-A\r\nEvil", "1"}}, unsafe},
      {Json{{"Bad Name", "1"}}, unsafe},
      {Json{{"", "1"}}, unsafe},
      {Json{{"X:A", "1"}}, unsafe},
      {Json{{"Content-Length", "1"}}, unsafe},
      {Json{{"transfer-encoding", "chunked"}}, unsafe},
  };
  for (const auto& [headers, outcome] : cases) {
    SCOPED_TRACE(headers.dump());
    const auto target = withHeaders(headers);
    EXPECT_EQ(target.headersOutcome, outcome);
    EXPECT_EQ(target.headers, kDefaultHeaders);
  }
  // Odd but legal names, tabs and empty values, and the storage's own
  // credential go out. Members apply in the parser's (sorted) order, so of
  // both spellings of Content-Type the later replaces, and only one is sent.
  const auto target = withHeaders(Json::parse(R"({"X-Odd!#$%&'*+.^_`|~": "a\tb", "Authorization": "AWS4 x",)"
                                              R"( "Content-Type": "a/b", "CONTENT-TYPE": "c/d", "X-A": ""})"));
  EXPECT_EQ(target.headersOutcome, UploadHeadersOutcome::applied);
  EXPECT_EQ(
      target.headers,
      (HeaderList{{"Content-Type", "a/b"}, {"Authorization", "AWS4 x"}, {"X-A", ""}, {"X-Odd!#$%&'*+.^_`|~", "a\tb"}}));
}

TEST(SignedURLRequestBody, IsCompactWithExactlyTheFourMembersAndRefusesTextThatIsNotUtf8) {
  const std::string body = makeSignedURLRequestBody("u \"1\"", "s/2", "a\n3", "u/s/a/x.mp4");
  EXPECT_EQ(body, R"({"answerId":"a\n3","objectPath":"u/s/a/x.mp4","sessionId":"s/2","userId":"u \"1\""})");
  EXPECT_THROW(makeSignedURLRequestBody("\xff", "s", "a", "p"), Json::type_error);
}

#include "PendingUploads/FileURL.hpp"
#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/ReferenceDate.hpp"
#include "PendingUploads/Uuid.hpp"
#include "StoreTestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <limits>
#include <set>

using namespace veltrano;
using namespace std::chrono;
using Json = nlohmann::json;

TEST(Uuid, ReadsEitherCaseAndWritesUpperCase) {
  const auto lower = Uuid::parse("0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b3");
  const auto mixed = Uuid::parse("0F8e4A2c-1B3d-4E5f-A6b7-C8d9E0f1A2b3");
  ASSERT_TRUE(lower && mixed);
  EXPECT_EQ(*lower, *mixed);
  EXPECT_EQ(lower->string(), "0F8E4A2C-1B3D-4E5F-A6B7-C8D9E0F1A2B3");
  EXPECT_EQ(Uuid::parse(lower->string()), lower);
}

TEST(Uuid, RejectsAnythingButTheCanonicalForm) {
  for (const char* text : {"", "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b",    // 35 characters
                           "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b30",      // 37
                           "0f8e4a2c1-b3d-4e5f-a6b7-c8d9e0f1a2b3",       // hyphen moved
                           "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2bg",       // not hex
                           "0f8e4a2c+1b3d-4e5f-a6b7-c8d9e0f1a2b3",       // wrong separator
                           "{f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b}"})
    EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(Uuid, RandomIdsAreVersionFourAndDistinct) {
  std::set<Uuid> seen;
  for (int i = 0; i < 1000; ++i) {
    const Uuid id = Uuid::random();
    const std::string text = id.string();
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(ReferenceDate, CountsSecondsFromTheStartOf2001WithFractionsAndSign) {
  const system_clock::time_point reference{seconds(978307200)};
  EXPECT_EQ(ReferenceDate::fromTimePoint(reference).secondsSinceReferenceDate(), 0.0);
  EXPECT_EQ(ReferenceDate::fromTimePoint(reference - milliseconds(500)).secondsSinceReferenceDate(), -0.5);
  EXPECT_EQ(ReferenceDate::fromTimePoint(system_clock::time_point{}).secondsSinceReferenceDate(), -978307200.0);
  EXPECT_EQ(ReferenceDate::fromTimePoint(reference + hours(24) + milliseconds(250)).secondsSinceReferenceDate(),
            86400.25);
  // Microseconds survive for present-day moments.
  const auto now = time_point_cast<microseconds>(system_clock::now());
  EXPECT_EQ(round<microseconds>(ReferenceDate::fromTimePoint(now).timePoint()), now);
}

TEST(ReferenceDate, RefusesValuesTheFileCannotHoldAndSaturatesTheClock) {
  EXPECT_FALSE(ReferenceDate::fromSecondsSinceReferenceDate(std::nan("")));
  EXPECT_FALSE(ReferenceDate::fromSecondsSinceReferenceDate(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(ReferenceDate::fromSecondsSinceReferenceDate(1e300)->timePoint(), system_clock::time_point::max());
  EXPECT_EQ(ReferenceDate::fromSecondsSinceReferenceDate(-1e300)->timePoint(), system_clock::time_point::min());
}

TEST(FileURL, PercentEncodesAndReadsBackAnyFileName) {
  const std::filesystem::path odd = std::string("/tmp/a b/%41#frag?q=1/caf\xc3\xa9/\xff\x01\0.mp4", 35);
  const std::string url = fileURLString(odd);
  EXPECT_EQ(url, "file:///tmp/a%20b/%2541%23frag%3Fq=1/caf%C3%A9/%FF%01%00.mp4");
  EXPECT_EQ(parseFileURL(url), odd);
  EXPECT_EQ(fileURLString("/home/u/rec/veltrano-answer-X.mp4"), "file:///home/u/rec/veltrano-answer-X.mp4");
}

TEST(FileURL, AcceptsTheUsualSpellingsOfALocalFile) {
  EXPECT_EQ(parseFileURL("FILE:///x/y.mp4"), std::filesystem::path("/x/y.mp4"));
  EXPECT_EQ(parseFileURL("file://localhost/x/y.mp4"), std::filesystem::path("/x/y.mp4"));
  EXPECT_EQ(parseFileURL("file:/x/y.mp4"), std::filesystem::path("/x/y.mp4"));
  EXPECT_EQ(parseFileURL("file:///x/y.mp4?v=1#t"), std::filesystem::path("/x/y.mp4"));
  EXPECT_EQ(parseFileURL("file:///x/a%2fb"), std::filesystem::path("/x/a/b"));
}

TEST(FileURL, RejectsWhatIsNotALocalFileURL) {
  for (const char* url : {"", "/x/y.mp4", "https://host/x.mp4", "file://otherhost/x.mp4", "file://", "file:",
                          "file:relative/x.mp4", "file:///x/a%2", "file:///x/a%zz",
                          "file:///x/a b.mp4", "file:///x/caf\xc3\xa9", "file:///x\"y"})
    EXPECT_FALSE(parseFileURL(url)) << url;
}

namespace {

PendingUploadRecord sampleRecord() {
  PendingUploadRecord r;
  r.id = *Uuid::parse("0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b3");
  r.fileURL = "/data/recordings/veltrano-answer-1.mp4";
  r.userId = "u/1";
  r.sessionId = "s\"1";
  r.answerId = "a\n1";
  r.objectPath = "u/1/s/a/2026-12-06T18-00-00Z.mp4";
  r.idToken = "tok";
  r.enqueuedAt = *ReferenceDate::fromSecondsSinceReferenceDate(-12.125);
  return r;
}

}  // namespace

TEST(PendingUploadsCodec, WritesACompactArrayOfEightKeyObjects) {
  const std::string bytes = encodePendingUploads({sampleRecord()});
  EXPECT_EQ(bytes.find('\n'), std::string::npos);
  EXPECT_EQ(bytes.find(": "), std::string::npos);
  const Json file = Json::parse(bytes);
  ASSERT_TRUE(file.is_array());
  ASSERT_EQ(file.size(), 1u);
  const Json& element = file[0];
  EXPECT_EQ(element.size(), 8u);
  EXPECT_EQ(element["id"], "0F8E4A2C-1B3D-4E5F-A6B7-C8D9E0F1A2B3");
  EXPECT_EQ(element["fileURL"], "file:///data/recordings/veltrano-answer-1.mp4");
  EXPECT_EQ(element["userId"], "u/1");
  EXPECT_EQ(element["sessionId"], "s\"1");
  EXPECT_EQ(element["answerId"], "a\n1");
  EXPECT_EQ(element["objectPath"], "u/1/s/a/2026-12-06T18-00-00Z.mp4");
  EXPECT_EQ(element["idToken"], "tok");
  EXPECT_TRUE(element["enqueuedAt"].is_number());
  EXPECT_EQ(element["enqueuedAt"].get<double>(), -12.125);
  EXPECT_EQ(encodePendingUploads({}), "[]");

  const auto back = decodePendingUploads(bytes);
  EXPECT_FALSE(back.damaged);
  ASSERT_EQ(back.records.size(), 1u);
  EXPECT_EQ(back.records[0], sampleRecord());
}

TEST(PendingUploadsCodec, ReadsLowerCaseIdsEscapedSlashesIntegerDatesAndIgnoresExtraKeys) {
  const auto decoded = decodePendingUploads(
      R"([{"id":"0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b3","fileURL":"file:\/\/\/data\/rec\/clip%20one.mp4",)"
      R"("userId":"u","sessionId":"s","answerId":"a","objectPath":"u\/s\/a\/t.mp4","idToken":"t",)"
      R"("enqueuedAt":0,"attempts":3,"extra":{"nested":[1,2]}}])");
  EXPECT_FALSE(decoded.damaged);
  ASSERT_EQ(decoded.records.size(), 1u);
  const auto& r = decoded.records[0];
  EXPECT_EQ(r.id.string(), "0F8E4A2C-1B3D-4E5F-A6B7-C8D9E0F1A2B3");
  EXPECT_EQ(r.fileURL, std::filesystem::path("/data/rec/clip one.mp4"));
  EXPECT_EQ(r.objectPath, "u/s/a/t.mp4");
  EXPECT_EQ(r.enqueuedAt.secondsSinceReferenceDate(), 0.0);
}

TEST(PendingUploadsCodec, AnElementMissingOrMistypingAnyKeyIsDroppedAndMarksTheFileDamaged) {
  const Json good = Json::parse(encodePendingUploads({sampleRecord()}))[0];
  std::vector<std::pair<std::string, std::optional<Json>>> faults;  // nullopt: key missing
  for (const auto& [key, value] : good.items()) faults.emplace_back(key, std::nullopt);
  for (const char* key : {"id", "fileURL", "userId", "sessionId", "answerId", "objectPath", "idToken"})
    faults.emplace_back(key, Json(7));
  faults.emplace_back("enqueuedAt", Json("0"));
  faults.emplace_back("enqueuedAt", Json(true));
  faults.emplace_back("enqueuedAt", Json(nullptr));
  faults.emplace_back("id", Json("not-a-uuid"));
  faults.emplace_back("fileURL", Json("https://example.com/clip.mp4"));
  faults.emplace_back("fileURL", Json("/data/recordings/clip.mp4"));

  for (const auto& [key, value] : faults) {
    Json broken = good;
    if (value) broken[key] = *value;
    else broken.erase(key);
    const Json file = Json::array({good, broken});
    const std::string what = key + " = " + (value ? value->dump() : "missing");
    const auto decoded = decodePendingUploads(file.dump());
    EXPECT_TRUE(decoded.damaged) << what;
    EXPECT_EQ(decoded.records.size(), 1u) << what;
  }
}

TEST(PendingUploadsCodec, SalvagesTheCompleteElementsOfATruncatedOrGarbledFile) {
  auto a = sampleRecord(), b = sampleRecord(), c = sampleRecord();
  b.id = Uuid::random();
  c.id = Uuid::random();
  const std::string bytes = encodePendingUploads({a, b, c});
  const std::size_t thirdStarts = bytes.rfind("{");

  const auto truncated = decodePendingUploads(std::string_view(bytes).substr(0, thirdStarts + 40));
  EXPECT_TRUE(truncated.damaged);
  ASSERT_EQ(truncated.records.size(), 2u);
  EXPECT_EQ(truncated.records[0], a);
  EXPECT_EQ(truncated.records[1], b);

  std::string garbled = bytes;
  garbled.insert(thirdStarts, "\x01 nonsense");
  EXPECT_EQ(decodePendingUploads(garbled).records.size(), 2u);

  for (const char* hopeless : {"", "{}", "null", "\"[]\"", "[", "}{", "\xff\xfe[]"}) {
    const auto decoded = decodePendingUploads(hopeless);
    EXPECT_TRUE(decoded.damaged) << hopeless;
    EXPECT_TRUE(decoded.records.empty()) << hopeless;
  }
  EXPECT_FALSE(decodePendingUploads("[]").damaged);
  EXPECT_FALSE(decodePendingUploads(" [ ] \n").damaged);
}

TEST(PendingUploadsCodec, EscapesEveryFieldSoAnyTextReadsBack) {
  auto r = sampleRecord();
  r.userId = std::string("quote\" back\\slash \x01\x1f\t\n\r\b\f del\x7f nul") + '\0' + "end";
  r.sessionId = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5 \xf4\x8f\xbf\xbf";  // 2, 3 and 4 bytes, U+10FFFF
  const auto decoded = decodePendingUploads(encodePendingUploads({r}));
  EXPECT_FALSE(decoded.damaged);
  ASSERT_EQ(decoded.records.size(), 1u);
  EXPECT_EQ(decoded.records[0], r);
}

TEST(PendingUploadsCodec, BytesThatAreNotUtf8AreReplacedRatherThanFailingTheWrite) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"tok\xff\xfe", "tok\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                              // overlong '/'
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                // a UTF-16 surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // above U+10FFFF
      {"cut \xe2\x82", "cut \xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const auto& [raw, stored] : cases) {
    auto r = sampleRecord();
    r.idToken = raw;
    const auto decoded = decodePendingUploads(encodePendingUploads({r}));
    EXPECT_FALSE(decoded.damaged);
    ASSERT_EQ(decoded.records.size(), 1u);
    EXPECT_EQ(decoded.records[0].idToken, stored);
  }
}

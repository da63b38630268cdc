#include "PendingUploads/FileURL.hpp"
#include "PendingUploads/PendingUploadsCodec.hpp"
#include "StoreTestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <set>

using namespace veltrano;
using namespace std::chrono;
using Json = nlohmann::json;

TEST(Uuid, ReadsEitherCaseWritesUpperCaseAndRejectsAnyOtherForm) {
  const auto id = Uuid::parse("0f8e4a2c-1B3D-4e5f-a6b7-c8d9e0f1a2b3");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->string(), "0F8E4A2C-1B3D-4E5F-A6B7-C8D9E0F1A2B3");
  EXPECT_EQ(Uuid::parse(id->string()), id);
  for (const char* bad : {"", "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b", "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b30",
                          "0f8e4a2c1-b3d-4e5f-a6b7-c8d9e0f1a2b3", "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2bg"})
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) seen.insert(Uuid::random().string());
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_EQ(seen.begin()->at(14), '4');
}

TEST(ReferenceDate, CountsSecondsFrom2001WithFractionsAndSign) {
  const system_clock::time_point reference{seconds(978307200)};
  EXPECT_EQ(ReferenceDate::fromTimePoint(reference).secondsSinceReferenceDate(), 0.0);
  EXPECT_EQ(ReferenceDate::fromTimePoint(reference - milliseconds(500)).secondsSinceReferenceDate(), -0.5);
  EXPECT_EQ(ReferenceDate::fromTimePoint(reference + hours(24) + milliseconds(250)).secondsSinceReferenceDate(), 86400.25);
  const auto now = round<microseconds>(system_clock::now());
  EXPECT_EQ(round<microseconds>(ReferenceDate::fromTimePoint(now).timePoint()), now);
  EXPECT_FALSE(ReferenceDate::fromSecondsSinceReferenceDate(std::nan("")));
  EXPECT_EQ(ReferenceDate::fromSecondsSinceReferenceDate(1e300)->timePoint(), system_clock::time_point::max());
}

TEST(FileURL, EncodesAnyPathSoItReadsBackAndRefusesWhatIsNotALocalFile) {
  const std::filesystem::path odd = std::string("/tmp/a b/%41#f?q=1/caf\xc3\xa9/\xff\0.mp4", 31);
  EXPECT_EQ(fileURLString(odd), "file:///tmp/a%20b/%2541%23f%3Fq=1/caf%C3%A9/%FF%00.mp4");
  EXPECT_EQ(parseFileURL(fileURLString(odd)), odd);
  for (const char* same : {"FILE:///x/y.mp4", "file://localhost/x/y.mp4", "file:/x/y.mp4", "file:///x/y.mp4?v#t"})
    EXPECT_EQ(parseFileURL(same), std::filesystem::path("/x/y.mp4")) << same;
  for (const char* bad : {"", "/x/y.mp4", "https://h/x.mp4", "file://otherhost/x.mp4", "file:", "file:rel/x.mp4",
                          "file:///x/a%2", "file:///x/a%zz", "file:///x/a b.mp4", "file:///x/caf\xc3\xa9"})
    EXPECT_FALSE(parseFileURL(bad)) << bad;
}

namespace {

PendingUploadRecord sample() {
  return PendingUploadRecord{*Uuid::parse("0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b3"), "/rec/veltrano-answer-1.mp4",
                             "u/1", "s\"1", "a\n1", "u/1/s/a/t.mp4", "tok",
                             *ReferenceDate::fromSecondsSinceReferenceDate(-12.125)};
}

}  // namespace

TEST(PendingUploadsCodec, WritesACompactArrayOfEightKeyObjectsThatReadsBack) {
  const std::string bytes = encodePendingUploads({sample()});
  EXPECT_EQ(bytes.find_first_of("\n "), std::string::npos);
  const Json element = Json::parse(bytes).at(0);
  EXPECT_EQ(element, Json::parse(R"({"id":"0F8E4A2C-1B3D-4E5F-A6B7-C8D9E0F1A2B3","fileURL":"file:///rec/veltrano-answer-1.mp4",
      "userId":"u/1","sessionId":"s\"1","answerId":"a\n1","objectPath":"u/1/s/a/t.mp4","idToken":"tok","enqueuedAt":-12.125})"));
  EXPECT_EQ(decodePendingUploads(bytes).records, std::vector{sample()});
  EXPECT_EQ(encodePendingUploads({}), "[]");
}

TEST(PendingUploadsCodec, AnElementMissingOrMistypingAKeyIsDroppedAndTheFileCalledDamaged) {
  const Json good = Json::parse(encodePendingUploads({sample()}))[0];
  std::vector<Json> broken;
  for (const auto& item : good.items()) {
    broken.push_back(good);
    broken.back().erase(item.key());
    broken.push_back(good);
    broken.back()[item.key()] = item.key() == "enqueuedAt" ? Json("0") : Json(7);
  }
  for (Json fault : {Json{{"id", "not-a-uuid"}}, Json{{"fileURL", "https://h/c.mp4"}}, Json{{"enqueuedAt", true}}}) {
    broken.push_back(good);
    broken.back().update(fault);
  }
  for (const auto& element : broken) {
    const auto decoded = decodePendingUploads(Json::array({good, element}).dump());
    EXPECT_TRUE(decoded.damaged) << element;
    EXPECT_EQ(decoded.records, std::vector{sample()}) << element;
  }
}

TEST(PendingUploadsCodec, SalvagesCompleteElementsOfATruncatedFile) {
  auto a = sample(), b = sample(), c = sample();
  b.id = Uuid::random();
  c.id = Uuid::random();
  const std::string bytes = encodePendingUploads({a, b, c});
  const auto truncated = decodePendingUploads(std::string_view(bytes).substr(0, bytes.rfind('{') + 40));
  EXPECT_TRUE(truncated.damaged);
  EXPECT_EQ(truncated.records, (std::vector{a, b}));
  for (const char* hopeless : {"", "{}", "null", "[", "\xff[]"}) {
    EXPECT_TRUE(decodePendingUploads(hopeless).damaged) << hopeless;
    EXPECT_TRUE(decodePendingUploads(hopeless).records.empty()) << hopeless;
  }
}

TEST(PendingUploadsCodec, EscapesAnyTextAndReplacesBytesThatAreNotUtf8) {
  auto r = sample();
  r.userId = std::string("q\" b\\s \x01\x1f\t\n\x7f ") + '\0' + "caf\xc3\xa9 \xf0\x9f\x8e\xa5";
  r.idToken = "t\xff \xc0\xaf \xed\xa0\x80 \xe2\x82";  // stray byte, overlong, surrogate, cut short
  const auto decoded = decodePendingUploads(encodePendingUploads({r}));
  ASSERT_FALSE(decoded.damaged);
  ASSERT_EQ(decoded.records.size(), 1u);
  EXPECT_EQ(decoded.records[0].userId, r.userId);
  const std::string bad = "\xef\xbf\xbd";
  EXPECT_EQ(decoded.records[0].idToken, "t" + bad + " " + bad + bad + " " + bad + bad + bad + " " + bad + bad);
}

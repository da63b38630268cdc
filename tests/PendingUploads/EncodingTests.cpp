#include "PendingUploads/FileURL.hpp"
#include "PendingUploads/PendingUploadsCodec.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

using namespace veltrano;
using namespace std::chrono;
using Json = nlohmann::json;

TEST(Uuid, ReadsOnlyTheCanonicalFormInAnyCaseAndDrawsVersion4Ids) {
  EXPECT_EQ(Uuid::parse("0f8e4a2c-1B3D-4e5f-a6b7-c8d9e0f1a2b3")->string(), "0F8E4A2C-1B3D-4E5F-A6B7-C8D9E0F1A2B3");
  for (const char* bad : {"", "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b", "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b30",
                          "0f8e4a2c1-b3d-4e5f-a6b7-c8d9e0f1a2b3", "0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2bg"})
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  EXPECT_EQ(Uuid::random().string().at(14), '4');  // distinct draws show in the store's many-threads test
}

TEST(ReferenceDate, CountsSecondsFrom2001WithFractionsAndSignBothWays) {
  const system_clock::time_point reference{ReferenceDate::unixOffset};
  const std::pair<system_clock::time_point, double> cases[] = {
      {reference, 0.0}, {reference - milliseconds(500), -0.5}, {reference + hours(24) + milliseconds(250), 86400.25}};
  for (const auto& [time, seconds] : cases) {
    EXPECT_EQ(ReferenceDate::fromTimePoint(time).secondsSinceReferenceDate(), seconds);
    EXPECT_EQ(ReferenceDate::fromSecondsSinceReferenceDate(seconds)->timePoint(), time) << seconds;
  }
  EXPECT_FALSE(ReferenceDate::fromSecondsSinceReferenceDate(std::nan("")));
  EXPECT_EQ(ReferenceDate::fromSecondsSinceReferenceDate(1e300)->timePoint(), system_clock::time_point::max());
}

namespace {

// Switches the process to a single-byte locale, as a GTK program's
// setlocale(LC_ALL, "") would for such a user, and back to "C" afterwards.
// A locale the system lacks is built with localedef into a private folder.
class ScopedLocale {
 public:
  explicit ScopedLocale(const std::string& name) {
    if (std::setlocale(LC_ALL, name.c_str())) return;
    static const std::filesystem::path folder = [] {
      std::string pattern = (std::filesystem::temp_directory_path() / "veltrano-locales-XXXXXX").string();
      return std::filesystem::path(::mkdtemp(pattern.data()) ? pattern : std::string());
    }();
    static const struct Cleanup {
      ~Cleanup() {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
      }
    } cleanup;
    // A folder per locale: glibc remembers a failed lookup per search path.
    const auto dot = name.find('.');
    const std::filesystem::path path = folder / name;
    std::filesystem::create_directories(path);
    const std::string command = "localedef -c -i " + name.substr(0, dot) + " -f " + name.substr(dot + 1) + " '" +
                                (path / name).string() + "' >/dev/null 2>&1";
    (void)std::system(command.c_str());
    ::setenv("LOCPATH", path.c_str(), 1);
    std::setlocale(LC_ALL, name.c_str());
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, "C"); }
  ScopedLocale(const ScopedLocale&) = delete;
};

class FileURL : public ::testing::TestWithParam<const char*> {};

}  // namespace

// Bytes >= 0x80 are letters in Latin-1, and 'I' lowers to a dotless i in
// Turkish: neither may change what is written or read back.
TEST_P(FileURL, EncodesAnyPathSoItReadsBackAndRefusesWhatIsNotALocalFile) {
  const ScopedLocale locale(GetParam());
  const std::string active = std::setlocale(LC_ALL, nullptr);
  ASSERT_EQ(active, GetParam()) << "the locale could not be made";
  if (active == "en_US.ISO-8859-1") {
    ASSERT_TRUE(std::isalnum(0xC3)) << "not the single-byte locale meant";
  } else if (active == "tr_TR.ISO-8859-9") {
    ASSERT_NE(std::tolower('I'), 'i') << "not the Turkish locale meant";
  }

  const std::filesystem::path odd = std::string("/tmp/a b/%41#f?q=1/caf\xc3\xa9/\xff\0.mp4", 31);
  EXPECT_EQ(fileURLString(odd), "file:///tmp/a%20b/%2541%23f%3Fq=1/caf%C3%A9/%FF%00.mp4");
  EXPECT_EQ(parseFileURL(fileURLString(odd)), odd);
  for (const char* same : {"FILE:///x/y.mp4", "file://LOCALHOST/x/y.mp4", "file:/x/y.mp4", "file:///x/y.mp4?v#t"})
    EXPECT_EQ(parseFileURL(same), std::filesystem::path("/x/y.mp4")) << same;
  for (const char* bad : {"", "/x/y.mp4", "https://h/x.mp4", "file://otherhost/x.mp4", "file:", "file:rel/x.mp4",
                          "file:///x/a%2", "file:///x/a%zz", "file:///x/a b.mp4", "file:///x/caf\xc3\xa9",
                          "file:///x/\xe9t\xe9.mp4", "file:///x/y.mp4#\xe9"})
    EXPECT_FALSE(parseFileURL(bad)) << bad;
}

INSTANTIATE_TEST_SUITE_P(Locales, FileURL, ::testing::Values("C", "en_US.ISO-8859-1", "tr_TR.ISO-8859-9"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

const PendingUploadRecord sample{*Uuid::parse("0f8e4a2c-1b3d-4e5f-a6b7-c8d9e0f1a2b3"),
                                 "/rec/veltrano-answer-1.mp4",
                                 "u/1",
                                 "s\"1",
                                 "a\n1",
                                 "u/1/s/a/t.mp4",
                                 "tok",
                                 *ReferenceDate::fromSecondsSinceReferenceDate(-12.125)};

TEST(PendingUploadsCodec, WritesACompactArrayOfEightKeyObjectsThatReadsBack) {
  const std::string bytes = encodePendingUploads({sample});
  EXPECT_EQ(bytes.find_first_of("\n "), std::string::npos);
  const Json element = Json::parse(bytes).at(0);
  EXPECT_EQ(element,
            Json::parse(R"({"id":"0F8E4A2C-1B3D-4E5F-A6B7-C8D9E0F1A2B3","fileURL":"file:///rec/veltrano-answer-1.mp4",
      "userId":"u/1","sessionId":"s\"1","answerId":"a\n1","objectPath":"u/1/s/a/t.mp4","idToken":"tok","enqueuedAt":-12.125})"));
  EXPECT_EQ(decodePendingUploads(bytes).records, std::vector{sample});
}

TEST(PendingUploadsCodec, SalvagesEveryWholeElementAndCallsAnyFaultDamaged) {
  const Json good = Json::parse(encodePendingUploads({sample}))[0];
  const std::string three = encodePendingUploads({sample, sample, sample});
  std::vector<std::pair<std::string, std::size_t>> files = {
      // bytes, elements salvaged
      {three.substr(0, three.rfind('{') + 40), 2}, {"", 0}, {"{}", 0}, {"null", 0}, {"[", 0}, {"\xff[]", 0}};
  auto withBadElement = [&](auto change) {
    Json element = good;
    change(element);
    files.emplace_back(Json::array({good, element}).dump(), 1);
  };
  for (const auto& item : good.items()) {
    withBadElement([&](Json& e) { e.erase(item.key()); });
    withBadElement([&](Json& e) { e[item.key()] = item.key() == "enqueuedAt" ? Json("0") : Json(7); });
  }
  for (Json fault : {Json{{"id", "not-a-uuid"}}, Json{{"fileURL", "https://h/c.mp4"}}, Json{{"enqueuedAt", true}}})
    withBadElement([&](Json& e) { e.update(fault); });
  for (const auto& [bytes, salvaged] : files) {
    const auto decoded = decodePendingUploads(bytes);
    EXPECT_TRUE(decoded.damaged) << bytes;
    EXPECT_EQ(decoded.records, std::vector(salvaged, sample)) << bytes;
  }
}

TEST(PendingUploadsCodec, EscapesAnyTextAndReplacesBytesThatAreNotUtf8) {
  auto r = sample;
  r.userId = std::string("q\" b\\s \x01\x1f\t\n\x7f ") + '\0' + "caf\xc3\xa9 \xf0\x9f\x8e\xa5";
  r.idToken = "t\xff \xc0\xaf \xed\xa0\x80 \xe2\x82";  // stray byte, overlong, surrogate, cut short
  const auto decoded = decodePendingUploads(encodePendingUploads({r}));
  const std::string bad = "\xef\xbf\xbd";
  r.idToken = "t" + bad + " " + bad + bad + " " + bad + bad + bad + " " + bad + bad;
  EXPECT_FALSE(decoded.damaged);
  EXPECT_EQ(decoded.records, std::vector{r});  // text kept, bad bytes replaced
}

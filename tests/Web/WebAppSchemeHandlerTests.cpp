// The "app" scheme's core against real files in a temporary web app: the
// path rules, the MIME table, links out of the root, unreadable files and
// the streamed body.

#include "Web/Linux/WebAppSchemeWebKit.hpp"
#include "Web/WebAppSchemeHandler.hpp"

#include <fcntl.h>
#include <gio/gunixinputstream.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using veltrano::WebAppResponse;
using veltrano::WebAppSchemeError;
using veltrano::WebAppSchemeHandler;

using veltrano::testing::TempDir;

using veltrano::testing::writeFile;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string readAll(int fd) {
  std::string content;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<std::size_t>(n));
  return content;
}

std::string describe(const veltrano::WebAppSchemeResult& result) {
  if (const auto* response = std::get_if<WebAppResponse>(&result)) return "served " + response->file.string();
  const auto& error = std::get<std::error_code>(result);
  return std::string("error ") + error.category().name() + " " + std::to_string(error.value());
}

// One web app with a file for every rule below, and a secret beside it.
class WebAppFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(root / "index.html", "<h1>root</h1>");
    writeFile(root / "sub" / "index.html", "<h1>sub</h1>");
    writeFile(root / "sub" / "page.css", "body{}");
    writeFile(root / "with space.css", "p{}");
    writeFile(root / "a..b.txt", "two dots");
    writeFile(root / "%2e%2e" / "x.txt", "literal percent name");
    fs::create_directories(root / "empty");
    writeFile(temp.path / "secret.txt", "outside the root");
    writeFile(temp.path / "outside" / "index.html", "<h1>outside</h1>");
  }

  veltrano::WebAppSchemeResult serve(const std::string& url) const { return handler.serve(url); }

  TempDir temp;
  fs::path root = temp.path / "WebApp";
  WebAppSchemeHandler handler{root};
};

// Expected outcome: a file under the root (relative path), or an error code
// of the handler's own domain.
struct PathCase {
  std::string url;
  std::string servedFile;  // empty: expect `error`
  WebAppSchemeError error = WebAppSchemeError::notFound;
};

void PrintTo(const PathCase& pathCase, std::ostream* out) {
  *out << pathCase.url.substr(0, 80);
}

class PathRules : public WebAppFolder, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathRules, MapRequestToFileOrError) {
  const auto& param = GetParam();
  auto result = serve(param.url);
  if (param.servedFile.empty()) {
    ASSERT_TRUE(std::holds_alternative<std::error_code>(result)) << describe(result);
    const auto& error = std::get<std::error_code>(result);
    EXPECT_EQ(error, param.error) << describe(result);
    EXPECT_STREQ(error.category().name(), "WebAppSchemeHandler");
    return;
  }
  ASSERT_TRUE(std::holds_alternative<WebAppResponse>(result)) << describe(result);
  auto& response = std::get<WebAppResponse>(result);
  const auto expected = root / param.servedFile;
  EXPECT_EQ(response.file, expected);
  EXPECT_EQ(response.url, param.url);
  EXPECT_EQ(response.expectedContentLength, fs::file_size(expected));
  // The descriptor really is that file, unread.
  EXPECT_EQ(::lseek(response.body.get(), 0, SEEK_CUR), 0);
  EXPECT_EQ(readAll(response.body.get()), readFile(expected));
}

const std::string longName(300, 'a');
std::string longPath() {
  std::string path;
  while (path.size() < 5000) path += "deep/";
  return path + "index.html";
}

INSTANTIATE_TEST_SUITE_P(
    WebAppSchemeHandler, PathRules,
    ::testing::Values(
        // The bare root, with or without a slash, and any host.
        PathCase{"app://local", "index.html"}, PathCase{"app://local/", "index.html"},
        PathCase{"app://local///", "index.html"}, PathCase{"app://elsewhere/index.html", "index.html"},
        PathCase{"app://local/index.html?x=1#top", "index.html"}, PathCase{"app://local?q=/../", "index.html"},
        // Folders serve their index.html, slashes trimmed at both ends.
        PathCase{"app://local/sub", "sub/index.html"}, PathCase{"app://local//sub///", "sub/index.html"},
        PathCase{"app://local/sub/page.css", "sub/page.css"},
        // Decoded once: %2f is a slash inside the root, %20 a space, %25 a
        // literal percent sign.
        PathCase{"app://local/sub%2fpage.css", "sub/page.css"},
        PathCase{"app://local/with%20space.css", "with space.css"},
        PathCase{"app://local/%252e%252e/x.txt", "%2e%2e/x.txt"},
        // Encoded leading slashes do not make the path absolute.
        PathCase{"app://local/%2f%2fetc%2fpasswd", "", WebAppSchemeError::notFound},
        // Two dots anywhere, also encoded or inside a name that exists.
        PathCase{"app://local/../secret.txt", "", WebAppSchemeError::forbidden},
        PathCase{"app://local/sub/../index.html", "", WebAppSchemeError::forbidden},
        PathCase{"app://local/%2e%2e/secret.txt", "", WebAppSchemeError::forbidden},
        PathCase{"app://local/%2E%2e%2fsecret.txt", "", WebAppSchemeError::forbidden},
        PathCase{"app://local/a..b.txt", "", WebAppSchemeError::forbidden},
        PathCase{"app://local/..", "", WebAppSchemeError::forbidden},
        // Nothing there: missing files, folders without index.html, a file
        // used as a folder, names no file can have.
        PathCase{"app://local/missing.js", "", WebAppSchemeError::notFound},
        PathCase{"app://local/empty/", "", WebAppSchemeError::notFound},
        PathCase{"app://local/index.html/more", "", WebAppSchemeError::notFound},
        PathCase{"app://local/index.html%00.png", "", WebAppSchemeError::notFound},
        PathCase{"app://local/" + longName, "", WebAppSchemeError::notFound},
        PathCase{"app://local/" + longPath(), "", WebAppSchemeError::notFound}));

TEST_F(WebAppFolder, RequestWithoutURLFailsWithMinusOne) {
  auto result = handler.serve(std::nullopt);
  ASSERT_TRUE(std::holds_alternative<std::error_code>(result));
  EXPECT_EQ(std::get<std::error_code>(result), WebAppSchemeError::noURL);
  EXPECT_EQ(std::get<std::error_code>(result).value(), -1);
}

struct MimeCase {
  std::string fileName;
  std::string mimeType;
  bool utf8;
};

void PrintTo(const MimeCase& mimeCase, std::ostream* out) {
  *out << mimeCase.fileName;
}

class MimeTable : public WebAppFolder, public ::testing::WithParamInterface<MimeCase> {};

TEST_P(MimeTable, ServesTypeAndEncodingByExtension) {
  const auto& param = GetParam();
  writeFile(root / "assets" / param.fileName, "0123456789");
  auto result = serve("app://local/assets/" + param.fileName);
  ASSERT_TRUE(std::holds_alternative<WebAppResponse>(result)) << describe(result);
  const auto& response = std::get<WebAppResponse>(result);
  EXPECT_EQ(response.mimeType, param.mimeType);
  EXPECT_EQ(response.textEncodingName, param.utf8 ? std::optional<std::string>("utf-8") : std::nullopt);
  EXPECT_EQ(response.contentType(), param.utf8 ? param.mimeType + "; charset=utf-8" : param.mimeType);
  EXPECT_EQ(response.expectedContentLength, 10u);
}

INSTANTIATE_TEST_SUITE_P(
    WebAppSchemeHandler, MimeTable,
    ::testing::Values(MimeCase{"a.html", "text/html", true}, MimeCase{"a.css", "text/css", true},
                      MimeCase{"a.js", "application/javascript", true},
                      MimeCase{"a.mjs", "application/javascript", true}, MimeCase{"a.json", "application/json", true},
                      MimeCase{"a.ico", "image/x-icon", false}, MimeCase{"a.svg", "image/svg+xml", true},
                      MimeCase{"a.png", "image/png", false}, MimeCase{"a.jpg", "image/jpeg", false},
                      MimeCase{"a.JPEG", "image/jpeg", false}, MimeCase{"a.gif", "image/gif", false},
                      MimeCase{"a.webp", "image/webp", false}, MimeCase{"a.woff", "font/woff", false},
                      MimeCase{"A.WOFF2", "font/woff2", false}, MimeCase{"a.ttf", "font/ttf", false},
                      MimeCase{"a.wasm", "application/wasm", false}, MimeCase{"a.Html", "text/html", true},
                      MimeCase{"a.htm", "application/octet-stream", false},
                      MimeCase{"a.txt", "application/octet-stream", false},
                      MimeCase{"noextension", "application/octet-stream", false},
                      MimeCase{"archive.tar.css", "text/css", true}));

// Serving a link that resolves outside the root would hand any file on the
// machine to the page: such links are refused with 403, links that stay
// inside are served.
TEST_F(WebAppFolder, LinksThatLeaveTheRootAreForbidden) {
  fs::create_symlink(temp.path / "secret.txt", root / "escape.txt");
  fs::create_symlink(temp.path / "outside", root / "dirlink");
  fs::create_symlink("../../secret.txt", root / "sub" / "relative.txt");
  fs::create_directories(root / "linkedindex");
  fs::create_symlink(temp.path / "outside" / "index.html", root / "linkedindex" / "index.html");
  fs::create_symlink(temp.path / "nothing-here.txt", root / "dangling.txt");
  fs::create_symlink("loop.txt", root / "loop.txt");
  fs::create_symlink("sub/page.css", root / "alias.css");
  fs::create_symlink("sub", root / "subalias");

  const std::vector<std::pair<std::string, std::string>> cases{
      {"app://local/escape.txt", "error WebAppSchemeHandler 403"},
      {"app://local/dirlink/", "error WebAppSchemeHandler 403"},
      {"app://local/dirlink/index.html", "error WebAppSchemeHandler 403"},
      {"app://local/sub/relative.txt", "error WebAppSchemeHandler 403"},
      {"app://local/linkedindex", "error WebAppSchemeHandler 403"},
      {"app://local/dangling.txt", "error WebAppSchemeHandler 404"},
      {"app://local/loop.txt", "error WebAppSchemeHandler 404"},
      {"app://local/alias.css", "served " + (root / "alias.css").string()},
      {"app://local/subalias/", "served " + (root / "subalias/index.html").string()},
  };
  for (const auto& [url, expected] : cases) EXPECT_EQ(describe(serve(url)), expected) << url;

  // The MIME type follows the requested name, the bytes the link's target.
  auto alias = serve("app://local/alias.css");
  ASSERT_TRUE(std::holds_alternative<WebAppResponse>(alias));
  EXPECT_EQ(std::get<WebAppResponse>(alias).mimeType, "text/css");
  EXPECT_EQ(readAll(std::get<WebAppResponse>(alias).body.get()), "body{}");
}

TEST_F(WebAppFolder, RootReachedThroughALinkServesItsFiles) {
  fs::create_symlink(root, temp.path / "current");
  WebAppSchemeHandler linked(temp.path / "current");
  EXPECT_EQ(describe(linked.serve("app://local/sub/")), "served " + (temp.path / "current/sub/index.html").string());
  EXPECT_EQ(describe(linked.serve("app://local/../secret.txt")), "error WebAppSchemeHandler 403");
}

// Running as root, permissions cannot make a file unreadable here; these
// are real failures of the system calls all the same, passed on unchanged.
TEST_F(WebAppFolder, UnreadableFilesPassTheSystemErrorOn) {
  // A folder named index.html: reading it fails with EISDIR.
  fs::create_directories(root / "broken" / "index.html");
  auto folder = serve("app://local/broken/");
  ASSERT_TRUE(std::holds_alternative<std::error_code>(folder)) << describe(folder);
  EXPECT_EQ(std::get<std::error_code>(folder), std::error_code(EISDIR, std::system_category()));

  // A FIFO has no length and may never end; opening it must not block.
  ASSERT_EQ(::mkfifo((root / "pipe.js").c_str(), 0644), 0);
  auto fifo = serve("app://local/pipe.js");
  ASSERT_TRUE(std::holds_alternative<std::error_code>(fifo)) << describe(fifo);
  EXPECT_EQ(std::get<std::error_code>(fifo), std::error_code(EINVAL, std::system_category()));

  // Out of descriptors: the open itself fails with EMFILE.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  auto exhausted = serve("app://local/index.html");
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(std::holds_alternative<std::error_code>(exhausted)) << describe(exhausted);
  EXPECT_EQ(std::get<std::error_code>(exhausted), std::error_code(EMFILE, std::system_category()));

  // The handler keeps no state: the next request is served.
  EXPECT_EQ(describe(serve("app://local/")), "served " + (root / "index.html").string());
}

// A file far larger than memory is announced with its exact length and
// read only as the stream is asked; small files arrive whole and intact.
TEST_F(WebAppFolder, LargeFilesStreamWithTheirLength) {
  constexpr std::uint64_t huge = 64ull << 30;  // sparse: no disk space used
  {
    const veltrano::FileDescriptor file(::open((root / "huge.bin").c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_EQ(::ftruncate(file.get(), static_cast<off_t>(huge)), 0);
  }
  auto result = serve("app://local/huge.bin");
  ASSERT_TRUE(std::holds_alternative<WebAppResponse>(result)) << describe(result);
  auto& response = std::get<WebAppResponse>(result);
  EXPECT_EQ(response.expectedContentLength, huge);

  g_autoptr(GInputStream) stream = veltrano::webAppBodyStream(response);
  EXPECT_FALSE(response.body);  // the stream owns the file now
  const int fd = g_unix_input_stream_get_fd(G_UNIX_INPUT_STREAM(stream));
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
  char chunk[8192];
  ASSERT_EQ(g_input_stream_read(stream, chunk, sizeof chunk, nullptr, nullptr), 8192);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 8192);

  std::string pattern;
  for (int i = 0; pattern.size() < 3 * 1024 * 1024 + 17; ++i) pattern += std::to_string(i) + ",";
  writeFile(root / "data.json", pattern);
  auto small = serve("app://local/data.json");
  ASSERT_TRUE(std::holds_alternative<WebAppResponse>(small)) << describe(small);
  EXPECT_EQ(std::get<WebAppResponse>(small).expectedContentLength, pattern.size());
  g_autoptr(GInputStream) smallStream = veltrano::webAppBodyStream(std::get<WebAppResponse>(small));
  std::string received;
  gssize n;
  while ((n = g_input_stream_read(smallStream, chunk, sizeof chunk, nullptr, nullptr)) > 0) {
    received.append(chunk, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(n, 0);
  EXPECT_EQ(received, pattern);
}

TEST(WebAppRootFolder, FoundOnlyWithIndexHtml) {
  TempDir temp;
  const auto resources = temp.path / "share" / "VeltranoMac";
  EXPECT_EQ(veltrano::webAppRootFolder(resources), std::nullopt);
  EXPECT_EQ(veltrano::webAppRootFolder({}), std::nullopt);
  fs::create_directories(resources / "WebApp" / "index.html");
  EXPECT_EQ(veltrano::webAppRootFolder(resources), std::nullopt);
  fs::remove(resources / "WebApp" / "index.html");
  writeFile(resources / "WebApp" / "index.html", "<p>");
  EXPECT_EQ(veltrano::webAppRootFolder(resources), resources / "WebApp");
}

}  // namespace

// The preview path never maps to a file, even one that exists there (or
// beside it, spelled differently); its "after" value is read forgivingly,
// and every other path is no preview request.
TEST_F(WebAppFolder, ThePreviewPathIsNeverAFileAndCarriesTheFrameThePageHas) {
  writeFile(root / "__veltrano" / "preview", "a file where the preview is");
  writeFile(root / "__veltrano" / "preview.css", "p{}");
  for (const char* url : {"app://local/__veltrano/preview", "app://local/__veltrano/preview?after=3",
                          "app://local//__veltrano/preview/", "app://local/__veltrano/%70review"})
    EXPECT_EQ(describe(serve(url)), "error WebAppSchemeHandler 404") << url;
  EXPECT_EQ(describe(serve("app://local/__veltrano/preview.css")),
            "served " + (root / "__veltrano" / "preview.css").string());

  const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> cases{
      {"app://local/__veltrano/preview", 0},
      {"app://local/__veltrano/preview?after=41", 41},
      {"app://local/__veltrano/preview?x=1&after=18446744073709551615#f", 18446744073709551615ULL},
      {"app://local/__veltrano/preview?after=18446744073709551616", 0},
      {"app://local/__veltrano/preview?after=-1", 0},
      {"app://local/__veltrano/preview?after=7x", 0},
      {"app://local/__veltrano/preview?after=", 0},
      {"app://local/__veltrano/%70review?after=2", 2},
      {"app://local/__veltrano/preview.css?after=2", std::nullopt},
      {"app://local/index.html?after=2", std::nullopt},
      {"app://local/__veltrano/", std::nullopt},
      {"app://local/x/__veltrano/preview", std::nullopt},
  };
  for (const auto& [url, after] : cases) EXPECT_EQ(veltrano::previewFrameAfter(url), after) << url;
}

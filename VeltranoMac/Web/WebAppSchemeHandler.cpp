#include "Web/WebAppSchemeHandler.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <utility>

namespace veltrano {

namespace {

class WebAppSchemeCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "WebAppSchemeHandler"; }
  std::string message(int code) const override {
    switch (static_cast<WebAppSchemeError>(code)) {
      case WebAppSchemeError::noURL: return "The request has no URL";
      case WebAppSchemeError::forbidden: return "The request path leads outside the web app";
      case WebAppSchemeError::notFound: return "No file exists at the requested path";
    }
    return "Unknown web app scheme error " + std::to_string(code);
  }
};

std::error_code systemError(int error) {
  return {error, std::system_category()};
}

struct MimeEntry {
  std::string_view extension;
  std::string_view mimeType;
};

constexpr std::array<MimeEntry, 16> mimeTable{{
    {"html", "text/html"},
    {"css", "text/css"},
    {"js", "application/javascript"},
    {"mjs", "application/javascript"},
    {"json", "application/json"},
    {"ico", "image/x-icon"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"wasm", "application/wasm"},
}};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One round of %XX decoding; a '%' not followed by two hex digits stays.
std::string percentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

bool isSchemeCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Opening fails this way only when nothing is at the path to open.
bool meansNothingThere(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
}

// Non-blocking, so that a FIFO without a writer cannot stall the main thread.
constexpr int openFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Whether the object behind fd lies inside root. The kernel's own name for
// the open file is checked, not the request's path, so a link swapped in
// between cannot slip past: what is checked is what gets served.
bool liesInside(int fd, const std::filesystem::path& root) {
  struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  const std::unique_ptr<char, FreeDeleter> canonicalRoot(::realpath(root.c_str(), nullptr));
  if (!canonicalRoot) return false;

  std::array<char, PATH_MAX> target{};
  const auto link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;

  const std::string_view opened(target.data(), static_cast<std::size_t>(length));
  std::string prefix = canonicalRoot.get();
  if (prefix == "/") return true;
  if (opened == prefix) return true;
  prefix.push_back('/');
  return opened.starts_with(prefix);
}

}  // namespace

const std::error_category& webAppSchemeCategory() noexcept {
  static const WebAppSchemeCategory category;
  return category;
}

std::error_code make_error_code(WebAppSchemeError error) noexcept {
  return {static_cast<int>(error), webAppSchemeCategory()};
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::release() noexcept {
  return std::exchange(fd_, -1);
}

std::string WebAppResponse::contentType() const {
  if (!textEncodingName) return mimeType;
  return mimeType + "; charset=" + *textEncodingName;
}

std::string_view mimeTypeForExtension(std::string_view extension) {
  std::string lower(extension);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  for (const auto& entry : mimeTable) {
    if (entry.extension == lower) return entry.mimeType;
  }
  return "application/octet-stream";
}

std::optional<std::string_view> textEncodingNameForMimeType(std::string_view mimeType) {
  constexpr std::array<std::string_view, 5> textTypes{
      "text/html", "text/css", "application/javascript", "application/json", "image/svg+xml"};
  if (std::find(textTypes.begin(), textTypes.end(), mimeType) != textTypes.end()) return "utf-8";
  return std::nullopt;
}

std::string webAppRelativePath(std::string_view url) {
  std::string_view rest = url;
  if (const auto colon = rest.find(':'); colon != std::string_view::npos && colon > 0 &&
                                         std::all_of(rest.begin(), rest.begin() + colon, isSchemeCharacter)) {
    rest.remove_prefix(colon + 1);
  }
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const auto authorityEnd = rest.find_first_of("/?#");
    rest = authorityEnd == std::string_view::npos ? std::string_view{} : rest.substr(authorityEnd);
  }
  rest = rest.substr(0, rest.find_first_of("?#"));

  // Decode first, then trim: an encoded leading slash ("%2f") must not make
  // the path absolute.
  std::string path = percentDecode(rest);
  const auto first = path.find_first_not_of('/');
  if (first == std::string::npos) return {};
  const auto last = path.find_last_not_of('/');
  return path.substr(first, last - first + 1);
}

std::optional<std::uint64_t> previewFrameAfter(std::string_view requestURL) {
  if (webAppRelativePath(requestURL) != previewPath) return std::nullopt;
  const auto query = requestURL.find('?');
  if (query == std::string_view::npos) return 0;
  std::string_view rest = requestURL.substr(query + 1);
  rest = rest.substr(0, rest.find('#'));
  while (!rest.empty()) {
    const auto end = rest.find('&');
    const std::string_view pair = rest.substr(0, end);
    if (pair.starts_with("after=")) {
      std::uint64_t value = 0;
      const std::string_view digits = pair.substr(6);
      const auto [ptr, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      return error == std::errc() && ptr == digits.data() + digits.size() ? value : 0;
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return 0;
}

std::optional<std::filesystem::path> webAppRootFolder(const std::filesystem::path& resourceDirectory) {
  if (resourceDirectory.empty()) return std::nullopt;
  auto root = resourceDirectory / "WebApp";
  std::error_code error;
  if (!std::filesystem::is_regular_file(root / "index.html", error)) return std::nullopt;
  return root;
}

WebAppSchemeHandler::WebAppSchemeHandler(std::filesystem::path webAppRootURL)
    : webAppRootURL_(std::move(webAppRootURL)) {}

WebAppSchemeResult WebAppSchemeHandler::serve(std::optional<std::string_view> requestURL) const {
  if (!requestURL) return make_error_code(WebAppSchemeError::noURL);

  std::string relative = webAppRelativePath(*requestURL);
  if (relative.empty()) relative = "index.html";
  if (relative == previewPath) return make_error_code(WebAppSchemeError::notFound);
  // Before the disk is touched; a name that merely holds two dots in a row
  // is refused as well.
  if (relative.find("..") != std::string::npos) return make_error_code(WebAppSchemeError::forbidden);
  // No file name holds a NUL byte (the system call would cut the path
  // there) and no path is longer than PATH_MAX: nothing can exist there.
  if (relative.find('\0') != std::string::npos || relative.size() >= PATH_MAX) {
    return make_error_code(WebAppSchemeError::notFound);
  }

  auto location = webAppRootURL_ / relative;
  FileDescriptor file(::open(location.c_str(), openFlags));
  if (!file) {
    const int error = errno;
    if (meansNothingThere(error)) return make_error_code(WebAppSchemeError::notFound);
    return systemError(error);
  }
  // A link that resolves outside the root is refused, even though it names
  // an existing file.
  if (!liesInside(file.get(), webAppRootURL_)) return make_error_code(WebAppSchemeError::forbidden);

  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return systemError(errno);
  if (S_ISDIR(info.st_mode)) {
    location /= "index.html";
    FileDescriptor index(::openat(file.get(), "index.html", openFlags));
    if (!index) {
      const int error = errno;
      if (meansNothingThere(error)) return make_error_code(WebAppSchemeError::notFound);
      return systemError(error);
    }
    file = std::move(index);
    if (!liesInside(file.get(), webAppRootURL_)) return make_error_code(WebAppSchemeError::forbidden);
    if (::fstat(file.get(), &info) != 0) return systemError(errno);
  }

  if (S_ISDIR(info.st_mode)) {
    // A folder where the file should be: reading it fails, and that
    // failure is the answer.
    char byte = 0;
    if (::read(file.get(), &byte, 1) < 0) return systemError(errno);
    return systemError(EISDIR);
  }
  // FIFOs, sockets and devices have no length to announce and may never end.
  if (!S_ISREG(info.st_mode)) return systemError(EINVAL);

  // Reads go through a stream later; they may block like any file read.
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return systemError(errno);

  WebAppResponse response;
  response.url = std::string(*requestURL);
  auto extension = location.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  response.mimeType = std::string(mimeTypeForExtension(extension));
  if (const auto encoding = textEncodingNameForMimeType(response.mimeType)) response.textEncodingName = *encoding;
  response.expectedContentLength = static_cast<std::uint64_t>(info.st_size);
  response.file = std::move(location);
  response.body = std::move(file);
  return response;
}

}  // namespace veltrano

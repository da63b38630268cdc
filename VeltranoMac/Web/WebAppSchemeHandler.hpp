// Serves the bundled web application under the "app" scheme from one root
// folder. This core knows no WebKit: a request URL goes in, and out comes
// either a response description with the file opened for streaming, or an
// error. WebAppSchemeWebKit.hpp hands both to WebKitGTK.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

namespace veltrano {

// The handler's own failures, in the error domain "WebAppSchemeHandler".
// Errors of the file system keep their own category and code.
enum class WebAppSchemeError {
  noURL = -1,       // the request has no URL
  forbidden = 403,  // the path contains "..", or leads outside the root
  notFound = 404,   // no file exists at the mapped location
};

const std::error_category& webAppSchemeCategory() noexcept;
std::error_code make_error_code(WebAppSchemeError error) noexcept;

// An open file descriptor, closed on destruction.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept;

 private:
  int fd_ = -1;
};

struct WebAppResponse {
  std::string url;  // the request URL, not the file's location
  std::string mimeType;
  std::optional<std::string> textEncodingName;
  std::uint64_t expectedContentLength = 0;  // the file's size in bytes
  std::filesystem::path file;               // where the bytes come from
  // The file, opened for reading and not yet read: large files stream.
  FileDescriptor body;

  // "text/html; charset=utf-8", or the bare MIME type without an encoding.
  std::string contentType() const;
};

using WebAppSchemeResult = std::variant<WebAppResponse, std::error_code>;

class WebAppSchemeHandler {
 public:
  explicit WebAppSchemeHandler(std::filesystem::path webAppRootURL);

  const std::filesystem::path& webAppRootURL() const noexcept { return webAppRootURL_; }

  // Answers one request. Blocks on the file system only to open the file,
  // never to read it. Absent URL: WebAppSchemeError::noURL. The preview
  // path is not found here, whatever the folder holds.
  WebAppSchemeResult serve(std::optional<std::string_view> requestURL) const;

 private:
  std::filesystem::path webAppRootURL_;
};

// The MIME type for a file's extension (any case); "application/octet-stream"
// for anything the table does not know.
std::string_view mimeTypeForExtension(std::string_view extension);
// "utf-8" for the text types the web app uses, absent for the rest.
std::optional<std::string_view> textEncodingNameForMimeType(std::string_view mimeType);

// The path part of a request URL, percent-decoded once, with leading and
// trailing slashes removed. Host, query and fragment play no part.
std::string webAppRelativePath(std::string_view requestURL);

// The web app's root: "WebApp" in the resource folder, when that holds
// "index.html" as a file; absent otherwise and when there is no resource
// folder (an empty path).
std::optional<std::filesystem::path> webAppRootFolder(const std::filesystem::path& resourceDirectory);

inline constexpr std::string_view webAppEntryURL = "app://local/index.html";

// The one path of the scheme that never maps to a file: the camera preview's
// frames, "app://local/__veltrano/preview?after=N".
inline constexpr std::string_view previewPath = "__veltrano/preview";
inline constexpr std::string_view previewURL = "app://local/__veltrano/preview";

// One preview frame as the page receives it.
struct PreviewImage {
  std::uint64_t number = 0;
  double capturedAtMs = 0;  // milliseconds since the Unix epoch
  std::shared_ptr<const std::string> jpeg;
};

// For a request of the preview path: the number of the frame the page has
// (its "after" query value; 0 when absent or not a number). Absent for
// every other path.
std::optional<std::uint64_t> previewFrameAfter(std::string_view requestURL);

}  // namespace veltrano

template <>
struct std::is_error_code_enum<veltrano::WebAppSchemeError> : std::true_type {};

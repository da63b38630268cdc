#include "Upload/AnswerVideoUploadClient.hpp"

#include "Runtime/Bundle.hpp"
#include "Runtime/ProcessConfiguration.hpp"
#include "Upload/SignedUrlReply.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace veltrano {

namespace {

const Logger& uploadLog() {
  static const Logger log("AnswerVideoUpload");
  return log;
}

// Everything one HTTP exchange needs, kept alive by the driver for as long
// as libcurl may call back into it.
struct Exchange {
  CurlEasy easy{curl_easy_init()};
  CurlSlist headers;
  std::string requestBody;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  // Reply body of the signed-URL request, up to a limit.
  std::string reply;
  std::size_t replyLimit = 0;
  bool replyTooLarge = false;

  // The PUT's source: read with pread so a rewind is only an offset.
  int fd = -1;
  curl_off_t offset = 0;
  int readErrno = 0;

  ~Exchange() {
    if (fd >= 0) ::close(fd);
  }

  void addHeader(const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    (void)headers.release();
    headers.reset(grown);
  }
};

std::size_t collectReply(char* data, std::size_t size, std::size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const std::size_t bytes = size * count;
  if (exchange->reply.size() + bytes > exchange->replyLimit) {
    exchange->replyTooLarge = true;
    return 0;  // stops the transfer (CURLE_WRITE_ERROR)
  }
  exchange->reply.append(data, bytes);
  return bytes;
}

std::size_t discardReply(char*, std::size_t size, std::size_t count, void*) { return size * count; }

std::size_t readClip(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  for (;;) {
    const ssize_t got = ::pread(exchange->fd, buffer, size * count, exchange->offset);
    if (got >= 0) {
      exchange->offset += got;
      return static_cast<std::size_t>(got);
    }
    if (errno == EINTR) continue;
    exchange->readErrno = errno;
    return CURL_READFUNC_ABORT;
  }
}

int seekClip(void* user, curl_off_t offset, int origin) {
  auto* exchange = static_cast<Exchange*>(user);
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  exchange->offset = offset;
  return CURL_SEEKFUNC_OK;
}

// Settings both requests share: http(s) only, no redirects, no signals,
// and the idle timeout as connect timeout plus a low-speed limit.
void applyCommonOptions(Exchange& exchange, const std::string& url, std::chrono::seconds idle) {
  CURL* easy = exchange.easy.get();
  const long idleSeconds = std::max<long>(1, static_cast<long>(idle.count()));
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, idleSeconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idleSeconds);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, exchange.errorBuffer);
}

// Runs one exchange on the driver and returns its HTTP status; a transport
// failure is thrown as CurlError, cancellation as operation_aborted.
Awaitable<long> perform(CurlMultiDriver& driver, std::shared_ptr<Exchange> exchange) {
  CURL* easy = exchange->easy.get();
  auto [error, result] = co_await driver.asyncPerform(exchange, easy, asio::as_tuple(asio::use_awaitable));
  if (error) throw boost::system::system_error(error);
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (result != CURLE_OK) {
    if (exchange->replyTooLarge) {
      // Said too much: an error status still counts as that status.
      if (status < 200 || status > 299) co_return status;
      throw UploadError::invalidResponse();
    }
    if (exchange->readErrno != 0)
      throw std::system_error(exchange->readErrno, std::generic_category(), "reading the clip failed");
    throw CurlError(result, exchange->errorBuffer);
  }
  co_return status;
}

bool isSuccess(long status) { return status >= 200 && status <= 299; }

// Opens the clip for the PUT; a clip that is gone or unreadable fails with
// the file system's own error, so callers can tell it from a network one.
int openClip(const std::filesystem::path& path, curl_off_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int saved = errno;
    ::close(fd);
    throw std::system_error(saved, std::generic_category(), "cannot stat " + path.string());
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    throw std::system_error(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, std::generic_category(),
                            path.string() + " is not a regular file");
  }
  size = static_cast<curl_off_t>(info.st_size);
  return fd;
}

}  // namespace

AnswerVideoUploadClient::AnswerVideoUploadClient(std::filesystem::path infoJson, CurlMultiDriver& driver,
                                                 Options options)
    : infoJson_(std::move(infoJson)), driver_(&driver), options_(options) {}

AnswerVideoUploadClient& AnswerVideoUploadClient::shared() {
  static auto* instance = [] {
    const auto& root = processConfiguration().bundleRoot;
    const Bundle bundle = root ? Bundle{*root} : Bundle::ofRunningProgram();
    return new AnswerVideoUploadClient(bundle.infoJson(), CurlMultiDriver::shared());
  }();
  return *instance;
}

Awaitable<void> AnswerVideoUploadClient::upload(std::filesystem::path fileURL, std::string userId,
                                                std::string sessionId, std::string answerId,
                                                std::string objectPath, std::string idToken) const {
  const Logger& log = uploadLog();

  // The endpoint is read anew on every call.
  const auto endpoint = upload::readSignedURLEndpoint(infoJson_);
  if (!endpoint) {
    log.error("VeltranoAnswerVideoSignedURLRequestURL not set; removing temp file and skipping upload.");
    std::error_code ignored;
    std::filesystem::remove(fileURL, ignored);
    co_return;
  }

  // The signed-URL request. The token goes out verbatim; one that could end
  // the header line would let the page inject headers, so it is refused.
  auto post = std::make_shared<Exchange>();
  if (!post->easy) throw CurlError(CURLE_FAILED_INIT, "curl_easy_init");
  if (!upload::isSafeHeaderValue(idToken))
    throw std::invalid_argument("idToken holds a line break or NUL and cannot be sent as a header");
  post->requestBody = upload::makeSignedURLRequestBody(userId, sessionId, answerId, objectPath);
  post->replyLimit = options_.maxReplyBytes;
  post->addHeader("Content-Type: application/json");
  // libcurl drops a header whose value is empty after "Name:"; the token
  // is never empty here because "Bearer " precedes it.
  post->addHeader("Authorization: Bearer " + idToken);
  applyCommonOptions(*post, *endpoint, options_.idleTimeout);
  CURL* easy = post->easy.get();
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, post->requestBody.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->requestBody.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, post->headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collectReply);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, post.get());

  // Status first; the body is not looked at on failure.
  const long signedStatus = co_await perform(*driver_, post);
  if (signedStatus == 0) throw UploadError::invalidResponse();
  if (!isSuccess(signedStatus)) {
    log.error("Signed URL request failed: HTTP " + std::to_string(signedStatus));
    throw UploadError::badHTTPStatus(signedStatus);
  }

  // URL and headers of the PUT.
  const upload::UploadTarget target = upload::chooseUploadTarget(post->reply);
  post.reset();
  if (target.headersOutcome == upload::UploadHeadersOutcome::unsafe)
    log.error("Ignoring uploadHeaders: a header name or value is not allowed in an HTTP header");

  // The PUT, streamed from the file with its Content-Length.
  auto put = std::make_shared<Exchange>();
  if (!put->easy) throw CurlError(CURLE_FAILED_INIT, "curl_easy_init");
  curl_off_t size = 0;
  put->fd = openClip(fileURL, size);
  for (const auto& [name, value] : target.headers)
    put->addHeader(value.empty() ? name + ";" : name + ": " + value);  // "Name;" sends an empty value
  applyCommonOptions(*put, target.url, options_.idleTimeout);
  easy = put->easy.get();
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, size);
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readClip);
  curl_easy_setopt(easy, CURLOPT_READDATA, put.get());
  curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &seekClip);
  curl_easy_setopt(easy, CURLOPT_SEEKDATA, put.get());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, put->headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardReply);

  // Status of the PUT.
  const long putStatus = co_await perform(*driver_, put);
  put.reset();  // closes the clip before it is deleted
  if (putStatus == 0) throw UploadError::invalidResponse();
  if (!isSuccess(putStatus)) {
    log.error("Upload PUT failed: HTTP " + std::to_string(putStatus));
    throw UploadError::badHTTPStatus(putStatus);
  }

  // The clip is in storage; only now does the local copy go.
  std::filesystem::remove(fileURL);  // throws filesystem_error (a system_error)
  log.info("Answer video uploaded successfully for object path " + objectPath);
}

}  // namespace veltrano

#pragma once

// The app's own upload client (AnswerVideoUploadClient over the real
// CurlMultiDriver) driven from a test: one clip to whatever endpoint, and
// how that ended, whether the clip is still on disk and what the client
// logged.

#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/UploadError.hpp"
#include "Upload/UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace veltrano::testing {

struct ClipIds {
  std::string userId;
  std::string sessionId;
  std::string answerId;
  std::string objectPath;
};

struct NativeUploadResult {
  std::string outcome;  // "ok", "UploadError.badHTTPStatus(403)", or another error's text
  bool clipKept = false;
  std::vector<std::string> errors;  // the client's error log lines

  // Which request was refused with `status`: the POST for an upload URL
  // or the PUT.
  bool refusedAtSignedURL(int status) const { return refusedWith("Signed URL request failed: HTTP ", status); }
  bool refusedAtPut(int status) const { return refusedWith("Upload PUT failed: HTTP ", status); }

 private:
  bool refusedWith(const std::string& log, int status) const {
    return outcome == "UploadError.badHTTPStatus(" + std::to_string(status) + ")" &&
           errors == std::vector<std::string>{log + std::to_string(status)} && clipKept;
  }
};

class NativeUploader {
 public:
  explicit NativeUploader(std::filesystem::path dir) : dir_(std::move(dir)) {}

  NativeUploadResult upload(const std::string& endpoint, const std::string& token, const ClipIds& ids,
                            const std::string& content) {
    writeFile(info_, nlohmann::json{{"CFBundleIdentifier", "com.brackwood.VeltranoMac"},
                                    {"VeltranoAnswerVideoSignedURLRequestURL", endpoint}}
                         .dump());
    const auto clip = dir_ / "recordings" / ("clip-" + std::to_string(++clips_) + ".mp4");
    writeFile(clip, content);
    // Captured per upload: the sink is process-wide, so an uploader that
    // held it for its lifetime would lose it to the next one created.
    LogCapture logs;
    const AnswerVideoUploadClient client(info_, driver_);
    NativeUploadResult result;
    const auto error =
        main_.run(client.upload({clip, {ids.userId, ids.sessionId, ids.answerId}, ids.objectPath, token}));
    result.outcome = describe(error);
    result.clipKept = std::filesystem::exists(clip);
    result.errors = logs->messages("AnswerVideoUpload", LogLevel::error);
    return result;
  }

 private:
  static std::string describe(const std::exception_ptr& error) {
    if (!error) return "ok";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  std::filesystem::path dir_;
  std::filesystem::path info_ = dir_ / "share/VeltranoMac/Info.json";
  int clips_ = 0;
  MainThread main_;
  CurlMultiDriver driver_;
};

}  // namespace veltrano::testing

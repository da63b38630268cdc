// The libcurl driver: one thread that runs every HTTP transfer of the upload
// client and completes each on its caller's executor.
#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/system_executor.hpp>
#include <boost/system/error_code.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

// libcurl's own handle types (as curl.h declares them), so that this header
// and the upload client's need no curl.h: the coordinator's library includes
// neither and links no libcurl.
typedef void CURL;   // NOLINT(modernize-use-using)
typedef void CURLM;  // NOLINT(modernize-use-using)
struct curl_slist;

namespace veltrano {

// A transport failure of libcurl, passed on as the HTTP layer's own error.
class CurlError final : public std::runtime_error {
 public:
  // `code` is libcurl's CURLcode.
  CurlError(int code, const std::string& detail);
  int code() const noexcept { return code_; }

 private:
  int code_;
};

struct CurlEasyDeleter {
  void operator()(CURL* easy) const noexcept;
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
  void operator()(curl_slist* list) const noexcept;
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// One shared libcurl multi handle, driven by one thread of its own with
// curl_multi_poll, so no caller ever blocks on the network. A transfer is
// handed over fully configured; from then until its completion only the
// driver's thread touches the easy handle and whatever its callbacks use.
// The completion runs on the handler's associated executor (the caller's
// actor), never on the driver's thread.
class CurlMultiDriver {
 public:
  CurlMultiDriver();
  // Aborts transfers still running (their completions get
  // operation_aborted) and joins the thread.
  ~CurlMultiDriver();
  CurlMultiDriver(const CurlMultiDriver&) = delete;
  CurlMultiDriver& operator=(const CurlMultiDriver&) = delete;

  // Runs `easy` to its end. `owner` keeps the easy handle and everything
  // its callbacks reach alive until the driver has let go of it, even when
  // the waiting coroutine is destroyed first. Completion signature
  // void(error_code, int): the error code is operation_aborted when
  // the operation was cancelled (through the handler's cancellation slot)
  // or the driver shut down; otherwise it is empty and the int is the
  // transfer's CURLcode.
  template <typename Token>
  auto asyncPerform(std::shared_ptr<void> owner, CURL* easy, Token&& token) {
    return asio::async_initiate<Token, void(boost::system::error_code, int)>(
        [this](auto handler, std::shared_ptr<void> keep, CURL* handle) {
          auto executor = asio::prefer(asio::get_associated_executor(handler, asio::system_executor()),
                                       asio::execution::outstanding_work.tracked);
          auto slot = asio::get_associated_cancellation_slot(handler);
          start(std::move(keep), handle, asio::any_io_executor(std::move(executor)), slot, Handler(std::move(handler)));
        },
        token, std::move(owner), easy);
  }

  // Transfers handed over whose completion is not yet queued on the
  // caller's executor (for tests and diagnostics).
  std::size_t transfersInFlight() const;

 private:
  using Handler = asio::any_completion_handler<void(boost::system::error_code, int)>;

  struct Transfer {
    // Built around the handler: Boost 1.81's any_completion_handler
    // recurses without end in its move assignment, so it is only ever
    // move-constructed.
    explicit Transfer(Handler&& h) : handler(std::move(h)) {}

    std::uint64_t id = 0;
    std::shared_ptr<void> owner;
    CURL* easy = nullptr;
    asio::any_io_executor executor;
    asio::cancellation_slot slot;
    Handler handler;
  };

  // What callers hand to the driver's thread. Shared with cancellation
  // handlers, which may fire after the driver is gone.
  struct Inbox {
    std::mutex mutex;
    CURLM* multi = nullptr;  // null once the driver has stopped
    std::deque<std::shared_ptr<Transfer>> toAdd;
    std::deque<std::uint64_t> toCancel;
    std::size_t inFlight = 0;
    bool stopping = false;
    std::uint64_t nextId = 1;

    void requestCancel(std::uint64_t id);
  };

  void start(std::shared_ptr<void> owner, CURL* easy, asio::any_io_executor executor, asio::cancellation_slot slot,
             Handler handler);
  void run();
  void complete(std::shared_ptr<Transfer> transfer, boost::system::error_code error, int result);

  CURLM* multi_;
  std::shared_ptr<Inbox> inbox_;
  // Touched only on the driver's thread.
  std::map<CURL*, std::shared_ptr<Transfer>> running_;
  std::thread thread_;
};

}  // namespace veltrano

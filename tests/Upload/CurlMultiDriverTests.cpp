// The driver's hand-back of results, with the test deciding when the
// caller's executor runs: every interleaving of "transfer ended",
// "cancellation requested" and "completion delivered" is forced.

#include "Upload/CurlMultiDriver.hpp"
#include "UploadService.hpp"
#include "UploadTestSupport.hpp"
#include "support/ManualExecutor.hpp"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/bind_executor.hpp>

#include <chrono>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using namespace veltrano::uploadservice;
using namespace std::chrono_literals;

namespace {

struct Completion {
  int calls = 0;
  boost::system::error_code error;
  int result = CURLE_OK;
  std::thread::id thread;
};

struct Request {
  CurlEasy easy{curl_easy_init()};
  std::string received;
};

std::size_t keep(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<Request*>(user)->received.append(data, size * count);
  return size * count;
}

std::shared_ptr<Request> request(const std::string& url) {
  auto request = std::make_shared<Request>();
  curl_easy_setopt(request->easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(request->easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(request->easy.get(), CURLOPT_WRITEFUNCTION, &keep);
  curl_easy_setopt(request->easy.get(), CURLOPT_WRITEDATA, request.get());
  return request;
}

class CurlMultiDriverTest : public ::testing::Test {
 protected:
  CurlMultiDriverTest() : service_({.storage = dir_ / "store", .tokens = {"t"}, .testControls = true}) {
    service_.start();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(service_.port()) + path;
  }

  // A signed-URL request the service holds up for `stall`.
  std::shared_ptr<Request> stalledRequest(std::chrono::milliseconds stall) {
    Fault fault;
    fault.stall = stall;
    service_.addFault(fault);
    auto stalled = request(url("/upload-url"));
    curl_easy_setopt(stalled->easy.get(), CURLOPT_POSTFIELDS, "{}");
    return stalled;
  }

  void start(CurlMultiDriver& driver, const std::shared_ptr<Request>& request) {
    auto handler = [this](boost::system::error_code error, int result) {
      ++completion_.calls;
      completion_.error = error;
      completion_.result = result;
      completion_.thread = std::this_thread::get_id();
    };
    driver.asyncPerform(request, request->easy.get(),
                        asio::bind_cancellation_slot(signal_.slot(), asio::bind_executor(ex_.executor(), handler)));
  }

  TempDir dir_;
  UploadService service_;
  ManualExecutor ex_;
  CurlMultiDriver driver_;
  Completion completion_;
  asio::cancellation_signal signal_;
};

}  // namespace

// A cancellation that arrives after the transfer ended is too late: the
// result is still delivered, once, on the caller's executor only. Until
// then the driver keeps the caller's owner alive (the callbacks write into
// it), and lets it go right after.
TEST_F(CurlMultiDriverTest, TheResultAndTheOwnerWaitForTheCallersExecutorEvenWhenCancelledLate) {
  auto done = request(url("/control/requests"));
  std::weak_ptr<Request> watch = done;
  start(driver_, done);
  done.reset();  // the caller forgets it
  ASSERT_TRUE(waitFor([&] { return driver_.transfersInFlight() == 0; }, 30s));
  signal_.emit(asio::cancellation_type::terminal);
  EXPECT_EQ(completion_.calls, 0) << "nothing may run before the caller's executor does";
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(watch.lock()->received.front(), '[');
  ex_.runUntilIdle();
  EXPECT_EQ(completion_.calls, 1);
  EXPECT_FALSE(completion_.error);
  EXPECT_EQ(completion_.result, CURLE_OK);
  EXPECT_EQ(completion_.thread, std::this_thread::get_id());
  EXPECT_TRUE(watch.expired());
}

// A cancellation during the transfer, and later the driver's end, each
// abort a running transfer once, on the caller's executor.
TEST_F(CurlMultiDriverTest, ACancellationOrTheDriversEndAbortsARunningTransferOnce) {
  {
    CurlMultiDriver driver;
    start(driver, stalledRequest(60s));
    ASSERT_TRUE(waitFor([&] { return service_.requests().size() == 1; }));
    signal_.emit(asio::cancellation_type::terminal);
    ASSERT_TRUE(waitFor([&] { return driver.transfersInFlight() == 0; }, 5s));
    ex_.runUntilIdle();
    EXPECT_EQ(completion_.calls, 1);
    EXPECT_EQ(completion_.error, asio::error::operation_aborted);
    // A later cancellation finds nothing left to cancel.
    signal_.emit(asio::cancellation_type::terminal);
    ex_.runUntilIdle();
    EXPECT_EQ(completion_.calls, 1);

    start(driver, stalledRequest(60s));
    ASSERT_TRUE(waitFor([&] { return service_.requests().size() == 2; }));
    completion_.error = {};
  }
  EXPECT_EQ(completion_.calls, 1);
  ex_.runUntilIdle();
  EXPECT_EQ(completion_.calls, 2);
  EXPECT_EQ(completion_.error, asio::error::operation_aborted);
}

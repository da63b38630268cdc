// The driver's hand-back of results, with the test deciding when the
// caller's executor runs: every interleaving of "transfer ended",
// "cancellation requested" and "completion delivered" is forced.

#include "Upload/CurlMultiDriver.hpp"
#include "UploadService.hpp"
#include "UploadTestSupport.hpp"
#include "support/ManualExecutor.hpp"

#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/bind_executor.hpp>

#include <chrono>
#include <optional>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::ManualExecutor;
using veltrano::testing::TempDir;
using veltrano::uploadservice::Fault;
using veltrano::uploadservice::UploadService;
using veltrano::uploadservice::UploadServiceOptions;

namespace {

struct Completion {
  int calls = 0;
  boost::system::error_code error;
  CURLcode result = CURLE_OK;
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

std::shared_ptr<Request> getRequest(const std::string& url) {
  auto request = std::make_shared<Request>();
  curl_easy_setopt(request->easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(request->easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(request->easy.get(), CURLOPT_WRITEFUNCTION, &keep);
  curl_easy_setopt(request->easy.get(), CURLOPT_WRITEDATA, request.get());
  return request;
}

bool waitFor(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class CurlMultiDriverTest : public ::testing::Test {
 protected:
  CurlMultiDriverTest() : service_(options(dir_)) { service_.start(); }

  static UploadServiceOptions options(const TempDir& dir) {
    UploadServiceOptions o;
    o.storage = dir / "store";
    o.tokens = {"t"};
    return o;
  }

  std::string controlURL() const {
    return "http://127.0.0.1:" + std::to_string(service_.port()) + "/control/requests";
  }

  void start(CurlMultiDriver& driver, const std::shared_ptr<Request>& request, Completion& completion,
             asio::cancellation_signal* signal = nullptr) {
    auto handler = asio::bind_executor(ex_.executor(), [&completion](boost::system::error_code error, CURLcode result) {
      ++completion.calls;
      completion.error = error;
      completion.result = result;
      completion.thread = std::this_thread::get_id();
    });
    if (signal) {
      driver.asyncPerform(request, request->easy.get(), asio::bind_cancellation_slot(signal->slot(), std::move(handler)));
    } else {
      driver.asyncPerform(request, request->easy.get(), std::move(handler));
    }
  }

  TempDir dir_;
  UploadService service_;
  ManualExecutor ex_;
};

}  // namespace

TEST_F(CurlMultiDriverTest, TheResultWaitsForTheCallersExecutorAndRunsOnItsThread) {
  CurlMultiDriver driver;
  Completion completion;
  auto request = getRequest(controlURL());
  start(driver, request, completion);
  ASSERT_TRUE(waitFor([&] { return driver.transfersInFlight() == 0; }));
  EXPECT_EQ(completion.calls, 0) << "nothing may run before the caller's executor does";
  ex_.runUntilIdle();
  EXPECT_EQ(completion.calls, 1);
  EXPECT_FALSE(completion.error);
  EXPECT_EQ(completion.result, CURLE_OK);
  EXPECT_EQ(completion.thread, std::this_thread::get_id());
  EXPECT_EQ(request->received.front(), '[');
}

TEST_F(CurlMultiDriverTest, ACancellationAfterTheTransferEndedStillDeliversTheResultOnce) {
  CurlMultiDriver driver;
  Completion completion;
  asio::cancellation_signal signal;
  auto request = getRequest(controlURL());
  start(driver, request, completion, &signal);
  ASSERT_TRUE(waitFor([&] { return driver.transfersInFlight() == 0; }));
  signal.emit(asio::cancellation_type::terminal);  // too late: the transfer is done
  ex_.runUntilIdle();
  EXPECT_EQ(completion.calls, 1);
  EXPECT_FALSE(completion.error);
  EXPECT_EQ(completion.result, CURLE_OK);
}

TEST_F(CurlMultiDriverTest, ACancellationDuringTheTransferAbortsItOnce) {
  Fault stall;
  stall.stall = 60s;
  service_.addFault(stall);
  CurlMultiDriver driver;
  Completion completion;
  asio::cancellation_signal signal;
  auto request = getRequest("http://127.0.0.1:" + std::to_string(service_.port()) + "/upload-url");
  curl_easy_setopt(request->easy.get(), CURLOPT_POSTFIELDS, "{}");
  start(driver, request, completion, &signal);
  ASSERT_TRUE(waitFor([&] { return !service_.requests().empty(); }));
  signal.emit(asio::cancellation_type::terminal);
  ASSERT_TRUE(waitFor([&] { return driver.transfersInFlight() == 0; }, 5s));
  ex_.runUntilIdle();
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.error, asio::error::operation_aborted);
  // A later cancellation finds nothing left to cancel.
  signal.emit(asio::cancellation_type::terminal);
  ex_.runUntilIdle();
  EXPECT_EQ(completion.calls, 1);
}

TEST_F(CurlMultiDriverTest, DestroyingTheDriverAbortsWhatIsStillRunning) {
  Fault stall;
  stall.stall = 60s;
  service_.addFault(stall);
  Completion completion;
  auto request = getRequest("http://127.0.0.1:" + std::to_string(service_.port()) + "/upload-url");
  curl_easy_setopt(request->easy.get(), CURLOPT_POSTFIELDS, "{}");
  {
    CurlMultiDriver driver;
    start(driver, request, completion);
    ASSERT_TRUE(waitFor([&] { return !service_.requests().empty(); }));
  }
  EXPECT_EQ(completion.calls, 0);
  ex_.runUntilIdle();
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.error, asio::error::operation_aborted);
}

TEST_F(CurlMultiDriverTest, TheOwnerOutlivesTheCallerUntilTheDriverLetsGo) {
  Fault stall;
  stall.stall = 500ms;
  service_.addFault(stall);
  CurlMultiDriver driver;
  Completion completion;
  auto request = getRequest("http://127.0.0.1:" + std::to_string(service_.port()) + "/upload-url");
  curl_easy_setopt(request->easy.get(), CURLOPT_POSTFIELDS, "{}");
  std::weak_ptr<Request> watch = request;
  start(driver, request, completion);
  request.reset();  // the caller forgets it; the callbacks still write into it
  EXPECT_FALSE(watch.expired());
  ASSERT_TRUE(waitFor([&] { return driver.transfersInFlight() == 0; }));
  ex_.runUntilIdle();
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.result, CURLE_OK);
  EXPECT_TRUE(watch.expired());
}

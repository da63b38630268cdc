#include "Upload/CurlMultiDriver.hpp"

#include <boost/asio/error.hpp>

#include <curl/curl.h>

#include <csignal>
#include <utility>

namespace veltrano {

namespace {

void globalInitOnce() {
  static const bool initialised = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Transfers run with CURLOPT_NOSIGNAL, so a write to a socket the peer
    // closed must not kill the process through SIGPIPE.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)initialised;
}

}  // namespace

CurlError::CurlError(int code, const std::string& detail)
    : std::runtime_error(detail.empty() ? std::string(curl_easy_strerror(static_cast<CURLcode>(code)))
                                        : std::string(curl_easy_strerror(static_cast<CURLcode>(code))) + ": " + detail),
      code_(code) {}

void CurlEasyDeleter::operator()(CURL* easy) const noexcept {
  curl_easy_cleanup(easy);
}

void CurlSlistDeleter::operator()(curl_slist* list) const noexcept {
  curl_slist_free_all(list);
}

CurlMultiDriver::CurlMultiDriver() : inbox_(std::make_shared<Inbox>()) {
  globalInitOnce();
  multi_ = curl_multi_init();
  if (!multi_) throw std::runtime_error("curl_multi_init failed");
  inbox_->multi = multi_;
  thread_ = std::thread([this] { run(); });
}

CurlMultiDriver::~CurlMultiDriver() {
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->stopping = true;
    curl_multi_wakeup(multi_);
  }
  thread_.join();
  std::deque<std::shared_ptr<Transfer>> late;
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->multi = nullptr;
    late.swap(inbox_->toAdd);
  }
  // Handed over while the thread was stopping: they never started.
  for (auto& transfer : late) complete(std::move(transfer), asio::error::operation_aborted, CURLE_ABORTED_BY_CALLBACK);
  curl_multi_cleanup(multi_);
}

std::size_t CurlMultiDriver::transfersInFlight() const {
  std::lock_guard lock(inbox_->mutex);
  return inbox_->inFlight;
}

void CurlMultiDriver::Inbox::requestCancel(std::uint64_t id) {
  std::lock_guard lock(mutex);
  if (!multi) return;
  toCancel.push_back(id);
  curl_multi_wakeup(multi);
}

void CurlMultiDriver::start(std::shared_ptr<void> owner, CURL* easy, asio::any_io_executor executor,
                            asio::cancellation_slot slot, Handler handler) {
  auto transfer = std::make_shared<Transfer>(std::move(handler));
  transfer->owner = std::move(owner);
  transfer->easy = easy;
  transfer->executor = std::move(executor);
  transfer->slot = slot;

  std::lock_guard lock(inbox_->mutex);
  transfer->id = inbox_->nextId++;
  ++inbox_->inFlight;
  // The slot is emitted on the caller's executor, the same one the
  // completion runs on, so installing and clearing it there is ordered; a
  // cancellation that arrives after the driver finished is ignored.
  if (transfer->slot.is_connected()) {
    transfer->slot.assign([inbox = std::weak_ptr<Inbox>(inbox_), id = transfer->id](asio::cancellation_type type) {
      if (type == asio::cancellation_type::none) return;
      if (auto alive = inbox.lock()) alive->requestCancel(id);
    });
  }
  inbox_->toAdd.push_back(std::move(transfer));
  curl_multi_wakeup(multi_);
}

void CurlMultiDriver::complete(std::shared_ptr<Transfer> transfer, boost::system::error_code error, int result) {
  // The driver has let go of the easy handle; from here on it is the
  // caller's again.
  transfer->easy = nullptr;
  auto executor = transfer->executor;
  asio::post(executor, [transfer = std::move(transfer), error, result]() mutable {
    if (transfer->slot.is_connected()) transfer->slot.clear();
    auto handler = std::move(transfer->handler);
    auto owner = std::move(transfer->owner);
    std::move(handler)(error, result);
  });
  // Counted out only once the completion is queued, so "none in flight"
  // means every result is waiting on its caller's executor.
  std::lock_guard lock(inbox_->mutex);
  --inbox_->inFlight;
}

void CurlMultiDriver::run() {
  for (;;) {
    std::deque<std::shared_ptr<Transfer>> adds;
    std::deque<std::uint64_t> cancels;
    bool stop = false;
    {
      std::lock_guard lock(inbox_->mutex);
      adds.swap(inbox_->toAdd);
      cancels.swap(inbox_->toCancel);
      stop = inbox_->stopping;
    }
    for (auto& transfer : adds) {
      if (curl_multi_add_handle(multi_, transfer->easy) != CURLM_OK) {
        complete(std::move(transfer), {}, CURLE_FAILED_INIT);
        continue;
      }
      running_.emplace(transfer->easy, transfer);
    }
    for (std::uint64_t id : cancels) {
      for (auto it = running_.begin(); it != running_.end(); ++it) {
        if (it->second->id != id) continue;
        auto transfer = it->second;
        curl_multi_remove_handle(multi_, it->first);
        running_.erase(it);
        complete(std::move(transfer), asio::error::operation_aborted, CURLE_ABORTED_BY_CALLBACK);
        break;
      }
    }
    if (stop) {
      for (auto& [easy, transfer] : running_) {
        curl_multi_remove_handle(multi_, easy);
        complete(transfer, asio::error::operation_aborted, CURLE_ABORTED_BY_CALLBACK);
      }
      running_.clear();
      return;
    }

    int stillRunning = 0;
    curl_multi_perform(multi_, &stillRunning);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode result = message->data.result;
      auto it = running_.find(easy);
      if (it == running_.end()) continue;
      auto transfer = it->second;
      curl_multi_remove_handle(multi_, easy);
      running_.erase(it);
      complete(std::move(transfer), {}, result);
    }
    // Wakes on socket activity, libcurl's own timers (it never sleeps past
    // them), or curl_multi_wakeup; and, while transfers run, four times a
    // second, so their progress callbacks (the idle watch) run on time.
    curl_multi_poll(multi_, nullptr, 0, running_.empty() ? 1000 : 250, nullptr);
  }
}

}  // namespace veltrano

#pragma once

#include "ExtensionInstall/SystemExtensionActivator.hpp"

#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace veltrano::testing {

// Records what it is asked and replays any sequence of delegate callbacks
// to the delegate of the last submitted request.
class FakeSystemExtensionActivator final : public SystemExtensionActivator {
 public:
  struct Replacement {
    std::string existing;
    std::string extension;
  };
  struct NeedsApproval {};
  struct Finish {
    long result;
  };
  struct Fail {
    long code;
  };
  using Event = std::variant<Replacement, NeedsApproval, Finish, Fail>;

  void submit(SystemExtensionRequest request, std::weak_ptr<SystemExtensionRequestDelegate> delegate) override {
    submitted.push_back(std::move(request));
    delegate_ = std::move(delegate);
  }
  void approve() override { ++approvals; }

  // False when there is no request or its delegate is gone (then nothing
  // is delivered).
  bool replay(const std::vector<Event>& events) {
    for (const auto& event : events) {
      auto delegate = delegate_.lock();
      if (!delegate || submitted.empty()) return false;
      const auto& request = submitted.back();
      if (const auto* r = std::get_if<Replacement>(&event))
        replacementAnswers.push_back(delegate->actionForReplacingExtension(request, {r->existing}, {r->extension}));
      else if (std::holds_alternative<NeedsApproval>(event))
        delegate->requestNeedsUserApproval(request);
      else if (const auto* f = std::get_if<Finish>(&event))
        delegate->requestDidFinishWithResult(request, f->result);
      else
        delegate->requestDidFailWithError(request, std::get<Fail>(event).code);
    }
    return true;
  }

  std::vector<SystemExtensionRequest> submitted;
  std::vector<SystemExtensionReplacementAction> replacementAnswers;
  int approvals = 0;

 private:
  std::weak_ptr<SystemExtensionRequestDelegate> delegate_;
};

}  // namespace veltrano::testing

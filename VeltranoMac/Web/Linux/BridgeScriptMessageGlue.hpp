// The bridge's WebKitGTK glue: injects the page-side script and hands the
// page's script messages to the bridge's handler.
#pragma once

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Runtime/Linux/MainExecutor.hpp"

#include <memory>
#include <string>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _JSCValue JSCValue;
typedef struct _WebKitUserContentManager WebKitUserContentManager;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

// Connects a web view's user content to the bridge: the page-side script at
// document start of every top-frame page, and script messages with reply to
// "veltranoBridge" handed to the handler, each answered with exactly one
// envelope as a JSON value.
class BridgeScriptMessageGlue {
 public:
  // The glue holds `handler` weakly: messages that arrive or are still being
  // answered once it is gone get "internal". The WebKit reply stays alive
  // until its envelope comes, also after the web view has gone.
  static void install(WebKitUserContentManager* manager, std::weak_ptr<VeltranoBridgeMessageHandler> handler,
                      MainExecutor main);

  // The message as JSON text: "" for undefined and for values JSON cannot
  // carry (a function, a cycle), which the dispatch answers "invalid_body".
  static std::string messageText(JSCValue* value);
};

}  // namespace veltrano

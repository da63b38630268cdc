#include "Web/Linux/BridgeScriptMessageGlue.hpp"

#include "Bridge/BridgeEnvelope.hpp"
#include "Bridge/PageBridgeScript.hpp"

#include <webkit/webkit.h>

#include <utility>

namespace veltrano {

namespace {

struct GlueData {
  std::weak_ptr<VeltranoBridgeMessageHandler> handler;
  MainExecutor main;
};

// One message's WebKit reply and the JavaScript context its value is built
// in, both held until the envelope is sent.
class PendingReply {
 public:
  PendingReply(WebKitScriptMessageReply* reply, JSCContext* context)
      : reply_(webkit_script_message_reply_ref(reply)), context_(JSC_CONTEXT(g_object_ref(context))) {}
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;
  ~PendingReply() {
    webkit_script_message_reply_unref(reply_);
    g_object_unref(context_);
  }

  void send(const std::string& envelopeJson) {
    JSCValue* value = jsc_value_new_from_json(context_, envelopeJson.c_str());
    if (!value) {
      // The bridge core only hands out valid JSON; should that ever break,
      // the page still gets an envelope rather than a hanging promise.
      jsc_context_clear_exception(context_);
      value =
          jsc_value_new_from_json(context_, R"({"ok":false,"code":"internal","message":"Bridge handler unavailable"})");
    }
    webkit_script_message_reply_return_value(reply_, value);
    g_object_unref(value);
  }

 private:
  WebKitScriptMessageReply* reply_;
  JSCContext* context_;
};

gboolean onScriptMessage(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer data) {
  auto* glue = static_cast<GlueData*>(data);
  auto pending = std::make_shared<PendingReply>(reply, jsc_value_get_context(value));
  VeltranoBridgeMessageHandler::receive(glue->handler, glue->main,
                                        parseMessageBody(BridgeScriptMessageGlue::messageText(value)),
                                        [pending](std::string envelope) { pending->send(envelope); });
  return TRUE;
}

}  // namespace

std::string BridgeScriptMessageGlue::messageText(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value)) return {};
  char* json = jsc_value_to_json(value, 0);
  // JSON.stringify throws for a cycle or a BigInt; the exception stays on the
  // context otherwise and would surface on the next call.
  jsc_context_clear_exception(jsc_value_get_context(value));
  if (!json) return {};
  std::string text(json);
  g_free(json);
  return text;
}

void BridgeScriptMessageGlue::install(WebKitUserContentManager* manager,
                                      std::weak_ptr<VeltranoBridgeMessageHandler> handler, MainExecutor main) {
  const std::string name(kBridgeHandlerName);
  WebKitUserScript* script = webkit_user_script_new(pageBridgeScript().c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(manager, script);
  webkit_user_script_unref(script);

  // The signal owns the glue's data and frees it with the manager. Connected
  // before the handler is registered, so no message can come unheard.
  const std::string signal = "script-message-with-reply-received::" + name;
  g_signal_connect_data(
      manager, signal.c_str(), G_CALLBACK(onScriptMessage), new GlueData{std::move(handler), main},
      [](gpointer data, GClosure*) { delete static_cast<GlueData*>(data); }, GConnectFlags{});
  webkit_user_content_manager_register_script_message_handler_with_reply(manager, name.c_str(), nullptr);
}

}  // namespace veltrano

#include "Bridge/PageBridgeScript.hpp"

namespace veltrano {

namespace {

// Three fixed pieces; the handler name goes between them.
constexpr std::string_view kScriptHead = R"JS((function () {
  'use strict';
  var unavailableMessage = 'Veltrano native bridge not available';
  var noAsyncMessage = 'Bridge does not support async replies; update WebKit or use a fallback';

  function present(value) {
    return value !== undefined && value !== null && value !== '';
  }

  function readReply(body) {
    if (body && body.ok === true) return body.data;
    if (body && body.ok === false) {
      var text = present(body.message) ? body.message : present(body.code) ? body.code : 'bridge_error';
      var error = new Error(String(text));
      error.code = body.code;
      throw error;
    }
    return body;
  }

  window.veltranoNative = {
    isAvailable: function () {
      return !!(window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.)JS";

constexpr std::string_view kScriptMiddle = R"JS();
    },
    call: function (method, payload) {
      var handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.)JS";

constexpr std::string_view kScriptTail = R"JS(;
      if (!handler) return Promise.reject(new Error(unavailableMessage));
      var result;
      try {
        result = handler.postMessage({ method: method, payload: payload === undefined ? null : payload });
      } catch (error) {
        // A payload the web view cannot clone throws here; callers expect a
        // promise either way.
        return Promise.reject(error);
      }
      if (result && typeof result.then === 'function') return Promise.resolve(result).then(readReply);
      return Promise.reject(new Error(noAsyncMessage));
    }
  };
})();
)JS";

}  // namespace

const std::string& pageBridgeScript() {
  static const std::string script = [] {
    std::string text;
    text.reserve(kScriptHead.size() + kScriptMiddle.size() + kScriptTail.size() + 2 * kBridgeHandlerName.size());
    text += kScriptHead;
    text += kBridgeHandlerName;
    text += kScriptMiddle;
    text += kBridgeHandlerName;
    text += kScriptTail;
    return text;
  }();
  return script;
}

}  // namespace veltrano

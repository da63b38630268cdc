// The fixed scripts the native side runs in the page (sign-in callback, focus
// event, recording and upload state events, answer-save flush) and their
// arguments.
#pragma once

#include "Web/SignInCallback.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace veltrano {

// The fixed scripts with which the native side calls into the page. They
// run as the body of an async function whose one parameter, `args`, is a
// JSON text: the web view cannot bind booleans or arrays as arguments, so
// every script decodes its names from it on its first line and the page sees
// the values themselves (an absent email is `undefined`).
namespace page_script {

inline constexpr std::string_view argumentName = "args";

inline constexpr std::string_view signInCallback =
    "var a = JSON.parse(args), emailLink = a.emailLink, email = a.email;\n"
    "if (window.__veltranoReceiveAuthCallback) window.__veltranoReceiveAuthCallback({ emailLink: emailLink, email: "
    "email })";

inline constexpr std::string_view focusEvent =
    "var focused = JSON.parse(args).focused;\n"
    "window.dispatchEvent(new CustomEvent('veltrano:app-focus', { detail: { focused: focused, source: 'native' } "
    "}));";

// The native side's state, as events whose detail is the JSON value itself.
inline constexpr std::string_view recordingStateEvent =
    "window.dispatchEvent(new CustomEvent('veltrano:recording-state', { detail: JSON.parse(args) }));";
inline constexpr std::string_view uploadStateEvent =
    "window.dispatchEvent(new CustomEvent('veltrano:upload-state', { detail: JSON.parse(args) }));";

// The connected cameras changed; the detail is the new list.
inline constexpr std::string_view camerasChangedEvent =
    "window.dispatchEvent(new CustomEvent('veltrano:cameras-changed', { detail: JSON.parse(args) }));";

inline constexpr std::string_view flushAnswerSave =
    "var f = window.__veltranoFlushAnswerSave;\n"
    "if (typeof f !== 'function') { return { ok: true, status: 'noop' }; }\n"
    "return await f();";

// {"emailLink": …} plus "email" only when the link carries one. Text that is
// not valid UTF-8 goes out with U+FFFD in its place.
std::string signInCallbackArguments(const SignInCallback& callback);
// {"focused": true|false}
std::string focusEventArguments(bool focused);
// The detail of a state event as JSON text; bytes that are not valid UTF-8
// go out as U+FFFD.
std::string eventDetailArguments(const nlohmann::json& detail);

}  // namespace page_script

}  // namespace veltrano

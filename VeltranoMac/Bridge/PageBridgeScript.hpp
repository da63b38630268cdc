// The page side of the bridge: the script that defines window.veltranoNative,
// and the handler name it posts to.
#pragma once

#include <string>
#include <string_view>

namespace veltrano {

// The script message handler's name, shared by its registration and the
// page-side script.
inline constexpr std::string_view kBridgeHandlerName = "veltranoBridge";

// The script injected at document start of every main-frame page: it sets
// window.veltranoNative = {isAvailable(), call(method, payload)}, where call
// posts {method, payload} to the handler and settles with the reply
// envelope's data or an Error carrying its code. Built once per process.
const std::string& pageBridgeScript();

}  // namespace veltrano

// The thin WebKitGTK side of the "app" scheme: it turns each request into a
// call of WebAppSchemeHandler and the outcome into a WebKit response. It
// decides nothing a test without a display could check.
#pragma once

#include "Web/WebAppSchemeHandler.hpp"

#include <gio/gio.h>
#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <optional>

namespace veltrano {

inline constexpr const char* webAppScheme = "app";

// Registers "app" on the context, served by the handler, and marks the
// scheme secure and CORS-enabled (WebKitGTK 2.46+ may bypass the handler
// for top-level loads of a scheme that is not CORS-enabled). Once per
// context: WebKit refuses a second registration of the same scheme.
//
// The preview path is answered by `preview` (called on the main thread; it
// calls back on the main thread, with the first frame above the page's, or
// absent when no preview runs: 204 No Content), or 404 without one.
using PreviewFrames = std::function<void(std::uint64_t after, std::function<void(std::optional<PreviewImage>)> done)>;
void registerWebAppScheme(WebKitWebContext* context, std::shared_ptr<const WebAppSchemeHandler> handler,
                          PreviewFrames preview = {});

// The response body as a stream that owns the file and reads it only as
// WebKit asks, in WebKit's own chunk size. Transfer full.
GInputStream* webAppBodyStream(WebAppResponse& response);

}  // namespace veltrano

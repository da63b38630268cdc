#include "Web/Linux/WebAppSchemeWebKit.hpp"

#include <gio/gunixinputstream.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace veltrano {

namespace {

struct SchemeParts {
  std::shared_ptr<const WebAppSchemeHandler> handler;
  PreviewFrames preview;
};

using Headers = std::vector<std::pair<const char*, std::string>>;

void finishWithResponse(WebKitURISchemeRequest* request, GInputStream* body, gint64 length, guint status,
                        const char* reason, const std::string& contentType, const Headers& extra = {}) {
  g_autoptr(WebKitURISchemeResponse) response = webkit_uri_scheme_response_new(body, length);
  webkit_uri_scheme_response_set_status(response, status, reason);
  webkit_uri_scheme_response_set_content_type(response, contentType.c_str());
  // WebKit keeps the content type above out of the headers that page code
  // reads; fetch() callers need it there too.
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_replace(headers, "Content-Type", contentType.c_str());
  for (const auto& [name, value] : extra) soup_message_headers_replace(headers, name, value.c_str());
  webkit_uri_scheme_response_set_http_headers(response, headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
}

// A frame with its number and capture time, or 204 when no preview runs;
// never cached, each request is a new frame.
void finishWithPreview(WebKitURISchemeRequest* request, const std::optional<PreviewImage>& image) {
  if (!image || !image->jpeg) {
    g_autoptr(GInputStream) empty = g_memory_input_stream_new();
    finishWithResponse(request, empty, 0, 204, "No Content", "image/jpeg", {{"Cache-Control", "no-store"}});
    return;
  }
  // The bytes stay in the frame, shared; the stream releases its reference.
  auto* held = new std::shared_ptr<const std::string>(image->jpeg);
  g_autoptr(GBytes) bytes = g_bytes_new_with_free_func(
      (*held)->data(), (*held)->size(),
      [](gpointer data) { delete static_cast<std::shared_ptr<const std::string>*>(data); }, held);
  g_autoptr(GInputStream) body = g_memory_input_stream_new_from_bytes(bytes);
  char capturedAt[32];
  std::snprintf(capturedAt, sizeof capturedAt, "%.3f", image->capturedAtMs);
  finishWithResponse(request, body, static_cast<gint64>(image->jpeg->size()), 200, "OK", "image/jpeg",
                     {{"Cache-Control", "no-store"},
                      {"X-Veltrano-Frame", std::to_string(image->number)},
                      {"X-Veltrano-Captured-At", capturedAt}});
}

// 403 and 404 are real responses, so that fetch() sees the status; failing
// the request would reject it with a bare "Load failed".
void finishWithStatus(WebKitURISchemeRequest* request, guint status, const char* reason) {
  const std::string text = std::to_string(status) + " " + reason + "\n";
  g_autoptr(GBytes) bytes = g_bytes_new(text.data(), text.size());
  g_autoptr(GInputStream) body = g_memory_input_stream_new_from_bytes(bytes);
  finishWithResponse(request, body, static_cast<gint64>(text.size()), status, reason, "text/plain; charset=utf-8");
}

void finishWithError(WebKitURISchemeRequest* request, const std::error_code& error) {
  g_autoptr(GError) failure = nullptr;
  if (error.category() == webAppSchemeCategory()) {
    failure = g_error_new_literal(
        g_quark_from_static_string(error.category().name()), error.value(), error.message().c_str());
  } else {
    // The file system's error, as GIO names it: the same domain and code a
    // failed read of the body stream would give.
    failure = g_error_new_literal(G_IO_ERROR, g_io_error_from_errno(error.value()), error.message().c_str());
  }
  webkit_uri_scheme_request_finish_error(request, failure);
}

// Runs on the main thread. The request body is never read: fetching it for
// a Blob body crashes WebKitGTK 2.50's UI process, and no file needs it.
void answer(WebKitURISchemeRequest* request, gpointer data) {
  const auto& parts = *static_cast<SchemeParts*>(data);
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  if (const auto after = uri ? previewFrameAfter(uri) : std::nullopt) {
    if (!parts.preview) return finishWithStatus(request, 404, "Not Found");
    g_object_ref(request);
    parts.preview(*after, [request](std::optional<PreviewImage> image) {
      finishWithPreview(request, image);
      g_object_unref(request);
    });
    return;
  }
  auto result = parts.handler->serve(uri ? std::optional<std::string_view>(uri) : std::nullopt);

  if (auto* response = std::get_if<WebAppResponse>(&result)) {
    g_autoptr(GInputStream) body = webAppBodyStream(*response);
    finishWithResponse(
        request, body, static_cast<gint64>(response->expectedContentLength), 200, "OK", response->contentType());
    return;
  }
  const auto& error = std::get<std::error_code>(result);
  if (error == WebAppSchemeError::forbidden) return finishWithStatus(request, 403, "Forbidden");
  if (error == WebAppSchemeError::notFound) return finishWithStatus(request, 404, "Not Found");
  finishWithError(request, error);
}

void releaseHandler(gpointer data) {
  std::unique_ptr<SchemeParts> held(static_cast<SchemeParts*>(data));
}

}  // namespace

GInputStream* webAppBodyStream(WebAppResponse& response) {
  return g_unix_input_stream_new(response.body.release(), TRUE);
}

void registerWebAppScheme(WebKitWebContext* context, std::shared_ptr<const WebAppSchemeHandler> handler,
                          PreviewFrames preview) {
  auto held = std::make_unique<SchemeParts>(SchemeParts{std::move(handler), std::move(preview)});
  webkit_web_context_register_uri_scheme(context, webAppScheme, answer, held.release(), releaseHandler);
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, webAppScheme);
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, webAppScheme);
}

}  // namespace veltrano

#include "Web/Linux/WebAppSchemeWebKit.hpp"

#include <gio/gunixinputstream.h>

#include <string>
#include <utility>

namespace veltrano {

namespace {

using HandlerHandle = std::shared_ptr<const WebAppSchemeHandler>;

void finishWithResponse(WebKitURISchemeRequest* request, GInputStream* body, gint64 length, guint status,
                        const char* reason, const std::string& contentType) {
  g_autoptr(WebKitURISchemeResponse) response = webkit_uri_scheme_response_new(body, length);
  webkit_uri_scheme_response_set_status(response, status, reason);
  webkit_uri_scheme_response_set_content_type(response, contentType.c_str());
  // WebKit keeps the content type above out of the headers that page code
  // reads; fetch() callers need it there too.
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_replace(headers, "Content-Type", contentType.c_str());
  webkit_uri_scheme_response_set_http_headers(response, headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
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
  const auto& handler = *static_cast<HandlerHandle*>(data);
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  auto result = handler->serve(uri ? std::optional<std::string_view>(uri) : std::nullopt);

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
  std::unique_ptr<HandlerHandle> held(static_cast<HandlerHandle*>(data));
}

}  // namespace

GInputStream* webAppBodyStream(WebAppResponse& response) {
  return g_unix_input_stream_new(response.body.release(), TRUE);
}

void registerWebAppScheme(WebKitWebContext* context, std::shared_ptr<const WebAppSchemeHandler> handler) {
  auto held = std::make_unique<HandlerHandle>(std::move(handler));
  webkit_web_context_register_uri_scheme(context, webAppScheme, answer, held.release(), releaseHandler);
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, webAppScheme);
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, webAppScheme);
}

}  // namespace veltrano

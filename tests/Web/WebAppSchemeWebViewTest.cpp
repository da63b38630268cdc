// The "app" scheme through a real WebKitWebView (under Xvfb): what page code
// sees for a file, a forbidden path and a missing file, a large body that
// arrives whole, and a Blob POST that must not reach the request body.

#include "Web/Linux/WebAppSchemeWebKit.hpp"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include "support/TempDir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

using veltrano::testing::TempDir;

using veltrano::testing::writeFile;

// Runs the default main context until done() or the deadline.
template <typename Done>
bool spinUntil(Done done, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return true;
}

constexpr const char* probeScript = R"JS(
  const results = {};
  for (const [name, url, init] of [
      ["file", "app://local/data.json"],
      ["forbidden", "app://local/a..b.txt"],
      ["missing", "app://local/missing.css"],
      ["large", "app://local/large.bin"],
      ["blobPost", "app://local/data.json", {method: "POST", body: new Blob(["not for the handler"])}]]) {
    try {
      const response = await fetch(url, init);
      const bytes = new Uint8Array(await response.arrayBuffer());
      let sum = 0;
      for (const byte of bytes) sum = (sum + byte) % 1000000007;
      results[name] = {status: response.status, type: response.headers.get("content-type"),
                       length: bytes.length, sum};
    } catch (error) {
      results[name] = {error: String(error)};
    }
  }
  results.secure = window.isSecureContext;
  results.title = document.title;
  return JSON.stringify(results);
)JS";

TEST(WebAppSchemeWebView, PageSeesStatusesTypesAndWholeBodies) {
  TempDir temp;
  const auto root = temp.path / "WebApp";
  writeFile(root / "index.html", "<!doctype html><title>probe page</title><p>probe</p>");
  writeFile(root / "data.json", R"({"ok":true})");
  writeFile(root / "a..b.txt", "exists, but the name is refused");
  std::string large;
  for (int i = 0; large.size() < 5 * 1024 * 1024 + 3; ++i) large.push_back(static_cast<char>((i * 31 + 7) % 251));
  writeFile(root / "large.bin", large);
  long long largeSum = 0;
  for (unsigned char byte : large) largeSum = (largeSum + byte) % 1000000007;

  gtk_init();
  WebKitWebContext* context = webkit_web_context_new();
  veltrano::registerWebAppScheme(context, std::make_shared<veltrano::WebAppSchemeHandler>(root));
  auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, nullptr));
  GtkWidget* window = gtk_window_new();
  gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(view));
  gtk_window_present(GTK_WINDOW(window));

  bool loaded = false;
  g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer done) {
                     if (event == WEBKIT_LOAD_FINISHED) *static_cast<bool*>(done) = true;
                   }),
                   &loaded);
  webkit_web_view_load_uri(view, std::string(veltrano::webAppEntryURL).c_str());
  ASSERT_TRUE(spinUntil([&] { return loaded; })) << "the entry page did not load";

  struct Outcome {
    bool done = false;
    std::string json;
    std::string error;
  } outcome;
  webkit_web_view_call_async_javascript_function(
      view, probeScript, -1, nullptr, nullptr, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto& out = *static_cast<Outcome*>(data);
        GError* error = nullptr;
        JSCValue* value =
            webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (value) {
          g_autofree char* text = jsc_value_to_string(value);
          out.json = text;
          g_object_unref(value);
        } else {
          out.error = error->message;
          g_error_free(error);
        }
        out.done = true;
      },
      &outcome);
  ASSERT_TRUE(spinUntil([&] { return outcome.done; })) << "the page script did not answer";
  ASSERT_EQ(outcome.error, "");

  const auto results = nlohmann::json::parse(outcome.json);
  EXPECT_EQ(results.at("title"), "probe page");
  EXPECT_EQ(results.at("secure"), true);
  EXPECT_EQ(
      results.at("file"),
      (nlohmann::json{{"status", 200}, {"type", "application/json; charset=utf-8"}, {"length", 11}, {"sum", 1040}}));
  EXPECT_EQ(results.at("forbidden").at("status"), 403) << results.dump();
  EXPECT_EQ(results.at("missing").at("status"), 404) << results.dump();
  EXPECT_EQ(results.at("missing").at("type"), "text/plain; charset=utf-8");
  EXPECT_EQ(results.at("large"),
            (nlohmann::json{
                {"status", 200}, {"type", "application/octet-stream"}, {"length", large.size()}, {"sum", largeSum}}));
  EXPECT_EQ(results.at("blobPost").at("status"), 200) << results.dump();

  gtk_window_destroy(GTK_WINDOW(window));
  g_object_unref(context);
}

}  // namespace

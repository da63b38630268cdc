#include "App/ContentView.hpp"

#include <gtk/gtk.h>

#include <utility>

namespace veltrano {

namespace {

GtkWidget* makeNotice() {
  GtkWidget* notice = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_set_halign(notice, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(notice, GTK_ALIGN_CENTER);
  gtk_widget_set_margin_top(notice, 24);
  gtk_widget_set_margin_bottom(notice, 24);
  gtk_widget_set_margin_start(notice, 24);
  gtk_widget_set_margin_end(notice, 24);

  GtkWidget* headline = gtk_label_new("Bundled web app not found");
  gtk_widget_add_css_class(headline, "heading");
  GtkWidget* detail = gtk_label_new("Expected WebApp/index.html in app resources.");
  gtk_widget_add_css_class(detail, "dim-label");
  for (GtkWidget* label : {headline, detail}) {
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    gtk_box_append(GTK_BOX(notice), label);
  }
  return notice;
}

}  // namespace

void WindowAccessor::resolve(GtkWidget* widget, std::function<void(GtkWindow*)> onResolve) {
  struct Pending {
    GWeakRef widget;
    std::function<void(GtkWindow*)> onResolve;
  };
  auto* pending = new Pending{{}, std::move(onResolve)};
  g_weak_ref_init(&pending->widget, widget);
  g_idle_add_full(
      G_PRIORITY_DEFAULT_IDLE,
      [](gpointer data) -> gboolean {
        auto* p = static_cast<Pending*>(data);
        if (auto* w = static_cast<GtkWidget*>(g_weak_ref_get(&p->widget))) {
          GtkRoot* root = gtk_widget_get_root(w);
          if (root && GTK_IS_WINDOW(root)) p->onResolve(GTK_WINDOW(root));
          g_object_unref(w);
        }
        return G_SOURCE_REMOVE;
      },
      pending,
      [](gpointer data) {
        auto* p = static_cast<Pending*>(data);
        g_weak_ref_clear(&p->widget);
        delete p;
      });
}

ContentView::ContentView(GtkApplication* application, std::optional<std::filesystem::path> webAppRoot,
                         MakeWebView makeWebView) {
  GtkWidget* window = application ? gtk_application_window_new(application) : gtk_window_new();
  window_ = GTK_WINDOW(g_object_ref(window));
  gtk_window_set_title(window_, "Veltrano");
  gtk_window_set_default_size(window_, 1024, 720);

  layout_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  // The window's minimum content size.
  gtk_widget_set_size_request(layout_, minimumWidth, minimumHeight);
  bannerSlot_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_visible(bannerSlot_, FALSE);
  gtk_box_append(GTK_BOX(layout_), bannerSlot_);

  GtkWidget* content;
  if (webAppRoot) {
    webView_ = makeWebView(*webAppRoot);
    content = webView_->widget();
  } else {
    content = makeNotice();
  }
  gtk_widget_set_hexpand(content, TRUE);
  gtk_widget_set_vexpand(content, TRUE);
  gtk_box_append(GTK_BOX(layout_), content);
  gtk_window_set_child(window_, layout_);

  WindowAccessor::resolve(layout_, [](GtkWindow*) {
    // Neither X11 nor Wayland lets a client keep its window out of other
    // programs' screen capture or sharing, so there is nothing to set here.
  });
}

ContentView::~ContentView() {
  setBanner(nullptr);
  gtk_window_destroy(window_);
  webView_.reset();
  g_object_unref(window_);
}

void ContentView::present() {
  update();
  gtk_window_present(window_);
}

void ContentView::receiveDeepLink(std::string url) {
  authCallbackURL_ = std::move(url);
  update();
}

void ContentView::setBanner(GtkWidget* banner) {
  if (banner_ == banner) return;
  if (banner_) {
    gtk_box_remove(GTK_BOX(bannerSlot_), banner_);
    g_object_unref(banner_);
    banner_ = nullptr;
  }
  if (banner) {
    banner_ = GTK_WIDGET(g_object_ref_sink(banner));
    gtk_box_append(GTK_BOX(bannerSlot_), banner_);
  }
  gtk_widget_set_visible(bannerSlot_, banner_ != nullptr);
}

void ContentView::update() {
  if (webView_) webView_->update(authCallbackURL_);
}

}  // namespace veltrano

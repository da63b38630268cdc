#include "ExtensionInstall/Linux/SystemExtensionFailureBanner.hpp"

#include <gtk/gtk.h>

#include <utility>

namespace veltrano {

namespace {

constexpr const char* kTitleApproval = "Veltrano needs your approval to use the camera";
constexpr const char* kTextApproval =
    "The Veltrano camera service is turned off for your account. Allow it below, or run: systemctl --user unmask "
    "com.brackwood.VeltranoMac.Camera.service";
constexpr const char* kApproveLabel = "Allow the Camera Service";
constexpr const char* kTitleReboot = "Restart required to finish updating the camera extension";
constexpr const char* kTextReboot =
    "The new version has been staged. The previous version will remain active until you restart your computer.";

// Translucent backing with a thin divider along the bottom; orange icon;
// headline and subheadline text sizes.
constexpr const char* kStyle = R"css(
.veltrano-extension-banner {
  padding: 12px;
  background-color: alpha(@theme_bg_color, 0.82);
  border-bottom: 1px solid alpha(@theme_fg_color, 0.18);
}
.veltrano-extension-banner-icon { color: #ff9500; }
.veltrano-extension-banner-headline { font-weight: bold; }
.veltrano-extension-banner-subheadline { font-size: 0.92em; }
.veltrano-extension-banner-dismiss { color: alpha(@theme_fg_color, 0.55); }
)css";

void installStyleOnce() {
  static bool installed = false;
  GdkDisplay* display = gdk_display_get_default();
  if (installed || !display) return;
  installed = true;
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, kStyle, -1);
  gtk_style_context_add_provider_for_display(
      display, GTK_STYLE_PROVIDER(provider), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

using Action = std::function<void()>;

void attachAction(GtkWidget* button, Action action) {
  auto* held = new Action(std::move(action));
  g_object_set_data_full(
      G_OBJECT(button), "veltrano-action", held, [](gpointer data) { delete static_cast<Action*>(data); });
}

void runAction(GtkWidget* button) {
  auto* action = static_cast<Action*>(g_object_get_data(G_OBJECT(button), "veltrano-action"));
  if (action && *action) (*action)();
}

GtkWidget* wrappingLabel(const char* text, const char* styleClass) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_halign(label, GTK_ALIGN_FILL);
  gtk_widget_add_css_class(label, styleClass);
  return label;
}

GtkWidget* titledColumn(const char* title, const char* text) {
  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_widget_set_halign(column, GTK_ALIGN_FILL);
  gtk_box_append(GTK_BOX(column), wrappingLabel(title, "veltrano-extension-banner-headline"));
  gtk_box_append(GTK_BOX(column), wrappingLabel(text, "veltrano-extension-banner-subheadline"));
  return column;
}

}  // namespace

GtkWidget* SystemExtensionFailureBanner::create(const SystemExtensionBannerState& banner,
                                                std::function<void()> onDismiss, std::function<void()> onApprove) {
  installStyleOnce();
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_add_css_class(row, "veltrano-extension-banner");
  gtk_widget_set_hexpand(row, TRUE);
  gtk_widget_set_halign(row, GTK_ALIGN_FILL);
  gtk_widget_set_valign(row, GTK_ALIGN_START);

  GtkWidget* icon = gtk_image_new_from_icon_name("dialog-warning-symbolic");
  gtk_image_set_icon_size(GTK_IMAGE(icon), GTK_ICON_SIZE_LARGE);
  gtk_widget_add_css_class(icon, "veltrano-extension-banner-icon");
  gtk_widget_set_valign(icon, GTK_ALIGN_START);
  gtk_box_append(GTK_BOX(row), icon);

  GtkWidget* column = nullptr;
  switch (banner.kind()) {
    case SystemExtensionBannerState::Kind::needsUserApproval: {
      column = titledColumn(kTitleApproval, kTextApproval);
      GtkWidget* approve = gtk_button_new_with_label(kApproveLabel);
      gtk_widget_set_name(approve, kApproveButtonName);
      gtk_widget_set_halign(approve, GTK_ALIGN_START);
      gtk_widget_add_css_class(approve, "veltrano-extension-banner-subheadline");
      attachAction(approve, std::move(onApprove));
      g_signal_connect(
          approve, "clicked", G_CALLBACK(+[](GtkButton* button, gpointer) { runAction(GTK_WIDGET(button)); }), nullptr);
      gtk_box_append(GTK_BOX(column), approve);
      break;
    }
    case SystemExtensionBannerState::Kind::willCompleteAfterReboot:
      column = titledColumn(kTitleReboot, kTextReboot);
      break;
    case SystemExtensionBannerState::Kind::failed: {
      // Shown as it stands, selectable so it can be copied into a report.
      column = wrappingLabel(banner.message().c_str(), "veltrano-extension-banner-subheadline");
      gtk_label_set_selectable(GTK_LABEL(column), TRUE);
      break;
    }
  }
  gtk_widget_set_hexpand(column, TRUE);
  gtk_widget_set_valign(column, GTK_ALIGN_START);
  gtk_box_append(GTK_BOX(row), column);

  GtkWidget* dismiss = gtk_button_new_from_icon_name("window-close-symbolic");
  gtk_widget_set_name(dismiss, kDismissButtonName);
  gtk_button_set_has_frame(GTK_BUTTON(dismiss), FALSE);
  gtk_widget_set_tooltip_text(dismiss, "Dismiss");
  gtk_widget_set_valign(dismiss, GTK_ALIGN_START);
  gtk_widget_add_css_class(dismiss, "veltrano-extension-banner-dismiss");
  attachAction(dismiss, std::move(onDismiss));
  g_signal_connect(dismiss, "clicked", G_CALLBACK(+[](GtkButton* button, gpointer) {
                     gtk_widget_set_sensitive(GTK_WIDGET(button), FALSE);
                     runAction(GTK_WIDGET(button));
                   }),
                   nullptr);
  gtk_box_append(GTK_BOX(row), dismiss);
  return row;
}

}  // namespace veltrano

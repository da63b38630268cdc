#include "ExtensionInstall/Linux/SystemExtensionFailureBanner.hpp"
#include "ExtensionInstall/SystemExtensionRequestManager.hpp"
#include "ExtensionTestSupport.hpp"
#include "support/FakeSystemExtensionActivator.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace veltrano {
namespace {

using namespace std::chrono_literals;

using testing::runFor;

// Every widget below `root` that `predicate` accepts, depth first.
template <typename Predicate>
std::vector<GtkWidget*> find(GtkWidget* root, Predicate predicate) {
  std::vector<GtkWidget*> out;
  for (GtkWidget* child = gtk_widget_get_first_child(root); child; child = gtk_widget_get_next_sibling(child)) {
    if (predicate(child)) out.push_back(child);
    auto more = find(child, predicate);
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

std::vector<GtkWidget*> labels(GtkWidget* root) {
  return find(root, [](GtkWidget* w) { return GTK_IS_LABEL(w); });
}

std::vector<std::string> labelTexts(GtkWidget* root) {
  std::vector<std::string> out;
  for (auto* w : labels(root)) out.emplace_back(gtk_label_get_text(GTK_LABEL(w)));
  return out;
}

GtkWidget* named(GtkWidget* root, const char* name) {
  auto found = find(root, [name](GtkWidget* w) { return std::string(gtk_widget_get_name(w)) == name; });
  return found.empty() ? nullptr : found.front();
}

// A window of the main window's width with the banner on top of some
// content, as the window shows it.
class BannerWindow {
 public:
  explicit BannerWindow(GtkWidget* banner) : banner_(banner) {
    window_ = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window_), 800, 260);
    // Laid out as the main window lays it out: the banner above the content.
    GtkWidget* layout = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* content = gtk_label_new("Web content below the banner");
    gtk_widget_set_vexpand(content, TRUE);
    gtk_box_append(GTK_BOX(layout), banner_);
    gtk_box_append(GTK_BOX(layout), content);
    gtk_window_set_child(GTK_WINDOW(window_), layout);
    gtk_window_present(GTK_WINDOW(window_));
    testing::runUntil([this] { return gtk_widget_get_width(banner_) != 0; }, 5s);
    // In the app the web view holds the focus; here the selectable failure
    // text would take the window's initial focus and select itself.
    gtk_window_set_focus(GTK_WINDOW(window_), nullptr);
    for (auto* label : labels(banner_)) gtk_label_select_region(GTK_LABEL(label), 0, 0);
    runFor(150ms);
  }
  ~BannerWindow() { gtk_window_destroy(GTK_WINDOW(window_)); }

  void savePng(const std::string& name) {
    const int width = gtk_widget_get_width(window_), height = gtk_widget_get_height(window_);
    GdkPaintable* paintable = gtk_widget_paintable_new(window_);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    ASSERT_NE(node, nullptr);
    graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture* texture = gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window_)), node, &bounds);
    std::filesystem::create_directories(VELTRANO_SCREENSHOT_DIR);
    const auto path = std::string(VELTRANO_SCREENSHOT_DIR) + "/" + name + ".png";
    EXPECT_TRUE(gdk_texture_save_to_png(texture, path.c_str())) << path;
    g_object_unref(texture);
    gsk_render_node_unref(node);
    g_object_unref(paintable);
  }

  GtkWidget* banner() const { return banner_; }

 private:
  GtkWidget* window_;
  GtkWidget* banner_;
};

class BannerTest : public ::testing::Test {
 protected:
  // A missing display fails every test rather than skipping it.
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    // Mesa's GL driver is unloaded at exit with an allocation LeakSanitizer
    // cannot attribute; the banner draws the same without GL.
    setenv("GDK_DEBUG", "gl-disable", 0);
#endif
    ASSERT_TRUE(gtk_init_check()) << "no display";
  }
};

struct StateCase {
  const char* name;
  SystemExtensionBannerState banner;
  std::vector<std::string> texts;  // every label, in order
  bool approveButton;
};

void PrintTo(const StateCase& c, std::ostream* os) {
  *os << c.name;
}

class BannerStates : public BannerTest, public ::testing::WithParamInterface<StateCase> {};

const std::string kLongFailure =
    "Error: can't read SystemExtensions dir at /opt/veltrano/a/rather/long/installation/path/that/does/not/fit/on/one/"
    "line/lib/VeltranoMac/SystemExtensions: No such file or directory. " +
    std::string(160, 'x');

// Each state's row: warning icon, the state's texts, the flat dismiss
// button with its tooltip, an approval button only where approval is
// asked; the failure text wraps inside the window and can be selected.
TEST_P(BannerStates, ShowsTheStateAndSavesAScreenshot) {
  const auto& c = GetParam();
  int dismissed = 0, approved = 0;
  BannerWindow window(SystemExtensionFailureBanner::create(
      c.banner, [&] { ++dismissed; }, [&] { ++approved; }));
  GtkWidget* banner = window.banner();

  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(banner)), 12);
  EXPECT_TRUE(gtk_widget_has_css_class(banner, "veltrano-extension-banner"));
  auto* icon = gtk_widget_get_first_child(banner);
  ASSERT_TRUE(GTK_IS_IMAGE(icon));
  EXPECT_STREQ(gtk_image_get_icon_name(GTK_IMAGE(icon)), "dialog-warning-symbolic");

  EXPECT_EQ(labelTexts(banner), c.texts);
  auto buttons = find(banner, [](GtkWidget* w) { return GTK_IS_BUTTON(w); });
  ASSERT_EQ(buttons.size(), c.approveButton ? 2u : 1u);
  GtkWidget* dismiss = named(banner, SystemExtensionFailureBanner::kDismissButtonName);
  ASSERT_NE(dismiss, nullptr);
  EXPECT_EQ(dismiss, gtk_widget_get_last_child(banner));
  EXPECT_STREQ(gtk_widget_get_tooltip_text(dismiss), "Dismiss");
  EXPECT_FALSE(gtk_button_get_has_frame(GTK_BUTTON(dismiss)));
  EXPECT_STREQ(gtk_button_get_icon_name(GTK_BUTTON(dismiss)), "window-close-symbolic");
  if (c.approveButton) {
    GtkWidget* approve = named(banner, SystemExtensionFailureBanner::kApproveButtonName);
    ASSERT_NE(approve, nullptr);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(approve)), "Allow the Camera Service");
  }
  // The row spans the window; wrapping keeps every text inside it.
  // (Widths here are border boxes: the content width leaves out the
  // 12-pixel padding.)
  GtkWidget* parent = gtk_widget_get_parent(banner);
  graphene_rect_t row;
  ASSERT_TRUE(gtk_widget_compute_bounds(banner, parent, &row));
  EXPECT_EQ(row.size.width, gtk_widget_get_width(parent));
  EXPECT_EQ(gtk_widget_get_width(banner) + 24, gtk_widget_get_width(parent));
  for (auto* label : labels(banner)) {
    graphene_rect_t bounds;
    ASSERT_TRUE(gtk_widget_compute_bounds(label, parent, &bounds));
    EXPECT_LE(bounds.origin.x + bounds.size.width, row.size.width - 12);
  }
  if (c.banner.kind() == SystemExtensionBannerState::Kind::failed) {
    const auto text = labels(banner);
    ASSERT_EQ(text.size(), 1u);
    EXPECT_TRUE(gtk_label_get_selectable(GTK_LABEL(text[0])));
    EXPECT_TRUE(gtk_label_get_wrap(GTK_LABEL(text[0])));
  }
  window.savePng(std::string("extension-banner-") + c.name);
  EXPECT_EQ(dismissed, 0);
  EXPECT_EQ(approved, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BannerStates,
    ::testing::Values(
        StateCase{"needsUserApproval",
                  SystemExtensionBannerState::needsUserApproval(),
                  {"Veltrano needs your approval to use the camera",
                   "The Veltrano camera service is turned off for your account. Allow it below, or run: systemctl "
                   "--user unmask com.brackwood.VeltranoMac.Camera.service",
                   "Allow the Camera Service"},
                  true},
        StateCase{"willCompleteAfterReboot",
                  SystemExtensionBannerState::willCompleteAfterReboot(),
                  {"Restart required to finish updating the camera extension",
                   "The new version has been staged. The previous version will remain active until you restart your "
                   "computer."},
                  false},
        StateCase{"failed",
                  SystemExtensionBannerState::failed("Extension failed with error: unknown error"),
                  {"Extension failed with error: unknown error"},
                  false},
        StateCase{"failedLong", SystemExtensionBannerState::failed(kLongFailure), {kLongFailure}, false}),
    [](const auto& info) { return std::string(info.param.name); });

void click(GtkWidget* button) {
  // What a pointer click ends in; insensitive buttons ignore it.
  if (gtk_widget_is_sensitive(button)) g_signal_emit_by_name(button, "clicked");
  runFor(20ms);
}

// The approval button asks the manager's activator to approve and does not
// dismiss; the dismiss button dismisses once, however often it is pressed.
TEST_F(BannerTest, ButtonsRunTheirOwnActionOnce) {
  testing::TempDir dir;
  testing::makeExtensionBundle(dir.path);
  auto activator = std::make_shared<testing::FakeSystemExtensionActivator>();
  auto manager = SystemExtensionRequestManager::create("Starting container app", dir.path, activator);
  manager->activateExtension();
  ASSERT_TRUE(activator->replay({testing::FakeSystemExtensionActivator::NeedsApproval{}}));
  ASSERT_TRUE(manager->extensionBanner());

  int dismissed = 0;
  BannerWindow window(SystemExtensionFailureBanner::create(
      *manager->extensionBanner(),
      [&] {
        ++dismissed;
        manager->setExtensionBanner(std::nullopt);
      },
      [&] { manager->approveExtension(); }));
  GtkWidget* approve = named(window.banner(), SystemExtensionFailureBanner::kApproveButtonName);
  GtkWidget* dismiss = named(window.banner(), SystemExtensionFailureBanner::kDismissButtonName);
  ASSERT_TRUE(approve && dismiss);

  click(approve);
  EXPECT_EQ(activator->approvals, 1);
  EXPECT_EQ(dismissed, 0);
  EXPECT_EQ(manager->extensionBanner(), SystemExtensionBannerState::needsUserApproval());

  click(dismiss);
  click(dismiss);
  EXPECT_EQ(dismissed, 1);
  EXPECT_EQ(activator->approvals, 1);
  EXPECT_FALSE(manager->extensionBanner());
}

}  // namespace
}  // namespace veltrano

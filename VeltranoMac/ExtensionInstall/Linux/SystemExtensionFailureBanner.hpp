// The GTK 4 banner the window shows for the camera extension's state.
#pragma once

#include "ExtensionInstall/SystemExtensionBannerState.hpp"

#include <functional>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _GtkWidget GtkWidget;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

// The strip the window shows at its top while the manager holds a banner:
// a warning icon, the text for the state, and a dismiss button. It keeps no
// state of its own; the window builds a new one whenever the banner
// changes.
//
// `onDismiss` runs when the dismiss button is pressed (at most once per
// banner: the button goes insensitive, so a double click cannot dismiss a
// banner that replaced this one). In the approval state the button
// "Allow the Camera Service" runs `onApprove` (the activator's approve());
// the other states have no button besides dismiss.
struct SystemExtensionFailureBanner {
  // Returns a new floating widget; the functions live as long as it.
  static GtkWidget* create(const SystemExtensionBannerState& banner, std::function<void()> onDismiss,
                           std::function<void()> onApprove);

  // Widget names, for tests and styling.
  static constexpr const char* kDismissButtonName = "veltrano-banner-dismiss";
  static constexpr const char* kApproveButtonName = "veltrano-banner-approve";
};

}  // namespace veltrano

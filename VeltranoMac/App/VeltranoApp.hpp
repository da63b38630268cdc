// The GtkApplication around the app: one instance per session bus, opening
// veltrano: URLs.
#pragma once

#include "App/AppDelegate.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace veltrano {

// The application entry: one GtkApplication per user session under the
// application id, opening URLs (G_APPLICATION_HANDLES_OPEN), with the single
// AppDelegate. A second launch hands its URLs (or a plain activation) to the
// running instance over the session bus and returns 0.
class VeltranoApp {
 public:
  static constexpr std::string_view applicationId = "com.brackwood.VeltranoMac";

  explicit VeltranoApp(AppDelegate::Seams seams, std::string id = std::string(applicationId));
  ~VeltranoApp();
  VeltranoApp(const VeltranoApp&) = delete;
  VeltranoApp& operator=(const VeltranoApp&) = delete;

  // Runs the application until a quit sequence ends it; returns the exit
  // status. Arguments other than options are the URLs to open.
  int run(int argc, char** argv);

  AppDelegate& appDelegate() noexcept { return *appDelegate_; }

 private:
  struct ApplicationDeleter {
    void operator()(GtkApplication* application) const;
  };
  std::unique_ptr<GtkApplication, ApplicationDeleter> application_;
  std::unique_ptr<AppDelegate> appDelegate_;
};

}  // namespace veltrano

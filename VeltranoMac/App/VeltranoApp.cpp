#include "App/VeltranoApp.hpp"

#include <gtk/gtk.h>

#include <utility>

namespace veltrano {

void VeltranoApp::ApplicationDeleter::operator()(GtkApplication* application) const {
  g_object_unref(application);
}

VeltranoApp::VeltranoApp(AppDelegate::Seams seams, std::string id)
    : application_(gtk_application_new(id.c_str(), G_APPLICATION_HANDLES_OPEN)),
      appDelegate_(std::make_unique<AppDelegate>(application_.get(), std::move(seams))) {}

VeltranoApp::~VeltranoApp() {
  if (GtkWindow* window = appDelegate_->window()) gtk_window_destroy(window);
  // Lets work the window's end posted to the main actor run before the
  // delegate and its lifecycle go.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  appDelegate_.reset();
}

int VeltranoApp::run(int argc, char** argv) {
  return g_application_run(G_APPLICATION(application_.get()), argc, argv);
}

}  // namespace veltrano

// Process entry: the actor system, the Qt application and the main window.

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "caf/actor_system.hpp"

#include <QApplication>

#include "accessibility.h"
#include "app_system.h"
#include "desktop_identity.h"
#include "high_dpi.h"
#include "main_window/main_window.h"
#include "process_guard.h"
#include "quill_common_config.h"
#include "shutdown_wait.h"
#include "vocabulary.h"

namespace {

quill_common_config config;

} // namespace

int main(int, char*[]) {
  guard_process_memory();
  // Types are registered with the configuration before the system exists.
  init_global_meta_objects(config);
  app_system = new caf::actor_system(config);
  {
    // Qt gets no arguments: nothing on the command line has any effect.
    int qt_argc = 0;
    enable_high_dpi_scaling();
    name_application_for_desktop();
    QApplication app(qt_argc, nullptr);
    set_application_window_icon();
    start_accessibility_bridge();
    {
      MainWindow window;
      window.show();
      app.exec();
    }
  }
  std::cout << "clean..." << std::endl;
  wait_all_actors_exit();
  // The actor system is never destroyed and actor threads may still run:
  // end the process without running static destructors under them.
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(0);
}

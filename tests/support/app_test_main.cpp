// Test entry for everything that needs the application's actor system and a
// QApplication: builds both as the application does, then runs the tests.

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "caf/actor_system.hpp"

#include <QApplication>

#include <gtest/gtest.h>

#include "app_system.h"
#include "high_dpi.h"
#include "quill_common_config.h"
#include "vocabulary.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  static quill_common_config config;
  init_global_meta_objects(config);
  app_system = new caf::actor_system(config);
  // Headless unless told otherwise (test discovery runs without ctest's environment).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  int qt_argc = 0;
  enable_high_dpi_scaling();
  auto app = new QApplication(qt_argc, nullptr);
  int result = RUN_ALL_TESTS();
  delete app;
  // The actor system lives on, as in the application: skip static destructors.
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(result);
}

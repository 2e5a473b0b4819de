// Test entry for suites that keep an actor system for the whole run: the
// system is never destroyed, so the process ends without static destructors
// running under its threads.

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(result);
}

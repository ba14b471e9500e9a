// sandbox_main.cc -- runs a test binary's tests inside a private network and mount sandbox.
#include <stdio.h>

#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string why;
  if (!enter_sandbox(&why)) {
    fprintf(stderr, "cannot build the test sandbox: %s\n", why.c_str());
    return 1;
  }
  return RUN_ALL_TESTS();
}

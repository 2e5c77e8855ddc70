#include <gtest/gtest.h>

namespace qvtest {
void InstallPerTestEnvironment();
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  qvtest::InstallPerTestEnvironment();  // gtest owns the listener
  return RUN_ALL_TESTS();
}

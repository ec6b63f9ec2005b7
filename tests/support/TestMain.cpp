#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--qor-child") {
    return qortest::RunChildEntry(argv[2], std::vector<std::string>(argv + 3, argv + argc));
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#include "TestTechRecipe.h"

#include <cstdio>
#include <cstring>

bool TestTechRecipe::FromTechId(const char* techId, TestTechRecipe& recipe) {
  if (techId == nullptr) return false;
  recipe = TestTechRecipe{};
  recipe.techId = techId;
  unsigned blockSize = 0;
  unsigned latency = 0;
  char end = 0;
  if (std::sscanf(techId, "Test Block %u %u%c", &blockSize, &latency, &end) == 2) {
    recipe.blockSize = blockSize;
    recipe.latency = latency;
    return true;
  }
  if (std::strcmp(techId, "Test Pass") == 0) return true;
  if (std::strcmp(techId, "Test Gain") == 0) {
    recipe.gain = 50;
    return true;
  }
  if (std::strcmp(techId, "Test FailInit") == 0) {
    recipe.initFails = true;
    return true;
  }
  if (std::strcmp(techId, "Test Controls") == 0) {
    recipe.allControls = true;
    return true;
  }
  if (std::strcmp(techId, "Test BadCount") == 0) {
    recipe.negativeCount = true;
    return true;
  }
  if (std::strcmp(techId, "QOR AEC/NR") == 0) {
    recipe.sideChain = SideChain::kSend;
    return true;
  }
  if (std::strcmp(techId, "QOR Clarix+") == 0) {
    recipe.sideChain = SideChain::kReceive;
    return true;
  }
  return false;
}

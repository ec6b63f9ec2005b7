// The test library's only visible symbols: the two exports of the process contract.
#include <cstring>
#include <type_traits>

#include "TestTechProcess.h"
#include "chain/QORTechProcess.h"

extern "C" __attribute__((visibility("default"))) bool QORTechCreateProcess(const char* techId,
                                                                            TechProcess** process) {
  if (techId == nullptr || process == nullptr) return false;
  *process = nullptr;
  if (std::strcmp(techId, "Test NullCreate") == 0) return true;
  *process = TestTechProcess::Create(techId);
  return *process != nullptr;
}

extern "C" __attribute__((visibility("default"))) bool QORTechDestroyProcess(TechProcess* process) {
  auto* own = static_cast<TestTechProcess*>(process);
  delete own;
  return own != nullptr;
}

static_assert(std::is_same_v<decltype(&QORTechCreateProcess), QORTechCreateProcessFunction>);
static_assert(std::is_same_v<decltype(&QORTechDestroyProcess), QORTechDestroyProcessFunction>);

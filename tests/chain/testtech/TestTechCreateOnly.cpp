// A library that lacks the destroy export: the host must refuse it before creating anything.
#include <type_traits>

#include "chain/QORTechProcess.h"

extern "C" __attribute__((visibility("default"))) bool QORTechCreateProcess(const char*,
                                                                            TechProcess** process) {
  if (process != nullptr) *process = nullptr;
  return false;
}

static_assert(std::is_same_v<decltype(&QORTechCreateProcess), QORTechCreateProcessFunction>);

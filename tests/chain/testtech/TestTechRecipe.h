#pragma once

#include <cstdint>
#include <string>

// What a test process does, read from its tech id:
//   "Test Pass"               passes audio through
//   "Test Gain"               multiplies by its control Gain (hundredths, 50 at creation)
//   "Test Block <n> <l>"      runs on blocks of n frames and reports l frames of own latency
//   "Test FailInit"           refuses every Init
//   "Test Controls"           describes one control of every type
//   "Test BadCount"           reports a negative control count
//   "QOR AEC/NR"              sends channel 0 through the side-chain callback
//   "QOR Clarix+"             replaces channel 0 by what the side-chain callback delivers
// "Test FailCreate" and "Test NullCreate" are handled by the exports and never become a process.
struct TestTechRecipe {
  enum class SideChain { kNone, kSend, kReceive };

  std::string techId;
  uint32_t blockSize = 0;
  uint32_t latency = 0;
  int32_t gain = 100;  // hundredths
  bool initFails = false;
  bool allControls = false;
  bool negativeCount = false;
  SideChain sideChain = SideChain::kNone;

  // False for a tech id the library does not know.
  static bool FromTechId(const char* techId, TestTechRecipe& recipe);
};

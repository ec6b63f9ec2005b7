#pragma once

#include <string>

// One element of a chain, as the configuration names it.
struct ProcessEntry {
  static constexpr const char* kDownmix = "Downmix";
  static constexpr const char* kUpmix = "Upmix";
  static constexpr const char* kSidechainPipe = "Sidechain Pipe";

  std::string techId;      // never empty once configured
  std::string instanceId;  // tuning controls are addressed to it
  std::string hook;        // empty or kSidechainPipe
};

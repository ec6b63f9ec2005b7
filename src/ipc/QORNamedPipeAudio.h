#pragma once

#include <cstdint>

// The capture pipe: one writer instance sends a mono stream to reader instances. Until the pipe
// transport exists its thread never starts, so the side chain stays unconnected.
class QORNamedPipeAudio {
 public:
  static constexpr uint32_t kRoleReader = 0;
  static constexpr uint32_t kRoleWriter = 1;

  virtual ~QORNamedPipeAudio() = default;

  void Init(uint32_t rate, uint32_t role);
  bool StartThread() { return false; }
  bool StopThread() { return true; }
  uint32_t GetRate() const { return rate_; }
  uint32_t GetRole() const { return role_; }

 private:
  uint32_t rate_ = 0;
  uint32_t role_ = kRoleReader;
};

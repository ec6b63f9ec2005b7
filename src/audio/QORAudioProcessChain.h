#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "audio/IQORAudioProcess.h"

// Runs a list of processes, in order, over the same buffer. The processes belong to the caller.
// Threads as for IQORAudioProcess: the list is made and initialised at set-up, Process runs on
// the real-time thread.
template <typename T>
class QORAudioProcessChain : public IQORAudioProcess<T> {
 public:
  QORAudioProcessChain() { processes_.reserve(kReserved); }

  // Set-up. Every process is initialised even after one failed; the result is true only if all
  // succeeded.
  bool Init(uint32_t channels, uint32_t sampleRate) override {
    bool ok = true;
    for (auto* process : processes_) ok = process->Init(channels, sampleRate) && ok;
    return ok;
  }
  // Set-up; Process reads the flag on the real-time thread.
  void EnableBypass(bool bypass) override { bypass_ = bypass; }
  bool IsBypassed() const override { return bypass_; }
  // Set-up.
  uint32_t GetLatency() const override {
    uint32_t latency = 0;
    for (auto* process : processes_) latency += process->GetLatency();
    return latency;
  }
  // Real-time.
  void Process(IQORAudioData<T>& data) override {
    if (bypass_) return;
    for (auto* process : processes_) process->Process(data);
  }

  // Set-up: the list allocates past ten processes.
  virtual void AddProcess(IQORAudioProcess<T>* process) { processes_.push_back(process); }
  virtual void RemoveProcess(IQORAudioProcess<T>* process) {
    auto it = std::find(processes_.begin(), processes_.end(), process);
    if (it != processes_.end()) processes_.erase(it);
  }
  virtual uint32_t GetProcessCount() const { return static_cast<uint32_t>(processes_.size()); }
  virtual void ClearProcesses() {
    processes_.clear();
    processes_.reserve(kReserved);
  }

 private:
  static constexpr size_t kReserved = 10;
  bool bypass_ = false;
  std::vector<IQORAudioProcess<T>*> processes_;
};

// The test technology library: the two exports of the process contract (its only visible
// symbols) and one process whose effects show through its controls: int Gain and CallMode
// (settable), Calls, Callbacks (calls with a callback record); text NullText (read succeeds without
// a text). Tech ids:
//   "Test Pass"           passes audio through
//   "Test Gain"           multiplies by Gain (hundredths, 50 at creation)
//   "Test Block <n> <l>"  runs on blocks of n frames and reports l frames of its own latency
//   "Test FailInit"       refuses every Init
//   "Test BadCount"       reports a negative control count
//   "Test NullCreate"     is "created" without a process
//   "QOR AEC/NR"          sends channel 0 through the side-chain callback
//   "QOR Clarix+"         replaces channel 0 by what the side-chain callback delivers
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "chain/QORTechProcess.h"

namespace {

bool Is(const char* name, const char* expected) {
  return name != nullptr && std::strcmp(name, expected) == 0;
}

const TechControlDesc kLevel[] = {{"Level", -9600, 1200, 0, 0, 0, nullptr, 0, 0.5f}};

class TestTechProcess : public TechProcess {
 public:
  // How the side-chain process calls back: 0 as the contract says, 1 with a linked record,
  // 2 with role 6, 3 without samples, 4 with 0 frames, 5 without context.
  enum CallMode : int32_t { kNormal, kLinked, kRole6, kNoSamples, kNoFrames, kNoContext };

  explicit TestTechProcess(const char* techId) : techId_(techId) {
    unsigned blockSize = 0, latency = 0;
    char end = 0;
    if (std::sscanf(techId, "Test Block %u %u%c", &blockSize, &latency, &end) == 2) {
      known = true;
      blockSize_ = blockSize;
      latency_ = latency;
    }
    for (const char* id : {"Test Pass", "Test Gain", "Test FailInit", "Test BadCount", "QOR AEC/NR",
                           "QOR Clarix+"}) {
      known = known || techId_ == id;
    }
    gain_ = Is(techId, "Test Gain") ? 50 : 100;
    sends_ = Is(techId, "QOR AEC/NR");
    receives_ = Is(techId, "QOR Clarix+");
  }

  virtual ~TestTechProcess() = default;

  bool known = false;  // a tech id of the list above

  uint32_t GetBlockSize() override { return blockSize_; }
  uint32_t GetLatency() override { return latency_; }
  int32_t GetControlInfo(const TechControlDesc** descs) override {
    *descs = kLevel;
    return techId_ == "Test BadCount" ? -2 : 0;
  }
  bool SetControlInt(const char* name, int32_t value) override {
    int32_t* target = Is(name, "Gain") ? &gain_ : Is(name, "CallMode") ? &callMode_ : nullptr;
    if (target != nullptr) *target = value;
    return target != nullptr;
  }
  bool SetControlString(const char*, const char*) override { return false; }
  bool GetControlInt(const char* name, int32_t* value) override {
    const std::pair<const char*, int32_t> numbers[] = {
        {"Gain", gain_}, {"CallMode", callMode_}, {"Calls", calls_}, {"Callbacks", callbacks_}};
    for (const auto& [known, number] : numbers) {
      if (Is(name, known)) {
        *value = number;
        return true;
      }
    }
    return false;
  }
  bool GetControlString(const char* name, const char** value) override {
    if (Is(name, "NullText")) *value = nullptr;  // success without a text
    return Is(name, "NullText");
  }
  bool TakeState(TechProcess*) override { return false; }
  bool Init(uint32_t, uint32_t) override {
    scratch_.assign(std::max(blockSize_, 8192u), 0.0f);
    return techId_ != "Test FailInit";
  }
  void Process(TechChannel* input, TechChannel* output, uint32_t frames,
               const TechCallback* callback) override {
    ++calls_;
    if (callback != nullptr) ++callbacks_;
    if (input != output) return;  // the host always works in place
    const float gain = static_cast<float>(gain_) / 100.0f;
    for (TechChannel* channel = input; channel != nullptr; channel = channel->next) {
      for (uint32_t i = 0; i < frames; ++i) channel->samples[i] *= gain;
    }
    if (callback != nullptr && input != nullptr && (sends_ || receives_)) {
      SideChainCall(*input, frames, *callback);
    }
  }

 private:
  void SideChainCall(TechChannel& first, uint32_t frames, const TechCallback& callback) {
    const uint32_t count = std::min(frames, static_cast<uint32_t>(scratch_.size()));
    // Both kinds start from channel 0, so a call the host ignores leaves the audio as it was.
    std::copy_n(first.samples, count, scratch_.data());
    TechChannel other{scratch_.data(), kTechSideChainRole, 0, nullptr};
    TechChannel record{scratch_.data(), kTechSideChainRole, 0, nullptr};
    if (callMode_ == kLinked) record.next = &other;
    if (callMode_ == kRole6) record.role = 6;
    if (callMode_ == kNoSamples) record.samples = nullptr;
    callback.function(&record, callMode_ == kNoFrames ? 0 : count,
                      callMode_ == kNoContext ? nullptr : callback.context);
    if (receives_) std::copy_n(scratch_.data(), count, first.samples);
  }

  std::string techId_;
  uint32_t blockSize_ = 0, latency_ = 0;
  int32_t gain_ = 100, callMode_ = kNormal, calls_ = 0, callbacks_ = 0;
  bool sends_ = false, receives_ = false;
  std::vector<float> scratch_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) bool QORTechCreateProcess(const char* techId,
                                                                            TechProcess** process) {
  if (techId == nullptr || process == nullptr) return false;
  *process = nullptr;
  if (std::strcmp(techId, "Test NullCreate") == 0) return true;
  auto* created = new TestTechProcess(techId);
  if (created->known) *process = created;
  if (!created->known) delete created;
  return *process != nullptr;
}

extern "C" __attribute__((visibility("default"))) bool QORTechDestroyProcess(TechProcess* process) {
  auto* own = static_cast<TestTechProcess*>(process);
  delete own;
  return own != nullptr;
}

static_assert(std::is_same_v<decltype(&QORTechCreateProcess), QORTechCreateProcessFunction>);
static_assert(std::is_same_v<decltype(&QORTechDestroyProcess), QORTechDestroyProcessFunction>);

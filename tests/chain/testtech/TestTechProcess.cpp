#include "TestTechProcess.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

bool Is(const char* name, const char* expected) {
  return name != nullptr && std::strcmp(name, expected) == 0;
}

const TechControlDesc kLevel[] = {{"Level", -9600, 1200, 0, 0, 0, nullptr, 0, 0.5f}};

}  // namespace

TestTechProcess* TestTechProcess::Create(const char* techId) {
  if (techId == nullptr) return nullptr;
  auto* process = new TestTechProcess(techId);
  unsigned blockSize = 0, latency = 0;
  char end = 0;
  if (std::sscanf(techId, "Test Block %u %u%c", &blockSize, &latency, &end) == 2) {
    process->blockSize_ = blockSize;
    process->latency_ = latency;
    return process;
  }
  process->gain_ = Is(techId, "Test Gain") ? 50 : 100;
  process->sends_ = Is(techId, "QOR AEC/NR");
  process->receives_ = Is(techId, "QOR Clarix+");
  for (const char* known :
       {"Test Pass", "Test Gain", "Test FailInit", "Test BadCount", "QOR AEC/NR", "QOR Clarix+"}) {
    if (Is(techId, known)) return process;
  }
  delete process;
  return nullptr;
}

int32_t TestTechProcess::GetControlInfo(const TechControlDesc** descs) {
  *descs = kLevel;
  return techId_ == "Test BadCount" ? -2 : 0;
}

bool TestTechProcess::SetControlInt(const char* name, int32_t value) {
  int32_t* target = Is(name, "Gain") ? &gain_ : Is(name, "CallMode") ? &callMode_ : nullptr;
  if (target != nullptr) *target = value;
  return target != nullptr;
}

bool TestTechProcess::GetControlInt(const char* name, int32_t* value) {
  const std::pair<const char*, int32_t> numbers[] = {
      {"Gain", gain_},     {"CallMode", callMode_},   {"Calls", calls_},
      {"Frames", frames_}, {"BadBlocks", badBlocks_}, {"Callbacks", callbacks_}};
  for (const auto& [known, number] : numbers) {
    if (Is(name, known)) {
      *value = number;
      return true;
    }
  }
  return false;
}

bool TestTechProcess::GetControlString(const char* name, const char** value) {
  if (Is(name, "NullText")) *value = nullptr;  // success without a text
  return Is(name, "NullText");
}

bool TestTechProcess::TakeState(TechProcess* other) {
  auto* giving = dynamic_cast<TestTechProcess*>(other);
  if (giving == nullptr || giving == this || giving->techId_ != techId_) return false;
  gain_ = giving->gain_;
  frames_ = giving->frames_;
  return true;
}

bool TestTechProcess::Init(uint32_t, uint32_t) {
  if (techId_ == "Test FailInit") return false;
  scratch_.assign(std::max(blockSize_, 8192u), 0.0f);
  return true;
}

void TestTechProcess::Process(TechChannel* input, TechChannel* output, uint32_t frames,
                              const TechCallback* callback) {
  ++calls_;
  frames_ += static_cast<int32_t>(frames);
  if (blockSize_ != 0 && frames != blockSize_) ++badBlocks_;
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

void TestTechProcess::SideChainCall(TechChannel& first, uint32_t frames,
                                    const TechCallback& callback) {
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

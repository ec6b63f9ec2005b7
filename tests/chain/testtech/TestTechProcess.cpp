#include "TestTechProcess.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMinimumScratch = 8192;

const char* const kModeNames[] = {"Off", "Music", "Movie"};

// One control of every type; the scale fields differ from what the host derives, so a host that
// copied them would show.
const TechControlDesc kAllControls[] = {
    {"Level", -9600, 1200, 0, 0, 0, nullptr, kTechControlInteger, 0.5f},
    {"Enable", 0, 1, 0, 0, 0, nullptr, kTechControlSwitch, 3.0f},
    {"Gain", -1200, 1200, 0, 0, 0, nullptr, kTechControlHundredths, 7.0f},
    {"Mode", 0, 2, 0, 3, 0, kModeNames, kTechControlEnumerated, 1.0f},
};

bool Is(const char* name, const char* expected) {
  return name != nullptr && std::strcmp(name, expected) == 0;
}

}  // namespace

TestTechProcess::TestTechProcess(const TestTechRecipe& recipe)
    : recipe_(recipe), gain_(recipe.gain) {}

int32_t TestTechProcess::GetControlInfo(const TechControlDesc** descs) {
  if (recipe_.negativeCount) {
    *descs = kAllControls;
    return -2;
  }
  if (!recipe_.allControls) {
    *descs = nullptr;
    return 0;
  }
  *descs = kAllControls;
  return static_cast<int32_t>(std::size(kAllControls));
}

bool TestTechProcess::SetControlInt(const char* name, int32_t value) {
  int32_t* target = Is(name, "Gain") ? &gain_ : Is(name, "CallMode") ? &callMode_ : nullptr;
  if (target == nullptr) return false;
  *target = value;
  lastSet_ = std::string("int ") + name + " " + std::to_string(value);
  return true;
}

bool TestTechProcess::SetControlString(const char* name, const char* value) {
  if (!Is(name, "Label") || value == nullptr) return false;
  label_ = value;
  lastSet_ = std::string("text ") + name + " " + value;
  return true;
}

bool TestTechProcess::GetControlInt(const char* name, int32_t* value) {
  const std::pair<const char*, int32_t> numbers[] = {
      {"Gain", gain_},
      {"CallMode", callMode_},
      {"Calls", calls_},
      {"Frames", frames_},
      {"BadBlocks", badBlocks_},
      {"Channels", channels_},
      {"Callbacks", callbacks_},
      {"InitChannels", static_cast<int32_t>(initChannels_)},
      {"InitRate", static_cast<int32_t>(initRate_)},
  };
  for (const auto& [known, number] : numbers) {
    if (Is(name, known)) {
      *value = number;
      return true;
    }
  }
  return false;
}

bool TestTechProcess::GetControlString(const char* name, const char** value) {
  if (Is(name, "Label")) {
    *value = label_.c_str();
  } else if (Is(name, "LastSet")) {
    *value = lastSet_.c_str();
  } else if (Is(name, "NullText")) {
    *value = nullptr;  // success without a text
  } else if (Is(name, "Roles")) {
    rolesText_.clear();
    const int32_t shown = std::min<int32_t>(channels_, static_cast<int32_t>(roles_.size()));
    for (int32_t i = 0; i < shown; ++i) {
      if (i != 0) rolesText_ += ",";
      rolesText_ += std::to_string(roles_[static_cast<size_t>(i)]);
    }
    *value = rolesText_.c_str();
  } else {
    return false;
  }
  return true;
}

bool TestTechProcess::TakeState(TechProcess* other) {
  auto* giving = dynamic_cast<TestTechProcess*>(other);
  if (giving == nullptr || giving == this || giving->recipe_.techId != recipe_.techId) return false;
  gain_ = giving->gain_;
  frames_ = giving->frames_;
  return true;
}

bool TestTechProcess::Init(uint32_t channels, uint32_t sampleRate) {
  if (recipe_.initFails) return false;
  initChannels_ = channels;
  initRate_ = sampleRate;
  scratch_.assign(std::max(recipe_.blockSize, kMinimumScratch), 0.0f);
  return true;
}

void TestTechProcess::Process(TechChannel* input, TechChannel* output, uint32_t frames,
                              const TechCallback* callback) {
  ++calls_;
  frames_ += static_cast<int32_t>(frames);
  if (recipe_.blockSize != 0 && frames != recipe_.blockSize) ++badBlocks_;
  if (callback != nullptr) ++callbacks_;
  if (input != output) return;  // the host always works in place

  channels_ = 0;
  const float gain = static_cast<float>(gain_) / 100.0f;
  for (TechChannel* channel = input; channel != nullptr; channel = channel->next) {
    if (static_cast<size_t>(channels_) < roles_.size()) roles_[channels_] = channel->role;
    ++channels_;
    for (uint32_t i = 0; i < frames; ++i) channel->samples[i] *= gain;
  }
  if (callback != nullptr && input != nullptr &&
      recipe_.sideChain != TestTechRecipe::SideChain::kNone) {
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
  void* context = callback.context;
  uint32_t passed = count;
  switch (callMode_) {
    case kCallLinked:
      record.next = &other;
      break;
    case kCallRole6:
      record.role = 6;
      break;
    case kCallNoSamples:
      record.samples = nullptr;
      break;
    case kCallNoFrames:
      passed = 0;
      break;
    case kCallNoContext:
      context = nullptr;
      break;
    default:
      break;
  }
  callback.function(&record, passed, context);
  if (recipe_.sideChain == TestTechRecipe::SideChain::kReceive) {
    std::copy_n(scratch_.data(), count, first.samples);
  }
}

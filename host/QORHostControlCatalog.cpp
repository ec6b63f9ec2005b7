#include "QORHostControlCatalog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "chain/QORAPOProcessLibrary.h"
#include "chain/QORTechProcess.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "settings/ProcessEntry.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string ShortName(const std::string& name) {
  const size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

// A whole decimal number in 32 bits, nothing else in the text.
bool ParseWhole(const std::string& text, int32_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long number = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno != 0 || number < INT32_MIN || number > INT32_MAX) {
    return false;
  }
  *out = static_cast<int32_t>(number);
  return true;
}

std::string Scaled(int32_t value, float scale) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f", static_cast<double>(value) / scale);
  return text;
}

}  // namespace

const char* QORHostControlCatalog::TypeName(uint32_t type) {
  switch (type) {
    case kTechControlSwitch:
      return "switch";
    case kTechControlHundredths:
      return "hundredths";
    case kTechControlEnumerated:
      return "enumerated";
    default:
      return "integer";
  }
}

std::string QORHostControlCatalog::RangeText(const Info& info) {
  if (info.type == kTechControlEnumerated && !info.valueNames.empty()) {
    std::string names;
    for (const std::string& name : info.valueNames) names += (names.empty() ? "" : ", ") + name;
    return names;
  }
  std::string text = std::to_string(info.minimum) + ".." + std::to_string(info.maximum);
  if (info.scale != 1.0f) {
    text += " (" + Scaled(info.minimum, info.scale) + ".." + Scaled(info.maximum, info.scale) + ")";
  }
  return text;
}

bool QORHostControlCatalog::Load(const std::wstring& path, const QORAPOModeIdentity& mode) {
  infos_.clear();
  techIds_.clear();
  for (const char* name :
       {QORAPOGlobalSettings::kProcessEnable, QORAPOGlobalSettings::kMicMonitorEnable}) {
    Info global;
    global.name = name;
    global.type = kTechControlSwitch;
    global.maximum = 1;
    infos_[Lower(name)] = global;
  }
  // Each position reads its own chains from the file.
  for (int location = 0; location < QORAPOEndpointInfo::kPositionCount; ++location) {
    QORAPOConfigurationFile file;
    if (file.Load(path, QORAPOConfigurationFile::kSelectorPlain, static_cast<uint32_t>(location)) !=
        QORAPOConfigurationFile::kLoadOk) {
      continue;
    }
    std::shared_ptr<QORAPOOperatingMode> found;
    if (!file.FindOperatingMode(mode, found)) continue;
    for (const ChainEntry& chain : found->GetChainDefinition().GetEntries()) {
      for (const ProcessEntry& process : chain.processes) {
        if (process.techId == ProcessEntry::kDownmix || process.techId == ProcessEntry::kUpmix ||
            process.techId == ProcessEntry::kSidechainPipe ||
            std::find(techIds_.begin(), techIds_.end(), process.techId) != techIds_.end()) {
          continue;
        }
        techIds_.push_back(process.techId);
      }
    }
  }
  libraryPath_ = QORWideToUtf8(QORAPOProcessLibrary::GetPath());
  bool loaded = techIds_.empty();
  for (const std::string& techId : techIds_) {
    QORAPOProcessLibrary library;
    if (!library.CreateProcess(techId)) continue;
    loaded = true;
    const TechControlDesc* descs = nullptr;
    const int32_t count = library.GetProcess()->GetControlInfo(&descs);
    for (int32_t i = 0; descs != nullptr && i < count; ++i) {
      const TechControlDesc& desc = descs[i];
      if (desc.name == nullptr) continue;
      Info info;
      info.name = desc.name;
      info.techId = techId;
      info.minimum = desc.minimum;
      info.maximum = desc.maximum;
      info.type = desc.type;
      info.scale = desc.type == kTechControlHundredths ? 100.0f : 1.0f;
      for (uint32_t n = 0; desc.valueNames != nullptr && n < desc.valueNameCount; ++n) {
        info.valueNames.emplace_back(desc.valueNames[n] != nullptr ? desc.valueNames[n] : "");
      }
      // The first process that describes a name speaks for it.
      infos_.emplace(Lower(info.name), info);
    }
  }
  return loaded;
}

const QORHostControlCatalog::Info* QORHostControlCatalog::Find(const std::string& name) const {
  auto found = infos_.find(Lower(name));
  if (found == infos_.end()) found = infos_.find(Lower(ShortName(name)));
  return found == infos_.end() ? nullptr : &found->second;
}

bool QORHostControlCatalog::Check(const std::string& name, const std::string& value,
                                  std::string* stored, std::string* error) const {
  const Info* info = Find(name);
  if (info == nullptr) {
    *stored = value;
    return true;
  }
  const std::string lower = Lower(value);
  int32_t number = 0;
  const bool whole = ParseWhole(value, &number);
  if (info->type == kTechControlSwitch) {
    if (lower == "on" || lower == "enabled") number = 1;
    if (lower == "off" || lower == "disabled") number = 0;
    if ((whole || lower == "on" || lower == "enabled" || lower == "off" || lower == "disabled") &&
        number >= info->minimum && number <= info->maximum) {
      *stored = std::to_string(number);
      return true;
    }
    *error = "'" + value + "' is outside the range of '" + name + "': a switch, " +
             std::to_string(info->minimum) + ".." + std::to_string(info->maximum) +
             " (also Off/On); nothing was written";
    return false;
  }
  if (info->type == kTechControlEnumerated && !info->valueNames.empty()) {
    for (size_t i = 0; i < info->valueNames.size(); ++i) {
      if (Lower(info->valueNames[i]) == lower ||
          (whole && number == static_cast<int32_t>(i) && number >= info->minimum &&
           number <= info->maximum)) {
        *stored = info->valueNames[i];
        return true;
      }
    }
    *error = "'" + value + "' is not a value of '" + name + "': one of " + RangeText(*info) +
             " (or 0.." + std::to_string(info->valueNames.size() - 1) + "); nothing was written";
    return false;
  }
  if (whole && number >= info->minimum && number <= info->maximum) {
    *stored = std::to_string(number);
    return true;
  }
  *error = "'" + value + "' is outside the range of '" + name + "': " + RangeText(*info) + " (" +
           TypeName(info->type) +
           (info->type == kTechControlHundredths ? ", a whole number of "
                                                   "hundredths"
                                                 : ", a whole number") +
           "); nothing was written";
  return false;
}

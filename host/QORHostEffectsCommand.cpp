#include "QORHostEffectsCommand.h"
#include "engine/QORHostEngineSetup.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "QORHostProcessCommand.h"
#include "QORHostRegisterCommand.h"
#include "common/QORTextConvert.h"
#include "engine/QORHostEngine.h"
#include "platform/IAudioSystemEffects2.h"
#include "platform/QORComApi.h"
#include "platform/QORHResult.h"

namespace {

using nlohmann::json;

// The platform's audio effect types.
constexpr struct {
  GUID type;
  const char* name;
} kEffects[] = {
    {{0x6F64ADC3, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}}, "equaliser"},
    {{0x6F64ADC4, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}},
     "loudness equaliser"},
    {{0x6F64ADC5, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}}, "bass boost"},
    {{0x6F64ADC6, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}},
     "virtual surround"},
    {{0x6F64ADC7, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}},
     "virtual headphones"},
    {{0x6F64ADCC, 0x8211, 0x11E2, {0x8C, 0x70, 0x2C, 0x27, 0xD7, 0xF0, 0x01, 0xFA}},
     "speaker protection"},
};

std::string Hex(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<uint32_t>(result));
  return text;
}

}  // namespace

const char* QORHostEffectsCommand::EffectName(const GUID& effect) {
  for (const auto& entry : kEffects) {
    if (entry.type == effect) return entry.name;
  }
  return "";
}

CLI::App* QORHostEffectsCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "effects", "The effects each graph position's APO object reports, by name");
  QORHostOutput::AddEndpoint(command, &endpoint_);
  command->add_option("--positions", positions_,
                      "Positions to ask, e.g. SFX,MFX,EFX (default: every registered one)");
  command->add_option("--module", module_,
                      "The APO module (default: as `qorapo process` finds it)");
  QORHostOutput::AddJson(command, &json_);
  QORHostOutput::Example(command, "qorapo effects --endpoint \"QOR Demo Speakers\" --json");
  return command;
}

int QORHostEffectsCommand::Run() {
  std::string error;
  std::vector<int> locations;
  if (!positions_.empty() &&
      !QORHostProcessCommand::ParsePositions(positions_, &locations, &error)) {
    return QORHostOutput::Error(QORHostOutput::kUsage, error);
  }
  QORAPOEndpointInfo endpoint;
  if (!QORHostEndpointSetup::Find(endpoint_, &endpoint, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  if (locations.empty()) {
    for (int location = 0; location < QORAPOEndpointInfo::kPositionCount; ++location) {
      if (endpoint.GetPosition(location).guid != GUID_NULL) locations.push_back(location);
    }
  }
  for (const int location : locations) {
    if (endpoint.GetPosition(location).guid == GUID_NULL) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  std::string("the endpoint has no effect class registered at ") +
                                      QORHostEndpointSetup::LocationName(location) +
                                      "; see `qorapo endpoint show` for the positions it has");
    }
  }
  if (locations.empty()) {
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                "the endpoint has no effect classes registered; add them with "
                                "`qorapo endpoint add ... --fx SFX`");
  }
  std::wstring module = QORUtf8ToWide(module_);
  if (module.empty()) {
    module = QORHostEngineSetup::RegisteredModule(endpoint.GetPosition(locations[0]).guid);
  }
  if (module.empty()) module = QORHostRegisterCommand::DefaultModule();
  QORHostEngine engine;
  if (!engine.LoadModule(module, &error) || !engine.Create(endpoint, locations, &error, true)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  json positions = json::array();
  std::vector<std::string> failures;
  for (const QORHostEngine::Stage& stage : engine.Stages()) {
    json entry;
    entry["position"] = QORHostEndpointSetup::LocationName(stage.location);
    entry["class"] = stage.name;
    QORComPtr<IAudioSystemEffects2> effects;
    HRESULT result = stage.apo->QueryInterface(IID_IAudioSystemEffects2, effects.PutVoid());
    GUID* ids = nullptr;
    UINT count = 0;
    if (SUCCEEDED(result)) result = effects->GetEffectsList(&ids, &count, nullptr);
    entry["result"] = Hex(result);
    json names = json::array();
    json guids = json::array();
    for (UINT i = 0; SUCCEEDED(result) && ids != nullptr && i < count; ++i) {
      const std::string name = EffectName(ids[i]);
      const std::string text = QORWideToUtf8(QORGuidToString(ids[i]));
      names.push_back(name.empty() ? text : name);
      guids.push_back(text);
    }
    CoTaskMemFree(ids);
    entry["effects"] = names;
    entry["guids"] = guids;
    if (FAILED(result)) {
      failures.push_back(std::string(QORHostEndpointSetup::LocationName(stage.location)) + " (" +
                         stage.name + "): " +
                         (result == E_NOTIMPL ? "the object does not report an effects list "
                                                "(E_NOTIMPL); this module does not implement "
                                                "GetEffectsList yet"
                                              : "GetEffectsList failed with " + Hex(result)));
    }
    positions.push_back(entry);
  }
  if (json_) {
    QORHostOutput::Print(positions);
  } else {
    for (const json& entry : positions) {
      std::string list;
      for (const json& name : entry["effects"]) {
        list += (list.empty() ? "" : ", ") + name.get<std::string>();
      }
      std::printf("%-8s %-14s %s\n", entry["position"].get<std::string>().c_str(),
                  entry["class"].get<std::string>().c_str(),
                  entry["result"] != "0x00000000" ? "-"
                  : list.empty()                  ? "(none)"
                                                  : list.c_str());
    }
  }
  for (const std::string& failure : failures) QORHostOutput::Error(QORHostOutput::kFailed, failure);
  return failures.empty() ? QORHostOutput::kOk : QORHostOutput::kFailed;
}

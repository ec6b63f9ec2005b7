#include "apo/QORAPOEffectsList.h"

#include <memory>

#include "common/QORTrace.h"
#include "drivers/KELAPOIntelDriverInterface_SKL.h"
#include "drivers/QORAPOIntelDriverInterface_BRW.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOEndpointTools.h"
#include "endpoint/QORAPOModeSelector.h"
#include "endpoint/QORAPOPublicSettings.h"
#include "manager/QORAPOProcessManager.h"
#include "platform/QORHResult.h"
#include "settings/QORAPOConfigurationFile.h"
#include "settings/QORUTSValueList.h"

namespace {

// The effects list's lines keep the trace point of the engine's call.
constexpr QORTracePoint Point(int line) {
  return {"CQOR_LFX_APO_Varion_Base", line, "CQOR_LFX_APO_Varion_Base::GetEffectsList"};
}

struct ModeControl {
  const char* name;
  const GUID* effect;
};

// In this order; a control is on when its text is "1".
const ModeControl kModeControls[] = {
    {"MFX:ZR3D-GEQ Enable", &QORAPOEffectsList::kEqualizer},
    {"MFX:ZR3D-AmploHD Enable", &QORAPOEffectsList::kLoudnessEqualizer},
    {"ZR3D-GravHD Boost Enable", &QORAPOEffectsList::kBassBoost},
    {"MFX:LUXSND-GEQ Enable", &QORAPOEffectsList::kEqualizer},
    {"MFX:LUXSND-AmploHD Enable", &QORAPOEffectsList::kLoudnessEqualizer},
    {"LUXSND-GravHD Boost Enable", &QORAPOEffectsList::kBassBoost},
};

bool IsOn(const QORUTSValueList& controls, const char* name) {
  const QORUTSValue* control = controls.Find(name);
  return control != nullptr && control->GetValueText() == "1";
}

void AddIf(bool on, const GUID& effect, std::vector<GUID>& list) {
  if (on) list.push_back(effect);
}

}  // namespace

std::vector<GUID> QORAPOEffectsList::Discover(int32_t location, const GUID& mode,
                                              const std::wstring& endpointGuid) {
  QORTrace(Point(__LINE__), "Discovering DSP APO effects list.\n");
  std::vector<GUID> list;
  if (FromBroadwell(location, list) || FromSkylake(location, list)) return list;
  return FromSettings(location, mode, endpointGuid);
}

bool QORAPOEffectsList::FromBroadwell(int32_t location, std::vector<GUID>& list) {
  QORAPOIntelDriverInterface_BRW driver(kBroadwellModuleId);
  // The driver is in use once it accepted the set-status request.
  int32_t status = static_cast<int32_t>(E_FAIL);
  if (driver.OpenIntelDriver()) {
    int32_t answered = 0;
    if (driver.SetStatus(&answered)) status = answered;
  }
  QORTrace(Point(__LINE__), "Broadwell driver status=0x%x", static_cast<uint32_t>(status));
  if (status != 0) return false;
  int32_t moduleStatus = -1;
  std::string name;
  std::string second;
  if (!driver.GetModuleInfo(&moduleStatus, &name, &second) || moduleStatus != 0 ||
      name != kBroadwellModuleName) {
    return false;
  }
  if (location == APO_FX_EFX) {
    QORTrace(Point(__LINE__), "KELAPO GetEffectList() EFX.\n");
    AddIf(driver.QueryParameter22() || driver.QueryParameter5(), kSpeakerProtection, list);
  } else {
    QORTrace(Point(__LINE__), "KELAPO GetEffectList() MFX.\n");
    AddIf(driver.ReadParameterWord0(6, 4), kEqualizer, list);
    AddIf(driver.QueryParameter5() || driver.QueryParameter22(), kSpeakerProtection, list);
    AddIf(driver.QueryParameter21Offset48(), kBassBoost, list);
    AddIf(driver.ReadParameterWord0(20, 12), kLoudnessEqualizer, list);
    AddIf(driver.QueryParameter21(), kVirtualSurround, list);
  }
  return true;
}

bool QORAPOEffectsList::FromSkylake(int32_t location, std::vector<GUID>& list) {
  HRESULT status = E_FAIL;
  KELAPOIntelDriverInterface_SKL driver(&status);
  QORTrace(Point(__LINE__), "Skylake driver status=0x%x", static_cast<uint32_t>(status));
  if (status != S_OK) return false;
  if (location == APO_FX_EFX) {
    QORTrace(Point(__LINE__), "KELAPO GetEffectList() EFX.\n");
    AddIf(driver.Query1001440B() || driver.Query10014405Offset16(), kSpeakerProtection, list);
  } else {
    QORTrace(Point(__LINE__), "KELAPO GetEffectList() MFX.\n");
    AddIf(driver.ReadParameterWord0(0x10014407, 16), kEqualizer, list);
    AddIf(driver.Query10014405Offset16() || driver.Query1001440B(), kSpeakerProtection, list);
    AddIf(driver.Query10014404(), kBassBoost, list);
    AddIf(driver.Query10014402(), kLoudnessEqualizer, list);
    AddIf(driver.Query10014405Offset0(), kVirtualSurround, list);
  }
  return true;
}

std::vector<GUID> QORAPOEffectsList::FromSettings(int32_t location, const GUID& mode,
                                                  const std::wstring& endpointGuid) {
  if (mode == kRawMode) return {};
  // The GUIDs are compared, not their texts: the engine's text may differ in letter case.
  GUID wanted = GUID_NULL;
  if (!QORGuidFromString(endpointGuid, &wanted)) return {};
  std::vector<QORAPOEndpointInfo> endpoints;
  QORAPOEndpointTools tools;
  tools.EnumerateEndpoints(endpoints);
  for (const QORAPOEndpointInfo& endpoint : endpoints) {
    if (endpoint.GetEndpointGuid() == wanted) return FromControls(location, endpoint);
  }
  return {};
}

std::vector<GUID> QORAPOEffectsList::FromControls(int32_t location,
                                                  const QORAPOEndpointInfo& endpoint) {
  QORAPOConfigurationFile configuration;
  QORUTSValueList controls;
  if (configuration.Load(endpoint.GetConfigurationPath(), QORAPOConfigurationFile::kSelectorPlain,
                         static_cast<uint32_t>(location)) == QORAPOConfigurationFile::kLoadOk) {
    QORAPOModeSelector selector;
    selector.Init(endpoint, configuration.GetDefaultMode());
    QORAPOModeIdentity identity = configuration.GetDefaultMode();
    selector.GetMode(identity);
    // A stored mode the file does not know gives way to the default, as for the chains.
    std::shared_ptr<QORAPOOperatingMode> operatingMode;
    if (configuration.FindOperatingMode(identity, operatingMode) ||
        configuration.FindOperatingMode(configuration.GetDefaultMode(), operatingMode)) {
      QORAPOPublicSettings settings;
      if (settings.Init(endpoint, *operatingMode)) settings.ReadControls(controls, true);
    }
  }

  std::vector<GUID> list;
  if (location == APO_FX_SFX || location == APO_FX_OSFX) {
    if (IsOn(controls, "NUV-Process Enable")) {
      list.push_back(kVirtualHeadphones);
      list.push_back(kEqualizer);
    }
  } else if (location == APO_FX_EFX) {
    QORTrace(Point(__LINE__), "KELAPO:GetEffectList: Return EFX Audio Effect Lists.\n");
    list.push_back(kSpeakerProtection);
  } else {
    QORTrace(Point(__LINE__), "KELAPO:GetEffectList: Return MFX Audio Effect Lists.\n");
    if (location == APO_FX_MFX || location == APO_FX_OMFX) {
      for (const ModeControl& row : kModeControls)
        AddIf(IsOn(controls, row.name), *row.effect, list);
    }
  }
  return list;
}

#include "QORHostControlPanel.h"

#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOPublicSettings.h"

namespace {

bool IsGlobal(const std::string& name) {
  return name == QORAPOGlobalSettings::kProcessEnable ||
         name == QORAPOGlobalSettings::kMicMonitorEnable;
}

std::string Short(const std::string& text) {
  return text.rfind("VAPO3-", 0) == 0 ? text.substr(6) : text;
}

}  // namespace

bool QORHostControlPanel::Open(const QORAPOEndpointInfo& endpoint, std::string* error) {
  endpoint_ = endpoint;
  const uint32_t loaded = configuration_.Load(endpoint.GetConfigurationPath(),
                                              QORAPOConfigurationFile::kSelectorPlain, 1);
  if (loaded != QORAPOConfigurationFile::kLoadOk) {
    *error = "cannot read the endpoint's configuration '" +
             QORWideToUtf8(endpoint.GetConfigurationPath()) + "' (load result " +
             std::to_string(loaded) + "); check the file or the endpoint's configuration path";
    return false;
  }
  if (!selector_.Init(endpoint_, configuration_.GetDefaultMode())) {
    *error = "the endpoint's settings key does not exist; run `qorapo demo-setup` or create it";
    return false;
  }
  return true;
}

std::string QORHostControlPanel::Prefixed(const std::string& text) {
  return text.rfind("VAPO3-", 0) == 0 ? text : "VAPO3-" + text;
}

QORAPOModeIdentity QORHostControlPanel::CurrentMode() {
  QORAPOModeIdentity mode;
  if (!selector_.GetMode(mode)) mode = configuration_.GetDefaultMode();
  return mode;
}

bool QORHostControlPanel::FindMode(const QORAPOModeIdentity& id,
                                   std::shared_ptr<QORAPOOperatingMode>* out) {
  return configuration_.FindOperatingMode(id, *out);
}

std::string QORHostControlPanel::ModeList() const {
  std::string list;
  for (const auto& mode : configuration_.GetOperatingModes()) {
    if (mode->IsAutoMic()) continue;
    list += (list.empty() ? "" : ", ") + Short(mode->GetModeIdentity().GetMode().GetValueText()) +
            "/" + Short(mode->GetModeIdentity().GetSpeakerType().GetValueText());
  }
  return list;
}

bool QORHostControlPanel::SetMode(const std::string& mode, const std::string& speaker,
                                  std::string* error) {
  QORAPOModeIdentity current = CurrentMode();
  const QORAPOModeIdentity wanted(
      mode.empty() ? current.GetMode().GetValueText() : Prefixed(mode),
      speaker.empty() ? current.GetSpeakerType().GetValueText() : Prefixed(speaker));
  std::shared_ptr<QORAPOOperatingMode> found;
  if (!FindMode(wanted, &found)) {
    *error = "the configuration has no mode " + Short(wanted.GetMode().GetValueText()) + "/" +
             Short(wanted.GetSpeakerType().GetValueText()) + "; use one of " + ModeList();
    return false;
  }
  if (!selector_.SetMode(wanted)) {
    *error = "cannot store the current mode in the endpoint's settings key";
    return false;
  }
  return true;
}

bool QORHostControlPanel::Set(const std::string& name, const std::string& value,
                              std::string* error) {
  if (name == "mode") return SetMode(value, "", error);
  if (name == "speaker") return SetMode("", value, error);
  const QORUTSValue control(name, value.c_str());
  if (IsGlobal(name)) {
    QORAPOGlobalSettings global;
    if (global.InitGlobal(endpoint_) && global.WriteControl(control)) return true;
    *error = "cannot write the global switch '" + name + "'";
    return false;
  }
  std::shared_ptr<QORAPOOperatingMode> mode;
  const QORAPOModeIdentity current = CurrentMode();
  if (!FindMode(current, &mode)) {
    *error = "the current mode is not in the configuration; choose one with --mode";
    return false;
  }
  if (mode->GetPublicControls().Find(name) == nullptr) {
    std::string names = std::string(QORAPOGlobalSettings::kProcessEnable) + ", " +
                        QORAPOGlobalSettings::kMicMonitorEnable;
    for (const auto& [publicName, publicValue] : mode->GetPublicControls().Values()) {
      names += ", " + publicName;
    }
    *error = "'" + name + "' is not a public control of mode " +
             Short(current.GetMode().GetValueText()) + "/" +
             Short(current.GetSpeakerType().GetValueText()) + "; the controls you can set are " +
             names;
    return false;
  }
  QORAPOPublicSettings settings;
  if (settings.Init(endpoint_, *mode) && settings.WriteControl(control)) return true;
  *error = "cannot write the public control '" + name + "'";
  return false;
}

bool QORHostControlPanel::Get(const std::string& name, std::string* value, std::string* error) {
  const QORAPOModeIdentity current = CurrentMode();
  if (name == "mode" || name == "speaker") {
    *value = (name == "mode" ? current.GetMode() : current.GetSpeakerType()).GetValueText();
    return true;
  }
  QORUTSValueList controls;
  if (IsGlobal(name)) {
    QORAPOGlobalSettings global;
    global.InitGlobal(endpoint_);
    global.ReadControls(controls, true);
  } else {
    std::shared_ptr<QORAPOOperatingMode> mode;
    if (FindMode(current, &mode)) {
      QORAPOPublicSettings settings;
      if (settings.Init(endpoint_, *mode)) {
        settings.ReadControls(controls, true);
        if (controls.Empty()) controls = mode->GetPublicControls();
      }
    }
  }
  if (const QORUTSValue* found = controls.Find(name)) {
    *value = found->GetValueText();
    return true;
  }
  *error = "'" + name + "' is not a control of this endpoint's current mode";
  return false;
}

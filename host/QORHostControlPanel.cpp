#include "QORHostControlPanel.h"

#include <algorithm>

#include "common/QORTextConvert.h"
#include "endpoint/QORAPOGlobalSettings.h"
#include "endpoint/QORAPOPublicSettings.h"

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

bool QORHostControlPanel::IsGlobal(const std::string& name) {
  return name == QORAPOGlobalSettings::kProcessEnable ||
         name == QORAPOGlobalSettings::kMicMonitorEnable;
}

std::string QORHostControlPanel::Short(const std::string& text) {
  return text.rfind("VAPO3-", 0) == 0 ? text.substr(6) : text;
}

std::string QORHostControlPanel::ShortName(const QORAPOModeIdentity& id) {
  return Short(id.GetMode().GetValueText()) + "/" + Short(id.GetSpeakerType().GetValueText());
}

bool QORHostControlPanel::HasStoredMode() {
  QORAPOModeIdentity mode;
  return selector_.GetMode(mode);
}

bool QORHostControlPanel::ResolveMode(const std::string& text, const std::string& speaker,
                                      std::shared_ptr<QORAPOOperatingMode>* out,
                                      std::string* error) {
  return ResolveMode(CurrentMode(), text, speaker, out, error);
}

bool QORHostControlPanel::ResolveMode(const QORAPOModeIdentity& base, const std::string& text,
                                      const std::string& speaker,
                                      std::shared_ptr<QORAPOOperatingMode>* out,
                                      std::string* error) {
  std::string modeText = text;
  std::string speakerText = speaker;
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    modeText = text.substr(0, slash);
    if (speakerText.empty()) speakerText = text.substr(slash + 1);
  }
  const QORAPOModeIdentity wanted(
      modeText.empty() ? base.GetMode().GetValueText() : Prefixed(modeText),
      speakerText.empty() ? base.GetSpeakerType().GetValueText() : Prefixed(speakerText));
  if (!FindMode(wanted, out)) {
    *error = "the configuration has no mode " + ShortName(wanted) + "; use one of " + ModeList() +
             " (see `qorapo mode list`)";
    return false;
  }
  if ((*out)->IsAutoMic()) {
    *error = "mode " + ShortName(wanted) + " is one the capture side picks by itself; use one of " +
             ModeList();
    return false;
  }
  return true;
}

bool QORHostControlPanel::ReadPublic(QORAPOOperatingMode& mode, QORUTSValueList* out,
                                     std::string* error) {
  QORAPOPublicSettings settings;
  if (!settings.Init(endpoint_, mode)) {
    *error = "cannot read the public controls from the endpoint's settings key '" +
             QORWideToUtf8(endpoint_.GetRegistrySubkey()) + "'";
    return false;
  }
  // With nothing stored yet the read fails but still gives the file's values.
  settings.ReadControls(*out, true);
  return true;
}

bool QORHostControlPanel::ReadGlobal(QORUTSValueList* out, std::string* error) {
  QORAPOGlobalSettings global;
  if (!global.InitGlobal(endpoint_)) {
    *error = "cannot read the global switches from the endpoint's settings key '" +
             QORWideToUtf8(endpoint_.GetRegistrySubkey()) + "'";
    return false;
  }
  global.ReadControls(*out, true);
  return true;
}

bool QORHostControlPanel::WritePublic(QORAPOOperatingMode& mode, const QORUTSValueList& controls,
                                      std::string* error) {
  for (const auto& [name, value] : controls.Values()) {
    if (mode.GetPublicControls().Find(name) == nullptr) {
      *error =
          "'" + name + "' is not a public control of mode " + ShortName(mode.GetModeIdentity());
      return false;
    }
  }
  QORAPOPublicSettings settings;
  if (settings.Init(endpoint_, mode) && settings.WriteControls(controls)) return true;
  *error = "cannot write the public controls to the endpoint's settings key '" +
           QORWideToUtf8(endpoint_.GetRegistrySubkey()) + "'";
  return false;
}

bool QORHostControlPanel::WriteGlobal(const QORUTSValueList& controls, std::string* error) {
  QORAPOGlobalSettings global;
  if (global.InitGlobal(endpoint_) && global.WriteControls(controls)) return true;
  *error = "cannot write the global switches to the endpoint's settings key '" +
           QORWideToUtf8(endpoint_.GetRegistrySubkey()) + "'";
  return false;
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
  const QORAPOModeIdentity current = CurrentMode();
  // An empty half keeps the current one's, even when the other names a slash form.
  const std::string modeText = mode.empty() ? Short(current.GetMode().GetValueText()) : mode;
  std::shared_ptr<QORAPOOperatingMode> found;
  if (!ResolveMode(modeText, speaker, &found, error)) return false;
  if (!selector_.SetMode(found->GetModeIdentity())) {
    *error = "cannot store the current mode in the endpoint's settings key";
    return false;
  }
  return true;
}

const QORHostControlCatalog& QORHostControlPanel::Catalog(const QORAPOModeIdentity& mode,
                                                          bool* described) {
  const std::string key = ShortName(mode);
  auto found = catalogs_.find(key);
  if (found == catalogs_.end()) {
    found = catalogs_.emplace(key, Described{}).first;
    found->second.loaded = found->second.catalog.Load(endpoint_.GetConfigurationPath(), mode);
    const std::string warning = "the technology library '" + found->second.catalog.LibraryPath() +
                                "' cannot be loaded, so no range is known and values are not "
                                "checked";
    if (!found->second.loaded &&
        std::find(warnings_.begin(), warnings_.end(), warning) == warnings_.end()) {
      warnings_.push_back(warning);
    }
  }
  if (described != nullptr) *described = found->second.loaded;
  return found->second.catalog;
}

bool QORHostControlPanel::Check(QORAPOModeIdentity* inForce, const std::string& name,
                                const std::string& value, std::string* stored, std::string* error) {
  if (name == "mode" || name == "speaker") {
    // As SetMode: the half not named stays the one in force.
    std::shared_ptr<QORAPOOperatingMode> found;
    if (!ResolveMode(*inForce, name == "mode" ? value : Short(inForce->GetMode().GetValueText()),
                     name == "speaker" ? value : "", &found, error)) {
      return false;
    }
    *inForce = found->GetModeIdentity();
    *stored = value;
    return true;
  }
  if (!IsGlobal(name)) {
    std::shared_ptr<QORAPOOperatingMode> mode;
    if (!FindMode(*inForce, &mode)) {
      *error = "the current mode " + ShortName(*inForce) +
               " is not in the configuration; choose one of " + ModeList();
      return false;
    }
    if (mode->GetPublicControls().Find(name) == nullptr) {
      std::string names = std::string(QORAPOGlobalSettings::kProcessEnable) + ", " +
                          QORAPOGlobalSettings::kMicMonitorEnable;
      for (const auto& [publicName, publicValue] : mode->GetPublicControls().Values()) {
        names += ", " + publicName;
      }
      *error = "'" + name + "' is not a public control of mode " + ShortName(*inForce) +
               " nor a global switch; the controls you can set are " + names +
               " (see `qorapo control list`)";
      return false;
    }
  }
  return Catalog(*inForce).Check(name, value, stored, error);
}

bool QORHostControlPanel::Set(const std::string& name, const std::string& value,
                              std::string* error) {
  QORAPOModeIdentity inForce = CurrentMode();
  std::string stored;
  return Check(&inForce, name, value, &stored, error) && Write(CurrentMode(), name, stored, error);
}

bool QORHostControlPanel::Restore(const QORAPOModeIdentity& mode, const std::string& name,
                                  const std::string& value, std::string* error) {
  return Write(mode, name, value, error);
}

bool QORHostControlPanel::Write(const QORAPOModeIdentity& id, const std::string& name,
                                const std::string& value, std::string* error) {
  if (name == "mode") return SetMode(value, "", error);
  if (name == "speaker") return SetMode("", value, error);
  QORUTSValueList controls;
  controls.Set(QORUTSValue(name, value.c_str()));
  if (IsGlobal(name)) return WriteGlobal(controls, error);
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!FindMode(id, &mode)) {
    *error = "the mode " + ShortName(id) + " is not in the configuration";
    return false;
  }
  return WritePublic(*mode, controls, error);
}

bool QORHostControlPanel::Get(const std::string& name, std::string* value, std::string* error) {
  return Get(CurrentMode(), name, value, error);
}

bool QORHostControlPanel::Get(const QORAPOModeIdentity& current, const std::string& name,
                              std::string* value, std::string* error) {
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

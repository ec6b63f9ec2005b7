#include "QORHostControlCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "QORHostControlCatalog.h"
#include "QORHostControlPanel.h"
#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "endpoint/QORAPOGlobalSettings.h"

namespace {

using nlohmann::json;

// The global switches and what they are when nothing is stored.
constexpr struct {
  const char* name;
  const char* value;
} kGlobals[] = {{QORAPOGlobalSettings::kProcessEnable, "1"},
                {QORAPOGlobalSettings::kMicMonitorEnable, "0"}};

void Describe(const QORHostControlCatalog& catalog, const std::string& name, json* entry) {
  const QORHostControlCatalog::Info* info = catalog.Find(name);
  (*entry)["described"] = info != nullptr;
  if (info == nullptr) return;
  (*entry)["techId"] = info->techId.empty() ? json(nullptr) : json(info->techId);
  (*entry)["type"] = QORHostControlCatalog::TypeName(info->type);
  (*entry)["minimum"] = info->minimum;
  (*entry)["maximum"] = info->maximum;
  (*entry)["scale"] = info->scale;
  (*entry)["valueNames"] = info->valueNames;
  (*entry)["range"] = QORHostControlCatalog::RangeText(*info);
}

const json* FindEntry(const json& controls, const std::string& name) {
  for (const json& entry : controls) {
    if (entry["name"].get<std::string>() == name) return &entry;
  }
  return nullptr;
}

std::string Names(const json& controls) {
  std::string names;
  for (const json& entry : controls) {
    names += (names.empty() ? "" : ", ") + entry["name"].get<std::string>();
  }
  return names;
}

}  // namespace

CLI::App* QORHostControlCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "control", "Public controls of a mode and global switches, as a control panel sets them");
  command->require_subcommand(1);
  QORHostOutput::Example(
      command, "qorapo control list\nqorapo control set \"ZR3D-GravHD Boost Enable\" Off");
  const char* modeHelp = "Mode such as Movie or Movie/Headphones (default: the current mode)";
  auto common = [&](CLI::App* sub) {
    QORHostOutput::AddEndpoint(sub, &endpoint_);
    sub->add_option("--mode", mode_, modeHelp);
    QORHostOutput::AddJson(sub, &json_);
  };

  list_ = command->add_subcommand(
      "list", "Each control's value, default, and range, unit and value names where described");
  common(list_);
  QORHostOutput::Example(list_, "qorapo control list --mode Music/Speakers --json");

  get_ = command->add_subcommand("get", "One control's value");
  get_->add_option("NAME", name_, "Control name")->required();
  common(get_);
  QORHostOutput::Example(get_, "qorapo control get \"ZR3D-GEQ Enable\"");

  set_ = command->add_subcommand(
      "set", "Write one control; a value outside its range is refused and nothing is written");
  set_->add_option("NAME", name_, "Control name")->required();
  set_->add_option("VALUE", value_, "Value: a whole number, On/Off, or one of its value names")
      ->required();
  common(set_);
  QORHostOutput::Example(set_, "qorapo control set \"VAPO3-Process Enable\" 0");

  reset_ = command->add_subcommand(
      "reset",
      "Put controls back to the configuration's values (no NAME: every public control "
      "of the mode)");
  reset_->add_option("NAME", names_, "Control names");
  common(reset_);
  QORHostOutput::Example(reset_, "qorapo control reset --mode Movie");
  return command;
}

int QORHostControlCommand::Run() {
  if (!list_->parsed() && !get_->parsed() && !set_->parsed() && !reset_->parsed()) {
    return QORHostOutput::kUsage;
  }
  QORHostControlPanel panel;
  std::shared_ptr<QORAPOOperatingMode> mode;
  QORHostControlCatalog catalog;
  json controls;
  if (!Open(&panel, &mode, &catalog) || !Collect(panel, *mode, catalog, &controls)) {
    return QORHostOutput::kFailed;
  }
  if (list_->parsed()) return List(*mode, controls);
  if (get_->parsed()) return Get(*mode, controls);
  if (set_->parsed()) return Set(panel, *mode, catalog, controls);
  return Reset(panel, *mode, controls);
}

bool QORHostControlCommand::Open(QORHostControlPanel* panel,
                                 std::shared_ptr<QORAPOOperatingMode>* mode,
                                 QORHostControlCatalog* catalog) {
  QORAPOEndpointInfo endpoint;
  std::string error;
  if (!QORHostEndpointSetup::Find(endpoint_, &endpoint, &error) || !panel->Open(endpoint, &error) ||
      !panel->ResolveMode(mode_, "", mode, &error)) {
    QORHostOutput::Error(QORHostOutput::kFailed, error);
    return false;
  }
  *catalog = panel->Catalog((*mode)->GetModeIdentity());
  for (const std::string& warning : panel->Warnings()) {
    std::fprintf(stderr, "qorapo: warning: %s\n", warning.c_str());
  }
  return true;
}

bool QORHostControlCommand::Collect(QORHostControlPanel& panel, QORAPOOperatingMode& mode,
                                    const QORHostControlCatalog& catalog, json* out) {
  std::string error;
  QORUTSValueList global;
  QORUTSValueList values;
  if (!panel.ReadGlobal(&global, &error) || !panel.ReadPublic(mode, &values, &error)) {
    QORHostOutput::Error(QORHostOutput::kFailed, error);
    return false;
  }
  *out = json::array();
  for (const auto& entry : kGlobals) {
    json control;
    control["name"] = entry.name;
    control["scope"] = "global";
    const QORUTSValue* value = global.Find(entry.name);
    control["value"] = value != nullptr ? value->GetValueText() : entry.value;
    control["default"] = entry.value;
    Describe(catalog, entry.name, &control);
    out->push_back(control);
  }
  for (const auto& [name, fileValue] : mode.GetPublicControls().Values()) {
    json control;
    control["name"] = name;
    control["scope"] = "public";
    const QORUTSValue* value = values.Find(name);
    control["value"] = (value != nullptr ? *value : fileValue).GetValueText();
    control["default"] = fileValue.GetValueText();
    Describe(catalog, name, &control);
    out->push_back(control);
  }
  return true;
}

int QORHostControlCommand::List(QORAPOOperatingMode& mode, const json& controls) {
  if (json_) {
    json out;
    out["mode"] = QORHostControlPanel::ShortName(mode.GetModeIdentity());
    out["controls"] = controls;
    QORHostOutput::Print(out);
    return QORHostOutput::kOk;
  }
  std::printf("mode %s\n", QORHostControlPanel::ShortName(mode.GetModeIdentity()).c_str());
  std::printf("  %-30s %-8s %-8s %-11s %s\n", "CONTROL", "VALUE", "DEFAULT", "TYPE", "RANGE");
  for (const json& control : controls) {
    const bool described = control["described"].get<bool>();
    std::printf("%s %-30s %-8s %-8s %-11s %s\n",
                control["scope"].get<std::string>() == "global" ? "g" : " ",
                control["name"].get<std::string>().c_str(),
                control["value"].get<std::string>().c_str(),
                control["default"].get<std::string>().c_str(),
                described ? control["type"].get<std::string>().c_str() : "-",
                described ? control["range"].get<std::string>().c_str() : "-");
  }
  std::printf("(g: a global switch of the endpoint; the others belong to the mode)\n");
  return QORHostOutput::kOk;
}

int QORHostControlCommand::Get(QORAPOOperatingMode& mode, const json& controls) {
  const json* control = FindEntry(controls, name_);
  if (control == nullptr) {
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                "unknown control '" + name_ + "' in mode " +
                                    QORHostControlPanel::ShortName(mode.GetModeIdentity()) +
                                    "; known: " + Names(controls) + " (see `qorapo control list`)");
  }
  if (json_) {
    QORHostOutput::Print(*control);
  } else {
    std::printf("%s\n", (*control)["value"].get<std::string>().c_str());
  }
  return QORHostOutput::kOk;
}

int QORHostControlCommand::Set(QORHostControlPanel& panel, QORAPOOperatingMode& mode,
                               const QORHostControlCatalog& /*catalog*/, const json& controls) {
  if (name_ == "mode" || name_ == "speaker") {
    return QORHostOutput::Error(
        QORHostOutput::kFailed,
        "'" + name_ + "' is no control; choose modes with `qorapo mode set`");
  }
  // The same check as every other writer of a control, so a refusal reads the same.
  QORAPOModeIdentity inForce = mode.GetModeIdentity();
  std::string stored;
  std::string error;
  if (!panel.Check(&inForce, name_, value_, &stored, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  const json* control = FindEntry(controls, name_);
  if (control == nullptr) {
    return QORHostOutput::Error(QORHostOutput::kFailed, "unknown control '" + name_ + "'");
  }
  QORUTSValueList write;
  write.Set(QORUTSValue(name_, stored.c_str()));
  const bool global = (*control)["scope"].get<std::string>() == "global";
  if (!(global ? panel.WriteGlobal(write, &error) : panel.WritePublic(mode, write, &error))) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  json out;
  out["name"] = name_;
  out["value"] = stored;
  out["previous"] = (*control)["value"];
  out["mode"] = QORHostControlPanel::ShortName(mode.GetModeIdentity());
  if (json_) {
    QORHostOutput::Print(out);
  } else {
    std::printf("%s = %s (was %s)\n", name_.c_str(), stored.c_str(),
                (*control)["value"].get<std::string>().c_str());
  }
  return QORHostOutput::kOk;
}

int QORHostControlCommand::Reset(QORHostControlPanel& panel, QORAPOOperatingMode& mode,
                                 const json& controls) {
  QORUTSValueList global;
  QORUTSValueList publicControls;
  json done = json::array();
  for (const json& control : controls) {
    const std::string name = control["name"].get<std::string>();
    const bool isGlobal = control["scope"].get<std::string>() == "global";
    const bool named = std::find(names_.begin(), names_.end(), name) != names_.end();
    if (names_.empty() ? isGlobal : !named) continue;
    const std::string value = control["default"].get<std::string>();
    (isGlobal ? global : publicControls).Set(QORUTSValue(name, value.c_str()));
    json entry;
    entry["name"] = name;
    entry["value"] = value;
    entry["previous"] = control["value"];
    done.push_back(entry);
  }
  for (const std::string& name : names_) {
    if (FindEntry(controls, name) == nullptr) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  "unknown control '" + name + "' in mode " +
                                      QORHostControlPanel::ShortName(mode.GetModeIdentity()) +
                                      "; known: " + Names(controls) + "; nothing was reset");
    }
  }
  std::string error;
  if ((!global.Empty() && !panel.WriteGlobal(global, &error)) ||
      (!publicControls.Empty() && !panel.WritePublic(mode, publicControls, &error))) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  if (json_) {
    QORHostOutput::Print(done);
  } else {
    for (const json& entry : done) {
      std::printf("%s = %s (was %s)\n", entry["name"].get<std::string>().c_str(),
                  entry["value"].get<std::string>().c_str(),
                  entry["previous"].get<std::string>().c_str());
    }
  }
  return QORHostOutput::kOk;
}

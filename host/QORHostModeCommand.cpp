#include "QORHostModeCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "QORHostControlPanel.h"
#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "common/QORTextConvert.h"

namespace {

using nlohmann::json;

json Identity(const QORAPOModeIdentity& id) {
  json out;
  out["mode"] = QORHostControlPanel::Short(id.GetMode().GetValueText());
  out["speaker"] = QORHostControlPanel::Short(id.GetSpeakerType().GetValueText());
  out["identity"] = id.GetText();
  return out;
}

bool OpenPanel(const std::string& endpointText, QORHostControlPanel* panel) {
  QORAPOEndpointInfo endpoint;
  std::string error;
  if (QORHostEndpointSetup::Find(endpointText, &endpoint, &error) &&
      panel->Open(endpoint, &error)) {
    return true;
  }
  QORHostOutput::Error(QORHostOutput::kFailed, error);
  return false;
}

}  // namespace

CLI::App* QORHostModeCommand::Register(CLI::App& app) {
  CLI::App* command =
      app.add_subcommand("mode", "The operating modes of an endpoint and its current mode");
  command->require_subcommand(1);
  QORHostOutput::Example(command, "qorapo mode list\nqorapo mode set Movie/Headphones");

  list_ = command->add_subcommand("list", "The modes of the endpoint's configuration");
  QORHostOutput::AddEndpoint(list_, &endpoint_);
  QORHostOutput::AddJson(list_, &json_);
  QORHostOutput::Example(list_, "qorapo mode list --endpoint \"QOR Demo Speakers\" --json");

  get_ = command->add_subcommand("get", "The current mode, as a running host follows it");
  QORHostOutput::AddEndpoint(get_, &endpoint_);
  QORHostOutput::AddJson(get_, &json_);
  QORHostOutput::Example(get_, "qorapo mode get");

  set_ = command->add_subcommand("set", "Switch the endpoint to another mode");
  set_->add_option("MODE", mode_,
                   "Mode, optionally with its speaker type: Movie, Movie/Headphones, VAPO3-Movie")
      ->required();
  set_->add_option("SPEAKER", speaker_, "Speaker type (default: the current one)");
  QORHostOutput::AddEndpoint(set_, &endpoint_);
  QORHostOutput::AddJson(set_, &json_);
  QORHostOutput::Example(set_, "qorapo mode set Voice Headphones");
  return command;
}

int QORHostModeCommand::Run() {
  if (list_->parsed()) return List();
  if (get_->parsed()) return Get();
  if (set_->parsed()) return Set();
  return QORHostOutput::kUsage;
}

int QORHostModeCommand::List() {
  QORHostControlPanel panel;
  if (!OpenPanel(endpoint_, &panel)) return QORHostOutput::kFailed;
  const QORAPOModeIdentity current = panel.CurrentMode();
  const QORAPOModeIdentity& byDefault = panel.Configuration().GetDefaultMode();
  json modes = json::array();
  for (const auto& mode : panel.Configuration().GetOperatingModes()) {
    json entry = Identity(mode->GetModeIdentity());
    entry["current"] = mode->GetModeIdentity() == current;
    entry["default"] = mode->GetModeIdentity() == byDefault;
    entry["autoMic"] = mode->IsAutoMic();
    json controls = json::array();
    for (const auto& [name, value] : mode->GetPublicControls().Values()) controls.push_back(name);
    entry["publicControls"] = controls;
    modes.push_back(entry);
  }
  if (json_) {
    QORHostOutput::Print(modes);
    return QORHostOutput::kOk;
  }
  std::printf("  %-26s %s\n", "MODE", "PUBLIC CONTROLS");
  for (const json& entry : modes) {
    std::string flags;
    if (entry["default"].get<bool>()) flags += " (default)";
    if (entry["autoMic"].get<bool>()) flags += " (capture, picked by speaker type)";
    std::printf(
        "%s %-26s %zu%s\n", entry["current"].get<bool>() ? "*" : " ",
        (entry["mode"].get<std::string>() + "/" + entry["speaker"].get<std::string>()).c_str(),
        entry["publicControls"].size(), flags.c_str());
  }
  std::printf("(* the current mode)\n");
  return QORHostOutput::kOk;
}

json QORHostModeCommand::CurrentJson(QORHostControlPanel& panel) {
  const QORAPOModeIdentity current = panel.CurrentMode();
  std::shared_ptr<QORAPOOperatingMode> found;
  json out = Identity(current);
  out["stored"] = panel.HasStoredMode();
  out["inConfiguration"] = panel.Configuration().FindOperatingMode(current, found);
  return out;
}

int QORHostModeCommand::Get() {
  QORHostControlPanel panel;
  if (!OpenPanel(endpoint_, &panel)) return QORHostOutput::kFailed;
  const QORAPOModeIdentity current = panel.CurrentMode();
  const json out = CurrentJson(panel);
  if (json_) {
    QORHostOutput::Print(out);
  } else {
    std::printf("%s%s\n", QORHostControlPanel::ShortName(current).c_str(),
                out["stored"].get<bool>() ? "" : " (the configuration's default; none stored)");
  }
  if (!out["inConfiguration"].get<bool>()) {
    std::fprintf(stderr,
                 "qorapo: warning: the stored mode is not in the configuration; a host falls "
                 "back to the default. Choose one with `qorapo mode set` (%s)\n",
                 panel.ModeList().c_str());
  }
  return QORHostOutput::kOk;
}

int QORHostModeCommand::Set() {
  QORHostControlPanel panel;
  if (!OpenPanel(endpoint_, &panel)) return QORHostOutput::kFailed;
  std::string error;
  if (!panel.SetMode(mode_, speaker_, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  const QORAPOModeIdentity current = panel.CurrentMode();
  if (json_) {
    QORHostOutput::Print(Identity(current));
  } else {
    std::printf("mode %s\n", QORHostControlPanel::ShortName(current).c_str());
  }
  return QORHostOutput::kOk;
}

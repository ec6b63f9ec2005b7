#include "QORHostEndpointCommand.h"
#include "engine/QORHostEngineSetup.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "QORHostDeviceRules.h"
#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "QORHostProcessCommand.h"
#include "QORHostRegisterCommand.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "platform/QORComPtr.h"
#include "platform/QORMMDevice.h"
#include "platform/QORPropertyKey.h"
#include "platform/QORRegistryKey.h"
#include "settings/QORAPOConfigurationFile.h"

namespace {

using nlohmann::json;

std::string Text(const std::wstring& wide) {
  return QORWideToUtf8(wide);
}

std::string GuidText(const GUID& guid) {
  return Text(QORGuidToString(guid));
}

const char* FlowName(EDataFlow flow) {
  return flow == eCapture ? "capture" : "render";
}

bool IsDefault(const QOREndpointRecord& record) {
  QOREndpointRecord chosen;
  return SUCCEEDED(QOREndpointStore::GetDefault(record.flow, eConsole, &chosen)) &&
         chosen.guid == record.guid;
}

}  // namespace

CLI::App* QORHostEndpointCommand::Register(CLI::App& app) {
  CLI::App* command =
      app.add_subcommand("endpoint", "List, describe, add, remove and switch audio endpoints");
  command->require_subcommand(1);
  QORHostOutput::Example(command,
                         "qorapo endpoint list\n"
                         "qorapo endpoint add \"USB Speakers\" --config speakers.xml --fx SFX "
                         "--fx MFX --fx EFX");

  list_ = command->add_subcommand("list", "Every endpoint: name, direction, state and GUID");
  QORHostOutput::AddJson(list_, &json_);
  QORHostOutput::Example(list_, "qorapo endpoint list --json");

  show_ = command->add_subcommand(
      "show", "What an endpoint's record holds: identity, settings key, configuration, positions");
  show_->add_option("ENDPOINT", endpoint_, "Endpoint name or GUID")->required();
  QORHostOutput::AddJson(show_, &json_);
  QORHostOutput::Example(show_, "qorapo endpoint show \"QOR Demo Speakers\"");

  add_ = command->add_subcommand("add", "Describe a new endpoint without editing hive files");
  add_->add_option("NAME", name_,
                   "Friendly name of the new endpoint (with --device: default the node name)");
  add_->add_option("--direction", direction_, "render or capture")
      ->check(CLI::IsMember({"render", "capture"}))
      ->capture_default_str();
  add_->add_option("--config", configuration_,
                   "The endpoint's XML configuration file (with --device: default what the "
                   "device rules choose)");
  add_->add_option("--device", device_,
                   "The PipeWire device (node.name) the endpoint plays into or records from; its "
                   "GUID follows from the name, the same each time");
  add_->add_option("--rules", rules_,
                   "The device rules that choose --device's configuration (default: devices.conf "
                   "in the state root)");
  add_->add_option("--fx", effects_,
                   "POSITION[=CLSID]: an effect class at a graph position (PreBlue, SFX, MFX, EFX, "
                   "OSFX, OMFX); without a CLSID, the module's class for that position")
      ->allow_extra_args(false);
  add_->add_option("--guid", guid_, "The endpoint's GUID (default: a new random one)");
  add_->add_flag("--disabled", disabled_, "Add it disabled");
  add_->add_flag("--default", makeDefault_, "Make it the default endpoint of its direction");
  QORHostOutput::AddJson(add_, &json_);
  QORHostOutput::Example(add_,
                         "qorapo endpoint add \"USB Speakers\" --config /etc/qor/usb.xml --fx SFX "
                         "--fx EFX={93520346-FA48-4F56-8CB0-D92CC1775E37} --default\n"
                         "qorapo endpoint add --device alsa_output.usb-0d8c_USB_Sound-00.analog-"
                         "stereo --rules /etc/qor/devices.conf");

  remove_ = command->add_subcommand(
      "remove", "Remove an endpoint from the store (its settings key stays for a re-added one)");
  remove_->add_option("ENDPOINT", endpoint_, "Endpoint name or GUID")->required();
  QORHostOutput::Example(remove_, "qorapo endpoint remove \"USB Speakers\"");

  enable_ = command->add_subcommand("enable", "Make an endpoint active");
  enable_->add_option("ENDPOINT", endpoint_, "Endpoint name or GUID")->required();
  QORHostOutput::Example(enable_, "qorapo endpoint enable \"USB Speakers\"");
  disable_ = command->add_subcommand("disable", "Disable an endpoint");
  disable_->add_option("ENDPOINT", endpoint_, "Endpoint name or GUID")->required();
  QORHostOutput::Example(disable_, "qorapo endpoint disable \"USB Speakers\"");

  default_ = command->add_subcommand(
      "default", "Show the default endpoint, or make ENDPOINT the default of its direction");
  default_->add_option("ENDPOINT", endpoint_, "Endpoint name or GUID");
  default_->add_flag("--capture", capture_, "Show the default capture endpoint");
  QORHostOutput::AddJson(default_, &json_);
  QORHostOutput::Example(default_, "qorapo endpoint default \"USB Speakers\"");
  return command;
}

int QORHostEndpointCommand::Run() {
  if (list_->parsed()) return List();
  if (show_->parsed()) return Show();
  if (add_->parsed()) return Add();
  if (remove_->parsed()) return Remove();
  if (enable_->parsed()) return ChangeState(true);
  if (disable_->parsed()) return ChangeState(false);
  if (default_->parsed()) return Default();
  return QORHostOutput::kUsage;
}

bool QORHostEndpointCommand::Choose(QOREndpointRecord* out) {
  std::string error;
  if (QORHostEndpointSetup::FindRecord(endpoint_, out, &error)) return true;
  QORHostOutput::Error(QORHostOutput::kFailed, error);
  return false;
}

json QORHostEndpointCommand::Describe(const QOREndpointRecord& record) {
  json out;
  out["name"] = QORHostEndpointSetup::RecordName(record);
  out["guid"] = GuidText(record.guid);
  out["id"] = Text(record.id);
  out["flow"] = FlowName(record.flow);
  out["state"] = QORHostEndpointSetup::StateName(record.state);
  out["default"] = IsDefault(record);
  QORComPtr<IMMDevice> device;
  QORAPOEndpointInfo info;
  const bool read = SUCCEEDED(QORMMDevice::Create(record.flow, record.guid, device.Put())) &&
                    info.Init(device.Get(), record.flow == eRender);
  out["readable"] = read;
  out["subkey"] = Text(info.GetRegistrySubkey());
  out["configuration"] = Text(info.GetConfigurationPath());
  std::error_code ignored;
  out["configurationExists"] =
      !info.GetConfigurationPath().empty() &&
      std::filesystem::is_regular_file(Text(info.GetConfigurationPath()), ignored);
  out["dataFolder"] = Text(info.GetDataFolder());
  const std::string node = QORHostEndpointSetup::DeviceNode(record.flow, record.guid);
  out["device"] = node.empty() ? json(nullptr) : json(node);
  json positions = json::array();
  for (int location = 0; location < QORAPOEndpointInfo::kPositionCount; ++location) {
    const GUID& clsid = info.GetPosition(location).guid;
    json position;
    position["position"] = QORHostEndpointSetup::LocationName(location);
    position["location"] = location;
    position["class"] = clsid == GUID_NULL ? json(nullptr) : json(GuidText(clsid));
    const std::wstring module =
        clsid == GUID_NULL ? std::wstring() : QORHostEngineSetup::RegisteredModule(clsid);
    position["module"] = module.empty() ? json(nullptr) : json(Text(module));
    positions.push_back(position);
  }
  out["positions"] = positions;
  return out;
}

json QORHostEndpointCommand::ListJson() {
  std::vector<QOREndpointRecord> records;
  QOREndpointStore::List(eAll, DEVICE_STATEMASK_ALL, &records);
  json all = json::array();
  for (const QOREndpointRecord& record : records) {
    json entry;
    entry["name"] = QORHostEndpointSetup::RecordName(record);
    entry["guid"] = GuidText(record.guid);
    entry["flow"] = FlowName(record.flow);
    entry["state"] = QORHostEndpointSetup::StateName(record.state);
    entry["default"] = IsDefault(record);
    all.push_back(entry);
  }
  return all;
}

int QORHostEndpointCommand::List() {
  const json all = ListJson();
  if (json_) {
    QORHostOutput::Print(all);
    return QORHostOutput::kOk;
  }
  if (all.empty()) {
    std::printf("no endpoints; add one with `qorapo endpoint add` or `qorapo demo-setup ROOT`\n");
    return QORHostOutput::kOk;
  }
  std::printf("  %-28s %-8s %-12s %s\n", "NAME", "FLOW", "STATE", "GUID");
  for (const json& entry : all) {
    std::printf("%s %-28s %-8s %-12s %s\n", entry["default"].get<bool>() ? "*" : " ",
                entry["name"].get<std::string>().c_str(), entry["flow"].get<std::string>().c_str(),
                entry["state"].get<std::string>().c_str(),
                entry["guid"].get<std::string>().c_str());
  }
  std::printf("(* the default endpoint of its direction)\n");
  return QORHostOutput::kOk;
}

int QORHostEndpointCommand::Show() {
  QOREndpointRecord record;
  if (!Choose(&record)) return QORHostOutput::kFailed;
  const json out = Describe(record);
  if (json_) {
    QORHostOutput::Print(out);
    return QORHostOutput::kOk;
  }
  auto text = [&](const char* key) { return out[key].get<std::string>(); };
  std::printf("name           %s\n", text("name").c_str());
  std::printf("guid           %s\n", text("guid").c_str());
  std::printf("id             %s\n", text("id").c_str());
  std::printf("flow           %s\n", text("flow").c_str());
  std::printf("state          %s%s\n", text("state").c_str(),
              out["default"].get<bool>() ? " (default)" : "");
  std::printf("settings key   HKEY_LOCAL_MACHINE\\%s\n", text("subkey").c_str());
  std::printf("configuration  %s%s\n", text("configuration").c_str(),
              out["configurationExists"].get<bool>() ? "" : " (no such file)");
  std::printf("data folder    %s\n", text("dataFolder").c_str());
  if (!out["device"].is_null()) std::printf("device         %s\n", text("device").c_str());
  const char* label = "positions";
  for (const json& position : out["positions"]) {
    std::printf("%-14s %-8s %s%s\n", label, position["position"].get<std::string>().c_str(),
                position["class"].is_null() ? "-" : position["class"].get<std::string>().c_str(),
                position["module"].is_null()
                    ? (position["class"].is_null() ? "" : " (class not registered)")
                    : (" in " + position["module"].get<std::string>()).c_str());
    label = "";
  }
  return QORHostOutput::kOk;
}

int QORHostEndpointCommand::Add() {
  const EDataFlow flow = direction_ == "capture" ? eCapture : eRender;
  if (name_.empty() && device_.empty()) {
    return QORHostOutput::Error(QORHostOutput::kUsage,
                                "give the endpoint's NAME, or --device for a PipeWire device's");
  }
  if (name_.empty()) name_ = device_;
  QORHostEndpointSetup::NewEndpoint endpoint;
  endpoint.flow = flow;
  endpoint.name = name_;
  endpoint.device = device_;
  // Positions first: a wrong one is a mistake on the command line, and nothing is written yet.
  for (const std::string& item : effects_) {
    std::string error;
    if (!QORHostEndpointSetup::ParseEffect(item, flow, endpoint.classes, &error)) {
      return QORHostOutput::Error(QORHostOutput::kUsage, "--fx " + item + ": " + error);
    }
  }
  endpoint.guid = device_.empty() ? QORHostEndpointSetup::NewGuid()
                                  : QORHostEndpointSetup::DeviceGuid(flow, device_);
  if (!guid_.empty()) {
    std::wstring text = QORUtf8ToWide(guid_);
    if (text.front() != L'{') text = L"{" + text + L"}";
    if (!QORGuidFromString(text, &endpoint.guid) || endpoint.guid == GUID_NULL) {
      return QORHostOutput::Error(
          QORHostOutput::kUsage,
          "--guid '" + guid_ + "' is not a GUID; leave it out for a new one");
    }
  }
  if (configuration_.empty()) {
    // A device's endpoint without --config: what the device rules choose for it.
    if (device_.empty()) {
      return QORHostOutput::Error(QORHostOutput::kUsage,
                                  "give the endpoint's configuration with --config");
    }
    QORHostDeviceRules rules;
    std::string error;
    if (!rules.Load(
            rules_.empty() ? QORHostDeviceRules::DefaultPath() : std::filesystem::path(rules_),
            &error)) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  error + "; give --config, or the rules with --rules");
    }
    const QORHostDeviceRules::Rule* rule = rules.Choose(flow, device_, name_);
    if (rule == nullptr) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  "no rule of " + rules.Path().string() + " matches " + device_ +
                                      " and it has no fallback; give --config");
    }
    endpoint.configuration = rule->configuration;
    if (effects_.empty())
      std::copy_n(rule->Classes(flow), std::size(endpoint.classes), endpoint.classes);
  } else {
    std::error_code failed;
    endpoint.configuration = std::filesystem::absolute(configuration_, failed).string();
  }
  std::vector<QOREndpointRecord> existing;
  QOREndpointStore::List(flow, DEVICE_STATEMASK_ALL, &existing);
  for (const QOREndpointRecord& record : existing) {
    if (record.guid == endpoint.guid) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  "an endpoint with GUID " + GuidText(endpoint.guid) +
                                      " exists; remove it first or choose another --guid");
    }
    if (QORHostEndpointSetup::RecordName(record) == name_) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  std::string("a ") + FlowName(flow) + " endpoint named '" + name_ +
                                      "' exists (" + GuidText(record.guid) +
                                      "); choose another name or remove it first");
    }
  }
  endpoint.state = disabled_ ? DEVICE_STATE_DISABLED : DEVICE_STATE_ACTIVE;
  endpoint.makeDefault = makeDefault_;
  std::string error;
  if (!QORHostEndpointSetup::Write(endpoint, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  const GUID& guid = endpoint.guid;
  const uint32_t state = endpoint.state;
  QOREndpointRecord record;
  QOREndpointStore::Find(flow, guid, &record);
  if (json_) {
    QORHostOutput::Print(Describe(record));
  } else {
    std::printf("added %s endpoint '%s' %s (%s)%s\n", FlowName(flow), name_.c_str(),
                GuidText(guid).c_str(), QORHostEndpointSetup::StateName(state),
                makeDefault_ && !disabled_ ? ", now the default" : "");
  }
  if (makeDefault_ && disabled_) {
    std::fprintf(stderr,
                 "qorapo: warning: a disabled endpoint cannot be the default; enable it "
                 "and run `qorapo endpoint default` for it\n");
  }
  return QORHostOutput::kOk;
}

int QORHostEndpointCommand::Remove() {
  QOREndpointRecord record;
  if (!Choose(&record)) return QORHostOutput::kFailed;
  if (FAILED(QOREndpointStore::Remove(record.flow, record.guid))) {
    return QORHostOutput::Error(
        QORHostOutput::kFailed,
        "cannot remove the endpoint; check that the state root is writable");
  }
  std::printf("removed %s endpoint '%s' %s\n", FlowName(record.flow),
              QORHostEndpointSetup::RecordName(record).c_str(), GuidText(record.guid).c_str());
  return QORHostOutput::kOk;
}

int QORHostEndpointCommand::ChangeState(bool enable) {
  QOREndpointRecord record;
  if (!Choose(&record)) return QORHostOutput::kFailed;
  const HRESULT result = enable ? QOREndpointStore::Enable(record.flow, record.guid)
                                : QOREndpointStore::Disable(record.flow, record.guid);
  if (FAILED(result)) {
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                "cannot change the endpoint's state; check that the state root is "
                                "writable");
  }
  std::printf("%s endpoint '%s' %s\n", enable ? "enabled" : "disabled",
              QORHostEndpointSetup::RecordName(record).c_str(), GuidText(record.guid).c_str());
  return QORHostOutput::kOk;
}

int QORHostEndpointCommand::Default() {
  QOREndpointRecord record;
  if (endpoint_.empty()) {
    const EDataFlow flow = capture_ ? eCapture : eRender;
    if (FAILED(QOREndpointStore::GetDefault(flow, eConsole, &record))) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  std::string("no active ") + FlowName(flow) +
                                      " endpoint; add one with `qorapo endpoint add` or enable "
                                      "one with `qorapo endpoint enable`");
    }
  } else {
    if (!Choose(&record)) return QORHostOutput::kFailed;
    if (record.state != DEVICE_STATE_ACTIVE) {
      return QORHostOutput::Error(
          QORHostOutput::kFailed,
          "endpoint '" + endpoint_ + "' is " + QORHostEndpointSetup::StateName(record.state) +
              "; enable it first with `qorapo endpoint enable " + endpoint_ + "`");
    }
    if (FAILED(QOREndpointStore::SetDefault(record.flow, eConsole, record.guid)) ||
        FAILED(QOREndpointStore::SetDefault(record.flow, eMultimedia, record.guid))) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  "cannot store the default endpoint; check that the state root "
                                  "is writable");
    }
  }
  json out;
  out["name"] = QORHostEndpointSetup::RecordName(record);
  out["guid"] = GuidText(record.guid);
  out["flow"] = FlowName(record.flow);
  if (json_) {
    QORHostOutput::Print(out);
  } else {
    std::printf("%s%s endpoint '%s' %s\n", endpoint_.empty() ? "default " : "now the default ",
                FlowName(record.flow), out["name"].get<std::string>().c_str(),
                out["guid"].get<std::string>().c_str());
  }
  return QORHostOutput::kOk;
}

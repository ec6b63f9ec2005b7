#include "QORHostServeCommand.h"

#include <CLI/CLI.hpp>
#include <cctype>

#include "QORHostExtension.h"
#include "QORHostOutput.h"
#include "QORHostPanelCommand.h"
#include "common/QORTextConvert.h"
#include "platform/QORModuleInfo.h"
#include "platform/QORSystemInfo.h"

CLI::App* QORHostServeCommand::Register(CLI::App& app) {
  CLI::App* command =
      app.add_subcommand("serve", "Give every active endpoint its effects in PipeWire");
  command->add_option("--target", options_.target,
                      "The device (node.name) the sinks play into (default: the first real sink)");
  command->add_option("--source", options_.source,
                      "The device (node.name) the capture endpoints record from (default: the "
                      "first real source)");
  command->add_flag("--follow-devices", options_.follow,
                    "Keep an endpoint for each of PipeWire's real sinks and sources, chosen by "
                    "the device rules, and follow the default sink");
  command->add_option("--rules", options_.rulesPath,
                      "The device rules for --follow-devices (default: devices.conf in the state "
                      "root)");
  command->add_flag("--panel", options_.panel,
                    "Serve the control panel beside the daemon, as `qorapo panel` does; its "
                    "link is printed on standard error at start");
  command
      ->add_option("--panel-listen", options_.panelListen,
                   "HOST:PORT the panel listens on, as `qorapo panel --listen` takes it")
      ->capture_default_str();
  QORHostOutput::AddJson(command, &options_.json);
  QORHostOutput::Example(
      command,
      "qorapo serve --target alsa_output.pci-0000_00_1f.3.analog-stereo"
      "   # until Ctrl-C\n"
      "qorapo serve --follow-devices --rules /etc/qor/devices.conf   # until Ctrl-C");
  return command;
}

std::string QORHostServeCommand::NodeName(const std::string& endpointName) {
  std::string name = "qorapo_";
  bool gap = false;
  for (const char c : endpointName) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      if (gap && name.back() != '_') name += '_';
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      gap = false;
    } else {
      gap = true;
    }
  }
  return name;
}

std::filesystem::path QORHostServeCommand::LockPath() {
  return QORSystemInfo::GetStateRoot() / "serve.lock";
}

std::filesystem::path QORHostServeCommand::StatusPath() {
  return QORSystemInfo::GetStateRoot() / "serve.status";
}

int QORHostServeCommand::Run() {
  std::string error;
  if (!QORHostExtension::Available("qorapo-pipewire", "serve", "PipeWire", &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  QORHostPanelOptions panelOptions;
  if (options_.panel &&
      !QORHostPanelCommand::ParseListen(options_.panelListen, &panelOptions, &error)) {
    return QORHostOutput::Error(QORHostOutput::kUsage, error);
  }
  auto run = reinterpret_cast<int (*)(const QORHostServeOptions*)>(
      QORHostExtension::Find("qorapo-pipewire", "QORHostServeDaemonRun", &error));
  if (run == nullptr) return QORHostOutput::Error(QORHostOutput::kFailed, error);
  options_.executable = QORWideToUtf8(QORModuleInfo::GetOwnPath());
  return run(&options_);
}

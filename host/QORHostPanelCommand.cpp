#include "QORHostPanelCommand.h"

#include <CLI/CLI.hpp>
#include <charconv>

#include "QORHostExtension.h"
#include "QORHostOutput.h"
#include "common/QORTextConvert.h"
#include "platform/QORModuleInfo.h"

CLI::App* QORHostPanelCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "panel",
      "Serve the control panel as a local web page: endpoints, modes, controls, tuning, meters "
      "and the response; prints the link to open, with the token every change needs");
  command
      ->add_option("--listen", listen_,
                   "HOST:PORT to listen on; port 0 takes a free one. Anything but a loopback "
                   "address lets other machines reach the page (changes still need the token)")
      ->capture_default_str();
  QORHostOutput::Example(command,
                         "qorapo panel                         # open the link it prints\n"
                         "qorapo panel --listen 127.0.0.1:8720");
  return command;
}

bool QORHostPanelCommand::ParseListen(const std::string& text, QORHostPanelOptions* options,
                                      std::string* error) {
  std::string host = options->host;
  std::string port = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
  }
  int number = -1;
  const auto [end, failure] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (host.empty() || failure != std::errc() || end != port.data() + port.size() || number < 0 ||
      number > 65535) {
    *error = "--listen: '" + text + "' is not HOST:PORT with a port from 0 to 65535";
    return false;
  }
  options->host = host;
  options->port = number;
  return true;
}

int QORHostPanelCommand::Run() {
  QORHostPanelOptions options;
  std::string error;
  if (!QORHostExtension::Available("qorapo-panel", "panel", "an HTTP server (cpp-httplib)",
                                   &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  if (!ParseListen(listen_, &options, &error)) {
    return QORHostOutput::Error(QORHostOutput::kUsage, error);
  }
  options.executable = QORWideToUtf8(QORModuleInfo::GetOwnPath());
  auto run = reinterpret_cast<int (*)(const QORHostPanelOptions*)>(
      QORHostExtension::Find("qorapo-panel", "QORHostPanelRun", &error));
  if (run == nullptr) return QORHostOutput::Error(QORHostOutput::kFailed, error);
  return run(&options);
}

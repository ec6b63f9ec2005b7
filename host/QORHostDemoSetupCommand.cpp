#include "QORHostDemoSetupCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "QORHostEndpointSetup.h"
#include "common/QORTextConvert.h"
#include "platform/QOREnvironment.h"
#include "platform/QORModule.h"
#include "platform/QORModuleInfo.h"

CLI::App* QORHostDemoSetupCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "demo-setup", "Create the demonstration endpoint in the private state root ROOT");
  command->add_option("ROOT", root_, "State root folder (created when missing)")->required();
  command->add_option("--config", configuration_,
                      "Configuration file of the endpoint (default: the example configuration)");
  // Appended piece by piece: the release build's compiler misreads string + as overlapping copies.
  std::string techHelp = "Technology library (default: qltech64";
  techHelp += kQORModuleSuffix;
  techHelp += " beside qorapo, when present)";
  command->add_option("--tech", tech_, techHelp);
  return command;
}

int QORHostDemoSetupCommand::Run() {
  std::error_code failed;
  std::filesystem::create_directories(root_, failed);
  const std::filesystem::path root = std::filesystem::absolute(root_, failed);
  if (failed || !std::filesystem::is_directory(root)) {
    std::fprintf(stderr, "qorapo: cannot create the state root '%s'; choose a writable folder\n",
                 root_.c_str());
    return 1;
  }
  QOREnvironment::Set("QOR_ROOT", root.string());
  const std::filesystem::path folder(
      QORWideToUtf8(QORModuleInfo::GetFolder(QORModuleInfo::GetOwnPath())));
  std::filesystem::path configuration =
      configuration_.empty() ? std::filesystem::path(QOR_SOURCE_DIR) / "examples/qorapo-laptop.xml"
                             : std::filesystem::path(configuration_);
  configuration = std::filesystem::absolute(configuration, failed);
  if (!std::filesystem::is_regular_file(configuration)) {
    std::fprintf(stderr, "qorapo: no configuration file at '%s'; give one with --config\n",
                 configuration.string().c_str());
    return 1;
  }
  std::filesystem::path tech = tech_.empty() ? folder / (std::string("qltech64") + kQORModuleSuffix)
                                             : std::filesystem::path(tech_);
  if (tech_.empty() && !std::filesystem::exists(tech)) tech.clear();
  if (!tech.empty()) tech = std::filesystem::absolute(tech, failed);
  std::string error;
  if (!QORHostEndpointSetup::SetUpDemo(QORUtf8ToWide(configuration.string()),
                                       QORUtf8ToWide(tech.string()), &error)) {
    std::fprintf(stderr, "qorapo: %s\n", error.c_str());
    return 1;
  }
  std::printf("demo endpoint %ls \"%ls\" in %s\n",
              QORGuidToString(QORHostEndpointSetup::kDemoEndpoint).c_str(),
              QORHostEndpointSetup::kDemoName, root.string().c_str());
  return 0;
}

#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace CLI {
class App;
}

// What every tool subcommand shares: its exit codes, how it reports an error, its --json switch,
// and the example at the foot of its --help.
class QORHostOutput {
 public:
  static constexpr int kOk = 0;
  // The command line itself is wrong (CLI11 reports these).
  static constexpr int kUsage = 1;
  // The command was understood but could not be done, or was refused.
  static constexpr int kFailed = 2;

  // Writes "qorapo: message" to standard error and returns code.
  static int Error(int code, const std::string& message);
  // The value, indented, on standard output.
  static void Print(const nlohmann::json& value);
  // The value on one line of standard output, for streams of readings and for scripts.
  static void PrintLine(const nlohmann::json& value);
  // Adds --json to command, setting *json.
  static void AddJson(CLI::App* command, bool* json);
  // Adds --endpoint (a render endpoint by name or GUID) to command, setting *endpoint.
  static void AddEndpoint(CLI::App* command, std::string* endpoint);
  // Ends command's --help with "Example:" and the given lines, each indented.
  static void Example(CLI::App* command, const std::string& lines);
  // CLI11's result for a parse error becomes kUsage; --help and --version stay 0.
  static int ParseExit(int cliCode) { return cliCode == 0 ? kOk : kUsage; }
};

#include "QORHostOutput.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <sstream>

int QORHostOutput::Error(int code, const std::string& message) {
  std::fprintf(stderr, "qorapo: %s\n", message.c_str());
  return code;
}

void QORHostOutput::Print(const nlohmann::json& value) {
  // Names and values come from files and the registry: invalid UTF-8 is replaced, not thrown on.
  std::printf("%s\n", value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void QORHostOutput::PrintLine(const nlohmann::json& value) {
  std::printf("%s\n", value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void QORHostOutput::AddJson(CLI::App* command, bool* json) {
  command->add_flag("--json", *json, "Print the result as JSON for scripts");
}

void QORHostOutput::AddEndpoint(CLI::App* command, std::string* endpoint) {
  command->add_option("--endpoint", *endpoint,
                      "Render endpoint by name or GUID (default: the default endpoint)");
}

void QORHostOutput::Example(CLI::App* command, const std::string& lines) {
  std::istringstream in(lines);
  std::string footer = "\nExample:";
  for (std::string line; std::getline(in, line);) footer += "\n  " + line;
  command->footer(footer);
}

#include "QORHostDeviceRules.h"

#include <fstream>
#include <sstream>

#include "QORHostEndpointSetup.h"
#include "common/QORGlobMatch.h"
#include "platform/QORSystemInfo.h"

namespace {

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

bool Matches(const std::string& pattern, const std::string& text) {
  return pattern.empty() || QORGlobMatch::Matches(pattern, text);
}

}  // namespace

std::filesystem::path QORHostDeviceRules::DefaultPath() {
  return QORSystemInfo::GetStateRoot() / "devices.conf";
}

bool QORHostDeviceRules::Load(const std::filesystem::path& path, std::string* error) {
  path_ = path;
  rules_.clear();
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read the device rules " + path.string();
    return false;
  }
  const std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
  const auto fail = [&](int line, const std::string& what) {
    *error = path.string() + ":" + std::to_string(line) + ": " + what;
    return false;
  };
  // A section is complete once it names a configuration and at least one position.
  std::string fx;
  int fxLine = 0;
  const auto complete = [&]() {
    if (rules_.empty()) return true;
    Rule& rule = rules_.back();
    if (rule.configuration.empty() || fx.empty()) {
      return fail(rule.line, "the section needs a configuration and fx positions");
    }
    std::istringstream items(fx);
    for (std::string item; items >> item;) {
      std::string why;
      if (!QORHostEndpointSetup::ParseEffect(item, eRender, rule.render, &why) ||
          !QORHostEndpointSetup::ParseEffect(item, eCapture, rule.capture, &why)) {
        return fail(fxLine, "fx " + item + ": " + why);
      }
    }
    fx.clear();
    return true;
  };
  int number = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    if (line == "[device]" || line == "[fallback]") {
      if (!complete()) return false;
      Rule rule;
      rule.line = number;
      rule.fallback = line == "[fallback]";
      rules_.push_back(rule);
      continue;
    }
    const size_t equals = line.find('=');
    if (line.front() == '[' || equals == std::string::npos) {
      return fail(number, "expected [device], [fallback] or key = value, not '" + line + "'");
    }
    if (rules_.empty()) return fail(number, "'" + line + "' comes before any [device] section");
    Rule& rule = rules_.back();
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    if (key == "node" && !rule.fallback) {
      rule.node = value;
    } else if (key == "description" && !rule.fallback) {
      rule.description = value;
    } else if (key == "direction") {
      if (value != "render" && value != "capture") {
        return fail(number, "direction is render or capture, not '" + value + "'");
      }
      rule.direction = value == "capture" ? eCapture : eRender;
    } else if (key == "configuration") {
      rule.configuration = (folder / value).lexically_normal().string();
    } else if (key == "fx") {
      fx = value;
      fxLine = number;
    } else {
      return fail(number, "unknown key '" + key + "' in a [" +
                              (rule.fallback ? "fallback" : "device") + "] section");
    }
  }
  return complete();
}

const QORHostDeviceRules::Rule* QORHostDeviceRules::Choose(EDataFlow flow, const std::string& node,
                                                           const std::string& description) const {
  for (const bool fallback : {false, true}) {
    for (const Rule& rule : rules_) {
      if (rule.fallback != fallback || (rule.direction >= 0 && rule.direction != flow)) continue;
      if (Matches(rule.node, node) && Matches(rule.description, description)) return &rule;
    }
  }
  return nullptr;
}
